// Stand-in for the hardware LIF neuron: one step of the fixed-point LIF neuron per clock, with
// W = DATA_WIDTH and F = FRACTION, and the inputs read as signed W-bit numbers. Outside the
// refractory period:
//   d = wrap_k(V_REST - v) with k = min(2W, 16), leak = wrap_W((d * leak_k) >>> F),
//   input = wrap_W((I_t * gain_k) >>> F), v_new = wrap_W(v + noise_in + input + leak);
// v_new >= V_THRESHOLD fires: v = V_RESET for REFRACTORY_PERIOD clocks (v_out shows V_REST then),
// otherwise v = v_new. wrap_k keeps the low k bits as a signed number. spike_out and v_out are
// registered: they show the result of the last step.
`timescale 1ns / 1ps

module sc_lif_neuron #(
    parameter int DATA_WIDTH = 16,
    parameter int FRACTION = 8,
    // Untyped: each takes the width of its value, 32 bits or a 64-bit literal.
    parameter V_REST = 0,
    parameter V_RESET = 0,
    parameter V_THRESHOLD = 256,
    parameter int REFRACTORY_PERIOD = 2
) (
    input wire clk,
    input wire rst_n,
    input wire [DATA_WIDTH-1:0] leak_k,
    input wire [DATA_WIDTH-1:0] gain_k,
    input wire [DATA_WIDTH-1:0] I_t,
    input wire [DATA_WIDTH-1:0] noise_in,
    output wire spike_out,
    output wire signed [DATA_WIDTH-1:0] v_out
);
    function automatic longint wrap(input longint wrap_value, input int wrap_bits);
        return (wrap_value <<< (64 - wrap_bits)) >>> (64 - wrap_bits);
    endfunction
    function automatic longint sx(input logic [DATA_WIDTH-1:0] sx_bits);
        return wrap(longint'(sx_bits), DATA_WIDTH);
    endfunction

    localparam int K = 2 * DATA_WIDTH < 16 ? 2 * DATA_WIDTH : 16;
    localparam longint REST = 64'(V_REST), RESET = 64'(V_RESET), THRESHOLD = 64'(V_THRESHOLD);
    longint v, d, leak, drive, v_new;
    /* verilator lint_off UNUSEDSIGNAL */
    longint v_ret;  // a wrapped value: its bits above DATA_WIDTH repeat the sign
    /* verilator lint_on UNUSEDSIGNAL */
    int refractory;
    logic fired;
    always_comb begin
        d = wrap(REST - v, K);
        leak = wrap((d * sx(leak_k)) >>> (FRACTION % 32), DATA_WIDTH);
        drive = wrap((sx(I_t) * sx(gain_k)) >>> (FRACTION % 32), DATA_WIDTH);
        v_new = wrap(v + sx(noise_in) + drive + leak, DATA_WIDTH);
    end
    always_ff @(posedge clk or negedge rst_n) begin
        if (!rst_n) begin
            v <= REST;
            v_ret <= wrap(REST, DATA_WIDTH);
            refractory <= 0;
            fired <= 1'b0;
        end else if (refractory > 0) begin
            refractory <= refractory - 1;
            v <= REST;
            v_ret <= wrap(REST, DATA_WIDTH);
            fired <= 1'b0;
        end else if (v_new >= THRESHOLD) begin
            v <= RESET;
            v_ret <= wrap(RESET, DATA_WIDTH);
            refractory <= REFRACTORY_PERIOD;
            fired <= 1'b1;
        end else begin
            v <= v_new;
            v_ret <= v_new;
            fired <= 1'b0;
        end
    end
    assign spike_out = fired;
    assign v_out = v_ret[DATA_WIDTH-1:0];
endmodule

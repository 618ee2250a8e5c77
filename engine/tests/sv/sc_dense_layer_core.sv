// Stand-in for the hardware dense layer. A run starts on start_pulse while idle and lasts
// stream_len clocks (running is high, step_valid marks each step, run_done is high while idle).
// On every step neuron j integrates its drive, the fixed-point (8 fraction bits) dot product of
// the inputs with row j of the weights:
//   drive_j = (sum_i x_i * w_(j,i)) >>> 8,
//   v_j = v_j - ((v_j * cfg_leak) >>> 8) + ((drive_j * cfg_gain) >>> 8),
// and fires (spikes[j] for that step) when v_j reaches y_max_fp, which sets v_j to y_min_fp.
// Input i is bits [i*DATA_WIDTH +: DATA_WIDTH] of x_input_fp, weight (j, i) the field
// (j*N_INPUTS + i) of weight_fp; every field and cfg value is a signed DATA_WIDTH-bit number,
// the bounds are unsigned 16-bit ones; the arithmetic is 64-bit two's complement. I_t shows
// input 0.
`timescale 1ns / 1ps

module sc_dense_layer_core #(
    parameter int N_INPUTS = 3,
    parameter int N_NEURONS = 7,
    parameter int DATA_WIDTH = 16
) (
    input wire clk,
    input wire rst_n,
    input wire start_pulse,
    input wire [31:0] stream_len,
    input wire [N_INPUTS*DATA_WIDTH-1:0] x_input_fp,
    input wire [N_INPUTS*N_NEURONS*DATA_WIDTH-1:0] weight_fp,
    input wire [15:0] y_min_fp,
    input wire [15:0] y_max_fp,
    input wire [DATA_WIDTH-1:0] cfg_leak,
    input wire [DATA_WIDTH-1:0] cfg_gain,
    output wire [DATA_WIDTH-1:0] I_t,
    output wire [N_NEURONS-1:0] spikes,
    output wire step_valid,
    output wire run_done,
    output wire running
);
    function automatic logic signed [63:0] sx(input logic [DATA_WIDTH-1:0] sx_bits);
        logic signed [DATA_WIDTH-1:0] sx_value;
        sx_value = sx_bits;
        return 64'(sx_value);
    endfunction

    logic [31:0] t;
    logic busy;
    always_ff @(posedge clk or negedge rst_n) begin
        if (!rst_n) begin
            t <= 32'd0;
            busy <= 1'b0;
        end else if (!busy && start_pulse) begin
            t <= 32'd0;
            busy <= 1'b1;
        end else if (busy) begin
            t <= t + 32'd1;
            busy <= t + 32'd1 < stream_len;
        end
    end

    genvar j;
    generate
        for (j = 0; j < N_NEURONS; j = j + 1) begin : g_neuron
            logic signed [63:0] v, v_new, drive;
            logic fired;
            always_comb begin
                drive = 0;
                for (int i = 0; i < N_INPUTS; i = i + 1)
                    drive = drive + sx(x_input_fp[i*DATA_WIDTH +: DATA_WIDTH])
                                  * sx(weight_fp[(j*N_INPUTS + i)*DATA_WIDTH +: DATA_WIDTH]);
                drive = drive >>> 8;
                v_new = v - ((v * sx(cfg_leak)) >>> 8) + ((drive * sx(cfg_gain)) >>> 8);
            end
            always_ff @(posedge clk or negedge rst_n) begin
                if (!rst_n) begin
                    v <= 0;
                    fired <= 1'b0;
                end else if (busy && v_new >= $signed({48'd0, y_max_fp})) begin
                    v <= $signed({48'd0, y_min_fp});
                    fired <= 1'b1;
                end else begin
                    if (busy) v <= v_new;
                    fired <= 1'b0;
                end
            end
            assign spikes[j] = fired;
        end
    endgenerate
    assign I_t = x_input_fp[DATA_WIDTH-1:0];
    assign step_valid = busy;
    assign run_done = !busy;
    assign running = busy;
endmodule

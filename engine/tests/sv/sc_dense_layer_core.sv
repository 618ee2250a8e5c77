// Lint stand-in for the hardware dense layer: counts stream_len cycles after a start pulse and
// raises each neuron's spike from its weight and input bits; only the port shape matters here.
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
    /* verilator lint_off UNUSEDSIGNAL */
    input wire [15:0] y_min_fp,
    input wire [15:0] y_max_fp,
    input wire [DATA_WIDTH-1:0] cfg_leak,
    input wire [DATA_WIDTH-1:0] cfg_gain,
    /* verilator lint_on UNUSEDSIGNAL */
    output wire [DATA_WIDTH-1:0] I_t,
    output wire [N_NEURONS-1:0] spikes,
    output wire step_valid,
    output wire run_done,
    output wire running
);
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
            assign spikes[j] = busy & (^(weight_fp[j*N_INPUTS*DATA_WIDTH +: N_INPUTS*DATA_WIDTH]
                                         & x_input_fp));
        end
    endgenerate
    assign I_t = x_input_fp[DATA_WIDTH-1:0];
    assign step_valid = busy;
    assign run_done = !busy;
    assign running = busy;
endmodule

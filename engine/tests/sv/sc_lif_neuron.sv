// Lint stand-in for the hardware LIF neuron: integrates the gained input with leak and noise,
// fires at the threshold and holds the reset level for the refractory period.
`timescale 1ns / 1ps

module sc_lif_neuron #(
    parameter int DATA_WIDTH = 16,
    /* verilator lint_off UNUSEDPARAM */
    parameter int FRACTION = 8,
    /* verilator lint_on UNUSEDPARAM */
    parameter int V_REST = 0,
    parameter int V_RESET = 0,
    parameter int V_THRESHOLD = 256,
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
    logic signed [DATA_WIDTH-1:0] v;
    logic [31:0] refractory;
    logic fired;
    wire signed [DATA_WIDTH-1:0] next_v = v - (v >>> 4) + $signed(leak_k ^ gain_k ^ I_t ^ noise_in);
    always_ff @(posedge clk or negedge rst_n) begin
        if (!rst_n) begin
            v <= DATA_WIDTH'(V_REST);
            refractory <= 32'd0;
            fired <= 1'b0;
        end else if (refractory != 32'd0) begin
            refractory <= refractory - 32'd1;
            fired <= 1'b0;
        end else if (32'(next_v) >= V_THRESHOLD) begin
            v <= DATA_WIDTH'(V_RESET);
            refractory <= 32'(REFRACTORY_PERIOD);
            fired <= 1'b1;
        end else begin
            v <= next_v;
            fired <= 1'b0;
        end
    end
    assign spike_out = fired;
    assign v_out = v;
endmodule

// Stand-in for the hardware encoder, the comparator encoder of the bitstream core: a 16-bit LFSR
// (feedback bit 15 ^ 13 ^ 12 ^ 10 shifted in at bit 0) starts at SEED_INIT on reset and steps on
// every clock; bit_out is 1 while the register is below x_value, a DATA_WIDTH-bit probability.
// The emitted modules always pass t_index 0; it is not used.
`timescale 1ns / 1ps

module sc_bitstream_encoder #(
    parameter int DATA_WIDTH = 16,
    parameter logic [15:0] SEED_INIT = 16'hACE1
) (
    input wire clk,
    input wire rst_n,
    input wire [DATA_WIDTH-1:0] x_value,
    /* verilator lint_off UNUSEDSIGNAL */
    input wire [31:0] t_index,
    /* verilator lint_on UNUSEDSIGNAL */
    output wire bit_out
);
    logic [15:0] lfsr;
    always_ff @(posedge clk or negedge rst_n) begin
        if (!rst_n) lfsr <= SEED_INIT;
        else lfsr <= {lfsr[14:0], lfsr[15] ^ lfsr[13] ^ lfsr[12] ^ lfsr[10]};
    end
    assign bit_out = 64'(lfsr) < 64'(x_value);
endmodule

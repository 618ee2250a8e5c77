// Lint stand-in for the hardware synapse: the stochastic multiply of two bits.
`timescale 1ns / 1ps

module sc_bitstream_synapse (
    input wire pre_bit,
    input wire w_bit,
    output wire post_bit
);
    assign post_bit = pre_bit & w_bit;
endmodule

// The registry blocks of the model library, one per family block.
#pragma once
#include "core.hpp"

namespace py {

void ai_optimized_block(Module& sc_block);
void trivial_block(Module& sc_block);
void simple_spiking_block(Module& sc_block);
void maps_block(Module& sc_block);
void biophysical_block(Module& sc_block);
void multi_compartment_block(Module& sc_block);
void special_block(Module& sc_block);
void hardware_block(Module& sc_block);
void mcculloch_pitts_block(Module& sc_block);
void rate_block(Module& sc_block);
void arcane_block(Module& sc_block);

}  // namespace py

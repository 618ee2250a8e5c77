// The registry blocks of the model library, one per family block.
#pragma once
#include "core.hpp"

namespace py {

void trivial_block(Module& sc_block);
void simple_spiking_block(Module& sc_block);
void special_block(Module& sc_block);

}  // namespace py

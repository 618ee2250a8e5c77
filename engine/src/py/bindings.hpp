// Builders of every class and function the module body adds, one per name.
#pragma once
#include "core.hpp"

namespace py {

// lfsr_bindings.cpp
Ref lfsr16_class();
Ref bitstream_encoder_class();
Ref bitstream_averager_class();

}  // namespace py

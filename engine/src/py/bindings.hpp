// Builders of every class and function the module body adds, one per name.
#pragma once
#include "core.hpp"

namespace py {

// lfsr_bindings.cpp
Ref lfsr16_class();
Ref bitstream_encoder_class();
Ref bitstream_averager_class();

// system_bindings.cpp
Ref set_num_threads_function();

// predictive_bindings.cpp
Ref prediction_error_function();
Ref predict_xor_ema_function();
Ref predict_xor_lfsr_function();
Ref recover_xor_ema_function();
Ref recover_xor_lfsr_function();

}  // namespace py

// Builders of every class and function the module body adds, one per name.
#pragma once
#include "core.hpp"

namespace py {

// attention_bindings.cpp
Ref stochastic_attention_class();

// bitstream_bindings.cpp
Ref simd_tier_function();
Ref pack_bitstream_function();
Ref unpack_bitstream_function();
Ref popcount_function();
Ref pack_bitstream_numpy_function();
Ref popcount_numpy_function();
Ref unpack_bitstream_numpy_function();
Ref batch_encode_function();
Ref batch_encode_numpy_function();
Ref cordiv_function();
Ref adaptive_length_function();
Ref bitstream_tensor_class();

// batch_lif_bindings.cpp
Ref batch_lif_run_function();
Ref batch_lif_run_multi_function();
Ref batch_lif_run_varying_function();

// brunel_bindings.cpp
Ref brunel_network_class();

// ei_network_bindings.cpp
Ref simulate_ei_network_function();

// network_runner_bindings.cpp
Ref network_runner_class();
Ref batch_simulate_function();

// kvra_bindings.cpp
Ref kuramoto_solver_class();
Ref kvra_metrics_class();
Ref phi_star_function();

// lfsr_bindings.cpp
Ref lfsr16_class();
Ref bitstream_encoder_class();
Ref bitstream_averager_class();

// grad_bindings.cpp
Ref surrogate_lif_class();
Ref differentiable_dense_layer_class();

// graph_bindings.cpp
Ref stochastic_graph_layer_class();

// ir_bindings.cpp
Ref sc_graph_class();
Ref sc_graph_builder_class();
Ref ir_verify_function();
Ref ir_print_function();
Ref ir_parse_function();
Ref ir_emit_sv_function();

// layer_bindings.cpp
Ref dense_layer_class();

// synapses_bindings.cpp
Ref stdp_synapse_class();

// cortical_column_bindings.cpp
Ref cortical_column_class();

// rall_dendrite_bindings.cpp
Ref rall_dendrite_class();

// models/neuron.cpp
Ref FixedPointLif_class();
Ref Izhikevich_class();
Ref AdExNeuron_class();
Ref ExpIFNeuron_class();
Ref LapicqueNeuron_class();

// models/registry.cpp: the model library, its family blocks in order.
void register_neuron_classes(Module& m);

// system_bindings.cpp
Ref set_num_threads_function();

// predictive_bindings.cpp
Ref prediction_error_function();
Ref predict_xor_ema_function();
Ref predict_xor_lfsr_function();
Ref recover_xor_ema_function();
Ref recover_xor_lfsr_function();

}  // namespace py

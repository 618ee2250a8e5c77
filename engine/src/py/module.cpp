// Module start-up: the one exported symbol and the module body.
#include "bindings.hpp"

namespace py {
namespace {

// Adds every attribute in its fixed order; the first failure ends the body.
void body(PyObject* module) {
    Module m(module);
    m.add("__version__", Ref::check(PyUnicode_FromString("3.14.0")));

    m.add("simd_tier", simd_tier_function());
    m.add("set_num_threads", set_num_threads_function());
    m.add("pack_bitstream", pack_bitstream_function());
    m.add("unpack_bitstream", unpack_bitstream_function());
    m.add("popcount", popcount_function());
    m.add("pack_bitstream_numpy", pack_bitstream_numpy_function());
    m.add("popcount_numpy", popcount_numpy_function());
    m.add("unpack_bitstream_numpy", unpack_bitstream_numpy_function());
    m.add("batch_lif_run", batch_lif_run_function());
    m.add("batch_lif_run_multi", batch_lif_run_multi_function());
    m.add("batch_lif_run_varying", batch_lif_run_varying_function());
    m.add("batch_encode", batch_encode_function());
    m.add("batch_encode_numpy", batch_encode_numpy_function());

    m.add("Lfsr16", lfsr16_class());
    m.add("BitstreamEncoder", bitstream_encoder_class());
    m.add("FixedPointLif", FixedPointLif_class());
    m.add("DenseLayer", dense_layer_class());
    m.add("StdpSynapse", stdp_synapse_class());
    m.add("SurrogateLif", surrogate_lif_class());
    m.add("DifferentiableDenseLayer", differentiable_dense_layer_class());
    m.add("StochasticAttention", stochastic_attention_class());
    m.add("StochasticGraphLayer", stochastic_graph_layer_class());
    m.add("KuramotoSolver", kuramoto_solver_class());
    m.add("KVRAMetrics", kvra_metrics_class());
    m.add("BitStreamTensor", bitstream_tensor_class());
    m.add("BrunelNetwork", brunel_network_class());
    m.add("Izhikevich", Izhikevich_class());
    m.add("BitstreamAverager", bitstream_averager_class());
    m.add("ScGraph", sc_graph_class());
    m.add("ScGraphBuilder", sc_graph_builder_class());

    m.add("ir_verify", ir_verify_function());
    m.add("ir_print", ir_print_function());
    m.add("ir_parse", ir_parse_function());
    m.add("ir_emit_sv", ir_emit_sv_function());

    m.add("AdExNeuron", AdExNeuron_class());
    m.add("ExpIFNeuron", ExpIFNeuron_class());
    m.add("LapicqueNeuron", LapicqueNeuron_class());
    register_neuron_classes(m);

    m.add("NetworkRunner", network_runner_class());
    m.add("py_simulate_ei_network", simulate_ei_network_function());
    m.add("py_batch_simulate", batch_simulate_function());

    m.add("py_cordiv", cordiv_function());
    m.add("py_adaptive_length", adaptive_length_function());
    m.add("py_prediction_error", prediction_error_function());
    m.add("py_predict_xor_ema", predict_xor_ema_function());
    m.add("py_predict_xor_lfsr", predict_xor_lfsr_function());
    m.add("py_recover_xor_ema", recover_xor_ema_function());
    m.add("py_recover_xor_lfsr", recover_xor_lfsr_function());
    m.add("py_phi_star", phi_star_function());

    m.add("CorticalColumnNative", cortical_column_class());
    m.add("RallDendriteNative", rall_dendrite_class());
}

int exec(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of 'PyModule'",
                     Py_TYPE(module)->tp_name);
        return -1;
    }
    return guard_status([&] { body(module); });
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(&exec)}, {0, nullptr}};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "sc_dravik_engine",
    "SC-Dravik \u2500 High-Performance Native Engine",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_sc_dravik_engine() {
    return PyModuleDef_Init(&py::definition);
}

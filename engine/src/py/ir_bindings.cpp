// ScGraph, ScGraphBuilder and the IR module functions.
#include "bindings.hpp"
#include "ir/builder.hpp"
#include "ir/emit_sv.hpp"
#include "ir/graph.hpp"
#include "ir/parser.hpp"
#include "ir/printer.hpp"
#include "ir/verify.hpp"

namespace py {

using ir::BuilderSession;
using ir::ScGraph;

Ref sc_graph_class() {
    // No constructor: graphs come only from ScGraphBuilder.build and ir_parse.
    return Class<ScGraph>("ScGraph")
        .def<&ScGraph::len>("len", {}, "Number of operations in the graph.")
        .def<&ScGraph::is_empty>("is_empty", {}, "Whether the graph is empty.")
        .def<&ScGraph::num_inputs>("num_inputs", {}, "Number of input ports.")
        .def<&ScGraph::num_outputs>("num_outputs", {}, "Number of output ports.")
        .prop<[](const ScGraph& g) { return g.name; }>("name", "Graph name.")
        .len<&ScGraph::len>()
        .repr<[](const ScGraph& g) { return ir::graph_repr(g); }>()
        .build();
}

Ref sc_graph_builder_class() {
    return Class<BuilderSession>("ScGraphBuilder")
        .init<[](std::string name) { return BuilderSession(std::move(name)); }>({arg("name")})
        .def<&BuilderSession::input>("input", {arg("name"), arg("ty")},
                                     "Add a typed input port. Returns value ID.")
        .def<&BuilderSession::output>("output", {arg("name"), arg("source_id")},
                                      "Add an output port forwarding a value.")
        .def<&BuilderSession::constant_f64>("constant_f64", {arg("value"), arg("ty")}, "Add a float constant.")
        .def<&BuilderSession::constant_i64>("constant_i64", {arg("value"), arg("ty")},
                                            "Add an integer constant.")
        .def<&BuilderSession::encode>("encode", {arg("prob_id"), arg("length"), arg("seed")},
                                      "Add a Bernoulli encode operation.")
        .def<&BuilderSession::scale>("scale", {arg("input_id"), arg("factor")},
                                     "Add a scale (multiply by constant factor) operation.")
        .def<&BuilderSession::offset>("offset", {arg("input_id"), arg("offset_val")},
                                      "Add an offset (add constant) operation.")
        .def<&BuilderSession::div_const>("div_const", {arg("input_id"), arg("divisor")},
                                         "Add a divide-by-constant operation.")
        .def<&BuilderSession::bitwise_and>("bitwise_and", {arg("lhs_id"), arg("rhs_id")},
                                           "Add a bitwise AND (SC multiply).")
        .def<&BuilderSession::popcount>("popcount", {arg("input_id")}, "Add a popcount operation.")
        .def<&BuilderSession::lif_step>(
            "lif_step",
            {arg("current_id"), arg("leak_id"), arg("gain_id"), arg("noise_id"),
             arg("data_width", 16), arg("fraction", 8), arg("v_rest", 0), arg("v_reset", 0),
             arg("v_threshold", 256), arg("refractory_period", 2)},
            "Add a LIF neuron step.")
        .def<&BuilderSession::dense_forward>(
            "dense_forward",
            {arg("inputs_id"), arg("weights_id"), arg("leak_id"), arg("gain_id"),
             arg("n_inputs", 3), arg("n_neurons", 7), arg("data_width", 16),
             arg("stream_length", 1024), arg("seed_base", 44257), arg("y_min", 0),
             arg("y_max", 65535)},
            "Add a dense layer forward pass.")
        .def<[](BuilderSession& b) { return make(b.build()); }>(
            "build", {}, "Consume the builder and return a graph.")
        .build();
}

Ref ir_verify_function() {
    return function<[](const ScGraph& g) { return ir::verify_report(g); }>(
        "ir_verify", {arg("graph")},
        "Verify an IR graph. Returns None on success, or a list of error strings.");
}

Ref ir_print_function() {
    return function<[](const ScGraph& g) { return ir::print(g); }>(
        "ir_print", {arg("graph")}, "Print an IR graph to its stable text format.");
}

Ref ir_parse_function() {
    return function<[](std::string text) { return make(ir::parse_or_throw(text)); }>(
        "ir_parse", {arg("text")}, "Parse an IR graph from text format.");
}

Ref ir_emit_sv_function() {
    return function<[](const ScGraph& g) { return ir::emit_or_throw(g); }>(
        "ir_emit_sv", {arg("graph")}, "Emit SystemVerilog from an IR graph.");
}

}  // namespace py

// Models of the ai_optimized family: the block of eight at the head of the registry, and the
// Arcane neuron, registered last.
#include "model.hpp"
#include "models/registry.hpp"
#include "neurons/ai_optimized.hpp"

namespace py {

using namespace neurons::ai_optimized;

SC_BLOCK(ai_optimized) {
    SC_MODEL(MultiTimescaleNeuron, state(v_fast, v_medium, v_slow));
    SC_MODEL(AttentionGatedNeuron, state(v));
    SC_MODEL(PredictiveCodingNeuron, state(v, pred));
    SC_MODEL(SelfReferentialNeuron, state(v));
    SC_MODEL(CompositionalBindingNeuron, state(phi, amplitude));
    SC_MODEL(DifferentiableSurrogateNeuron, state(v));
    SC_MODEL_NAMED(ContinuousAttractorNeuron, "NativeContinuousAttractorNeuron", array_state(u),
                   method(bump_position));
    SC_MODEL(MetaPlasticNeuron, state(v, error_trace, expected_reward));
}

SC_BLOCK(arcane) {
    SC_MODEL(ArcaneNeuron, state(v_fast, v_work, v_deep));
}

}  // namespace py

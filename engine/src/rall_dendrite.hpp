// A passive branched dendrite: identical branches of leaky compartments carry their inputs
// from the distal ends toward a soma that integrates the weighted proximal compartments.
#pragma once
#include <cstddef>
#include <span>
#include <vector>

namespace rall_dendrite {

struct RallDendriteNative {
    // (1 / n_branches^(2/3))^(3/2) for every branch.
    std::vector<double> branch_weights;
    // Branch i's compartment k at i * branch_length + k; k = 0 is next to the soma.
    std::vector<double> compartments;
    std::size_t n_branches = 0;
    std::size_t branch_length = 0;
    double tau = 0.0;
    double coupling = 0.0;
    double dt = 0.0;
    double decay = 0.0;
    double gain = 0.0;
    double soma_v = 0.0;

    // Nothing is validated.
    static RallDendriteNative make(std::size_t n_branches, std::size_t branch_length, double tau,
                                   double coupling, double dt);

    // Input i enters the distal end of branch i (inputs beyond the branches are ignored);
    // returns the new soma value. Branches without compartments stop every step with an
    // index panic before anything changes.
    double step(std::span<const double> inputs);

    void reset();
};

}  // namespace rall_dendrite

#include "rall_dendrite.hpp"

#include <algorithm>
#include <cmath>

#include "error.hpp"

namespace rall_dendrite {

RallDendriteNative RallDendriteNative::make(std::size_t n_branches, std::size_t branch_length, double tau,
                                            double coupling, double dt) {
    RallDendriteNative d;
    // Two powers, in this order: the weights are only close to 1 / n_branches.
    const double w = std::pow(1.0 / std::pow(static_cast<double>(n_branches), 2.0 / 3.0), 1.5);
    // The product is checked first, so an impossible shape fails before anything is filled.
    d.compartments = engine::sized_vector<double>(n_branches, branch_length);
    d.branch_weights = engine::sized_vector<double>(n_branches, 1, w);
    d.n_branches = n_branches;
    d.branch_length = branch_length;
    d.tau = tau;
    d.coupling = coupling;
    d.dt = dt;
    d.decay = std::exp(-dt / tau);
    d.gain = dt / tau;
    return d;
}

double RallDendriteNative::step(std::span<const double> inputs) {
    const std::size_t nb = n_branches, len = branch_length;
    // Every step reads compartment 0 of each branch, so empty branches fail before any write.
    if (nb > 0 && len == 0) engine::panic_index(0, 0);

    for (double& c : compartments) c = c * decay;

    for (std::size_t i = 0; i < std::min(inputs.size(), nb); ++i) {
        double& distal = compartments[i * len + len - 1];
        distal = inputs[i] * gain + distal;
    }

    // Distal to proximal, so a value can reach compartment 0 within one step. Branches do not
    // interact, so sweeping one branch after the other gives the same values as sweeping all
    // branches at each compartment.
    if (len >= 2) {
        for (std::size_t i = 0; i < nb; ++i) {
            double* c = compartments.data() + i * len;
            for (std::size_t k = len - 1; k >= 1; --k) {
                const double flow = (c[k] - c[k - 1]) * coupling;
                c[k] = c[k] - flow;
                c[k - 1] = c[k - 1] + flow;
            }
        }
    }

    double sum = 0.0;
    for (std::size_t i = 0; i < nb; ++i) sum += compartments[i * len] * branch_weights[i];
    soma_v = sum * gain + soma_v * decay;
    return soma_v;
}

void RallDendriteNative::reset() {
    std::fill(compartments.begin(), compartments.end(), 0.0);
    soma_v = 0.0;
}

}  // namespace rall_dendrite

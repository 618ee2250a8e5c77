#include "cortical_column.hpp"

#include <cmath>

#include "error.hpp"

namespace cortical_column {
namespace {

// xorshift64 with shifts 13, 7, 17; a uniform in [0, 1) from the top 53 bits of each state.
struct XorShift64 {
    uint64_t s;
    double uniform() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return static_cast<double>(s >> 11) * 0x1.0p-53;
    }
};

// Each entry is connected with probability p and then weighted by w times a second uniform;
// an unconnected entry costs one draw, a connected one two.
std::vector<double> draw_matrix(XorShift64& g, std::size_t n, double p, double w) {
    std::vector<double> m = engine::sized_vector<double>(n, n);
    for (double& e : m)
        if (g.uniform() < p) e = w * g.uniform();
    return m;
}

// Entry i of M·x, summed in increasing j.
double row_dot(const std::vector<double>& m, std::size_t i, std::size_t n, const double* x) {
    const double* row = m.data() + i * n;
    double sum = 0.0;
    for (std::size_t j = 0; j < n; ++j) sum += row[j] * x[j];
    return sum;
}

std::vector<double> spikes(const std::vector<double>& x, double threshold) {
    std::vector<double> s(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) s[i] = x[i] > threshold ? 1.0 : 0.0;
    return s;
}

// The spikes of x, with the threshold subtracted from every unit that spiked.
std::vector<double> fire(std::vector<double>& x, double threshold) {
    std::vector<double> s = spikes(x, threshold);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = x[i] - s[i] * threshold;
    return s;
}

}  // namespace

CorticalColumnNative CorticalColumnNative::make(std::size_t n, uint64_t seed, double tau, double dt,
                                                double threshold, double w_exc, double w_inh) {
    CorticalColumnNative c;
    c.n = n;
    XorShift64 g{seed + 1};  // unsigned: wraps, so seed 2^64 - 1 starts (and stays) at 0
    c.thal_to_l4 = draw_matrix(g, n, 0.5, w_exc);
    c.l4_to_l23_exc = draw_matrix(g, n, 0.4, w_exc);
    c.l23_exc_to_l23_inh = draw_matrix(g, n, 0.3, w_exc);
    c.l23_inh_to_l23_exc = draw_matrix(g, n, 0.3, w_inh);
    c.l23_exc_to_l5 = draw_matrix(g, n, 0.3, w_exc);
    c.l5_to_l6 = draw_matrix(g, n, 0.3, w_exc);
    c.l6_to_l4 = draw_matrix(g, n, 0.2, w_exc * 0.5);
    c.decay = std::exp(-dt / tau);
    c.threshold = threshold;
    c.gain = dt / tau;
    c.reset();
    return c;
}

std::array<std::vector<double>, 5> CorticalColumnNative::step(std::span<const double> input) {
    if (input.size() < n) engine::panic_index(input.size(), input.size());
    const double* in = input.data();
    // The feedback into l4 and the inhibition of l2/3 act with one step of delay: they read
    // the spikes of the values the previous step left (after its reset).
    const std::vector<double> s6_old = spikes(l6, threshold);
    const std::vector<double> s23i_old = spikes(l23_inh, threshold);

    for (std::size_t i = 0; i < n; ++i)
        l4[i] = (row_dot(thal_to_l4, i, n, in) + row_dot(l6_to_l4, i, n, s6_old.data())) * gain +
                l4[i] * decay;
    std::vector<double> s4 = fire(l4, threshold);

    for (std::size_t i = 0; i < n; ++i)
        l23_exc[i] = (row_dot(l4_to_l23_exc, i, n, s4.data()) +
                      row_dot(l23_inh_to_l23_exc, i, n, s23i_old.data())) *
                         gain +
                     l23_exc[i] * decay;
    std::vector<double> s23e = fire(l23_exc, threshold);

    // The three single-source layers: target = (M·source) * gain + target * decay.
    auto drive = [&](std::vector<double>& target, const std::vector<double>& m, const std::vector<double>& src) {
        for (std::size_t i = 0; i < n; ++i)
            target[i] = row_dot(m, i, n, src.data()) * gain + target[i] * decay;
        return fire(target, threshold);
    };
    std::vector<double> s23i = drive(l23_inh, l23_exc_to_l23_inh, s23e);
    std::vector<double> s5 = drive(l5, l23_exc_to_l5, s23e);
    std::vector<double> s6 = drive(l6, l5_to_l6, s5);
    return {std::move(s4), std::move(s23e), std::move(s23i), std::move(s5), std::move(s6)};
}

void CorticalColumnNative::reset() {
    for (std::vector<double>* layer : {&l4, &l23_exc, &l23_inh, &l5, &l6}) layer->assign(n, 0.0);
}

}  // namespace cortical_column

// Curves, gate updates, clips and the crossing rule shared by the conductance-based and spiking
// models. Each helper is the expression the models write, in their order of operations, so a
// model that calls it computes exactly what it would inline.
#pragma once
#include <cmath>
#include <cstdint>

namespace neurons {

// 1 / (1 + exp(u)), the form of every steady-state curve.
inline double logistic(double u) { return 1.0 / (1.0 + std::exp(u)); }

// 1 / (1 + exp((v + c) / k)): an activation curve for negative k, an inactivation curve for
// positive k.
inline double sigma(double v, double c, double k) { return logistic((v + c) / k); }

// 1 / (1 + exp(-(v + c) / k)), the instantaneous activations written with the sign outside.
inline double rising(double v, double c, double k) { return logistic(-(v + c) / k); }

// a * x / (1 - exp(x / s)), or the pinned value g (and no exp) within 1e-7 of the singular
// point. g is the model's own value, not always the quotient's limit; a NaN x takes the quotient.
inline double guarded_rate(double a, double x, double s, double g) {
    if (std::fabs(x) < 1e-7) return g;
    return a * x / (1.0 - std::exp(x / s));
}

// Gate with opening and closing rates: x + dt * (alpha * (1 - x) - beta * x).
inline double gate_ab(double x, double alpha, double beta, double dt) {
    return x + dt * (alpha * (1.0 - x) - beta * x);
}

// Gate relaxing to its steady state: x + dt * (x_inf - x) / tau.
inline double gate_tau(double x, double x_inf, double tau, double dt) { return x + dt * (x_inf - x) / tau; }

// A concentration never goes negative: anything not above 0 (NaN included) becomes +0.0.
inline double clip_pool(double x) { return x > 0.0 ? x : 0.0; }

// The larger of x and the bound, and the smaller; a NaN x gives the bound.
inline double at_least(double x, double bound) { return x > bound ? x : bound; }
inline double at_most(double x, double bound) { return x < bound ? x : bound; }

inline double cube(double x) { return x * x * x; }
inline double fourth(double x) { return x * x * x * x; }

// Opening and closing rates of the Na activation (m), Na inactivation (h) and K activation (n)
// gates at one voltage.
struct Rates {
    double am, bm, ah, bh, an, bn;
};

// The Hodgkin-Huxley rate set of the voltage u, with the six shifts of a model.
inline Rates h_rates(double u, double s1, double s2, double s3, double s4, double s5, double s6) {
    Rates r;
    r.am = guarded_rate(0.1, u + s1, -10.0, 1.0);
    r.bm = 4.0 * std::exp(-(u + s2) / 18.0);
    r.ah = 0.07 * std::exp(-(u + s3) / 20.0);
    r.bh = 1.0 / (1.0 + std::exp(-(u + s4) / 10.0));
    r.an = guarded_rate(0.01, u + s5, -10.0, 0.1);
    r.bn = 0.125 * std::exp(-(u + s6) / 80.0);
    return r;
}

// The Traub rate set of the voltage v, with its pinned guard values 8, 5.6 and 0.32 (not the
// quotients' limits 1.28, 1.4 and 0.16).
inline Rates traub_rates(double v) {
    Rates r;
    r.am = guarded_rate(0.32, v + 54.0, -4.0, 8.0);
    r.bm = guarded_rate(-0.28, v + 27.0, 5.0, 5.6);
    r.ah = 0.128 * std::exp(-(v + 50.0) / 18.0);
    r.bh = 4.0 / (1.0 + std::exp(-(v + 27.0) / 5.0));
    r.an = guarded_rate(0.032, v + 52.0, -5.0, 0.32);
    r.bn = 0.5 * std::exp(-(v + 57.0) / 40.0);
    return r;
}

// The upward crossing: a spike only when the value goes from below the level to at or above
// it, so a value held above the level fires once. NaN never crosses.
inline int32_t crossed(double before, double after, double level) {
    return before < level && level <= after ? 1 : 0;
}

}  // namespace neurons

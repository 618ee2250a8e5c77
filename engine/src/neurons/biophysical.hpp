// Conductance-based neurons, a slow burster and generalized integrate-and-fire models. The
// conductance models either take a fixed number of forward-Euler sub-steps per call or one
// step; each reports an upward crossing of its spike level between the call's entry and its
// end and resets nothing. Every expression keeps its written order (products and quotients
// left to right, powers by repeated multiplication unless `pow` is named) so that the Python
// class and the network's dispatch agree bit for bit.
#pragma once
#include <cmath>
#include <cstdint>

#include "error.hpp"
#include "neurons/args.hpp"
#include "neurons/draws.hpp"
#include "neurons/kinetics.hpp"
#include "rng.hpp"

namespace neurons::biophysical {

// ---------------------------------------------------------------- sub-stepped models

// The classic squid-axon model; one call is 1/dt sub-steps (1 ms at the default dt).
struct HodgkinHuxleyNeuron {
    double v = -65.0;
    double m = 0.05;
    double h = 0.6;
    double n = 0.32;
    double c_m = 1.0;
    double g_na = 120.0;
    double g_k = 36.0;
    double g_l = 0.3;
    double e_na = 50.0;
    double e_k = -77.0;
    double e_l = -54.4;
    double dt = 0.01;
    double v_threshold = 0.0;

    int32_t step(double current) {
        const double v_entry = v;
        // Saturating: a negative or NaN quotient takes no sub-step, and no cast is out of range.
        const uint64_t steps = engine::saturating_u64(1.0 / dt);
        for (uint64_t k = 0; k < steps; ++k) {
            const Rates r = h_rates(v, 40.0, 65.0, 65.0, 35.0, 55.0, 65.0);
            m = gate_ab(m, r.am, r.bm, dt);
            h = gate_ab(h, r.ah, r.bh, dt);
            n = gate_ab(n, r.an, r.bn, dt);
            v = v + dt * (current - g_na * cube(m) * h * (v - e_na) - g_k * fourth(n) * (v - e_k) -
                          g_l * (v - e_l)) /
                        c_m;
        }
        return crossed(v_entry, v, v_threshold);
    }

    void reset() {
        v = -65.0;
        m = 0.05;
        h = 0.6;
        n = 0.32;
    }
};

// Cortical pyramidal cell with fast Na and delayed-rectifier K, no capacitance divisor.
struct TraubMilesNeuron {
    double v = -67.0;
    double m = 0.05;
    double h = 0.6;
    double n = 0.3;
    double g_na = 100.0;
    double g_k = 80.0;
    double g_l = 0.1;
    double e_na = 50.0;
    double e_k = -100.0;
    double e_l = -67.0;
    double dt = 0.01;
    double v_threshold = -20.0;

    int32_t step(double current) {
        const double v_entry = v;
        for (int k = 0; k < 10; ++k) {
            const Rates r = traub_rates(v);
            m = gate_ab(m, r.am, r.bm, dt);
            h = gate_ab(h, r.ah, r.bh, dt);
            n = gate_ab(n, r.an, r.bn, dt);
            v = v + dt * (current - g_na * cube(m) * h * (v - e_na) - g_k * fourth(n) * (v - e_k) - g_l * (v - e_l));
        }
        return crossed(v_entry, v, v_threshold);
    }

    void reset() {
        v = -67.0;
        m = 0.05;
        h = 0.6;
        n = 0.3;
    }
};

// Hippocampal interneuron: instantaneous Na activation, h and n sped up by phi.
struct WangBuzsakiNeuron {
    double v = -65.0;
    double h = 0.8;
    double n = 0.1;
    double g_na = 35.0;
    double g_k = 9.0;
    double g_l = 0.1;
    double e_na = 55.0;
    double e_k = -90.0;
    double e_l = -65.0;
    double c_m = 1.0;
    double phi = 5.0;
    double dt = 0.01;
    double v_threshold = -20.0;

    int32_t step(double current) {
        const double v_entry = v;
        for (int k = 0; k < 10; ++k) {
            const Rates r = h_rates(v, 35.0, 60.0, 58.0, 28.0, 34.0, 44.0);
            const double m_inf = r.am / (r.am + r.bm);
            h = h + dt * phi * (r.ah * (1.0 - h) - r.bh * h);
            n = n + dt * phi * (r.an * (1.0 - n) - r.bn * n);
            v = v + dt * (current - g_na * cube(m_inf) * h * (v - e_na) - g_k * fourth(n) * (v - e_k) -
                          g_l * (v - e_l)) /
                        c_m;
        }
        return crossed(v_entry, v, v_threshold);
    }

    void reset() {
        v = -65.0;
        h = 0.8;
        n = 0.1;
    }
};

// Hodgkin-Huxley currents plus the transient A-type K current (gates a, b).
struct ConnorStevensNeuron {
    double v = -68.0;
    double m = 0.01;
    double h = 0.99;
    double n = 0.1;
    double a = 0.5;
    double b = 0.1;
    double g_na = 120.0;
    double g_k = 20.0;
    double g_a = 47.7;
    double g_l = 0.3;
    double e_na = 55.0;
    double e_k = -72.0;
    double e_a = -75.0;
    double e_l = -17.0;
    double c_m = 1.0;
    double dt = 0.01;
    double v_threshold = 0.0;

    int32_t step(double current) {
        const double v_entry = v;
        for (int k = 0; k < 10; ++k) {
            const Rates r = h_rates(v, 29.7, 54.7, 48.0, 18.0, 45.7, 55.7);
            m = gate_ab(m, r.am, r.bm, dt);
            h = gate_ab(h, r.ah, r.bh, dt);
            n = gate_ab(n, r.an, r.bn, dt);
            const double a_inf =
                std::pow(0.0761 * std::exp((v + 94.22) / 31.84) / (1.0 + std::exp((v + 1.17) / 28.93)), 1.0 / 3);
            const double tau_a = 0.3632 + 1.158 / (1.0 + std::exp((v + 55.96) / 20.12));
            const double b_inf = std::pow(1.0 / (1.0 + std::exp((v + 53.3) / 14.54)), 4.0);
            const double tau_b = 1.24 + 2.678 / (1.0 + std::exp((v + 50.0) / 16.027));
            a = gate_tau(a, a_inf, tau_a, dt);
            b = gate_tau(b, b_inf, tau_b, dt);
            v = v + dt * (current - g_na * cube(m) * h * (v - e_na) - g_k * fourth(n) * (v - e_k) -
                          g_a * cube(a) * b * (v - e_a) - g_l * (v - e_l)) /
                        c_m;
        }
        return crossed(v_entry, v, v_threshold);
    }

    void reset() {
        v = -68.0;
        m = 0.01;
        h = 0.99;
        n = 0.1;
        a = 0.5;
        b = 0.1;
    }
};

// Thalamic relay cell: fast Na and K with the low-threshold T-type Ca current.
struct DestexheThalamicNeuron {
    double v = -65.0;
    double h_na = 0.6;
    double n_k = 0.3;
    double m_t = 0.0;
    double h_t = 1.0;
    double g_na = 100.0;
    double g_k = 10.0;
    double g_t = 2.0;
    double g_l = 0.05;
    double e_na = 50.0;
    double e_k = -100.0;
    double e_ca = 120.0;
    double e_l = -70.0;
    double dt = 0.02;
    double v_threshold = -20.0;

    int32_t step(double current) {
        const double v_entry = v;
        for (int k = 0; k < 5; ++k) {
            const double m_inf = rising(v, 37.0, 7.0);
            h_na = h_na + dt * (sigma(v, 41.0, 4.0) - h_na);
            n_k = gate_tau(n_k, sigma(v, 25.0, -12.0), 5.0, dt);
            m_t = m_t + dt * (sigma(v, 57.0, -6.2) - m_t);
            h_t = gate_tau(h_t, sigma(v, 81.0, 4.0), 20.0, dt);
            v = v + dt * (current - g_na * cube(m_inf) * h_na * (v - e_na) - g_k * fourth(n_k) * (v - e_k) -
                          g_t * (m_t * m_t) * h_t * (v - e_ca) - g_l * (v - e_l));
        }
        return crossed(v_entry, v, v_threshold);
    }

    void reset() {
        v = -65.0;
        h_na = 0.6;
        n_k = 0.3;
        m_t = 0.0;
        h_t = 1.0;
    }
};

// Fast-spiking interneuron: instantaneous Na activation, a delayed rectifier (n squared)
// and a second K current of gate p.
struct GolombFSNeuron {
    double v = -65.0;
    double h = 0.9;
    double n = 0.1;
    double p = 0.0;
    double g_na = 112.5;
    double g_kdr = 225.0;
    double g_p = 150.0;
    double g_l = 0.25;
    double e_na = 50.0;
    double e_k = -90.0;
    double e_l = -70.0;
    double dt = 0.01;
    double v_threshold = -20.0;

    int32_t step(double current) {
        const double v_entry = v;
        for (int k = 0; k < 10; ++k) {
            const double m_inf = rising(v, 24.0, 11.5);
            const double h_inf = sigma(v, 58.3, 6.7);
            const double n_inf = rising(v, 12.4, 6.8);
            const double p_inf = rising(v, 3.0, 10.0);
            h = h + dt * 2.0 * (h_inf - h);
            n = n + dt * 0.5 * (n_inf - n);
            p = p + dt * (p_inf - p);
            v = v + dt * (current - g_na * cube(m_inf) * h * (v - e_na) - g_kdr * (n * n) * (v - e_k) -
                          g_p * p * (v - e_k) - g_l * (v - e_l));
        }
        return crossed(v_entry, v, v_threshold);
    }

    void reset() {
        v = -65.0;
        h = 0.9;
        n = 0.1;
        p = 0.0;
    }
};

// Regular-spiking cortical cell with a slow M-current gate p. The rates take d = v - shift;
// the exponent signs of alpha_m, beta_m and alpha_n are the model's own, opposite to the
// same-shaped Traub-Miles rates.
struct PospischilNeuron {
    double v = -70.0;
    double m = 0.05;
    double h = 0.6;
    double n = 0.3;
    double p = 0.0;
    double g_na = 50.0;
    double g_k = 5.0;
    double g_m = 0.004;
    double g_l = 0.01;
    double e_na = 50.0;
    double e_k = -90.0;
    double e_l = -70.0;
    double v_rate_shift = -56.2;
    double dt = 0.025;
    double v_threshold = -20.0;

    int32_t step(double current) {
        const double v_entry = v;
        for (int k = 0; k < 4; ++k) {
            const double d = v - v_rate_shift;
            const double am = guarded_rate(-0.32, d - 13.0, 4.0, 8.0);
            const double bm = guarded_rate(0.28, d - 40.0, -5.0, 5.6);
            const double ah = 0.128 * std::exp(-(d - 17.0) / 18.0);
            const double bh = 4.0 / (1.0 + std::exp(-(d - 40.0) / 5.0));
            const double an = guarded_rate(-0.032, d - 15.0, 5.0, 0.32);
            const double bn = 0.5 * std::exp(-(d - 10.0) / 40.0);
            const double p_inf = rising(v, 35.0, 10.0);
            m = gate_ab(m, am, bm, dt);
            h = gate_ab(h, ah, bh, dt);
            n = gate_ab(n, an, bn, dt);
            p = gate_tau(p, p_inf, 100.0, dt);
            v = v + dt * (current - g_na * cube(m) * h * (v - e_na) - g_k * fourth(n) * (v - e_k) -
                          g_m * p * (v - e_k) - g_l * (v - e_l));
        }
        return crossed(v_entry, v, v_threshold);
    }

    void reset() {
        v = -70.0;
        m = 0.05;
        h = 0.6;
        n = 0.3;
        p = 0.0;
    }
};

// Passive soma coupled to an active axon; the input enters the soma and the spike is read there.
struct MainenSejnowskiNeuron {
    double vs = -65.0;
    double va = -65.0;
    double m = 0.05;
    double h = 0.6;
    double n = 0.3;
    double kappa = 10.0;
    double g_na = 3000.0;
    double g_k = 1500.0;
    double g_l = 1.0;
    double e_na = 50.0;
    double e_k = -90.0;
    double e_l = -70.0;
    double c_soma = 1.0;
    double c_axon = 0.1;
    double dt = 0.005;
    double v_threshold = -20.0;

    int32_t step(double current) {
        const double v_entry = vs;
        for (int k = 0; k < 20; ++k) {
            const Rates r = h_rates(va, 40.0, 65.0, 65.0, 35.0, 55.0, 65.0);
            m = gate_ab(m, r.am, r.bm, dt);
            h = gate_ab(h, r.ah, r.bh, dt);
            n = gate_ab(n, r.an, r.bn, dt);
            vs = vs + dt * (kappa * (va - vs) - g_l * (vs - e_l) + current) / c_soma;
            // The axon sees the soma voltage just computed.
            va = va + dt * (-g_na * cube(m) * h * (va - e_na) - g_k * fourth(n) * (va - e_k) - kappa * (va - vs)) /
                          c_axon;
        }
        return crossed(v_entry, vs, v_threshold);
    }

    void reset() {
        vs = -65.0;
        va = -65.0;
        m = 0.05;
        h = 0.6;
        n = 0.3;
    }
};

// Cerebellar Purkinje cell: fast Na and K, P-type Ca and a calcium-activated K current fed
// by a calcium pool.
struct DeSchutterPurkinjeNeuron {
    double v = -68.0;
    double h_na = 0.8;
    double n_k = 0.1;
    double m_cap = 0.0;
    double h_cap = 0.9;
    double q_kca = 0.0;
    double ca = 0.0001;
    double g_na = 125.0;
    double g_k = 10.0;
    double g_cap = 45.0;
    double g_kca = 35.0;
    double g_l = 0.5;
    double e_na = 45.0;
    double e_k = -85.0;
    double e_ca = 135.0;
    double e_l = -68.0;
    double ca_decay = 0.02;
    double k_ca = 0.00024;
    double dt = 0.01;
    double v_threshold = -20.0;

    int32_t step(double current) {
        const double v_entry = v;
        for (int k = 0; k < 5; ++k) {
            const double m_inf = rising(v, 30.0, 9.0);
            h_na = h_na + dt * (sigma(v, 45.0, 7.0) - h_na);
            n_k = gate_tau(n_k, sigma(v, 25.0, -12.0), 3.0, dt);
            m_cap = m_cap + dt * (sigma(v, 19.0, -10.0) - m_cap);
            h_cap = gate_tau(h_cap, sigma(v, 39.0, 7.0), 15.0, dt);
            q_kca = gate_tau(q_kca, ca / (ca + 0.001), 5.0, dt);
            const double i_cap = g_cap * (m_cap * m_cap) * h_cap * (v - e_ca);
            v = v + dt * (current - g_na * cube(m_inf) * h_na * (v - e_na) - g_k * fourth(n_k) * (v - e_k) - i_cap -
                          g_kca * q_kca * (v - e_k) - g_l * (v - e_l));
            ca = clip_pool(ca + dt * (-k_ca * i_cap - ca_decay * ca));
        }
        return crossed(v_entry, v, v_threshold);
    }

    void reset() {
        v = -68.0;
        h_na = 0.8;
        n_k = 0.1;
        m_cap = 0.0;
        h_cap = 0.9;
        q_kca = 0.0;
        ca = 0.0001;
    }
};

// Molluscan bursting cell R15: Hodgkin-Huxley currents, an instantaneous Ca current and a
// calcium-activated K current fed by a calcium pool.
struct PlantR15Neuron {
    double v = -50.0;
    double m = 0.05;
    double h = 0.6;
    double n = 0.3;
    double ca = 0.1;
    double g_na = 4.0;
    double g_k = 0.3;
    double g_ca = 0.004;
    double g_l = 0.003;
    double g_kca = 0.03;
    double e_na = 30.0;
    double e_k = -75.0;
    double e_ca = 140.0;
    double e_l = -40.0;
    double c_m = 1.0;
    double k_ca = 0.0085;
    double tau_ca = 500.0;
    double dt = 0.05;
    double v_threshold = -10.0;

    int32_t step(double current) {
        const double v_entry = v;
        for (int k = 0; k < 5; ++k) {
            const Rates r = h_rates(v, 40.0, 65.0, 65.0, 35.0, 55.0, 65.0);
            m = gate_ab(m, r.am, r.bm, dt);
            h = gate_ab(h, r.ah, r.bh, dt);
            n = gate_ab(n, r.an, r.bn, dt);
            const double x_inf = rising(v, 25.0, 5.0);
            const double i_ca = g_ca * x_inf * (v - e_ca);
            const double f = at_most(ca / (ca + 0.5), 1.0);  // a NaN ratio gives the bound
            v = v + dt * (current - g_na * cube(m) * h * (v - e_na) - g_k * fourth(n) * (v - e_k) - i_ca -
                          g_kca * f * (v - e_k) - g_l * (v - e_l)) /
                        c_m;
            ca = clip_pool(ca + dt * (-k_ca * i_ca - ca / tau_ca));
        }
        return crossed(v_entry, v, v_threshold);
    }

    void reset() {
        v = -50.0;
        m = 0.05;
        h = 0.6;
        n = 0.3;
        ca = 0.1;
    }
};

// ---------------------------------------------------------------- single-step models

// Two slow currents, depolarizing and repolarizing, in the gates-first order.
struct HuberBraunNeuron {
    double v = -50.0;
    double a_sd = 0.0;
    double a_sr = 0.0;
    double g_sd = 1.5;
    double g_sr = 0.4;
    double g_l = 0.1;
    double e_sd = 50.0;
    double e_sr = -90.0;
    double e_l = -60.0;
    double tau_sd = 10.0;
    double tau_sr = 20.0;
    double dt = 0.1;
    double v_threshold = -20.0;

    int32_t step(double current) {
        const double v_entry = v;
        a_sd = gate_tau(a_sd, sigma(v, 25.0, -5.0), tau_sd, dt);
        a_sr = gate_tau(a_sr, sigma(v, 40.0, 5.0), tau_sr, dt);
        v = v + dt * (current - g_sd * a_sd * (v - e_sd) - g_sr * a_sr * (v - e_sr) - g_l * (v - e_l));
        return crossed(v_entry, v, v_threshold);
    }

    void reset() {
        v = -50.0;
        a_sd = 0.0;
        a_sr = 0.0;
    }
};

// Instantaneous Na activation and a K gate w whose curve has its own half-point and slope.
struct PrescottNeuron {
    double v = -65.0;
    double w = 0.0;
    double g_na = 20.0;
    double g_k = 20.0;
    double g_l = 2.0;
    double e_na = 50.0;
    double e_k = -100.0;
    double e_l = -70.0;
    double beta_w = -21.0;
    double gamma_w = 15.0;
    double tau_w = 100.0;
    double phi_w = 0.15;
    double dt = 0.1;
    double v_threshold = -20.0;

    int32_t step(double current) {
        const double v0 = v;
        const double m_inf = rising(v0, 20.0, 15.0);
        const double w_inf = logistic(-(v0 - beta_w) / gamma_w);
        v = v0 + dt * (current - g_na * m_inf * (v0 - e_na) - g_k * w * (v0 - e_k) - g_l * (v0 - e_l));
        w = w + dt * phi_w * (w_inf - w) / tau_w;
        return crossed(v0, v, v_threshold);
    }

    void reset() {
        v = -65.0;
        w = 0.0;
    }
};

// Adaptive threshold with two after-spike currents; threshold and reset.
struct MihalasNieburNeuron {
    double v = 0.0;
    double theta = 1.0;
    double i1 = 0.0;
    double i2 = 0.0;
    double e_l = 0.0;
    double v_reset = 0.0;
    double theta_reset = 1.0;
    double theta_inf = 1.0;
    double tau_m = 10.0;
    double tau_theta = 100.0;
    double tau_i1 = 10.0;
    double tau_i2 = 200.0;
    double a_theta = 0.0;
    double v_reset_factor = 0.0;
    double delta_i1 = 0.0;
    double delta_i2 = 0.0;
    double dt = 1.0;

    int32_t step(double current) {
        const double v1 = v + dt * (i2 + (i1 - (v - e_l)) + current) / tau_m;
        const double theta1 = theta + a_theta * (v1 - e_l) + dt * (theta_inf - theta) / tau_theta;
        const double i1_1 = i1 - dt * i1 / tau_i1;
        const double i2_1 = i2 - dt * i2 / tau_i2;
        if (theta1 <= v1) {
            v = v_reset + v_reset_factor * (v1 - e_l);
            theta = theta_reset > theta1 ? theta_reset : theta1;  // a NaN bound keeps theta1
            i1 = i1_1 + delta_i1;
            i2 = i2_1 + delta_i2;
            return 1;
        }
        v = v1;
        theta = theta1;
        i1 = i1_1;
        i2 = i2_1;
        return 0;
    }

    void reset() {
        v = e_l;
        theta = theta_reset;
        i1 = 0.0;
        i2 = 0.0;
    }
};

// Generalized leaky integrate-and-fire: adaptive threshold and two decaying after-spike currents.
struct GLIFNeuron {
    double v = -70.0;
    double theta = -50.0;
    double theta_inf = -50.0;
    double i_asc1 = 0.0;
    double i_asc2 = 0.0;
    double e_l = -70.0;
    double v_reset = -70.0;
    double tau_m = 10.0;
    double tau_theta = 100.0;
    double tau_asc1 = 10.0;
    double tau_asc2 = 200.0;
    double a_theta = 0.01;
    double delta_theta = 2.0;
    double delta_i_asc1 = 1.0;
    double delta_i_asc2 = 0.5;
    double r_m = 1.0;
    double dt = 1.0;

    int32_t step(double current) {
        const double v1 = v + dt * (r_m * current - (v - e_l) + i_asc1 + i_asc2) / tau_m;
        const double asc1 = i_asc1 * std::exp(-dt / tau_asc1);
        const double asc2 = i_asc2 * std::exp(-dt / tau_asc2);
        const double theta1 = theta + a_theta * (v1 - e_l) + dt * (theta_inf - theta) / tau_theta;
        if (v1 >= theta1) {
            v = v_reset;
            theta = theta1 + delta_theta;
            i_asc1 = asc1 + delta_i_asc1;
            i_asc2 = asc2 + delta_i_asc2;
            return 1;
        }
        v = v1;
        theta = theta1;
        i_asc1 = asc1;
        i_asc2 = asc2;
        return 0;
    }

    void reset() {
        v = e_l;
        theta = theta_inf;
        i_asc1 = 0.0;
        i_asc2 = 0.0;
    }
};

// Escape-noise neuron: spikes with the exponential hazard of its distance to threshold,
// drawing exactly one uniform per call.
struct GIFPopulationNeuron {
    rng::Xoshiro256pp rng;
    double v = -65.0;
    double theta = -50.0;
    double eta = 0.0;
    double tau_m = 20.0;
    double tau_eta = 100.0;
    double delta_u = 2.0;
    double lambda0 = 0.001;
    double eta_jump = 5.0;
    double v_rest = -65.0;
    double v_reset = -65.0;
    double dt = 0.5;

    SC_ARGS(GIFPopulationNeuron, (uint64_t, seed, 42))
    explicit GIFPopulationNeuron(const Args& a) : rng(a.seed) {}

    int32_t step(double current) {
        const double v1 = v + dt * (current - (v - v_rest)) / tau_m;
        const double eta1 = eta * std::exp(-dt / tau_eta);
        const double p = std::exp((v1 - theta + eta1) / delta_u) * lambda0 * dt;
        if (bernoulli_spike(rng, p)) {
            v = v_reset;
            eta = eta1 + eta_jump;
            return 1;
        }
        v = v1;
        eta = eta1;
        return 0;
    }

    // theta is never written; the generator goes on where it stood.
    void reset() {
        v = -65.0;
        eta = 0.0;
    }
};

// Cardiac pacemaker cell: fast Na and K with a slow inward gate s, in the gates-first order.
struct AvRonCardiacNeuron {
    double v = -60.0;
    double h = 0.6;
    double n = 0.3;
    double s = 0.5;
    double g_na = 80.0;
    double g_k = 40.0;
    double g_s = 20.0;
    double g_l = 0.1;
    double e_na = 40.0;
    double e_k = -80.0;
    double e_s = -25.0;
    double e_l = -60.0;
    double dt = 0.02;
    double v_threshold = -20.0;

    int32_t step(double current) {
        const double v_entry = v;
        h = gate_tau(h, sigma(v, 55.0, 7.0), 1.5, dt);
        n = n + dt * 0.25 * (sigma(v, 28.0, -15.0) - n);
        s = gate_tau(s, sigma(v, 27.0, -5.0), 50.0, dt);
        const double m_inf = rising(v, 35.0, 7.8);
        v = v + dt * (current - g_na * cube(m_inf) * h * (v - e_na) - g_k * fourth(n) * (v - e_k) -
                      g_s * s * (v - e_s) - g_l * (v - e_l));
        return crossed(v_entry, v, v_threshold);
    }

    void reset() {
        v = -60.0;
        h = 0.6;
        n = 0.3;
        s = 0.5;
    }
};

// Midbrain dopamine cell with an NMDA current under magnesium block. The dopamine level is a
// field that nothing sets, so its modulation terms keep their zero-level values.
struct DurstewitzDopamineNeuron {
    double v = -65.0;
    double h_na = 0.7;
    double n_k = 0.2;
    double g_na = 45.0;
    double g_k = 18.0;
    double g_nmda = 0.5;
    double g_l = 0.02;
    double e_na = 55.0;
    double e_k = -80.0;
    double e_nmda = 0.0;
    double e_l = -65.0;
    double mg = 1.0;
    double dopamine = 0.0;
    double d_nmda = 2.5;
    double d_k = 1.5;
    double d_na = -5.0;
    double dt = 0.05;
    double v_threshold = -20.0;

    int32_t step(double current) {
        const double v_entry = v;
        const double D = dopamine;
        h_na = h_na + dt * (sigma(v, 53.0, 7.0) - h_na);
        n_k = n_k + dt * 0.25 * (sigma(v, 30.0, -10.0) - n_k);
        const double m_inf = logistic(-(d_na * D + v + 30.0) / 9.5);
        const double block = 1.0 / (1.0 + std::exp(-0.062 * v) * mg / 3.57);
        v = v + dt * (current - g_na * cube(m_inf) * h_na * (v - e_na) -
                      g_k * ((d_k - 1.0) * D + 1.0) * fourth(n_k) * (v - e_k) -
                      g_nmda * ((d_nmda - 1.0) * D + 1.0) * block * (v - e_nmda) - g_l * (v - e_l));
        return crossed(v_entry, v, v_threshold);
    }

    void reset() {
        v = -65.0;
        h_na = 0.7;
        n_k = 0.2;
    }
};

// Thalamocortical cell with H and T currents and a sodium-activated K current fed by an
// intracellular sodium pool.
struct HillTononiNeuron {
    double v = -65.0;
    double h_na = 0.6;
    double n_k = 0.3;
    double m_h = 0.0;
    double h_t = 0.9;
    double na_i = 5.0;
    double g_na = 50.0;
    double g_k = 5.0;
    double g_h = 1.0;
    double g_t = 3.0;
    double g_kna = 1.33;
    double g_l = 0.02;
    double e_na = 50.0;
    double e_k = -90.0;
    double e_h = -43.0;
    double e_ca = 120.0;
    double e_l = -70.0;
    double na_pump = 20.0;
    double na_kd = 9.5;
    double dt = 0.05;
    double v_threshold = -20.0;

    int32_t step(double current) {
        const double v0 = v;
        const double tau_h = at_least(10.0 / (1.0 + std::exp((v0 + 40.0) / 10.0)) + 1.0, 0.1);
        const double q = (v0 + 50.0) / 25.0;
        const double tau_n = std::exp(at_least(5.0 - 47.0 * (q * q), 0.1));
        const double tau_mh =
            at_least(1000.0 / (std::exp(-(v0 + 89.0) / 11.6) + std::exp((v0 + 71.5) / 14.2)) + 20.0, 1.0);
        double tau_ht = 10.0;  // also for a NaN voltage
        if (v0 < -81.0)
            tau_ht = at_least(211.4 * std::exp((v0 + 115.2) / 5.0) / (1.0 + std::exp((v0 + 86.0) / 3.2)) + 30.8, 0.1);
        h_na = gate_tau(h_na, sigma(v0, 43.0, 6.0), tau_h, dt);
        n_k = gate_tau(n_k, sigma(v0, 27.0, -11.5), tau_n, dt);
        m_h = gate_tau(m_h, sigma(v0, 75.0, 5.5), tau_mh, dt);
        h_t = gate_tau(h_t, sigma(v0, 83.0, 4.0), tau_ht, dt);
        const double m_inf = rising(v0, 38.0, 10.0);
        const double m_t_inf = rising(v0, 59.0, 6.2);
        const double i_na = g_na * cube(m_inf) * h_na * (v0 - e_na);
        const double i_k = g_k * fourth(n_k) * (v0 - e_k);
        const double i_h = g_h * m_h * (v0 - e_h);
        const double i_t = g_t * (m_t_inf * m_t_inf) * h_t * (v0 - e_ca);
        const double i_kna = g_kna * 0.37 / (1.0 + std::pow(38.7 / at_least(na_i, 0.01), 3.5)) * (v0 - e_k);
        v = v0 + dt * (current - i_na - i_k - i_h - i_t - i_kna - g_l * (v0 - e_l));
        na_i = clip_pool(na_i + dt * (-0.001 * i_na - na_pump * na_i / (na_i + na_kd)));
        return crossed(v0, v, v_threshold);
    }

    void reset() {
        v = -65.0;
        h_na = 0.6;
        n_k = 0.3;
        m_h = 0.0;
        h_t = 0.9;
        na_i = 5.0;
    }
};

// Pancreatic beta-cell burster: two slow K gates of very different time constants.
struct BertramPhantomBurster {
    double v = -50.0;
    double s1 = 0.1;
    double s2 = 0.1;
    double g_ca = 3.6;
    double g_k = 10.0;
    double g_s1 = 4.0;
    double g_s2 = 4.0;
    double g_l = 0.2;
    double e_ca = 25.0;
    double e_k = -75.0;
    double e_l = -40.0;
    double c_m = 5.3;
    double v_m_half = -20.0;
    double k_m = 12.0;
    double v_n_half = -16.0;
    double k_n = 5.6;
    double v_s1_half = -35.0;
    double k_s1 = 10.0;
    double v_s2_half = -35.0;
    double k_s2 = 10.0;
    double tau_s1 = 20000.0;
    double tau_s2 = 100000.0;
    double dt = 0.5;
    double v_threshold = -20.0;

    // 1 / (1 + exp(-(v - half) / k)).
    static double x_inf(double v, double half, double k) { return logistic(-(v - half) / k); }

    int32_t step(double current) {
        const double v0 = v;
        v = v0 + dt * (current - g_ca * x_inf(v0, v_m_half, k_m) * (v0 - e_ca) -
                       g_k * x_inf(v0, v_n_half, k_n) * (v0 - e_k) - g_s1 * s1 * (v0 - e_k) - g_s2 * s2 * (v0 - e_k) -
                       g_l * (v0 - e_l)) /
                      c_m;
        s1 = gate_tau(s1, x_inf(v0, v_s1_half, k_s1), tau_s1, dt);
        s2 = gate_tau(s2, x_inf(v0, v_s2_half, k_s2), tau_s2, dt);
        return crossed(v0, v, v_threshold);
    }

    void reset() {
        v = -50.0;
        s1 = 0.1;
        s2 = 0.1;
    }
};

// Na activation cubed with inactivation 1 - n, and a slow K gate q; every right-hand side
// at entry.
struct YamadaNeuron {
    double v = -60.0;
    double n = 0.1;
    double q = 0.0;
    double g_na = 20.0;
    double g_k = 10.0;
    double g_q = 5.0;
    double g_l = 0.5;
    double e_na = 60.0;
    double e_k = -80.0;
    double e_q = -80.0;
    double e_l = -60.0;
    double tau_q = 300.0;
    double dt = 0.05;
    double v_threshold = -20.0;

    int32_t step(double current) {
        const double v0 = v;
        const double m_inf = rising(v0, 30.0, 9.5);
        v = v0 + dt * (current - g_na * cube(m_inf) * (1.0 - n) * (v0 - e_na) - g_k * fourth(n) * (v0 - e_k) -
                       g_q * q * (v0 - e_q) - g_l * (v0 - e_l));
        const double tau_n = 7.5 / (1.0 + std::exp((v0 + 40.0) / 12.0)) + 1.0;
        n = gate_tau(n, sigma(v0, 30.0, -10.0), tau_n, dt);
        q = gate_tau(q, sigma(v0, 50.0, -10.0), tau_q, dt);
        return crossed(v0, v, v_threshold);
    }

    void reset() {
        v = -60.0;
        n = 0.1;
        q = 0.0;
    }
};

}  // namespace neurons::biophysical

// Models of more than one compartment (and one single-compartment conductance model with many
// gates): soma and dendrite pairs, a three-compartment pyramidal cell and a passive cable of
// any length. Forward Euler throughout, except the exact decays of TwoCompartmentLIFNeuron.
// Each expression keeps its written grouping so that the Python class and the network's
// dispatch agree bit for bit.
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "error.hpp"
#include "neurons/args.hpp"
#include "neurons/buffers.hpp"
#include "neurons/kinetics.hpp"

namespace neurons::multi_compartment {

struct PinskyRinzelNeuron {
    double v_s = -60.0;
    double v_d = -60.0;
    double h = 0.9;
    double n = 0.1;
    double s = 0.0;  // dendritic Ca activation
    double ca = 0.0;
    double q = 0.0;  // afterhyperpolarization K activation
    double g_c = 2.1;
    double p = 0.5;  // the soma's share of the cell
    double g_na = 30.0;
    double g_kdr = 15.0;
    double g_ca = 10.0;
    double g_kahp = 0.8;
    double g_l = 0.1;
    double e_na = 60.0;
    double e_k = -75.0;
    double e_ca = 80.0;
    double e_l = -60.0;
    double dt = 0.02;
    double v_threshold = -20.0;

    int32_t step(double current_soma, double current_dend) {
        const double vs = v_s, vd = v_d;
        const Rates r = traub_rates(vs);
        const double m_inf = r.am / (r.am + r.bm);

        const double i_ca = g_ca * (s * s) * (vd - e_ca);
        v_s = vs + dt * (-g_na * (m_inf * m_inf) * h * (vs - e_na) - g_kdr * (n * n) * (vs - e_k) -
                         g_l * (vs - e_l) - (vs - vd) * (g_c / p) + current_soma / p);
        v_d = vd + dt * (-i_ca - g_kahp * q * (vd - e_k) - g_l * (vd - e_l) - (vd - vs) * (g_c / (1.0 - p)) +
                         current_dend / (1.0 - p));
        h = gate_ab(h, r.ah, r.bh, dt);
        n = gate_ab(n, r.an, r.bn, dt);
        s = gate_tau(s, sigma(vd, 20.0, -9.0), 5.0, dt);
        ca = clip_pool(ca + dt * (-0.075 * ca - 0.13 * i_ca));
        q = gate_tau(q, at_most(ca / (ca + 2.0), 1.0), 100.0, dt);  // the calcium just computed
        return crossed(vs, v_s, v_threshold);
    }

    void reset() {
        v_s = -60.0;
        v_d = -60.0;
        h = 0.9;
        n = 0.1;
        s = 0.0;
        ca = 0.0;
        q = 0.0;
    }
};

// Soma, trunk and apical tuft; the areas scale each compartment's coupling and input terms.
struct HayL5PyramidalNeuron {
    double v_s = -75.0;
    double v_t = -75.0;
    double v_a = -75.0;
    double h = 0.9;
    double n = 0.1;
    double m_cat = 0.0;
    double h_cat = 1.0;
    double m_h = 0.0;
    double ca = 0.0001;  // tuft calcium
    double g_na = 300.0;
    double g_k = 40.0;
    double g_l_s = 0.03;
    double g_ca_t = 2.0;
    double g_h = 0.02;
    double g_l_t = 0.03;
    double g_ca_a = 1.5;
    double g_kca = 2.5;
    double g_l_a = 0.03;
    double g_st = 1.5;  // soma-trunk coupling
    double g_ta = 0.8;  // trunk-tuft coupling
    double area_s = 0.15;
    double area_t = 0.25;
    double area_a = 0.6;
    double e_na = 50.0;
    double e_k = -85.0;
    double e_ca = 140.0;
    double e_h = -45.0;
    double e_l = -75.0;
    double tau_ca = 200.0;
    double k_ca = 0.0002;
    double c_m = 1.0;
    double dt = 0.025;
    double v_threshold = -30.0;

    int32_t step(double current_soma, double current_tuft) {
        const double v_entry = v_s;
        for (int sub = 0; sub < 4; ++sub) {
            const double vs = v_s, vt = v_t, va = v_a;
            const double m_inf = rising(vs, 38.0, 7.0);
            const double tau_h = 0.5 + 14.0 / (1.0 + std::exp((vs + 35.0) / 10.0));
            const double tau_n = 1.0 + 5.0 / (1.0 + std::exp((vs + 30.0) / 10.0));
            h = gate_tau(h, sigma(vs, 65.0, 6.0), tau_h, dt);
            n = gate_tau(n, sigma(vs, 25.0, -12.0), tau_n, dt);
            m_cat = gate_tau(m_cat, sigma(vt, 27.0, -7.0), 1.0, dt);
            h_cat = gate_tau(h_cat, sigma(vt, 52.0, 5.0), 20.0, dt);
            m_h = gate_tau(m_h, sigma(vt, 75.0, 5.5), 50.0, dt);
            const double m_ca = rising(va, 30.0, 5.0);
            const double i_ca_a = g_ca_a * (m_ca * m_ca) * (va - e_ca);
            const double i_kca = g_kca * (ca / (ca + 0.001)) * (va - e_k);

            const double dvs = (-g_na * cube(m_inf) * h * (vs - e_na) -
                                g_k * fourth(n) * (vs - e_k) - g_l_s * (vs - e_l) -
                                (vs - vt) * g_st / area_s + current_soma / area_s) /
                               c_m;
            const double dvt = (-g_ca_t * (m_cat * m_cat) * h_cat * (vt - e_ca) - g_h * m_h * (vt - e_h) -
                                g_l_t * (vt - e_l) - (vt - vs) * g_st / area_t - (vt - va) * g_ta / area_t) /
                               c_m;
            const double dva = (-i_ca_a - i_kca - g_l_a * (va - e_l) - (va - vt) * g_ta / area_a +
                                current_tuft / area_a) /
                               c_m;
            v_s = vs + dt * dvs;
            v_t = vt + dt * dvt;
            v_a = va + dt * dva;
            ca = clip_pool(ca + dt * (-k_ca * i_ca_a - ca / tau_ca));
        }
        return crossed(v_entry, v_s, v_threshold);
    }

    void reset() {
        v_s = -75.0;
        v_t = -75.0;
        v_a = -75.0;
        h = 0.9;
        n = 0.1;
        m_cat = 0.0;
        h_cat = 1.0;
        m_h = 0.0;
        ca = 0.0001;
    }
};

// One compartment with eight voltage gates, an H gate and a calcium pool: gates first, then
// the voltage from the currents at the new gates, then calcium.
struct MarderSTGNeuron {
    double v = -60.0;
    double m_na = 0.0;
    double h_na = 0.9;
    double m_cat = 0.0;
    double h_cat = 0.9;
    double m_cas = 0.0;
    double m_a = 0.0;
    double h_a = 0.9;
    double m_kd = 0.0;
    double m_h = 0.0;
    double ca = 0.05;
    double g_na = 400.0;
    double g_cat = 2.5;
    double g_cas = 6.0;
    double g_a = 50.0;
    double g_kd = 100.0;
    double g_kca = 25.0;
    double g_h = 0.02;
    double g_l = 0.01;
    double e_na = 50.0;
    double e_k = -80.0;
    double e_ca = 120.0;
    double e_h = -20.0;
    double e_l = -50.0;
    double dt = 0.05;
    double v_threshold = -20.0;

    int32_t step(double current) {
        const double v0 = v;
        m_na = gate_tau(m_na, sigma(v0, 25.5, -5.29), 1.32, dt);
        h_na = gate_tau(h_na, sigma(v0, 48.9, 5.18), 0.67 * (1.0 + std::exp(-(v0 + 62.9) / 10.0)) + 1.5, dt);
        m_cat = gate_tau(m_cat, sigma(v0, 27.1, -7.2), 21.7, dt);
        h_cat = gate_tau(h_cat, sigma(v0, 32.1, 5.5), 105.0, dt);
        m_cas = gate_tau(m_cas, sigma(v0, 33.0, -8.1), 14.0, dt);
        m_a = gate_tau(m_a, sigma(v0, 27.2, -8.7), 11.6, dt);
        h_a = gate_tau(h_a, sigma(v0, 56.9, 4.9), 38.6, dt);
        m_kd = gate_tau(m_kd, sigma(v0, 12.3, -11.8), 7.2, dt);
        m_h = gate_tau(m_h, sigma(v0, 70.0, 6.0), 272.0, dt);

        const double i_cat = g_cat * cube(m_cat) * h_cat * (v0 - e_ca);
        const double i_cas = g_cas * cube(m_cas) * (v0 - e_ca);
        const double f = at_most(ca / (ca + 3.0), 1.0);
        const double i_kca = g_kca * fourth(f) * (v0 - e_k);
        v = v0 + dt * (current - g_na * cube(m_na) * h_na * (v0 - e_na) - i_cat - i_cas -
                       g_a * cube(m_a) * h_a * (v0 - e_k) - g_kd * fourth(m_kd) * (v0 - e_k) -
                       i_kca - g_h * m_h * (v0 - e_h) - g_l * (v0 - e_l));
        ca = clip_pool(ca + dt * (-0.01 * ca - 0.0001 * (i_cat + i_cas)));
        return crossed(v0, v, v_threshold);
    }

    void reset() {
        v = -60.0;
        m_na = 0.0;
        h_na = 0.9;
        m_cat = 0.0;
        h_cat = 0.9;
        m_cas = 0.0;
        m_a = 0.0;
        h_a = 0.9;
        m_kd = 0.0;
        m_h = 0.0;
        ca = 0.05;
    }
};

// A passive cable: compartment 0 holds the threshold, the input enters the last compartment.
struct RallCableNeuron {
    std::vector<double> voltages;
    std::size_t n_comp;
    double tau = 20.0;
    double e_l = -65.0;
    double g_axial = 0.5;  // coupling between neighbours
    double v_threshold = -50.0;
    double v_reset = -65.0;
    double dt = 0.1;
    // This step's increments, all taken from the voltages at entry before any voltage moves;
    // sized once here so that a step allocates nothing.
    std::vector<double> increments;

    SC_ARGS(RallCableNeuron, (std::size_t, n_comp, 5))
    explicit RallCableNeuron(const Args& a)
        : voltages(filled(a.n_comp, -65.0)), n_comp(a.n_comp), increments(filled(a.n_comp, 0.0)) {}

    int32_t step(double current) {
        const std::size_t n = voltages.size();
        // A cable without compartments has no compartment 0 to test: stop before changing anything.
        if (n == 0) engine::panic_index(0, 0);
        const std::size_t last = n - 1;
        for (std::size_t i = 0; i < n; ++i) {
            const double v = voltages[i];
            double sum = -(v - e_l) / tau;
            if (i > 0) sum = sum + (voltages[i - 1] - v) * g_axial;
            if (i < last) sum = sum + (voltages[i + 1] - v) * g_axial;
            if (i == last) sum = sum + current;
            increments[i] = dt * sum;
        }
        for (std::size_t i = 0; i < n; ++i) voltages[i] = voltages[i] + increments[i];
        if (voltages[0] >= v_threshold) {
            voltages[0] = v_reset;
            return 1;
        }
        return 0;
    }

    void reset() {
        for (double& v : voltages) v = e_l;
    }
};

// Soma and dendrite with dendritic calcium and a calcium-activated K current; four Euler
// sub-steps per call.
struct BoothRinzelNeuron {
    double vs = -65.0;
    double vd = -65.0;
    double h = 0.9;
    double n = 0.0;
    double q = 0.0;  // calcium-activated K activation
    double ca = 0.0;
    double p = 0.5;  // the soma's share of the cell
    double g_c = 0.1;
    double g_na = 120.0;
    double g_k = 100.0;
    double g_ca = 14.0;
    double g_kca = 5.0;
    double g_l = 0.51;
    double e_na = 55.0;
    double e_k = -80.0;
    double e_ca = 80.0;
    double e_l = -60.0;
    double dt = 0.025;
    double v_threshold = -20.0;

    int32_t step(double current) {
        const double v_entry = vs;
        for (int sub = 0; sub < 4; ++sub) {
            const double vs0 = vs, vd0 = vd;
            const double m_inf = rising(vs0, 30.0, 9.0);
            h = h + dt * (sigma(vs0, 45.0, 7.0) - h);
            n = gate_tau(n, sigma(vs0, 30.0, -10.0), 3.0, dt);
            const double s_inf = rising(vd0, 20.0, 9.0);
            q = gate_tau(q, at_most(ca / (ca + 2.0), 1.0), 100.0, dt);
            const double i_ca = g_ca * (s_inf * s_inf) * (vd0 - e_ca);
            vs = vs0 + dt * (-g_na * cube(m_inf) * h * (vs0 - e_na) - g_k * fourth(n) * (vs0 - e_k) -
                             g_l * (vs0 - e_l) - (vs0 - vd0) * (g_c / p) + current / p);
            vd = vd0 + dt * (-i_ca - g_kca * q * (vd0 - e_k) - g_l * (vd0 - e_l) - (vd0 - vs0) * (g_c / (1.0 - p)));
            ca = clip_pool(ca + dt * (-0.075 * ca - 0.13 * i_ca));
        }
        return crossed(v_entry, vs, v_threshold);
    }

    void reset() {
        vs = -65.0;
        vd = -65.0;
        h = 0.9;
        n = 0.0;
        q = 0.0;
        ca = 0.0;
    }
};

// Soma and dendrite with a timed dendritic plateau current; threshold and reset on the soma.
struct DendrifyNeuron {
    double v_s = -65.0;
    double v_d = -65.0;
    double plateau_timer = 0.0;
    double tau_s = 10.0;
    double tau_d = 20.0;
    double g_c = 0.8;  // soma-dendrite coupling
    double plateau_threshold = -35.0;
    double plateau_current = 30.0;
    double plateau_duration = 10.0;
    double e_l = -65.0;
    double v_threshold = -50.0;
    double v_reset = -65.0;
    double dt = 0.1;
    bool plateau_on = false;

    int32_t step(double current) {
        // A plateau injects from the call after it turns on through the call that turns it off.
        const bool was_on = plateau_on;
        const double P = was_on ? plateau_current : 0.0;
        const double vd = v_d + dt * ((current - (v_d - e_l)) + P - (v_d - v_s) * g_c) / tau_d;
        const double vs = v_s + dt * ((vd - v_s) * g_c - (v_s - e_l)) / tau_s;
        if (!was_on) {
            if (vd >= plateau_threshold) {
                plateau_on = true;
                plateau_timer = plateau_duration;
            }
        } else {
            plateau_timer = plateau_timer - dt;
            if (plateau_timer <= 0.0) plateau_on = false;
        }
        v_d = vd;
        if (vs >= v_threshold) {
            v_s = v_reset;
            return 1;
        }
        v_s = vs;
        return 0;
    }

    void reset() {
        v_s = -65.0;
        v_d = -65.0;
        plateau_timer = 0.0;
        plateau_on = false;
    }
};

// Two leaky compartments with exact decay toward 0.0; the soma receives g_c times the new
// dendritic voltage, and the dendrite nothing from the soma.
struct TwoCompartmentLIFNeuron {
    double v_s = 0.0;
    double v_d = 0.0;
    double v_rest = 0.0;
    double v_reset = 0.0;
    double v_threshold = 1.0;
    double tau_s = 2.0;
    double tau_d = 20.0;
    double g_c = 0.5;
    double dt = 1.0;

    int32_t step(double i_soma, double i_dend) {
        v_d = std::exp(-dt / tau_d) * v_d + i_dend;
        const double vs = g_c * v_d + (std::exp(-dt / tau_s) * v_s + i_soma);
        if (vs >= v_threshold) {
            v_s = v_reset;
            return 1;
        }
        v_s = vs;
        return 0;
    }

    void reset() {
        v_s = v_rest;
        v_d = v_rest;
    }
};

}  // namespace neurons::multi_compartment

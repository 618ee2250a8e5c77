#include "neurons/trivial.hpp"

namespace neurons::trivial {

// Resets restore state only; parameters are never touched.

void PerfectIntegratorNeuron::reset() { v = v_reset; }

void QuadraticIFNeuron::reset() { v = v_reset; }

void ThetaNeuron::reset() { theta = 0.0; }

void NonlinearLIFNeuron::reset() {
    v = v_rest;
    w = 0.0;
}

void SFANeuron::reset() {
    v = E_L;
    g_sfa = 0.0;
}

void MATNeuron::reset() {
    v = E_L;
    theta1 = 0.0;
    theta2 = 0.0;
}

void NonResettingLIFNeuron::reset() {
    v = v_rest;
    theta = theta0;
}

void AdaptiveThresholdIFNeuron::reset() {
    v = v_rest;
    theta = theta0;
}

void EnergyLIFNeuron::reset() {
    v = E_L;
    epsilon = epsilon_target;
}

}  // namespace neurons::trivial

"""The continuous-time integrate-and-fire models of the trivial family."""
import math

import pytest

import sc_dravik_engine as sc
from contract import *  # noqa: F401,F403 - the shared contract runs over ROWS
from contract import Row, const_then_uniform

PI = 3.141592653589793
TWO_PI = 6.283185307179586

class RefPerfectIntegrator:
    keys = ("v",)

    def __init__(self):
        self.v, self.C, self.v_threshold, self.v_reset, self.dt = 0.0, 1.0, 1.0, 0.0, 0.1

    def step(self, current):
        self.v = (current / self.C) * self.dt + self.v
        if self.v >= self.v_threshold:
            self.v = self.v_reset
            return 1
        return 0

    def reset(self):
        self.v = self.v_reset


class RefQuadraticIF:
    keys = ("v",)

    def __init__(self):
        self.v, self.v_reset, self.v_peak, self.dt = -1.0, -1.0, 1.0, 0.01

    def step(self, current):
        self.v = (self.v * self.v + current) * self.dt + self.v
        if self.v >= self.v_peak:
            self.v = self.v_reset
            return 1
        return 0

    def reset(self):
        self.v = self.v_reset


class RefTheta:
    keys = ("theta",)

    def __init__(self):
        self.theta, self.dt = 0.0, 0.01

    def step(self, current):
        old = self.theta
        c = math.cos(old)
        new = ((c + 1) * current + (1 - c)) * self.dt + old
        if old < PI and new >= PI:
            self.theta = new - TWO_PI
            return 1
        self.theta = new
        return 0

    def reset(self):
        self.theta = 0.0


class RefNonlinearLIF:
    keys = ("v", "w")

    def __init__(self):
        self.v, self.w = -65.0, 0.0
        self.v_rest, self.v_c, self.v_peak, self.v_reset = -65.0, -40.0, -20.0, -65.0
        self.a, self.b, self.tau_w, self.C, self.dt = 0.04, 0.5, 100.0, 1.0, 0.1

    def step(self, current):
        v, w = self.v, self.w
        v_new = ((v - self.v_c) * (self.a * (v - self.v_rest)) - w + current) / self.C * self.dt + v
        self.w = ((v_new - self.v_rest) * self.b - w) / self.tau_w * self.dt + w
        if v_new >= self.v_peak and v < self.v_peak:
            self.v = self.v_reset
            return 1
        self.v = v_new
        return 0

    def reset(self):
        self.v, self.w = self.v_rest, 0.0


class RefSFA:
    keys = ("v", "g_sfa")

    def __init__(self):
        self.v, self.g_sfa = -70.0, 0.0
        self.E_L, self.v_reset, self.v_threshold = -70.0, -70.0, -50.0
        self.tau_m, self.tau_sfa, self.delta_g, self.E_K, self.R, self.dt = 10.0, 200.0, 0.5, -80.0, 1.0, 1.0

    def step(self, current):
        v, g = self.v, self.g_sfa
        self.v = (current * self.R + (-(v - self.E_L) - (v - self.E_K) * g)) / self.tau_m * self.dt + v
        self.g_sfa = math.exp(-self.dt / self.tau_sfa) * g
        if self.v >= self.v_threshold:
            self.v = self.v_reset
            self.g_sfa = self.g_sfa + self.delta_g
            return 1
        return 0

    def reset(self):
        self.v, self.g_sfa = self.E_L, 0.0


class RefMAT:
    keys = ("v", "theta1", "theta2")

    def __init__(self):
        self.v, self.theta1, self.theta2 = -70.0, 0.0, 0.0
        self.E_L, self.v_reset, self.omega = -70.0, -70.0, -50.0
        self.tau_m, self.tau1, self.tau2, self.alpha1, self.alpha2 = 10.0, 10.0, 200.0, 5.0, 3.0
        self.R, self.dt = 1.0, 1.0

    def step(self, current):
        self.v = (current * self.R - (self.v - self.E_L)) / self.tau_m * self.dt + self.v
        self.theta1 = math.exp(-self.dt / self.tau1) * self.theta1
        self.theta2 = math.exp(-self.dt / self.tau2) * self.theta2
        if self.v >= self.omega + self.theta1 + self.theta2:
            self.v = self.v_reset
            self.theta1 = self.theta1 + self.alpha1
            self.theta2 = self.theta2 + self.alpha2
            return 1
        return 0

    def reset(self):
        self.v, self.theta1, self.theta2 = self.E_L, 0.0, 0.0


class RefNonResettingLIF:
    keys = ("v", "theta")

    def __init__(self):
        self.v, self.theta, self.v_rest, self.theta0 = -65.0, -50.0, -65.0, -50.0
        self.delta_theta, self.tau_m, self.tau_theta, self.R, self.dt = 5.0, 10.0, 50.0, 1.0, 0.1

    def step(self, current):
        v, th = self.v, self.theta
        self.v = self.dt * ((current * self.R - (v - self.v_rest)) / self.tau_m) + v
        self.theta = self.dt * (-(th - self.theta0) / self.tau_theta) + th
        if self.v >= self.theta:
            self.theta = self.theta + self.delta_theta
            return 1
        return 0

    def reset(self):
        self.v, self.theta = self.v_rest, self.theta0


class RefAdaptiveThresholdIF:
    keys = ("v", "theta")

    def __init__(self):
        self.v, self.theta, self.v_rest, self.v_reset, self.theta0 = -65.0, -50.0, -65.0, -65.0, -50.0
        self.delta_theta, self.tau_m, self.tau_theta, self.dt = 5.0, 10.0, 50.0, 0.1

    def step(self, current):
        v, th = self.v, self.theta
        self.v = self.dt * ((current - (v - self.v_rest)) / self.tau_m) + v
        self.theta = self.dt * (-(th - self.theta0) / self.tau_theta) + th
        if self.v >= self.theta:
            self.v = self.v_reset
            self.theta = self.theta + self.delta_theta
            return 1
        return 0

    def reset(self):
        self.v, self.theta = self.v_rest, self.theta0


class RefEnergyLIF:
    keys = ("v", "epsilon")

    def __init__(self):
        self.v, self.epsilon, self.E_L, self.v_reset, self.v_threshold = -70.0, 1.0, -70.0, -70.0, -50.0
        self.tau_m, self.tau_e, self.spike_cost, self.epsilon_target = 10.0, 500.0, 0.1, 1.0
        self.R, self.dt = 1.0, 1.0

    def step(self, current):
        v, eps = self.v, self.epsilon
        self.v = self.dt * ((eps * self.R * current - (v - self.E_L)) / self.tau_m) + v
        self.epsilon = self.dt * ((self.epsilon_target - eps) / self.tau_e) + eps
        if self.v >= self.v_threshold and self.epsilon > 0.1:
            self.v = self.v_reset
            self.epsilon = self.epsilon - self.spike_cost
            return 1
        if self.v >= self.v_threshold:
            self.v = self.v_threshold
        return 0

    def reset(self):
        self.v, self.epsilon = self.E_L, self.epsilon_target


def energy_inputs(rng, n):
    # Bursts of strong drive exhaust the budget; quiet spells let it recover.
    out = []
    while len(out) < n:
        out += [(1e5,)] * rng.randint(5, 20) + [(rng.uniform(0, 40),) for _ in range(rng.randint(20, 300))]
    return out[:n]


ROWS = [
    Row("QuadraticIFNeuron", RefQuadraticIF, cases=[({}, const_then_uniform(1.0, -0.5, 3.0))]),
    Row("ThetaNeuron", RefTheta, cases=[({}, const_then_uniform(1.0, -1.0, 50.0))]),
    Row("PerfectIntegratorNeuron", RefPerfectIntegrator, cases=[({}, const_then_uniform(1.0, -0.5, 2.0))],
        sample=(0.03,)),
    Row("NonlinearLIFNeuron", RefNonlinearLIF, cases=[({}, const_then_uniform(20.0, 0.0, 30.0))]),
    Row("SFANeuron", RefSFA, cases=[({}, const_then_uniform(30.0, 0.0, 60.0))]),
    Row("MATNeuron", RefMAT, cases=[({}, const_then_uniform(30.0, 0.0, 60.0))]),
    Row("NonResettingLIFNeuron", RefNonResettingLIF, cases=[({}, const_then_uniform(30.0, -20.0, 60.0))]),
    Row("AdaptiveThresholdIFNeuron", RefAdaptiveThresholdIF, cases=[({}, const_then_uniform(30.0, 0.0, 60.0))]),
    Row("EnergyLIFNeuron", RefEnergyLIF, cases=[({}, energy_inputs)]),
]


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: sc.MATNeuron().step(1.0, 2.0), "MATNeuron.step() takes 1 positional arguments but 2 were given"),
        (lambda: sc.MATNeuron().step(I=1.0), "MATNeuron.step() got an unexpected keyword argument 'I'"),
    ],
)
def test_matching_errors(call, text):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == text


def test_perfect_integrator_spikes_on_the_eleventh_call():
    n = sc.PerfectIntegratorNeuron()
    assert [n.step(1.0) for _ in range(10)] == [0] * 10
    assert n.get_state()["v"] == 1 - 2**-53
    assert n.step(1.0) == 1
    assert n.get_state()["v"] == 0.0
    quiet = sc.PerfectIntegratorNeuron()
    assert not any(quiet.step(0.0) for _ in range(100))
    assert quiet.get_state()["v"] == 0.0


def test_quadratic_if():
    n = sc.QuadraticIFNeuron()
    last = -1.0
    for _ in range(5000):
        assert n.step(0.0) == 0
        v = n.get_state()["v"]
        assert last <= v < 0.0
        last = v
    n = sc.QuadraticIFNeuron()
    spikes = [n.step(1.0) for _ in range(158)]
    assert spikes.index(1) == 157
    assert n.get_state()["v"] == -1.0


def test_theta_neuron_crossing():
    n = sc.ThetaNeuron()
    while not n.step(1.0):
        pass
    theta = n.get_state()["theta"]
    assert -PI < theta < -PI + 0.1

    # One call from 0 to 10.0 >= 3 pi: one spike, one shift, and no crossing afterwards.
    n = sc.ThetaNeuron()
    assert n.step(500.0) == 1
    assert n.get_state()["theta"] == 10.0 - TWO_PI
    last = n.get_state()["theta"]
    assert last >= PI
    for _ in range(200):
        assert n.step(5.0) == 0
        theta = n.get_state()["theta"]
        assert theta > last
        last = theta
    assert last > 3 * PI


def test_non_resetting_lif_spikes_on_consecutive_calls():
    n, ref = sc.NonResettingLIFNeuron(), RefNonResettingLIF()
    spikes = []
    for _ in range(40):
        theta_old = n.get_state()["theta"]
        s = n.step(1000.0)
        ref.step(1000.0)
        st = n.get_state()
        if s:
            decayed = 0.1 * (-(theta_old - -50.0) / 50.0) + theta_old
            assert st["theta"] == decayed + 5.0
            assert st["v"] == ref.v and st["v"] >= decayed  # not reset
        spikes.append(s)
    run = max(len(r) for r in "".join(map(str, spikes)).split("0"))
    assert run >= 5


def test_energy_lif_holds_at_threshold_without_energy():
    n = sc.EnergyLIFNeuron()
    spikes = 0
    while n.step(1e5):
        spikes += 1
    state = n.get_state()
    assert spikes > 5
    assert state["epsilon"] <= 0.1
    assert state["v"] == -50.0
    assert [n.step(1e5) for _ in range(3)] == [0, 0, 0]
    assert n.get_state()["v"] == -50.0
    # With rest the budget recovers above 0.1 and the neuron fires again.
    for _ in range(100):
        n.step(0.0)
    assert n.get_state()["epsilon"] > 0.1
    assert any(n.step(1e5) for _ in range(5))

"""The continuous-time integrate-and-fire models of the trivial family."""
import math

import pytest

import sc_dravik_engine as sc
from bitref import Xoshiro, uniform
from contract import *  # noqa: F401,F403 - the shared contract runs over ROWS
from contract import NAN, Row, const_then_uniform
from netref import wrap

PI = 3.141592653589793
TWO_PI = 6.283185307179586
E_01 = 0.9048374180359595  # e^-0.1
E_02 = 0.8187307530779818  # e^-0.2
I32_MIN, I32_MAX = -2**31, 2**31 - 1


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


class RefKLIF:
    keys = ("v",)

    def __init__(self):
        self.v, self.k, self.decay, self.v_threshold, self.v_reset = 0.0, 1.0, E_01, 1.0, 0.0

    def step(self, current):
        self.v = self.k * current + self.decay * self.v
        if self.v >= self.v_threshold:
            self.v = self.v_reset
            return 1
        return 0

    def reset(self):
        self.v = 0.0


class RefGatedLIF:
    keys = ("v",)

    def __init__(self):
        self.v, self.leak, self.gate, self.v_threshold = 0.0, 0.9, 1.0, 1.0

    def step(self, current):
        self.v = self.gate * current + self.leak * self.v
        if self.v >= self.v_threshold:
            self.v = self.v - self.v_threshold
            return 1
        return 0

    def reset(self):
        self.v = 0.0


class RefInhibitoryLIF:
    keys = ("v", "inh_trace")

    def __init__(self):
        self.v, self.inh_trace = 0.0, 0.0
        self.decay, self.trace_decay, self.v_threshold, self.w_inh = E_01, E_02, 1.0, 0.5

    def step(self, current):
        self.inh_trace = self.trace_decay * self.inh_trace
        self.v = (self.decay * self.v + current) - self.w_inh * self.inh_trace
        if self.v >= self.v_threshold:
            self.v = 0.0
            self.inh_trace = self.inh_trace + 1.0
            return 1
        return 0

    def reset(self):
        self.v, self.inh_trace = 0.0, 0.0


class RefParametricLIF:
    keys = ("v",)

    def __init__(self):
        self.v, self.a, self.v_threshold = 0.0, 0.0, 1.0

    def step(self, current):
        s = 1 / (math.exp(-self.a) + 1)
        fired = self.v >= self.v_threshold
        self.v = current + (s * self.v) * (0.0 if fired else 1.0)
        return int(fired)

    def reset(self):
        self.v = 0.0


def _positive_part(x):
    return x if x > 0.0 else 0.0  # NaN counts as 0


class RefComplementaryLIF:
    keys = ("v_pos", "v_neg")

    def __init__(self):
        self.v_pos, self.v_neg, self.decay, self.v_threshold = 0.0, 0.0, E_01, 1.0

    def step(self, current):
        self.v_pos = self.decay * self.v_pos + _positive_part(current)
        self.v_neg = self.decay * self.v_neg + _positive_part(-current)
        diff = self.v_pos - self.v_neg
        code = 1 if diff >= self.v_threshold else -1 if diff <= -self.v_threshold else 0
        if code:
            self.v_pos = self.v_neg = 0.0
        return code

    def reset(self):
        self.v_pos = self.v_neg = 0.0


class RefClosedFormContinuous:
    keys = ("x",)

    def __init__(self):
        self.x, self.gate_slope, self.w_x, self.w_in, self.tau = 0.0, -0.5, 0.8, 1.0, 10.0
        self.gate_bias, self.v_threshold, self.dt = 0.0, 1.0, 1.0

    def step(self, current):
        product = (1 / (math.exp(-(self.gate_slope * current + self.gate_bias)) + 1)) * self.tau
        tau_eff = product if product > 0.1 else 0.1  # a NaN product gives 0.1
        f = math.tanh(self.w_in * current + self.w_x * self.x)
        g = math.exp(-self.dt / tau_eff)
        self.x = (1 - g) * f + self.x * g
        if self.x >= self.v_threshold:
            self.x = self.x - self.v_threshold
            return 1
        return 0

    def reset(self):
        self.x = 0.0


class RefSigmaDelta:
    keys = ("sigma",)

    def __init__(self):
        self.sigma, self.v_threshold = 0.0, 1.0

    def step(self, current):
        self.sigma = current + self.sigma
        if self.sigma >= self.v_threshold:
            self.sigma = self.sigma - self.v_threshold
            return 1
        if self.sigma <= -self.v_threshold:
            self.sigma = self.sigma + self.v_threshold
            return -1
        return 0

    def reset(self):
        self.sigma = 0.0


class RefIntegerQIF:
    keys = ("v",)

    def __init__(self, k=6, v_threshold=1024):
        self.v, self.k, self.v_threshold = 0, k, v_threshold
        self.v_reset, self.v_floor = wrap(-v_threshold, 32), wrap(-2 * v_threshold, 32)

    def step(self, current):
        square = wrap(self.v * self.v, 32) >> (self.k % 32)  # Python's >> is arithmetic
        self.v = max(wrap(self.v + current + square, 32), self.v_floor)
        if self.v >= self.v_threshold:
            self.v = self.v_reset
            return 1
        return 0

    def reset(self):
        self.v = 0


class RefEscapeRate:
    keys = ("v",)

    def __init__(self, seed=42):
        self.g = Xoshiro(seed)
        self.v, self.v_rest, self.v_reset, self.theta = -70.0, -70.0, -70.0, -50.0
        self.tau_m, self.rho0, self.Delta, self.R, self.dt = 10.0, 0.001, 3.0, 1.0, 1.0

    def step(self, current):
        self.v = (current * self.R - (self.v - self.v_rest)) / self.tau_m * self.dt + self.v
        hazard = math.exp((self.v - self.theta) / self.Delta) * self.rho0
        if hazard * self.dt > uniform(self.g):
            self.v = self.v_reset
            return 1
        return 0

    def reset(self):
        self.v = self.v_rest


def energy_inputs(rng, n):
    # Bursts of strong drive exhaust the budget; quiet spells let it recover.
    out = []
    while len(out) < n:
        out += [(1e5,)] * rng.randint(5, 20) + [(rng.uniform(0, 40),) for _ in range(rng.randint(20, 300))]
    return out[:n]


def ternary_inputs(rng, n):
    # Both signs, now and then a NaN current, which both integrators ignore.
    return [(NAN if rng.random() < 0.02 else rng.uniform(-0.6, 0.6),) for _ in range(n)]


def int_inputs(rng, n):
    # Small drives, inhibition strong enough to outweigh the square after a reset, and now
    # and then the extremes that make sums and squares wrap.
    def one():
        r = rng.random()
        if r < 0.03:
            return rng.choice([I32_MIN, I32_MAX, 2**30, -2**30, 46341, 65536])
        return rng.randint(-400, 300) if r < 0.6 else rng.randint(-70000, 0)
    return [(one(),) for _ in range(n)]


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
    Row("GatedLIFNeuron", RefGatedLIF, cases=[({}, const_then_uniform(0.15, -0.1, 0.4))], sample=(0.33,)),
    Row("EscapeRateNeuron", RefEscapeRate,
        cases=[({}, const_then_uniform(40.0, -10.0, 80.0)), ({"seed": 2**64 - 1}, const_then_uniform(40.0, -10.0, 80.0))],
        signature="(seed=42)", sample=(45.0,), ctor={"seed": 9}, stochastic=True),
    Row("KLIFNeuron", RefKLIF, cases=[({}, const_then_uniform(0.2, -0.1, 0.4))], sample=(0.07,)),
    Row("InhibitoryLIFNeuron", RefInhibitoryLIF, cases=[({}, const_then_uniform(0.3, -0.1, 0.6))],
        sample=(0.3,)),
    Row("ComplementaryLIFNeuron", RefComplementaryLIF, cases=[({}, ternary_inputs)], sample=(0.07,),
        nan_propagates=False),
    Row("ParametricLIFNeuron", RefParametricLIF, cases=[({}, const_then_uniform(0.6, -0.5, 1.2))],
        sample=(0.3,)),
    Row("SigmaDeltaNeuron", RefSigmaDelta, cases=[({}, const_then_uniform(0.3, -1.5, 1.5))], sample=(0.3,)),
    Row("IntegerQIFNeuron", RefIntegerQIF,
        cases=[({}, int_inputs), ({"k": 38}, int_inputs), ({"k": -26}, int_inputs),
               ({"k": 0, "v_threshold": 100}, int_inputs), ({"k": 31, "v_threshold": 50000}, int_inputs),
               ({"k": 3, "v_threshold": 300}, int_inputs)],
        signature="(k=6, v_threshold=1024)", sample=(25,), ctor={"k": 4, "v_threshold": 500}),
    Row("ClosedFormContinuousNeuron", RefClosedFormContinuous, cases=[({}, const_then_uniform(30.0, -5.0, 40.0))],
        sample=(0.5,)),
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


# ---------------------------------------------------------------- discrete-time, ternary and integer maps

@pytest.mark.parametrize(
    "name, ctor, calls",
    [
        ("KLIFNeuron", {}, [(1.0, 1, {"v": 0.0})]),
        ("GatedLIFNeuron", {}, [(1.5, 1, {"v": 0.5})]),
        # The trace left by a spike is decayed before it inhibits.
        ("InhibitoryLIFNeuron", {}, [(1.5, 1, {"v": 0.0, "inh_trace": 1.0}),
                                     (0.0, 0, {"v": -0.5 * E_02, "inh_trace": E_02})]),
        # Decided on the previous v: the spike comes one call late and zeroes the leak term.
        ("ParametricLIFNeuron", {}, [(1.0, 0, {"v": 1.0}), (0.0, 1, {"v": 0.0}), (0.0, 0, {"v": 0.0})]),
        ("ParametricLIFNeuron", {}, [(1.2, 0, {"v": 1.2}), (0.25, 1, {"v": 0.25}), (0.0, 0, {"v": 0.125})]),
        ("ComplementaryLIFNeuron", {}, [(1.0, 1, {"v_pos": 0.0, "v_neg": 0.0}),
                                        (-1.0, -1, {"v_pos": 0.0, "v_neg": 0.0}),
                                        (0.5, 0, {"v_pos": 0.5, "v_neg": 0.0}),
                                        (0.5, 0, {"v_pos": 0.5 * E_01 + 0.5, "v_neg": 0.0}),
                                        (0.5, 1, {"v_pos": 0.0, "v_neg": 0.0})]),
        # A NaN current adds nothing to either integrator.
        ("ComplementaryLIFNeuron", {}, [(0.5, 0, {"v_pos": 0.5, "v_neg": 0.0}),
                                        (NAN, 0, {"v_pos": 0.5 * E_01, "v_neg": 0.0}),
                                        (-0.25, 0, {"v_pos": 0.5 * E_01 * E_01, "v_neg": 0.25})]),
        # One event per call; the residue waits.
        ("SigmaDeltaNeuron", {}, [(2.5, 1, {"sigma": 1.5}), (0.0, 1, {"sigma": 0.5}), (0.0, 0, {"sigma": 0.5})]),
        ("SigmaDeltaNeuron", {}, [(-2.25, -1, {"sigma": -1.25}), (0.0, -1, {"sigma": -0.25})]),
        # A strong drive: the time constant falls to its floor 0.1 and tanh saturates at 1.
        ("ClosedFormContinuousNeuron", {}, [(100.0, 0, {"x": 1 - math.exp(-10.0)})]),
        ("IntegerQIFNeuron", {}, [(0, 0, {"v": 0}), (1024, 1, {"v": -1024})]),
        # Down to the floor -2048; from there the square (2048^2 >> 6 = 65536) fires at once.
        ("IntegerQIFNeuron", {}, [(I32_MIN, 0, {"v": -2048}), (-70000, 0, {"v": -2048}), (0, 1, {"v": -1024})]),
        # The sum wraps: 1000 + 2^31 - 1 + (10^6 >> 6) is negative in 32 bits, and floored.
        ("IntegerQIFNeuron", {}, [(1000, 0, {"v": 1000}), (I32_MAX, 0, {"v": -2048})]),
        # 65534^2 wraps to -262140; no shift; the floor of v_threshold 2^31 - 1 is 2.
        ("IntegerQIFNeuron", {"k": 0, "v_threshold": I32_MAX},
         [(65534, 0, {"v": 65534}), (0, 0, {"v": 2}), (0, 0, {"v": 6})]),
        # 46341^2 wraps to -2147479015, shifted arithmetically: floor(-2147479015 / 64) = -33554360.
        # With v_threshold 2^30 the floor is -2^31, so nothing is clipped.
        ("IntegerQIFNeuron", {"v_threshold": 2**30}, [(46341, 0, {"v": 46341}), (0, 0, {"v": -33508019})]),
        # k = 38 shifts by 6, k = -1 by 31.
        ("IntegerQIFNeuron", {"k": 38}, [(1000, 0, {"v": 1000}), (0, 1, {"v": -1024})]),
        ("IntegerQIFNeuron", {"k": -1, "v_threshold": 2**30}, [(46341, 0, {"v": 46341}), (0, 0, {"v": 46340})]),
        # v_reset = -(-2^31) and v_floor = -2 * -2^31 wrap to -2^31 and 0: every call fires.
        ("IntegerQIFNeuron", {"v_threshold": I32_MIN}, [(0, 1, {"v": I32_MIN}), (0, 1, {"v": I32_MIN}),
                                                         (-7, 1, {"v": I32_MIN})]),
    ],
)
def test_hand_derived_steps(name, ctor, calls):
    n = getattr(sc, name)(**ctor)
    for i, (current, code, state) in enumerate(calls):
        assert n.step(current) == code, f"call {i}"
        assert n.get_state() == state, f"call {i}"
        assert all(type(v) is type(state[k]) for k, v in n.get_state().items())


def test_integer_qif_reset_returns_to_zero_not_v_reset():
    n = sc.IntegerQIFNeuron()
    assert n.step(2000) == 1 and n.get_state() == {"v": -1024}
    n.reset()
    assert n.get_state() == {"v": 0}


@pytest.mark.parametrize(
    "call",
    [lambda: sc.IntegerQIFNeuron(k=2**31), lambda: sc.IntegerQIFNeuron(v_threshold=I32_MIN - 1),
     lambda: sc.IntegerQIFNeuron().step(2**31), lambda: sc.IntegerQIFNeuron().step(I32_MIN - 1)],
)
def test_integer_qif_refuses_ints_outside_32_bits(call):
    with pytest.raises(OverflowError) as info:
        call()
    assert str(info.value) == "out of range integral type conversion attempted"


def test_integer_qif_takes_no_float():
    with pytest.raises(TypeError) as info:
        sc.IntegerQIFNeuron().step(1.0)
    assert str(info.value).startswith("argument 'current': ")


def test_escape_rate_draws_once_whatever_the_hazard():
    # Current 1000 drives v to 30 (hazard ~4e8: a certain spike), -1000 to a hazard of 0; either
    # way one uniform is drawn, so a middling drive afterwards meets the seed's next draw.
    n, g = sc.EscapeRateNeuron(seed=5), Xoshiro(5)
    assert n.step(1000.0) == 1 and n.get_state() == {"v": -70.0}
    uniform(g)
    assert n.step(-1000.0) == 0 and n.get_state() == {"v": -170.0}
    uniform(g)
    for _ in range(40):
        state = n.get_state()["v"]
        v = (60.0 - (state + 70.0)) / 10.0 + state
        fired = math.exp((v + 50.0) / 3.0) * 0.001 > uniform(g)
        assert n.step(60.0) == fired
        assert n.get_state()["v"] == (-70.0 if fired else v)
    assert g.draws == 42

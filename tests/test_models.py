"""Neuron model classes: construction, step, reset, get_state and their binding rules.

Each model is checked against a small Python reference written from its update
equations in the order the engine evaluates them. Python floats are IEEE doubles
and the engine does not contract or reassociate, so the comparison is exact.
"""
import math
import random
import struct

import pytest

import sc_dravik_engine as sc

PI = 3.141592653589793
TWO_PI = 6.283185307179586
NAN = float("nan")
INF = float("inf")


# ---------------------------------------------------------------------------
# References


def wrap(x, k):
    """Low k bits of x read as a signed k-bit number."""
    x &= (1 << k) - 1
    return x - (1 << k) if x >> (k - 1) else x


class RefFixedPointLif:
    keys = ("v", "refractory_counter")

    def __init__(self, data_width=16, fraction=8, v_rest=0, v_reset=0, v_threshold=256,
                 refractory_period=2):
        self.refractory_counter = 0
        self.W, self.F = data_width, fraction
        self.refractory_period = refractory_period
        self.v_rest, self.v_reset, self.v_threshold = v_rest, v_reset, v_threshold
        self.v = v_rest

    def step(self, leak_k, gain_k, i_t, noise_in=0):
        W = self.W
        if self.refractory_counter > 0:
            self.refractory_counter -= 1
            self.v = self.v_rest
            return (0, wrap(self.v_rest, W))
        assert 1 <= 2 * W <= 32
        d = wrap(wrap(self.v_rest - self.v, 2 * W), 16)
        sh = self.F % 32
        leak = wrap((d * leak_k) >> sh, W)  # Python's >> rounds toward minus infinity
        inp = wrap((i_t * gain_k) >> sh, W)
        v_new = wrap(self.v + noise_in + inp + leak, W)
        if v_new >= self.v_threshold:
            self.v = self.v_reset
            self.refractory_counter = self.refractory_period
            return (1, wrap(self.v_reset, W))
        self.v = v_new
        return (0, v_new)

    def reset(self):
        self.v = self.v_rest
        self.refractory_counter = 0


class RefIzhikevich:
    keys = ("v", "u")

    def __init__(self, a=0.02, b=0.2, c=-65.0, d=8.0, dt=1.0):
        self.a, self.b, self.c, self.d, self.dt = a, b, c, d, dt
        self.v = c
        self.u = b * c

    def step(self, current):
        h = self.dt * 0.5
        for _ in range(2):
            v, u = self.v, self.u
            f = (((5 * v + (0.04 * v) * v) + 140) - u) + current
            g = (self.b * v - u) * self.a
            self.v = v + f * h
            self.u = u + g * h
        if self.v >= 30:
            self.v = self.c
            self.u = self.u + self.d
            return 1
        return 0

    def reset(self):
        self.v = self.c
        self.u = self.c * self.b


def clamp20(x):
    return min(max(x, -20.0), 20.0)


class RefAdEx:
    keys = ("v", "w")

    def __init__(self):
        self.v, self.w = -65.0, 0.0
        self.v_rest, self.v_reset, self.v_peak, self.v_T = -65.0, -68.0, -50.0, -55.0
        self.Delta_T, self.tau_m, self.tau_w, self.a, self.b, self.dt = 2.0, 20.0, 100.0, 0.5, 7.0, 0.1

    def step(self, current):
        v, w = self.v, self.w
        e = math.exp(clamp20((v - self.v_T) / self.Delta_T))
        dv = (((e * self.Delta_T - (v - self.v_rest)) - w) + current) / self.tau_m
        dw = (self.a * (v - self.v_rest) - w) / self.tau_w
        self.v = v + self.dt * dv
        self.w = w + self.dt * dw
        if self.v >= self.v_peak:
            self.v = self.v_reset
            self.w = self.w + self.b
            return 1
        return 0

    def reset(self):
        self.v, self.w = self.v_rest, 0.0


class RefExpIF:
    keys = ("v",)

    def __init__(self):
        self.v = -65.0
        self.v_rest, self.v_reset, self.v_peak, self.v_T = -65.0, -68.0, -50.0, -55.0
        self.Delta_T, self.tau, self.dt = 2.0, 20.0, 0.1

    def step(self, current):
        v = self.v
        x = clamp20((v - self.v_T) / self.Delta_T)
        self.v = v + (((math.exp(x) * self.Delta_T - (v - self.v_rest)) + current) / self.tau) * self.dt
        if self.v >= self.v_peak:
            self.v = self.v_reset
            return 1
        return 0

    def reset(self):
        self.v = self.v_rest


class RefLapicque:
    keys = ("v",)

    def __init__(self, tau=20.0, resistance=1.0, threshold=1.0, dt=1.0):
        self.v = self.v_rest = self.v_reset = 0.0
        self.threshold, self.tau, self.resistance, self.dt = threshold, tau, resistance, dt

    def step(self, current):
        self.v = self.v + ((current * self.resistance - (self.v - self.v_rest)) / self.tau) * self.dt
        if self.v >= self.threshold:
            self.v = self.v_reset
            return 1
        return 0

    def reset(self):
        self.v = self.v_rest


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


class RefAlpha:
    keys = ("v", "i_exc", "i_inh")

    def __init__(self):
        self.v, self.i_exc, self.i_inh, self.v_rest, self.v_threshold = 0.0, 0.0, 0.0, 0.0, 1.0
        self.tau_m, self.tau_exc, self.tau_inh, self.dt = 20.0, 5.0, 10.0, 1.0

    def step(self, exc_current, inh_current=0.0):
        dt = self.dt
        self.i_exc = dt * (exc_current - self.i_exc / self.tau_exc) + self.i_exc
        self.i_inh = dt * (inh_current - self.i_inh / self.tau_inh) + self.i_inh
        self.v = (self.i_exc - (self.v - self.v_rest) - self.i_inh) / self.tau_m * dt + self.v
        if self.v >= self.v_threshold:
            self.v = self.v_rest
            return 1
        return 0

    def reset(self):
        self.v, self.i_exc, self.i_inh = self.v_rest, 0.0, 0.0


class RefCOBALIF:
    keys = ("v", "g_e", "g_i")

    def __init__(self):
        self.v, self.g_e, self.g_i = -65.0, 0.0, 0.0
        self.C, self.g_L, self.E_L, self.E_e, self.E_i = 200.0, 10.0, -65.0, 0.0, -80.0
        self.tau_e, self.tau_i, self.v_threshold, self.v_reset, self.dt = 5.0, 10.0, -50.0, -65.0, 0.1

    def step(self, current, delta_ge=0.0, delta_gi=0.0):
        ge = self.g_e + delta_ge
        gi = self.g_i + delta_gi
        v = self.v
        self.v = (current + (-self.g_L * (v - self.E_L) - (ge * (v - self.E_e) + gi * (v - self.E_i)))) \
            / self.C * self.dt + v
        self.g_e = math.exp(-self.dt / self.tau_e) * ge
        self.g_i = math.exp(-self.dt / self.tau_i) * gi
        if self.v >= self.v_threshold:
            self.v = self.v_reset
            return 1
        return 0

    def reset(self):
        self.v, self.g_e, self.g_i = self.E_L, 0.0, 0.0


def ref_state(ref):
    return {k: getattr(ref, k) for k in ref.keys}


# ---------------------------------------------------------------------------
# The table of classes

REFS = {
    "FixedPointLif": RefFixedPointLif,
    "Izhikevich": RefIzhikevich,
    "AdExNeuron": RefAdEx,
    "ExpIFNeuron": RefExpIF,
    "LapicqueNeuron": RefLapicque,
    "QuadraticIFNeuron": RefQuadraticIF,
    "ThetaNeuron": RefTheta,
    "PerfectIntegratorNeuron": RefPerfectIntegrator,
    "NonlinearLIFNeuron": RefNonlinearLIF,
    "SFANeuron": RefSFA,
    "MATNeuron": RefMAT,
    "NonResettingLIFNeuron": RefNonResettingLIF,
    "AdaptiveThresholdIFNeuron": RefAdaptiveThresholdIF,
    "EnergyLIFNeuron": RefEnergyLIF,
    "AlphaNeuron": RefAlpha,
    "COBALIFNeuron": RefCOBALIF,
}
ALL = list(REFS)
FLOAT_MODELS = ALL[1:]
NO_ARG = [n for n in ALL if n not in ("FixedPointLif", "Izhikevich", "LapicqueNeuron")]

CLASS_SIGNATURES = {
    "FixedPointLif": "(data_width=16, fraction=8, v_rest=0, v_reset=0, v_threshold=256, refractory_period=2)",
    "Izhikevich": "(a=0.02, b=0.2, c=..., d=8.0, dt=1.0)",
    "LapicqueNeuron": "(tau=20.0, resistance=1.0, threshold=1.0, dt=1.0)",
    **{n: "()" for n in NO_ARG},
}
STEP_SIGNATURES = {
    "FixedPointLif": "($self, leak_k, gain_k, i_t, noise_in=0)",
    "AlphaNeuron": "($self, exc_current, inh_current=0.0)",
    "COBALIFNeuron": "($self, current, delta_ge=0.0, delta_gi=0.0)",
}
HAS_RESET_STATE = ("FixedPointLif", "Izhikevich")

# A step that moves every model away from its initial state.
SAMPLE_STEP = {
    "FixedPointLif": (3, 300, 7, 1),
    "AlphaNeuron": (0.5, 0.25),
    "COBALIFNeuron": (160.0, 0.5, 0.25),
    # Weak enough that fifty steps end away from the reset value.
    "LapicqueNeuron": (0.5,),
    "PerfectIntegratorNeuron": (0.03,),
}
STEP_KEYWORDS = {
    "FixedPointLif": ("leak_k", "gain_k", "i_t", "noise_in"),
    "AlphaNeuron": ("exc_current", "inh_current"),
    "COBALIFNeuron": ("current", "delta_ge", "delta_gi"),
}


def sample_step(name):
    return SAMPLE_STEP.get(name, (25.0,))


def same(a, b):
    """Bit-for-bit equality, except that any NaN equals any NaN."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        if math.isnan(a) or math.isnan(b):
            return math.isnan(a) and math.isnan(b)
        return struct.pack("<d", a) == struct.pack("<d", b)
    return a == b


def assert_state(got, want, where=""):
    assert list(got) == list(want), where
    for k in want:
        assert same(got[k], want[k]), f"{where} {k}: got {got[k]!r}, want {want[k]!r}"


# ---------------------------------------------------------------------------
# Exact agreement with the references

def _i16(rng, lo, hi):
    # Mostly moderate values, now and then the extremes of the 16-bit range.
    r = rng.random()
    if r < 0.03:
        return -32768
    if r < 0.06:
        return 32767
    return rng.randint(lo, hi)


def fixed_inputs(rng, n):
    return [(_i16(rng, -300, 300), _i16(rng, -300, 600), _i16(rng, -50, 120), _i16(rng, -20, 20))
            for _ in range(n)]


def const_then_uniform(value, lo, hi):
    def gen(rng, n):
        return [(value,)] * (n // 3) + [(rng.uniform(lo, hi),) for _ in range(n - n // 3)]
    return gen


def alpha_inputs(rng, n):
    out = [(0.5,)] * 200
    while len(out) < n:
        exc, inh = rng.uniform(0, 0.8), rng.uniform(0, 0.1)
        out.append((exc,) if rng.random() < 0.3 else (exc, inh))
    return out


def coba_inputs(rng, n):
    out = []
    for _ in range(n):
        i = rng.uniform(0, 400)
        r = rng.random()
        if r < 0.3:
            out.append((i,))
        elif r < 0.6:
            out.append((i, rng.choice([0.0, 0.0, 1.0, 3.0])))
        else:
            out.append((i, rng.uniform(0, 2), rng.uniform(0, 2)))
    return out


def energy_inputs(rng, n):
    # Bursts of strong drive exhaust the budget; quiet spells let it recover.
    out = []
    while len(out) < n:
        out += [(1e5,)] * rng.randint(5, 20) + [(rng.uniform(0, 40),) for _ in range(rng.randint(20, 300))]
    return out[:n]


CASES = [
    ("FixedPointLif", {}, fixed_inputs),
    ("FixedPointLif", {"data_width": 8, "v_threshold": 100}, fixed_inputs),
    ("FixedPointLif", {"data_width": 4, "fraction": 3, "v_rest": -3, "v_reset": 100, "v_threshold": 5,
                       "refractory_period": 3}, fixed_inputs),
    ("FixedPointLif", {"data_width": 1, "v_threshold": 0}, fixed_inputs),
    ("FixedPointLif", {"fraction": 0, "v_threshold": 30000, "refractory_period": -1}, fixed_inputs),
    ("FixedPointLif", {"fraction": 40, "v_rest": 20, "v_reset": -40, "v_threshold": 120}, fixed_inputs),
    ("FixedPointLif", {"data_width": 12, "fraction": 31, "v_threshold": -5, "refractory_period": 0},
     fixed_inputs),
    ("Izhikevich", {}, const_then_uniform(10.0, -5.0, 30.0)),
    ("Izhikevich", {"a": 0.1, "b": 0.25, "c": -55.0, "d": 2.0, "dt": 0.5}, const_then_uniform(10.0, -5.0, 30.0)),
    ("AdExNeuron", {}, const_then_uniform(30.0, 0.0, 60.0)),
    ("ExpIFNeuron", {}, const_then_uniform(30.0, 0.0, 60.0)),
    ("LapicqueNeuron", {}, const_then_uniform(2.0, 0.0, 3.0)),
    ("LapicqueNeuron", {"tau": 5.0, "resistance": 2.0, "threshold": 0.8, "dt": 0.5},
     const_then_uniform(1.0, -0.5, 2.0)),
    ("QuadraticIFNeuron", {}, const_then_uniform(1.0, -0.5, 3.0)),
    ("ThetaNeuron", {}, const_then_uniform(1.0, -1.0, 50.0)),
    ("PerfectIntegratorNeuron", {}, const_then_uniform(1.0, -0.5, 2.0)),
    ("NonlinearLIFNeuron", {}, const_then_uniform(20.0, 0.0, 30.0)),
    ("SFANeuron", {}, const_then_uniform(30.0, 0.0, 60.0)),
    ("MATNeuron", {}, const_then_uniform(30.0, 0.0, 60.0)),
    ("NonResettingLIFNeuron", {}, const_then_uniform(30.0, -20.0, 60.0)),
    ("AdaptiveThresholdIFNeuron", {}, const_then_uniform(30.0, 0.0, 60.0)),
    ("EnergyLIFNeuron", {}, energy_inputs),
    ("AlphaNeuron", {}, alpha_inputs),
    ("COBALIFNeuron", {}, coba_inputs),
]


def _case_id(case):
    name, kwargs, _ = case
    return name + ("-" + "-".join(f"{k}{v}" for k, v in kwargs.items()) if kwargs else "")


@pytest.mark.parametrize("case", CASES, ids=[_case_id(c) for c in CASES])
def test_steps_match_reference(case):
    name, kwargs, gen = case
    rng = random.Random(_case_id(case))
    inputs = gen(rng, 3000)
    obj, ref = getattr(sc, name)(**kwargs), REFS[name](**kwargs)
    assert_state(obj.get_state(), ref_state(ref), "initial")
    spikes = 0
    for i, args in enumerate(inputs):
        if i == 2000:  # reset part-way, then keep stepping
            assert obj.reset() is None
            ref.reset()
            assert_state(obj.get_state(), ref_state(ref), "after reset")
        want = ref.step(*args)
        got = obj.step(*args)
        assert type(got) is type(want) and got == want, f"step {i} {args}: got {got}, want {want}"
        assert_state(obj.get_state(), ref_state(ref), f"step {i} {args}")
        spikes += (want[0] if isinstance(want, tuple) else want) != 0
    # The inputs must reach both branches, or the comparison proves little.
    assert 0 < spikes < len(inputs)


@pytest.mark.parametrize("name", FLOAT_MODELS)
def test_non_finite_inputs_propagate(name):
    nargs = len(sample_step(name))
    drive = sample_step(name)
    obj, ref = getattr(sc, name)(), REFS[name]()
    seq = [drive, (NAN,) * nargs, drive, drive, (INF,) + (0.0,) * (nargs - 1), drive, (-INF,), drive]
    seq += [(NAN,) + drive[1:]] + [drive] * 20
    nan_seen = False
    for args in seq:
        want = ref.step(*args)
        got = obj.step(*args)
        assert got == want
        state = obj.get_state()
        assert_state(state, ref_state(ref), f"{args}")
        first = next(iter(state.values()))
        if math.isnan(first):
            nan_seen = True
        if nan_seen:
            # A NaN state never spikes and is never reset.
            assert got == 0 and math.isnan(first)
    assert nan_seen


# ---------------------------------------------------------------------------
# Shape shared by every class

@pytest.mark.parametrize("name", ALL)
def test_signatures(name):
    cls = getattr(sc, name)
    assert cls.__text_signature__ == CLASS_SIGNATURES[name]
    assert cls.step.__text_signature__ == STEP_SIGNATURES.get(name, "($self, current)")
    assert cls.reset.__text_signature__ == "($self)"
    assert cls.get_state.__text_signature__ == "($self)"
    if name in HAS_RESET_STATE:
        assert cls.reset_state.__text_signature__ == "($self)"
    else:
        assert not hasattr(cls, "reset_state")


@pytest.mark.parametrize("name", ALL)
def test_get_state_returns_fresh_copies(name):
    obj = getattr(sc, name)()
    obj.step(*sample_step(name))
    a, b = obj.get_state(), obj.get_state()
    assert list(a) == list(REFS[name].keys)
    want_type = int if name == "FixedPointLif" else float
    assert all(type(v) is want_type for v in a.values())
    assert a == b and a is not b
    before = dict(a)
    for k in a:
        a[k] = 12345
    a["extra"] = 1
    assert obj.get_state() == before


@pytest.mark.parametrize("name", ALL)
def test_reset_restores_a_fresh_object(name):
    cls = getattr(sc, name)
    fresh, used = cls(), cls()
    args = sample_step(name)
    for _ in range(50):
        used.step(*args)
    assert used.get_state() != fresh.get_state()
    assert used.reset() is None
    assert_state(used.get_state(), fresh.get_state())
    # Parameters survive the reset: both objects go on identically.
    for _ in range(50):
        assert used.step(*args) == fresh.step(*args)
        assert_state(used.get_state(), fresh.get_state())


@pytest.mark.parametrize("name", HAS_RESET_STATE)
def test_reset_state_is_reset(name):
    a, b = getattr(sc, name)(), getattr(sc, name)()
    for obj in (a, b):
        for _ in range(7):
            obj.step(*sample_step(name))
    assert a.reset_state() is None
    b.reset()
    assert a.get_state() == b.get_state()


@pytest.mark.parametrize("name", NO_ARG)
def test_no_argument_constructors_refuse_arguments(name):
    cls = getattr(sc, name)
    with pytest.raises(TypeError) as info:
        cls(1.0)
    assert str(info.value) == f"{name}.__new__() takes 0 positional arguments but 1 was given"
    with pytest.raises(TypeError) as info:
        cls(dt=1.0)
    assert str(info.value) == f"{name}.__new__() got an unexpected keyword argument 'dt'"


@pytest.mark.parametrize(
    "call, exc, text",
    [
        (lambda: sc.FixedPointLif(1, 2, 3, 4, 5, 6, 7), TypeError,
         "FixedPointLif.__new__() takes from 0 to 6 positional arguments but 7 were given"),
        (lambda: sc.Izhikevich(1, 2, 3, 4, 5, 6), TypeError,
         "Izhikevich.__new__() takes from 0 to 5 positional arguments but 6 were given"),
        (lambda: sc.LapicqueNeuron(1, 2, 3, 4, 5), TypeError,
         "LapicqueNeuron.__new__() takes from 0 to 4 positional arguments but 5 were given"),
        (lambda: sc.Izhikevich(0.1, a=0.2), TypeError,
         "Izhikevich.__new__() got multiple values for argument 'a'"),
        (lambda: sc.FixedPointLif(v_rest=32768), OverflowError, "out of range integral type conversion attempted"),
        (lambda: sc.FixedPointLif(data_width=-1), OverflowError, "out of range integral type conversion attempted"),
        (lambda: sc.FixedPointLif(refractory_period=2**31), OverflowError,
         "out of range integral type conversion attempted"),
        (lambda: sc.FixedPointLif().step(1, 2, 3, 4, 5), TypeError,
         "FixedPointLif.step() takes from 3 to 4 positional arguments but 5 were given"),
        (lambda: sc.MATNeuron().step(1.0, 2.0), TypeError,
         "MATNeuron.step() takes 1 positional arguments but 2 were given"),
        (lambda: sc.AlphaNeuron().step(1.0, 2.0, 3.0), TypeError,
         "AlphaNeuron.step() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: sc.MATNeuron().step(I=1.0), TypeError,
         "MATNeuron.step() got an unexpected keyword argument 'I'"),
        (lambda: sc.Izhikevich().reset(1), TypeError,
         "Izhikevich.reset() takes no arguments (1 given)"),
        (lambda: sc.AdExNeuron().get_state(1), TypeError,
         "AdExNeuron.get_state() takes no arguments (1 given)"),
    ],
)
def test_matching_and_conversion_errors(call, exc, text):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    assert str(info.value) == text


def test_constructor_arguments_by_position_and_keyword():
    cases = [
        ("FixedPointLif", ("data_width", "fraction", "v_rest", "v_reset", "v_threshold", "refractory_period"),
         (12, 4, -7, 3, 90, 5)),
        ("Izhikevich", ("a", "b", "c", "d", "dt"), (0.1, 0.25, -55.0, 2.0, 0.5)),
        ("LapicqueNeuron", ("tau", "resistance", "threshold", "dt"), (5.0, 2.0, 0.8, 0.5)),
    ]
    for name, names, args in cases:
        cls, refcls = getattr(sc, name), REFS[name]
        by_pos, by_kw, ref = cls(*args), cls(**dict(zip(names, args))), refcls(*args)
        step = sample_step(name)
        for _ in range(30):
            want = ref.step(*step)
            assert by_pos.step(*step) == want and by_kw.step(*step) == want
            assert_state(by_pos.get_state(), ref_state(ref))
            assert_state(by_kw.get_state(), ref_state(ref))


@pytest.mark.parametrize("name", ALL)
def test_step_requires_its_input(name):
    obj = getattr(sc, name)()
    before = obj.get_state()
    with pytest.raises(TypeError) as info:
        obj.step()
    if name == "FixedPointLif":
        want = "FixedPointLif.step() missing 3 required positional arguments: 'leak_k', 'gain_k', and 'i_t'"
    else:
        first = STEP_KEYWORDS.get(name, ("current",))[0]
        want = f"{name}.step() missing 1 required positional argument: '{first}'"
    assert str(info.value) == want
    assert obj.get_state() == before


@pytest.mark.parametrize("name", ALL)
def test_step_by_keyword_equals_positional(name):
    cls = getattr(sc, name)
    args = sample_step(name)
    kw = dict(zip(STEP_KEYWORDS.get(name, ("current",)), args))
    a, b = cls(), cls()
    for _ in range(20):
        assert a.step(*args) == b.step(**kw)
        assert_state(a.get_state(), b.get_state())
    if name != "FixedPointLif":
        # An int converts to the same double.
        c, d = cls(), cls()
        c.step(*([3.0] * len(args)))
        d.step(*([3] * len(args)))
        assert_state(c.get_state(), d.get_state())


@pytest.mark.parametrize("name", ALL)
@pytest.mark.parametrize("bad", ["0.5", None, [1.0]])
def test_unconvertible_argument_leaves_state(name, bad):
    obj = getattr(sc, name)()
    for _ in range(5):
        obj.step(*sample_step(name))
    before = obj.get_state()
    keys = STEP_KEYWORDS.get(name, ("current",))
    # Every argument position in turn, so that earlier conversions that succeed change nothing either.
    for pos in range(len(sample_step(name))):
        args = list(sample_step(name))
        args[pos] = bad
        with pytest.raises(TypeError) as info:
            obj.step(*args)
        assert str(info.value).startswith(f"argument '{keys[pos]}': ")
        assert isinstance(info.value.__cause__, TypeError)
        assert_state(obj.get_state(), before)
    obj.step(*sample_step(name))  # still usable


@pytest.mark.parametrize(
    "args",
    [(32768, 0, 0), (0, -32769, 0), (0, 0, 2**40), (0, 0, 0, 32768), (0, 0, 0, -32769)],
)
def test_fixed_point_step_overflow(args):
    obj = sc.FixedPointLif()
    for _ in range(10):
        obj.step(0, 256, 3)
    before = obj.get_state()
    with pytest.raises(OverflowError) as info:
        obj.step(*args)
    assert type(info.value) is OverflowError
    assert str(info.value) == "out of range integral type conversion attempted"
    assert obj.get_state() == before


# ---------------------------------------------------------------------------
# Borrow before convert

class _Reentrant:
    """An argument whose conversion calls back into the object being stepped."""

    def __init__(self, action):
        self.action = action
        self.obj = None

    def __float__(self):
        self.action(self.obj)
        return 1.0

    def __index__(self):
        self.action(self.obj)
        return 1


@pytest.mark.parametrize("name", ALL)
@pytest.mark.parametrize(
    "action, text",
    [
        (lambda o: o.get_state(), "Already mutably borrowed"),
        (lambda o: o.step(*sample_step(type(o).__name__)), "Already borrowed"),
        # The borrow comes before conversion, so a bad argument still meets the borrow error.
        (lambda o: o.step("x", *sample_step(type(o).__name__)[1:]), "Already borrowed"),
        (lambda o: o.reset(), "Already borrowed"),
    ],
    ids=["get_state", "step", "step-bad-arg", "reset"],
)
def test_argument_conversion_runs_under_the_borrow(name, action, text):
    obj = getattr(sc, name)()
    obj.step(*sample_step(name))
    before = obj.get_state()
    arg = _Reentrant(action)
    arg.obj = obj
    args = list(sample_step(name))
    args[0] = arg
    with pytest.raises(RuntimeError) as info:
        obj.step(*args)
    assert type(info.value) is RuntimeError
    assert str(info.value) == text
    # The borrow is released and nothing was written.
    assert_state(obj.get_state(), before)
    obj.step(*sample_step(name))


# ---------------------------------------------------------------------------
# FixedPointLif

def _panic_of(fn):
    try:
        fn()
    except Exception:  # noqa: BLE001 - a panic must not be an Exception
        raise
    except BaseException as e:  # noqa: B036
        return e
    raise AssertionError("no panic")


def test_fixed_point_counts_to_threshold_then_refracts():
    n = sc.FixedPointLif()
    for k in range(1, 256):
        assert n.step(0, 256, 1) == (0, k)
    assert n.step(0, 256, 1) == (1, 0)
    assert n.get_state() == {"v": 0, "refractory_counter": 2}
    assert n.step(0, 256, 1) == (0, 0)
    assert n.get_state() == {"v": 0, "refractory_counter": 1}
    assert n.step(0, 256, 1) == (0, 0)
    assert n.get_state() == {"v": 0, "refractory_counter": 0}
    assert [n.step(0, 256, 1) for _ in range(3)] == [(0, 1), (0, 2), (0, 3)]


def test_fixed_point_narrow_width_wraps_and_never_spikes():
    n = sc.FixedPointLif(data_width=8)
    got = [n.step(0, 256, 1) for _ in range(300)]
    want = [(0, ((k + 128) % 256) - 128) for k in range(1, 301)]
    assert got == want
    assert got[126] == (0, 127) and got[127] == (0, -128)


def test_fixed_point_reset_value_is_stored_unwrapped():
    n = sc.FixedPointLif(data_width=4, v_reset=100, v_threshold=5)
    assert n.step(0, 256, 6) == (1, 4)  # 100 in 4 bits is 0b0100
    assert n.get_state() == {"v": 100, "refractory_counter": 2}


@pytest.mark.parametrize(
    "step, want",
    [((0, 1, -1), (0, -1)), ((0, -1, 1), (0, -1)), ((0, 1, 1), (0, 0)), ((0, 3, -100), (0, -2))],
)
def test_fixed_point_negative_products_round_down(step, want):
    assert sc.FixedPointLif().step(*step) == want


def test_fixed_point_negative_leak_rounds_down():
    n = sc.FixedPointLif()
    assert n.step(0, 256, 1) == (0, 1)
    # d = 0 - 1 = -1, (-1 * 1) >> 8 = -1: the leak pulls v back to 0.
    assert n.step(1, 0, 0) == (0, 0)


@pytest.mark.parametrize(
    "width, reported",
    [(17, 34), (0, 0), (32, 64), (2**31, 2**32), (2**32 - 1, 2**33 - 2)],
)
def test_fixed_point_bad_width_panics_and_keeps_the_object(width, reported):
    n = sc.FixedPointLif(data_width=width, v_rest=5)
    before = n.get_state()
    e = _panic_of(lambda: n.step(0, 256, 1))
    assert type(e).__name__ == "PanicException"
    assert not isinstance(e, Exception)
    assert str(e) == f"mask width must be 1..=32, got {reported}"
    assert n.get_state() == before
    # The borrow was released: the object still works and still refuses to step.
    assert n.reset() is None
    assert n.get_state() == {"v": 5, "refractory_counter": 0}
    e2 = _panic_of(lambda: n.step(0, 0, 0))
    assert str(e2) == str(e)


# ---------------------------------------------------------------------------
# The point neurons

def test_izhikevich_first_spike_and_its_reset():
    n, ref = sc.Izhikevich(), RefIzhikevich()
    assert [n.step(10.0) for _ in range(3)] == [0, 0, 0]
    for _ in range(3):
        ref.step(10.0)
    # The fourth step crosses 30; the crossing's u is the reference's before the jump by d.
    h = 0.5
    v, u = ref.v, ref.u
    for _ in range(2):
        f = (((5 * v + (0.04 * v) * v) + 140) - u) + 10.0
        g = (0.2 * v - u) * 0.02
        v, u = v + f * h, u + g * h
    assert v >= 30
    assert n.step(10.0) == 1
    state = n.get_state()
    assert state["v"] == -65.0
    assert state["u"] == u + 8.0


def test_izhikevich_default_c_is_minus_65():
    assert sc.Izhikevich().get_state() == {"v": -65.0, "u": 0.2 * -65.0}
    assert sc.Izhikevich(c=-60.0, b=0.25).get_state() == {"v": -60.0, "u": 0.25 * -60.0}


def test_adex_reset_after_spiking():
    n = sc.AdExNeuron()
    assert any(n.step(40.0) for _ in range(2000))
    assert n.get_state()["w"] != 0.0
    n.reset()
    state = n.get_state()
    assert list(state) == ["v", "w"]
    assert state == {"v": -65.0, "w": 0.0}


def test_lapicque_below_and_above_threshold():
    n = sc.LapicqueNeuron()
    assert not any(n.step(0.5) for _ in range(5000))
    v = n.get_state()["v"]
    assert 0.5 - 1e-12 < v <= 0.5

    n = sc.LapicqueNeuron()
    trace = []
    for _ in range(200):
        s = n.step(2.0)
        trace.append((s, n.get_state()["v"]))
    first = next(i for i, (s, _) in enumerate(trace) if s)
    assert trace[first - 1][1] < 1.0 and trace[first][1] == 0.0
    # It restarts from 0 and repeats the same climb.
    period = next(i for i, (s, _) in enumerate(trace[first + 1:]) if s) + 1
    assert period == first + 1
    assert trace[first + 1][1] == trace[0][1] == 0.1


# ---------------------------------------------------------------------------
# The continuous-time integrate-and-fire family

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


def test_coba_conductance_acts_on_the_same_call():
    n = sc.COBALIFNeuron()
    assert n.step(0.0, delta_ge=1.0) == 0
    state = n.get_state()
    assert state["v"] == (0.0 + (-10.0 * 0.0 - (1.0 * (-65.0 - 0.0) + 0.0 * (-65.0 - -80.0)))) / 200.0 * 0.1 - 65.0
    assert state["v"] > -65.0
    assert state["g_e"] == math.exp(-0.1 / 5.0)
    n.step(0.0)
    assert n.get_state()["g_e"] == math.exp(-0.1 / 5.0) * math.exp(-0.1 / 5.0)


def test_alpha_inhibition_lowers_v():
    n = sc.AlphaNeuron()
    for _ in range(10):
        assert n.step(0.0, 0.5) == 0
    state = n.get_state()
    assert state["v"] < 0.0 and state["i_inh"] > 0.0 and state["i_exc"] == 0.0

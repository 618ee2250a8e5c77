"""The rate family: threshold logic, rate and transfer units, synapse-driven spiking units and
the buffer-holding models."""
import math

import mpmath
import numpy as np
import pytest

import sc_dravik_engine as sc
from contract import *  # noqa: F401,F403 - the shared contract runs over ROWS
from contract import INF, NAN, Row
from sc_testing import panic_of, same_bits
from sc_testing import c_div as fdiv
from sc_testing import c_exp as exp

SQRT_PI = math.sqrt(math.pi)


# ---------------------------------------------------------------- threshold logic and rate units

class RefMcCullochPitts:
    keys = None

    def __init__(self, theta=1.0):
        self.theta = theta

    def step(self, weighted_input):
        return 1 if weighted_input >= self.theta else 0


class RefSigmoidRate:
    keys = ("r",)

    def __init__(self):
        self.r, self.tau, self.beta, self.theta, self.dt = 0.0, 10.0, 1.0, 0.0, 0.1

    def step(self, current):
        s = 1.0 / (1.0 + exp((current - self.theta) * (-self.beta)))
        self.r = self.r + (s - self.r) / self.tau * self.dt
        return self.r

    def reset(self):
        self.r = 0.0


class RefThresholdLinearRate:
    keys = None

    def __init__(self):
        self.r, self.theta, self.gain = 0.0, 0.0, 1.0

    def step(self, current):
        d = current - self.theta
        self.r = (d if d > 0.0 else 0.0) * self.gain
        return self.r

    def reset(self):
        self.r = 0.0


class RefAstrocyte:
    keys = ("ca", "h", "ip3")

    def __init__(self):
        self.reset()
        self.v_channel, self.v_leak, self.v_pump = 0.9, 0.15, 0.4
        self.d1, self.d2, self.d3, self.d5 = 0.13, 1.049, 0.9434, 0.08234
        self.c0, self.c1, self.dt = 2.0, 0.185, 0.01

    def step(self, current):
        ca, h, ip3 = self.ca, self.h, self.ip3
        c_er = (self.c0 - ca) / self.c1
        m = ip3 / (ip3 + self.d1)
        n = ca / (ca + self.d5)
        p = m * n * h
        j_channel = self.v_channel * (p * p * p) * (c_er - ca)
        j_leak = self.v_leak * (c_er - ca)
        j_pump = self.v_pump * (ca * ca) / (ca * ca + 0.1 * 0.1)
        nxt = ca + self.dt * (j_leak + j_channel - j_pump + current)
        ca_new = nxt if nxt > 0.0 else 0.0
        q2 = self.d2 * (ip3 + self.d1) / (ip3 + self.d3)
        h_inf = q2 / (q2 + ca)
        tau_h = 1.0 / (0.2 * (q2 + ca))
        self.h = h + (h_inf - h) / tau_h * self.dt
        self.ca = ca_new
        return self.ca

    def reset(self):
        self.ca, self.h, self.ip3 = 0.05, 0.8, 0.5


# ---------------------------------------------------------------- spiking units

class RefTsodyksMarkram:
    keys = ("v", "x", "u")

    def __init__(self):
        self.v_rest, self.v_reset, self.v_threshold = -65.0, -65.0, -50.0
        self.tau_m, self.tau_d, self.tau_f = 20.0, 200.0, 600.0
        self.u_base, self.syn_weight, self.r_m, self.dt = 0.2, 50.0, 1.0, 0.1
        self.reset()

    def step(self, current, presynaptic_spike=False):
        dt = self.dt
        self.x = self.x + dt * (1.0 - self.x) / self.tau_d
        self.u = self.u + dt * (self.u_base - self.u) / self.tau_f
        i_syn = 0.0
        if presynaptic_spike:
            self.u = self.u + self.u_base * (1.0 - self.u)
            i_syn = self.u * self.syn_weight * self.x
            self.x = self.x - self.u * self.x
        self.v = self.v + dt * ((current + i_syn) * self.r_m - (self.v - self.v_rest)) / self.tau_m
        if self.v >= self.v_threshold:
            self.v = self.v_reset
            return 1
        return 0

    def reset(self):
        self.v, self.x, self.u = self.v_rest, 1.0, self.u_base


class RefLiquidTimeConstant:
    keys = ("x",)

    def __init__(self):
        self.x, self.tau, self.gate_weight, self.x_weight = 0.0, 10.0, -0.5, 0.8
        self.input_weight, self.gate_bias, self.threshold, self.dt = 1.0, 0.0, 1.0, 1.0

    def step(self, current):
        g = 1.0 / (1.0 + exp(-(self.gate_weight * current + self.gate_bias)))
        p = self.tau * g
        tau_eff = p if p > 0.1 else 0.1
        f = math.tanh(self.input_weight * current + self.x_weight * self.x)
        d = exp(-self.dt / tau_eff)
        self.x = (1.0 - d) * f + d * self.x
        if self.x >= self.threshold:
            self.x = self.x - self.threshold
            return 1
        return 0

    def reset(self):
        self.x = 0.0


class RefCompteWM:
    keys = ("v", "s_nmda")

    def __init__(self):
        self.g_l, self.g_ampa, self.g_nmda, self.g_gaba = 0.025, 0.005, 0.165, 0.013
        self.e_l, self.e_ampa, self.e_nmda, self.e_gaba = -70.0, 0.0, 0.0, -70.0
        self.c_m, self.mg = 0.5, 1.0
        self.tau_ampa, self.tau_x, self.tau_nmda, self.tau_gaba = 2.0, 2.0, 100.0, 5.0
        self.v_threshold, self.v_reset, self.dt = -50.0, -55.0, 0.1
        self.reset()

    def step(self, current, spike_in=False):
        c = 1.0 if spike_in else 0.0
        v, dt = self.v, self.dt
        b = 1.0 / (1.0 + exp(-0.062 * v) * self.mg / 3.57)
        i_leak = -(v - self.e_l) * self.g_l
        i_ampa = self.g_ampa * self.s_ampa * (v - self.e_ampa)
        i_nmda = self.g_nmda * self.s_nmda * b * (v - self.e_nmda)
        i_gaba = self.g_gaba * self.s_gaba * (v - self.e_gaba)
        self.v = v + dt * (current + (((i_leak - i_ampa) - i_nmda) - i_gaba)) / self.c_m
        self.s_ampa = self.s_ampa + dt * (c - self.s_ampa / self.tau_ampa)
        self.x_nmda = self.x_nmda + dt * (c - self.x_nmda / self.tau_x)
        self.s_gaba = self.s_gaba + dt * (0.5 * c - self.s_gaba / self.tau_gaba)
        self.s_nmda = self.s_nmda + dt * (0.5 * self.x_nmda * (1.0 - self.s_nmda) - self.s_nmda / self.tau_nmda)
        if self.v >= self.v_threshold:
            self.v = self.v_reset
            return 1
        return 0

    def reset(self):
        self.v = self.e_l
        self.s_ampa = self.s_nmda = self.x_nmda = self.s_gaba = 0.0


# ---------------------------------------------------------------- transfer function

# The 10-point Gauss-Legendre rule on [-1, 1], nodes in increasing order (checked against mpmath
# below).
GL_NODES = (-0.9739065285171717, -0.8650633666889845, -0.6794095682990244, -0.4333953941292472,
            -0.14887433898163122, 0.14887433898163122, 0.4333953941292472, 0.6794095682990244,
            0.8650633666889845, 0.9739065285171717)
GL_WEIGHTS = (0.06667134430868814, 0.1494513491505806, 0.21908636251598204, 0.26926671930999635,
              0.29552422471475287, 0.29552422471475287, 0.26926671930999635, 0.21908636251598204,
              0.1494513491505806, 0.06667134430868814)


def erfcx(x):
    """exp(x^2) erfc(x) for x >= 0: the product below 4, the Laplace continued fraction above."""
    if x < 4.0:
        return math.exp(x * x) * math.erfc(x)
    t = 0.0
    for k in range(24, 0, -1):
        t = (k * 0.5) / (x + t)
    return 0.5641895835477563 / (x + t)


def integrand(u):
    """exp(u^2) (1 + erf(u)), the exponent capped at 500 where 1 + erf(u) is at least 1."""
    if u > 0.0:
        return math.exp(min(u * u, 500.0)) * (1.0 + math.erf(u))
    return erfcx(-u)


class RefSiegert:
    keys = None

    def __init__(self):
        self.tau_m, self.tau_ref, self.v_threshold, self.v_reset, self.v_rest = 20.0, 2.0, -50.0, -70.0, -65.0

    def step(self, current):
        mu = current + self.v_rest
        if mu == -INF:
            return 0.0
        y_th = (self.v_threshold - mu) / 3.0
        y_r = (self.v_reset - mu) / 3.0
        # Far out, the limits no longer carry the potentials' gap: it comes from the potentials.
        gap = (self.v_threshold - self.v_reset) / 3.0
        half = (y_th - y_r) / 2.0 if max(abs(y_th), abs(y_r)) <= abs(gap) * 2.0**46 else gap / 2.0
        mid = (y_r + y_th) / 2.0
        s = 0.0
        for t, w in zip(GL_NODES, GL_WEIGHTS):
            s = s + w * integrand(mid + half * t)
        r = 1.0 / (self.tau_ref + self.tau_m * SQRT_PI * half * s)
        return 1000.0 * (r if r > 0.0 else 0.0)


# ---------------------------------------------------------------- buffer-holding models

class RefFractionalLIF:
    keys = ("v",)

    def __init__(self, alpha=0.8, max_hist=50):
        self.alpha, self.max_hist = alpha, max_hist
        self.v_rest, self.v_reset, self.theta, self.r_m, self.dt = 0.0, 0.0, 1.0, 1.0, 1.0
        self.c = [1.0]
        for i in range(1, max_hist + 1):
            self.c.append((1.0 - (1.0 + alpha) / float(i)) * self.c[-1])
        self.reset()

    def step(self, current):
        m = self.max_hist
        s = 0.0
        for j in range(1, m + 1):
            s = s + self.c[j] * self.history[m - j]
        self.v = math.pow(self.dt, self.alpha) * (self.r_m * current - (self.v - self.v_rest)) - s
        if m:
            self.history = self.history[1:] + [self.v]
        if self.v >= self.theta:
            self.v = self.v_reset
            return 1
        return 0

    def reset(self):
        self.v, self.history = self.v_rest, [0.0] * self.max_hist


class RefParallelSpiking:
    keys = None

    def __init__(self, kernel_size=8, v_threshold=1.0):
        self.n, self.v_threshold = kernel_size, v_threshold
        self.kernel = [1.0 / kernel_size] * kernel_size
        self.reset()

    def step(self, current):
        self.buffer[self.head] = current
        self.head = 0 if self.head + 1 == self.n else self.head + 1
        s = -0.0
        for i in range(self.n):
            s = s + self.kernel[i] * self.buffer[(self.head + i) % self.n]
        return 1 if s >= self.v_threshold else 0

    def reset(self):
        self.buffer, self.head = [0.0] * self.n, 0


def amari_kernel(n):
    # The literal form: identical to the parameter form, since both scalings are powers of two.
    return [1.5 * math.exp(-(k * 0.5) ** 2 * 0.5) - 0.75 * math.exp(-(k * 0.5) ** 2 * 0.125) for k in range(n)]


class RefAmari:
    keys = "u"  # get_state is the array itself

    def __init__(self, n=64):
        self.n, self.w = n, amari_kernel(n)
        self.tau, self.dx, self.dt = 10.0, 0.5, 0.5
        self.reset()

    def step(self, inp):
        inp = [float(x) for x in inp]
        u, w, n = self.u, self.w, self.n
        du = []
        for i in range(n):
            r = 0.0
            for j in range(n):
                r = r + (u[j] if u[j] > 0.0 else 0.0) * w[abs(i - j)] * self.dx
            e = inp[i] if i < len(inp) else 0.0
            du.append(((r - u[i]) + e) / self.tau * self.dt)
        self.u = [a + b for a, b in zip(u, du)]
        s = -0.0
        for x in self.u:
            s = s + x
        return fdiv(s, float(n))

    def reset(self):
        self.u = [0.0] * self.n


class RefLeakyCompeteFire:
    keys = ("v",)

    def __init__(self, n_units=4):
        self.n, self.tau, self.threshold, self.inhibition, self.dt = n_units, 10.0, 1.0, 0.5, 1.0
        self.reset()

    def step(self, currents):
        currents = [float(x) for x in currents]
        v = self.v
        for i in range(self.n):
            c = currents[i] if i < len(currents) else 0.0
            v[i] = v[i] + (c - v[i]) / self.tau * self.dt
        spikes = [0] * self.n
        for j in range(self.n):
            if v[j] >= self.threshold:
                spikes[j] = 1
                v[j] = 0.0
                for i in range(self.n):
                    if i != j:
                        d = v[i] - self.inhibition
                        v[i] = d if d > 0.0 else 0.0
        return spikes

    def reset(self):
        self.v = [0.0] * self.n


# ---------------------------------------------------------------- traces

def pick(*options, lo, hi, p=0.25):
    """Each step is one of the argument tuples `options` (with probability p) or one uniform
    value in [lo, hi)."""
    def trace(rng, n):
        return [rng.choice(options) if options and rng.random() < p else (rng.uniform(lo, hi),) for _ in range(n)]
    return trace


def with_flag(lo, hi, p_flag):
    """(current, flag) pairs: a current held for 150 steps at a time, the flag true with
    probability p_flag and sometimes left out."""
    def trace(rng, n):
        out = []
        for i in range(n):
            if i % 150 == 0:
                current = rng.uniform(lo, hi)
            r = rng.random()
            out.append((current,) if r < 0.1 else (current, r < 0.1 + p_flag))
        return out
    return trace


def vectors(lo, hi, longest, special=(NAN, INF, -INF)):
    """Sequences of every length up to `longest` (lists, tuples or arrays), now and then
    holding a non-finite value."""
    def trace(rng, n):
        out = []
        for _ in range(n):
            items = [rng.uniform(lo, hi) for _ in range(rng.randint(0, longest))]
            if items and special and rng.random() < 0.01:
                items[rng.randrange(len(items))] = rng.choice(special)
            form = rng.random()
            out.append((tuple(items),) if form < 0.1 else (np.array(items, dtype=np.float64),) if form < 0.2
                       else (items,))
        return out
    return trace


ROWS = [
    Row("McCullochPittsNeuron", RefMcCullochPitts, signature="(theta=1.0)",
        cases=[({}, pick((1.0,), (0.99,), (NAN,), (INF,), (-INF,), lo=-1.0, hi=3.0)),
               ({"theta": -1.0}, pick((-1.0,), (0.0,), lo=-3.0, hi=1.0))],
        step_keys=("weighted_input",), sample=(1.5,), ctor={"theta": 0.25}, shared_step=True),
    Row("SigmoidRateNeuron", RefSigmoidRate, cases=[({}, pick((-1e3,), (1e3,), lo=-8.0, hi=8.0, p=0.02))],
        sample=(2.0,), spikes=False),
    Row("ThresholdLinearRateNeuron", RefThresholdLinearRate,
        cases=[({}, pick((NAN,), (INF,), (-INF,), (-3.0,), (2.5,), (-0.0,), lo=-5.0, hi=5.0))],
        sample=(2.5,), spikes=False),
    Row("AstrocyteModel", RefAstrocyte,
        # A NaN input only zeroes the calcium (an infinite one would poison the rest of the trace).
        cases=[({}, pick((-100.0,), (0.0,), (NAN,), lo=-1.0, hi=2.0, p=0.05))],
        sample=(0.5,), spikes=False),
    Row("TsodyksMarkramNeuron", RefTsodyksMarkram, cases=[({}, with_flag(0.0, 20.0, 0.05))],
        step_keys=("current", "presynaptic_spike"), step_signature="($self, current, presynaptic_spike=False)",
        step_kinds=("float", "bool"), sample=(14.0, True)),
    Row("LiquidTimeConstantNeuron", RefLiquidTimeConstant,
        cases=[({}, pick((30.0,), (0.0,), (-1e4,), (1e4,), lo=-5.0, hi=40.0))], sample=(25.0,)),
    Row("CompteWMNeuron", RefCompteWM, cases=[({}, with_flag(0.0, 1.5, 0.3))],
        step_keys=("current", "spike_in"), step_signature="($self, current, spike_in=False)",
        step_kinds=("float", "bool"), sample=(1.0, True)),
    Row("SiegertTransferFunction", RefSiegert,
        # Every branch of the integrand: the capped exponent, the product and the continued
        # fraction, and the guards.
        cases=[({}, pick((0.0,), (15.0,), (30.0,), (100.0,), (-100.0,), (NAN,), (INF,), (-INF,), (1e300,),
                         (-1e300,), lo=-120.0, hi=250.0)),
               # Either side of where the limits stop carrying the gap, and where they meet.
               ({}, pick((1.4e15,), (-1.4e15,), (1.41e15,), (-1.41e15,), (-1.26e17,), (-1.6e17,), (-1e19,),
                         (1e19,), (-1.7976931348623157e308,), lo=-3e15, hi=3e15, p=0.5))],
        sample=(30.0,), spikes=False, shared_step=True),
    Row("FractionalLIFNeuron", RefFractionalLIF, signature="(alpha=0.8, max_hist=50)",
        # The memory keeps a spiking neuron spiking: the strong negative kicks break it off.
        cases=[(kwargs, pick((-2.0,), (1.0,), lo=-1.0, hi=0.9, p=0.1))
               for kwargs in ({}, {"alpha": 1.0, "max_hist": 5}, {"max_hist": 0}, {"alpha": 0.45, "max_hist": 120})],
        sample=(0.9,), ctor={"alpha": 0.6, "max_hist": 7}),
    Row("ParallelSpikingNeuron", RefParallelSpiking, signature="(kernel_size=8, v_threshold=1.0)",
        cases=[({}, pick((NAN,), (INF,), lo=0.0, hi=2.0, p=0.005)), ({"kernel_size": 1}, pick(lo=0.0, hi=2.0)),
               ({"kernel_size": 3, "v_threshold": 0.5}, pick((-INF,), lo=0.0, hi=1.0, p=0.01))],
        sample=(1.5,), ctor={"kernel_size": 5, "v_threshold": 0.75}),
    Row("AmariNeuralField", RefAmari, signature="(n=64)",
        # A non-finite input stays in its unit for good; those are tested on their own below.
        cases=[({"n": 12}, vectors(-1.0, 3.0, 15, ())), ({"n": 1}, vectors(-1.0, 3.0, 3, ())),
               ({"n": 0}, vectors(-1.0, 3.0, 2, ()))],
        step_keys=("input",), step_kinds=("seq",), sample=([1.0, 0.5, 2.0],), ctor={"n": 5}, spikes=False),
    Row("LeakyCompeteFireNeuron", RefLeakyCompeteFire, signature="(n_units=4)",
        cases=[({}, vectors(-5.0, 20.0, 6)), ({"n_units": 1}, vectors(-5.0, 20.0, 2, (INF,))),
               ({"n_units": 9}, vectors(-5.0, 30.0, 11))],
        step_keys=("currents",), step_kinds=("seq",), sample=([20.0, 14.0, 0.0, 12.0],), ctor={"n_units": 3}),
]


# ---------------------------------------------------------------- constructors

@pytest.mark.parametrize("cls, kwargs, exc", [
    (sc.McCullochPittsNeuron, {"theta": "1"}, TypeError),
    (sc.FractionalLIFNeuron, {"max_hist": -1}, OverflowError),
    (sc.FractionalLIFNeuron, {"max_hist": 2**64}, OverflowError),
    (sc.FractionalLIFNeuron, {"max_hist": 5.0}, TypeError),
    (sc.ParallelSpikingNeuron, {"kernel_size": -1}, OverflowError),
    (sc.AmariNeuralField, {"n": -1}, OverflowError),
    (sc.LeakyCompeteFireNeuron, {"n_units": -1}, OverflowError),
])
def test_constructor_conversions(cls, kwargs, exc):
    with pytest.raises(exc):
        cls(**kwargs)


SIZED = [
    (sc.FractionalLIFNeuron, "max_hist"),
    (sc.ParallelSpikingNeuron, "kernel_size"),
    (sc.AmariNeuralField, "n"),
    (sc.LeakyCompeteFireNeuron, "n_units"),
]


@pytest.mark.parametrize("cls, key", SIZED)
def test_sizes_that_cannot_be_represented(cls, key):
    # A byte count that cannot be represented stops the call, max_hist + 1 coefficients
    # included (they must not wrap to an empty buffer).
    for size in (2**61, 2**63, 2**64 - 1):
        assert str(panic_of(cls, **{key: size})) == "capacity overflow"


@pytest.mark.failing_allocation
@pytest.mark.parametrize("cls, key", SIZED)
def test_sizes_beyond_memory(cls, key):
    with pytest.raises(MemoryError):
        cls(**{key: 2**59})


# ---------------------------------------------------------------- threshold logic and rate units

@pytest.mark.parametrize("theta, x, want", [
    (1.0, 1.0, 1), (1.0, 0.99, 0), (-1.0, 0.0, 1), (1.0, NAN, 0), (NAN, 5.0, 0), (1.0, INF, 1),
])
def test_mcculloch_pitts(theta, x, want):
    assert sc.McCullochPittsNeuron(theta).step(x) == want


def test_sigmoid_rate_first_step_from_rest():
    n = sc.SigmoidRateNeuron()
    r = n.step(0.0)
    assert r == pytest.approx(0.005, rel=1e-15) and n.get_state() == {"r": r}
    # The midpoint theta = 0 sits at s = 0.5; a large input saturates s at 1.
    assert n.step(1e3) == pytest.approx(r + (1.0 - r) / 10 * 0.1, rel=1e-15)


@pytest.mark.parametrize("x, want", [(-3.0, 0.0), (2.5, 2.5), (NAN, 0.0), (-INF, 0.0), (INF, INF)])
def test_threshold_linear(x, want):
    n = sc.ThresholdLinearRateNeuron()
    n.step(7.0)
    got = n.step(x)  # the old rate is never read
    assert same_bits(got, want)


def test_astrocyte_calcium_floor_and_fixed_ip3():
    n = sc.AstrocyteModel()
    for x in [-100.0] * 20 + [NAN] + [0.0] * 5 + [3.0] * 5:
        ca = n.step(x)
        s = n.get_state()
        assert ca == s["ca"] >= 0.0 and s["ip3"] == 0.5
        if x == -100.0 or math.isnan(x):
            assert ca == 0.0 and math.copysign(1.0, ca) == 1.0
    assert ca > 0.0  # released from the floor by a positive input
    n.reset()
    assert n.get_state() == {"ca": 0.05, "h": 0.8, "ip3": 0.5}


# ---------------------------------------------------------------- spiking units

def test_tsodyks_markram_depression():
    n = sc.TsodyksMarkramNeuron()
    assert n.step(0.0, True) == 0
    s = n.get_state()
    # u rises from 0.2 to 0.36, 0.36 * 50 * 1 = 18 is injected and x falls to 0.64.
    assert s["u"] == pytest.approx(0.36, rel=1e-14) and s["x"] == pytest.approx(0.64, rel=1e-14)
    assert s["v"] == pytest.approx(-65.0 + 0.1 * 18.0 / 20.0, rel=1e-14)
    jump = s["v"] + 65.0
    n.step(0.0, True)
    t = n.get_state()
    x = 0.64 + 0.1 * (1 - 0.64) / 200
    u = 0.36 + 0.1 * (0.2 - 0.36) / 600
    u = u + 0.2 * (1 - u)
    assert t["u"] == pytest.approx(u, rel=1e-14) and t["x"] == pytest.approx(x - u * x, rel=1e-14)
    # Less is left to release: the second spike injects less than the first.
    assert 0 < t["v"] - (s["v"] + 0.1 * (-(s["v"] + 65.0)) / 20) < jump
    n.reset()
    assert n.get_state() == {"v": -65.0, "x": 1.0, "u": 0.2}


@pytest.mark.parametrize("cls, key", [(sc.TsodyksMarkramNeuron, "presynaptic_spike"), (sc.CompteWMNeuron, "spike_in")])
def test_spike_flags_are_bools_only(cls, key):
    a, b = cls(), cls()
    for bad in (1, 0, 1.0, "True"):
        with pytest.raises(TypeError) as info:
            a.step(0.5, bad)
        assert str(info.value).startswith(f"argument '{key}': ")
    # NumPy's bool counts as a bool; a flag left out is False.
    assert a.step(0.5, np.bool_(True)) == b.step(0.5, True)
    assert a.step(0.5) == b.step(current=0.5, **{key: False})
    assert a.get_state() == b.get_state()


def test_liquid_time_constant_gate_and_weights():
    n = sc.LiquidTimeConstantNeuron()
    n.step(2.0)
    x1 = n.get_state()["x"]
    g = 1 / (1 + math.exp(-(-0.5 * 2.0)))
    d = math.exp(-1.0 / (10.0 * g))
    assert x1 == (1 - d) * math.tanh(2.0) + d * 0.0
    # Input 0: the gate is 0.5, so the time constant is 5, and x enters the tanh weighted 0.8.
    n.step(0.0)
    d = math.exp(-1.0 / 5.0)
    assert n.get_state()["x"] == (1 - d) * math.tanh(0.8 * x1) + d * x1


def test_compte_wm_gates_and_reset():
    n = sc.CompteWMNeuron()
    assert n.step(0.0, True) == 0
    s = n.get_state()
    # From rest every current is 0; the gates open: s_ampa 0.1, x_nmda 0.1, s_gaba 0.05 and
    # s_nmda 0.005 from the new x_nmda.
    assert s["v"] == -70.0 and s["s_nmda"] == pytest.approx(0.005, rel=1e-14)
    n.step(0.0)
    b = 1 / (1 + math.exp(-0.062 * -70.0) * 1.0 / 3.57)
    i_ampa = 0.005 * 0.1 * -70.0
    i_nmda = 0.165 * s["s_nmda"] * b * -70.0
    i_gaba = 0.013 * 0.05 * 0.0
    assert n.get_state()["v"] == pytest.approx(-70.0 + 0.1 * (0.0 - i_ampa - i_nmda - i_gaba) / 0.5, rel=1e-14)
    for _ in range(400):
        if n.step(2.0):
            break
    else:
        pytest.fail("no spike")
    assert n.get_state()["v"] == -55.0
    n.reset()
    assert n.get_state() == {"v": -70.0, "s_nmda": 0.0}  # e_l, not v_reset


# ---------------------------------------------------------------- transfer function

@pytest.fixture
def mp40():
    with mpmath.workdps(40):
        yield


def mp_integrand(u, cap=False):
    # 1 + erf(u) as erfc(-u), the same number without the cancellation.
    u = mpmath.mpf(u)
    return mpmath.exp(min(u * u, 500) if cap else u * u) * mpmath.erfc(-u)


def mp_bounds(current):
    mu = mpmath.mpf(current) - 65
    return (-70 - mu) / 3, (-50 - mu) / 3


def test_gauss_legendre_constants(mp40):
    # The rule's nodes are the roots of P_10, its weights 2 / ((1 - x^2) P_10'(x)^2).
    p10 = lambda x: mpmath.legendre(10, x)  # noqa: E731
    for t, w in zip(GL_NODES, GL_WEIGHTS):
        x = mpmath.findroot(p10, t)
        assert float(x) == t
        assert float(2 / ((1 - x * x) * mpmath.diff(p10, x) ** 2)) == w


@pytest.mark.parametrize("current", [20.0, 22.5, 25.0, 30.0, 50.0, 100.0, 300.0, 1e3, 1e5])
def test_siegert_above_threshold_matches_the_exact_integral(mp40, current):
    # Comparison with the exact integral in high precision: here the 10-point rule is itself
    # accurate, so the accurate integrand gives the true rate.
    y_r, y_th = mp_bounds(current)
    exact = 1000 / (2 + 20 * mpmath.sqrt(mpmath.pi) * mpmath.quad(mp_integrand, [y_r, y_th]))
    got = sc.SiegertTransferFunction().step(current)
    assert abs(got - exact) <= 1e-9 * exact


@pytest.mark.parametrize("current, cap", [
    (19.5, False), (15.0, False), (10.0, False), (5.0, False), (0.0, False), (-10.0, False), (-30.0, False),
    (-50.0, False),
    # Far below, some or all nodes have u^2 above 500, where the exponent stops at 500.
    (-60.0, True), (-100.0, True), (-1e3, True),
])
def test_siegert_below_threshold_matches_the_rule_in_high_precision(mp40, current, cap):
    # Comparison with the same 10-point rule evaluated in high precision: below threshold the
    # rule's own quadrature error dominates (1.4% at input 0), so that is what the engine owes.
    y_r, y_th = mp_bounds(current)
    half, mid = (y_th - y_r) / 2, (y_r + y_th) / 2
    s = mpmath.fsum(mpmath.mpf(w) * mp_integrand(mid + half * mpmath.mpf(t), cap) for t, w in zip(GL_NODES, GL_WEIGHTS))
    want = 1000 / (2 + 20 * mpmath.sqrt(mpmath.pi) * half * s)
    got = sc.SiegertTransferFunction().step(current)
    assert abs(got - want) <= 1e-12 * want


def test_siegert_curve():
    f = sc.SiegertTransferFunction()
    xs = [x * 0.5 for x in range(-400, 801)]
    rates = [f.step(x) for x in xs]
    assert all(0.0 < r < 500.0 for r in rates)
    # Increasing wherever the exponent cap is not reached; far below, the capped integrand
    # leaves a rate that is tiny but still positive.
    assert all(a < b for x, a, b in zip(xs, rates, rates[1:]) if x >= -50.0)
    assert all(r < 1e-150 for x, r in zip(xs, rates) if x <= -60.0)
    assert 0.0 < f.step(-1e5) < 1e-200
    # The accurate integrand: 16.75 Hz at 15 and 53.2 Hz at 30, where the cancelling
    # approximation gives about 17.4 and 213.7; 160.7 Hz at 100, where it gives 500.
    for x, want in [(0.0, 1.9457e-9), (15.0, 16.7537), (30.0, 53.2251), (100.0, 160.667), (1e6, 499.9)]:
        assert f.step(x) == pytest.approx(want, rel=1e-4)


@pytest.mark.parametrize("x, want", [(NAN, 0.0), (-INF, 0.0), (INF, 500.0)])
def test_siegert_non_finite_inputs(x, want):
    # No drive at -inf; an infinite drive fires at the refractory limit 1000 / tau_ref.
    assert same_bits(sc.SiegertTransferFunction().step(x), want)


def test_siegert_never_falls_over_the_float_range():
    f = sc.SiegertTransferFunction()
    xs = [-INF, -1.7976931348623157e308, -1e200, -1e100, -1e19, -1.7e17, -1.6e17, -1.26e17, -1e16, -1e15, -1e12,
          -1e6, -1e3, -100.0, -60.0, -50.0, -20.0, 0.0, 15.0, 30.0, 100.0, 1e3, 1e6, 1e12, 1e15, 1e16, 1e19,
          1e100, 1e200, 1.7976931348623157e308, INF]
    rates = [f.step(x) for x in xs]
    assert all(0.0 <= r <= 500.0 for r in rates)
    floor = f.step(-1e19)
    assert 0.0 < floor < 1e-100
    for (x, a), (y, b) in zip(zip(xs, rates), zip(xs[1:], rates[1:])):
        if y <= -100.0:
            # Far below threshold every node's exponent is capped and the rate is a flat floor.
            # Below 1.4e15 in magnitude the limits' rounding stays in its last digits (a part in
            # a hundred at 1e15, in 1e11 at 1e6); beyond, the floor is exact.
            assert abs(b - floor) <= floor / 32, y
            assert b == floor or y > -1.5e15, y
        else:
            assert b >= a, (x, y)
    # Where the gap comes from the potentials the rate is flat below and rises above, float
    # by float along a dense sweep.
    far = np.geomspace(1.5e15, 1e308, 3000).tolist() + [1.7976931348623157e308]
    assert {f.step(-x) for x in far} == {floor}
    up = [f.step(x) for x in far]
    assert all(a <= b for a, b in zip(up, up[1:])) and up[-1] == 500.0


# ---------------------------------------------------------------- buffer-holding models

def test_fractional_lif_defaults_cross_on_the_first_step():
    n = sc.FractionalLIFNeuron()
    assert n.step(1.0) == 1 and n.get_state() == {"v": 0.0}


def test_fractional_lif_order_one_builds_on_the_crossing_value():
    # alpha 1: c_1 = -1 and every later weight is 0, so v = (I - v) + (newest history value).
    # The history keeps the value that crossed theta, so the next step builds on it although v
    # was set to v_reset.
    n = sc.FractionalLIFNeuron(alpha=1.0, max_hist=3)
    assert [n.step(x) for x in (0.6, 0.6, 1.0, 0.0, 0.0)] == [0, 0, 1, 1, 1]
    n.reset()
    assert [n.step(0.6), n.get_state()] == [0, {"v": 0.6}]


def test_fractional_lif_without_history():
    n = sc.FractionalLIFNeuron(max_hist=0)
    assert n.step(0.5) == 0 and n.get_state() == {"v": 0.5}
    assert n.step(0.5) == 0 and n.get_state() == {"v": 0.0}  # s = 0: only the leak of v
    assert n.step(1.0) == 1 and n.get_state() == {"v": 0.0}


def test_fractional_lif_memory_reaches_back_max_hist_steps():
    # An input max_hist steps back still weighs in; one further back does not.
    def after(max_hist, lag):
        n = sc.FractionalLIFNeuron(alpha=0.5, max_hist=max_hist)
        n.step(0.5)
        for _ in range(lag):
            n.step(0.0)
        return n.get_state()["v"]
    ref = RefFractionalLIF(alpha=0.5, max_hist=4)
    ref.step(0.5)
    for _ in range(4):
        ref.step(0.0)
    assert after(4, 4) == ref.v != after(3, 4)


def test_parallel_spiking_moving_average():
    n = sc.ParallelSpikingNeuron()
    # The zeros still in the ring pull the average down until the eighth input.
    assert [n.step(1.0) for _ in range(8)] == [0] * 7 + [1]
    assert n.step(0.0) == 0  # 7/8
    assert [n.step(1.0) for _ in range(8)] == [0] * 7 + [1]  # a spike clears nothing
    n.reset()
    assert [n.step(1.0) for _ in range(8)] == [0] * 7 + [1]


def test_parallel_spiking_empty_ring():
    n = sc.ParallelSpikingNeuron(0)
    for _ in range(2):
        assert str(panic_of(n.step, 1.0)) == "index out of bounds: the len is 0 but the index is 0"
    assert n.reset() is None
    assert str(panic_of(n.step, 0.0)) == "index out of bounds: the len is 0 but the index is 0"


def test_amari_first_steps():
    n = sc.AmariNeuralField(3)
    # The lateral term is 0 in the first step, since u starts at 0.
    assert n.step([1.0]) == 0.05 / 3
    assert same_bits(n.get_state(), np.array([0.05, 0.0, 0.0]))
    # From then on unit 0 drives its neighbours through w[1] and w[2].
    w = amari_kernel(3)
    assert w[0] == 0.75
    n.step([])
    u0 = 0.05 + ((0.05 * w[0] * 0.5 - 0.05) + 0.0) / 10 * 0.5
    u1 = 0.0 + ((0.05 * w[1] * 0.5 - 0.0) + 0.0) / 10 * 0.5
    u2 = 0.0 + ((0.05 * w[2] * 0.5 - 0.0) + 0.0) / 10 * 0.5
    assert same_bits(n.get_state(), np.array([u0, u1, u2]))


def test_amari_input_length_and_forms():
    def run(inputs, n=3):
        f = sc.AmariNeuralField(n)
        return [f.step(x) for x in inputs], f.get_state()
    base = run([[1.0, 2.0, 3.0], [0.5, 0.0, 0.0]])
    # Values past n are ignored, missing ones count as 0; a tuple or an array reads the same.
    assert same_bits(run([[1.0, 2.0, 3.0, 4.0, 5.0], [0.5]]), base)
    assert same_bits(run([(1.0, 2.0, 3.0), np.array([0.5, 0.0])]), base)
    with pytest.raises(TypeError) as info:
        sc.AmariNeuralField(3).step("123")
    assert str(info.value).startswith("argument 'input': ")


def test_amari_state_array_is_a_snapshot():
    n = sc.AmariNeuralField(4)
    n.step([1.0, 0.0, 2.0])
    snap = n.get_state()
    copy = snap.copy()
    n.step([1.0] * 4)
    assert same_bits(snap, copy) and not same_bits(n.get_state(), copy)
    n.reset()
    assert same_bits(n.get_state(), np.zeros(4))


def test_amari_empty_field_and_nan_activity():
    e = sc.AmariNeuralField(0)
    assert math.isnan(e.step([1.0]))
    assert same_bits(e.get_state(), np.zeros(0))
    # A NaN unit counts as 0 in the lateral sums: only the unit itself turns NaN.
    n, ref = sc.AmariNeuralField(5), RefAmari(5)
    for x in ([1.0, NAN, 2.0], [0.5] * 5, [0.0]):
        assert same_bits(n.step(x), ref.step(x))
    u = n.get_state()
    assert math.isnan(u[1]) and not np.isnan(np.delete(u, 1)).any()
    assert same_bits(u, np.array(ref.u))


@pytest.mark.parametrize("steps, spikes, v", [
    # Unit 0 fires and lowers unit 1 from 1.4 to 0.9, below the threshold.
    ([[20.0, 14.0]], [[1, 0]], [0.0, 1.4 - 0.5]),
    # Unit 1, lowered by 0.5 after unit 0 fires, stays at the threshold or above and fires too.
    ([[9.5, 9.5], [10.0, 10.0]], [[0, 0], [1, 1]], [0.0, 0.0]),
    # A spike lifts every other negative potential to 0, and a NaN one too.
    ([[-10.0, 20.0]], [[0, 1]], [0.0, 0.0]),
    ([[NAN, 20.0]], [[0, 1]], [0.0, 0.0]),
    ([[NAN, 5.0]], [[0, 0]], [NAN, 0.5]),
    # Missing currents count as 0; extra ones are ignored.
    ([[20.0], [0.0, 30.0, 99.0]], [[1, 0], [0, 1]], [0.0, 0.0]),
])
def test_leaky_compete_fire(steps, spikes, v):
    n = sc.LeakyCompeteFireNeuron(2)
    assert [n.step(c) for c in steps] == spikes
    assert same_bits(n.get_state(), {"v": v})


def test_leaky_compete_fire_without_units():
    n = sc.LeakyCompeteFireNeuron(0)
    assert n.step([1.0, 2.0]) == [] and n.get_state() == {"v": []}
    assert n.reset() is None

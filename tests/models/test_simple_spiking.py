"""Integrate-and-fire models driven through synaptic state (the simple_spiking family)."""
import math

import pytest

import sc_dravik_engine as sc
from bitref import Xoshiro, uniform
from contract import *  # noqa: F401,F403 - the shared contract runs over ROWS
from contract import Row, const_then_uniform

class RefBendaHerz:
    keys = ("a",)

    def __init__(self, seed=42):
        self.g = Xoshiro(seed)
        self.a, self.f_max, self.k, self.I0, self.tau_a, self.a_gain, self.dt = 0.0, 200.0, 0.1, 5.0, 100.0, 0.5, 1.0

    def step(self, current):
        f = self.f_max / (math.exp(-self.k * (current - self.a - self.I0)) + 1)
        self.a = (self.a_gain * f - self.a / self.tau_a) * self.dt + self.a
        return int(f * self.dt / 1000 > uniform(self.g))

    def reset(self):
        self.a = 0.0


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


ROWS = [
    Row("BendaHerzNeuron", RefBendaHerz,
        # A drive of about a_gain * tau_a * f + I0 holds the adapted rate near f.
        cases=[({}, const_then_uniform(5005.0, -50.0, 8000.0)), ({"seed": 0}, const_then_uniform(30.0, -50.0, 8000.0))],
        signature="(seed=42)", sample=(5005.0,), ctor={"seed": 3}, stochastic=True),
    Row("AlphaNeuron", RefAlpha, cases=[({}, alpha_inputs)], step_keys=("exc_current", "inh_current"),
        step_signature="($self, exc_current, inh_current=0.0)", sample=(0.5, 0.25)),
    Row("COBALIFNeuron", RefCOBALIF, cases=[({}, coba_inputs)], step_keys=("current", "delta_ge", "delta_gi"),
        step_signature="($self, current, delta_ge=0.0, delta_gi=0.0)", sample=(160.0, 0.5, 0.25)),
]


def test_matching_errors():
    with pytest.raises(TypeError) as info:
        sc.AlphaNeuron().step(1.0, 2.0, 3.0)
    assert str(info.value) == "AlphaNeuron.step() takes from 1 to 2 positional arguments but 3 were given"


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


def test_benda_herz_adaptation_and_spike_draws():
    # A saturating drive: f = 200 Hz exactly (exp(-0.1 * (9995 - a)) vanishes beside 1), so a grows by
    # 0.5 * 200 - a / 100 per call, and each call spikes when 0.2 exceeds the seed's next draw.
    n, g = sc.BendaHerzNeuron(seed=11), Xoshiro(11)
    a = 0.0
    for _ in range(30):
        assert n.step(10000.0) == int(0.2 > uniform(g))
        a = (100.0 - a / 100.0) + a
        assert n.get_state() == {"a": a}
    assert n.get_state()["a"] > 2000.0
    # Now the adaptation outweighs a moderate drive: f is all but 0 and no call spikes, though
    # every call still draws.
    assert not any(n.step(20.0) for _ in range(200))
    n.reset()
    assert n.get_state() == {"a": 0.0}
    for _ in range(201):
        uniform(g)
    assert n.step(1000.0) == int(0.2 > uniform(g))

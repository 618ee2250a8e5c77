"""FixedPointLif and the classic point neurons: Izhikevich, AdEx, exponential and Lapicque IF."""
import math

import pytest

import sc_dravik_engine as sc
from contract import *  # noqa: F401,F403 - the shared contract runs over ROWS
from contract import Row, const_then_uniform
from netref import Lif as RefFixedPointLif
from sc_testing import panic_of

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


ROWS = [
    Row("FixedPointLif", RefFixedPointLif,
        cases=[
            ({}, fixed_inputs),
            ({"data_width": 8, "v_threshold": 100}, fixed_inputs),
            ({"data_width": 4, "fraction": 3, "v_rest": -3, "v_reset": 100, "v_threshold": 5,
              "refractory_period": 3}, fixed_inputs),
            ({"data_width": 1, "v_threshold": 0}, fixed_inputs),
            ({"fraction": 0, "v_threshold": 30000, "refractory_period": -1}, fixed_inputs),
            ({"fraction": 40, "v_rest": 20, "v_reset": -40, "v_threshold": 120}, fixed_inputs),
            ({"data_width": 12, "fraction": 31, "v_threshold": -5, "refractory_period": 0}, fixed_inputs),
        ],
        signature="(data_width=16, fraction=8, v_rest=0, v_reset=0, v_threshold=256, refractory_period=2)",
        step_keys=("leak_k", "gain_k", "i_t", "noise_in"),
        step_signature="($self, leak_k, gain_k, i_t, noise_in=0)",
        sample=(3, 300, 7, 1), aliases=("reset_state",),
        ctor={"data_width": 12, "fraction": 4, "v_rest": -7, "v_reset": 3, "v_threshold": 90,
              "refractory_period": 5}),
    Row("Izhikevich", RefIzhikevich,
        cases=[({}, const_then_uniform(10.0, -5.0, 30.0)),
               ({"a": 0.1, "b": 0.25, "c": -55.0, "d": 2.0, "dt": 0.5}, const_then_uniform(10.0, -5.0, 30.0))],
        signature="(a=0.02, b=0.2, c=..., d=8.0, dt=1.0)", aliases=("reset_state",),
        ctor={"a": 0.1, "b": 0.25, "c": -55.0, "d": 2.0, "dt": 0.5}),
    Row("AdExNeuron", RefAdEx, cases=[({}, const_then_uniform(30.0, 0.0, 60.0))]),
    Row("ExpIFNeuron", RefExpIF, cases=[({}, const_then_uniform(30.0, 0.0, 60.0))]),
    Row("LapicqueNeuron", RefLapicque,
        cases=[({}, const_then_uniform(2.0, 0.0, 3.0)),
               ({"tau": 5.0, "resistance": 2.0, "threshold": 0.8, "dt": 0.5}, const_then_uniform(1.0, -0.5, 2.0))],
        signature="(tau=20.0, resistance=1.0, threshold=1.0, dt=1.0)",
        # Weak enough that fifty steps end away from the reset value.
        sample=(0.5,), ctor={"tau": 5.0, "resistance": 2.0, "threshold": 0.8, "dt": 0.5}),
]


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
    e = panic_of(n.step, 0, 256, 1)
    assert str(e) == f"mask width must be 1..=32, got {reported}"
    assert n.get_state() == before
    # The borrow was released: the object still works and still refuses to step.
    assert n.reset() is None
    assert n.get_state() == {"v": 5, "refractory_counter": 0}
    e2 = panic_of(n.step, 0, 0, 0)
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

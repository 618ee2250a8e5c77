"""Neurons defined as discrete-time maps (the maps family)."""
import math

import pytest

import sc_dravik_engine as sc
from contract import *  # noqa: F401,F403 - the shared contract runs over ROWS
from contract import INF, NAN, Row, const_then_uniform
from sc_testing import same_bits
from sc_testing import c_exp as exp


def floor(z):
    """The C library's floor on a double: infinities and NaN come back unchanged."""
    return float(math.floor(z)) if math.isfinite(z) else z


def crossing(before, after, level):
    return 1 if before < level <= after else 0


class RefChialvo:
    keys = ("x", "y")

    def __init__(self):
        self.x, self.y = 0.0, 0.0
        self.a, self.b, self.c, self.k, self.x_threshold = 0.89, 0.6, 0.28, 0.04, 1.0

    def step(self, current):
        x, y = self.x, self.y
        self.x = current + exp(y - x) * x * x + self.k
        self.y = self.c + (self.a * y - self.b * x)
        return crossing(x, self.x, self.x_threshold)

    def reset(self):
        self.x, self.y = 0.0, 0.0


class RefRulkov:
    keys = ("x", "y")

    def __init__(self):
        self.x, self.y = -1.0, -3.0
        self.alpha, self.sigma, self.mu, self.x_threshold = 4.0, -1.6, 0.001, 0.0

    def step(self, current):
        x, y, alpha = self.x, self.y, self.alpha
        if x <= 0:
            f = alpha / (1 - x) + y
        elif x < alpha + y:
            f = alpha + y
        else:
            f = -1.0
        self.x = f + current
        self.y = (y - (x + 1) * self.mu) + self.mu * self.sigma
        return crossing(x, self.x, self.x_threshold)

    def reset(self):
        self.x, self.y = -1.0, -3.0


class RefIbarzTanaka:
    keys = ("x", "y")

    def __init__(self):
        self.x, self.y = -1.0, -2.5
        self.alpha, self.k, self.mu, self.sigma, self.x_threshold, self.x_reset = 3.65, 0.25, 0.0005, -1.6, 3.0, -1.0

    def step(self, current):
        x, y = self.x, self.y
        f = self.alpha / (1 - x) if x <= 0 else self.alpha + self.k * x
        x_new = (f + y) + current
        self.y = (y - (x + 1) * self.mu) + self.mu * self.sigma
        if x_new >= self.x_threshold:
            self.x = self.x_reset
            return 1
        self.x = x_new
        return 0

    def reset(self):
        self.x, self.y = -1.0, -2.5


class RefMedvedev:
    keys = ("x",)

    def __init__(self):
        self.x, self.r, self.input_gain, self.x_threshold = 0.0, 3.5, 0.5, 0.9

    def step(self, current):
        x = self.x
        z = current * self.input_gain + (1 - x) * (self.r * x)
        self.x = z - floor(z)
        return crossing(x, self.x, self.x_threshold)

    def reset(self):
        self.x = 0.0


class RefCazelles:
    keys = ("x", "y")

    def __init__(self):
        self.x, self.y = 0.1, 0.0
        self.r, self.b, self.a, self.x_threshold = 3.8, 0.01, 0.5, 0.9

    def step(self, current):
        x, y = self.x, self.y
        t = (1 - x) * self.r * x - y + current
        self.x = -2.0 if t < -2.0 else 2.0 if t > 2.0 else t
        self.y = (x - self.a) * self.b + y
        return crossing(x, self.x, self.x_threshold)

    def reset(self):
        self.x, self.y = 0.1, 0.0


class RefCourageNekorkin:
    keys = ("x", "y")

    def __init__(self):
        self.x, self.y = 0.0, 0.0
        self.alpha, self.eps, self.beta, self.x_threshold = 3.0, 0.001, 0.1, 1.0

    def step(self, current):
        x, y = self.x, self.y
        if math.isnan(x) or abs(x) < 1:
            F = x
        else:
            F = math.copysign(1.0, x)
        self.x = current + (self.alpha * F - y) + self.beta
        self.y = y + self.eps * x
        return crossing(x, self.x, self.x_threshold)

    def reset(self):
        self.x, self.y = 0.0, 0.0


def with_extremes(trace, *extremes, every=97):
    """trace with one of `extremes` in place of every `every`-th input: huge, infinite and NaN kicks."""
    def out(rng, n):
        steps = trace(rng, n)
        for i in range(every // 2, n, every):
            steps[i] = (rng.choice(extremes),)
        return steps
    return out


ROWS = [
    Row("ChialvoMapNeuron", RefChialvo, cases=[({}, const_then_uniform(0.03, -0.05, 0.15))], sample=(0.05,)),
    # A NaN x takes the -1.0 branch, so x comes back finite while y stays NaN: checked below.
    Row("RulkovMapNeuron", RefRulkov,
        cases=[({}, const_then_uniform(0.2, -0.5, 1.5)),
               ({}, with_extremes(const_then_uniform(0.1, -0.2, 0.8), 50.0, -50.0))],
        sample=(0.3,), nan_propagates=False),
    Row("IbarzTanakaMapNeuron", RefIbarzTanaka,
        cases=[({}, const_then_uniform(1.7, 0.0, 2.5)),
               ({}, with_extremes(const_then_uniform(1.0, -1.0, 3.0), 1e300, -1e300, 5.0))],
        sample=(2.0,)),
    Row("MedvedevMapNeuron", RefMedvedev,
        cases=[({}, const_then_uniform(1.0, -3.0, 3.0)),
               ({}, with_extremes(const_then_uniform(0.3, 0.0, 1.0), -2e-20, 1e17, -1e300))],
        sample=(0.7,)),
    Row("CazellesMapNeuron", RefCazelles,
        cases=[({}, const_then_uniform(0.0, -0.5, 0.5)),
               ({}, with_extremes(const_then_uniform(0.1, -1.0, 1.0), 1e300, -INF))],
        sample=(0.2,)),
    Row("CourageNekorkinMapNeuron", RefCourageNekorkin,
        cases=[({}, const_then_uniform(-0.05, -1.5, 1.0)),
               ({}, with_extremes(const_then_uniform(0.0, -3.0, 3.0), 1e300, -1e300))],
        sample=(0.3,)),
]

REFS = {row.name: row.ref for row in ROWS}


# ---------------------------------------------------------------- family tests

@pytest.mark.parametrize("name, current, steps", [
    ("ChialvoMapNeuron", 0.0, 400), ("ChialvoMapNeuron", -0.3, 400),
    ("RulkovMapNeuron", 0.1, 400), ("RulkovMapNeuron", 0.5, 400),
    ("IbarzTanakaMapNeuron", 1.7, 400), ("IbarzTanakaMapNeuron", 2.2, 400),
    ("MedvedevMapNeuron", 0.3, 400), ("MedvedevMapNeuron", 1.0, 400),
    ("CazellesMapNeuron", 0.0, 400), ("CazellesMapNeuron", 0.04, 400),
    # The slow variable takes over a thousand calls to bring x back.
    ("CourageNekorkinMapNeuron", 0.0, 3000), ("CourageNekorkinMapNeuron", -0.5, 3000),
])
def test_spike_indices_under_a_constant_input(name, current, steps):
    obj, ref = getattr(sc, name)(), REFS[name]()
    got = [i for i in range(steps) if obj.step(current)]
    assert got == [i for i in range(steps) if ref.step(current)]
    assert got


def test_rulkov_first_call_and_branches():
    n = sc.RulkovMapNeuron()
    assert n.step(0.0) == 0
    assert same_bits(n.get_state(), {"x": 4.0 / 2.0 - 3.0, "y": (-3.0 - 0.001 * 0.0) + 0.001 * -1.6})
    assert n.get_state()["x"] == -1.0
    # From x = -1 an input of 1.0 lands on the level 0 exactly: a crossing ...
    n.reset()
    assert n.step(1.0) == 1
    y = n.get_state()["y"]
    assert n.get_state()["x"] == 0.0
    # ... and x = 0 takes the first branch: alpha / (1 - 0) + y.
    n.step(0.0)
    assert n.get_state()["x"] == 4.0 + y
    # A positive x at or above alpha + y gives -1 + I.
    m = sc.RulkovMapNeuron()
    m.step(3.0)  # x = 2.0, y about -3.0: 2.0 >= 4.0 + y
    assert m.get_state()["x"] == 2.0
    assert m.step(0.25) == 0 and m.get_state()["x"] == -0.75


def test_rulkov_nan_x_takes_the_last_branch():
    n = sc.RulkovMapNeuron()
    n.step(NAN)
    assert math.isnan(n.get_state()["x"]) and not math.isnan(n.get_state()["y"])
    assert n.step(0.5) == 0
    state = n.get_state()
    assert state["x"] == -0.5 and math.isnan(state["y"])


def test_medvedev_first_call_and_fractional_part():
    n = sc.MedvedevMapNeuron()
    assert n.step(1.0) == 0 and n.get_state() == {"x": 0.5}
    # z = -1e-20: floor(z) is -1 and z + 1 rounds up to exactly 1.0, a crossing from 0.
    m = sc.MedvedevMapNeuron()
    assert m.step(-2e-20) == 1 and m.get_state() == {"x": 1.0}
    # Large and negative finite inputs stay within [0, 1].
    k = sc.MedvedevMapNeuron()
    for current in (1e300, -1e300, -7.3, 123456.789, -0.4, 2.0**60 + 0.5):
        k.step(current)
        assert 0.0 <= k.get_state()["x"] <= 1.0
    k.step(INF)
    assert math.isnan(k.get_state()["x"])


def test_medvedev_spikes_on_reaching_the_level_from_below():
    n = sc.MedvedevMapNeuron()
    n.step(1.0)  # x = 0.5, so z = I / 2 + 0.875
    assert n.step(0.0) == 0 and n.get_state() == {"x": 0.875}
    n.reset()
    n.step(1.0)
    assert n.step(0.1) == 1 and n.get_state() == {"x": 0.1 * 0.5 + 0.875}
    # Staying at or above the level is no crossing.
    x = n.get_state()["x"]
    z = 1.4 * 0.5 + (1 - x) * (3.5 * x)
    assert 0.9 <= z < 1.0
    assert n.step(1.4) == 0 and n.get_state() == {"x": z}


def test_ibarz_tanaka_spikes_whenever_x_reaches_the_level():
    f_plus_y = 3.65 / 2.0 + -2.5
    current = 3.0 - f_plus_y
    assert f_plus_y + current == 3.0  # the level exactly
    n = sc.IbarzTanakaMapNeuron()
    assert n.step(current) == 1
    y = (-2.5 - 0.0 * 0.0005) + 0.0005 * -1.6
    assert same_bits(n.get_state(), {"x": -1.0, "y": y})
    # y has fallen a little, so the same input now ends just below the level.
    assert n.step(current) == 0
    x = n.get_state()["x"]
    assert 2.99 < x < 3.0
    # From there f = alpha + k * x, about 4.4: with y near -2.5 an input of 1.2 passes the level.
    assert n.step(1.2) == 1 and n.get_state()["x"] == -1.0


def test_cazelles_clip():
    for current, want in [(1e300, 2.0), (INF, 2.0), (-1e300, -2.0), (-INF, -2.0)]:
        n = sc.CazellesMapNeuron()
        n.step(current)
        assert n.get_state()["x"] == want
        n.step(0.0)
        assert -2.0 <= n.get_state()["x"] <= 2.0
    n = sc.CazellesMapNeuron()
    n.step(NAN)
    assert math.isnan(n.get_state()["x"])


@pytest.mark.parametrize("drive, x, F", [
    (0.9, 1.0, 1.0),        # 0.9 + 0.1 is 1.0 exactly: the bound, equal to x
    (2.4, 2.5, 1.0),
    (-2.6, -2.5, -1.0),
    (-1.1, -1.0, -1.0),
])
def test_courage_nekorkin_piecewise_linear_term(drive, x, F):
    n = sc.CourageNekorkinMapNeuron()
    n.step(drive)  # from x = y = 0: x = (drive + 0.0) + 0.1, y stays 0
    assert n.get_state() == {"x": x, "y": 0.0}
    n.step(0.0)
    assert same_bits(n.get_state(), {"x": (0.0 + (3.0 * F - 0.0)) + 0.1, "y": 0.0 + 0.001 * x})


def test_courage_nekorkin_minus_0_99_is_linear():
    n = sc.CourageNekorkinMapNeuron()
    n.step(-1.09)
    x = n.get_state()["x"]
    assert x == pytest.approx(-0.99) and abs(x) < 1
    n.step(0.0)
    assert n.get_state()["x"] == 3.0 * x + 0.1 != 3.0 * -1.0 + 0.1

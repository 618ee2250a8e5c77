"""Soma-dendrite pairs, a three-compartment pyramidal cell, a passive cable and a
single-compartment conductance model (the multi_compartment family)."""
import math

import pytest

import sc_dravik_engine as sc
from contract import *  # noqa: F401,F403 - the shared contract runs over ROWS
from contract import INF, NAN, Row, const_then_uniform
from sc_testing import panic_of, same_bits
from sc_testing import c_div as div
from sc_testing import c_exp as exp


def sig(v, c, k):
    return 1 / (1 + exp((v + c) / k))


def gate(x, x_inf, tau, dt):
    return x + dt * (x_inf - x) / tau


def clip_ca(ca):
    return ca if ca > 0 else 0.0


def min_one(r):
    return r if r < 1.0 else 1.0  # NaN gives the bound


def crossing(before, after, level):
    return 1 if before < level <= after else 0


class RefPinskyRinzel:
    keys = ("v_s", "v_d")
    STATE = dict(v_s=-60.0, v_d=-60.0, h=0.9, n=0.1, s=0.0, ca=0.0, q=0.0)

    def __init__(self):
        self.reset()
        self.g_c, self.p, self.g_na, self.g_kdr, self.g_ca, self.g_kahp, self.g_l = 2.1, 0.5, 30.0, 15.0, 10.0, 0.8, 0.1
        self.e_na, self.e_k, self.e_ca, self.e_l, self.dt, self.v_threshold = 60.0, -75.0, 80.0, -60.0, 0.02, -20.0

    def reset(self):
        self.__dict__.update(self.STATE)

    def step(self, current_soma, current_dend=0.0):
        vs, vd, h, n, s, q, dt, p = self.v_s, self.v_d, self.h, self.n, self.s, self.q, self.dt, self.p
        am = 8.0 if abs(vs + 54) < 1e-7 else div(0.32 * (vs + 54), 1 - exp(-(vs + 54) / 4))
        bm = 5.6 if abs(vs + 27) < 1e-7 else div(-0.28 * (vs + 27), 1 - exp((vs + 27) / 5))
        m_inf = div(am, am + bm)
        ah = 0.128 * exp(-(vs + 50) / 18)
        bh = 4 / (1 + exp(-(vs + 27) / 5))
        an = 0.32 if abs(vs + 52) < 1e-7 else div(0.032 * (vs + 52), 1 - exp(-(vs + 52) / 5))
        bn = 0.5 * exp(-(vs + 57) / 40)
        i_ca = self.g_ca * (s * s) * (vd - self.e_ca)
        self.v_s = vs + dt * (-self.g_na * (m_inf * m_inf) * h * (vs - self.e_na)
                              - self.g_kdr * (n * n) * (vs - self.e_k) - self.g_l * (vs - self.e_l)
                              - (vs - vd) * (self.g_c / p) + current_soma / p)
        self.v_d = vd + dt * (-i_ca - self.g_kahp * q * (vd - self.e_k) - self.g_l * (vd - self.e_l)
                              - (vd - vs) * (self.g_c / (1 - p)) + current_dend / (1 - p))
        self.h = h + dt * (ah * (1 - h) - bh * h)
        self.n = n + dt * (an * (1 - n) - bn * n)
        self.s = gate(s, sig(vd, 20, -9), 5, dt)
        self.ca = clip_ca(self.ca + dt * (-0.075 * self.ca - 0.13 * i_ca))
        self.q = gate(q, min_one(self.ca / (self.ca + 2)), 100, dt)
        return crossing(vs, self.v_s, self.v_threshold)


class RefHayL5:
    keys = ("v_s", "v_t", "v_a")
    STATE = dict(v_s=-75.0, v_t=-75.0, v_a=-75.0, h=0.9, n=0.1, m_cat=0.0, h_cat=1.0, m_h=0.0, ca=0.0001)

    def __init__(self):
        self.reset()
        self.g_na, self.g_k, self.g_l_s, self.g_ca_t, self.g_h, self.g_l_t = 300.0, 40.0, 0.03, 2.0, 0.02, 0.03
        self.g_ca_a, self.g_kca, self.g_l_a, self.g_st, self.g_ta = 1.5, 2.5, 0.03, 1.5, 0.8
        self.area_s, self.area_t, self.area_a = 0.15, 0.25, 0.6
        self.e_na, self.e_k, self.e_ca, self.e_h, self.e_l = 50.0, -85.0, 140.0, -45.0, -75.0
        self.tau_ca, self.k_ca, self.c_m, self.dt, self.v_threshold = 200.0, 0.0002, 1.0, 0.025, -30.0

    def reset(self):
        self.__dict__.update(self.STATE)

    def step(self, current_soma, current_tuft=0.0):
        start, dt = self.v_s, self.dt
        for _ in range(4):
            vs, vt, va, ca = self.v_s, self.v_t, self.v_a, self.ca
            m = 1 / (1 + exp(-(vs + 38) / 7))
            self.h = gate(self.h, sig(vs, 65, 6), 0.5 + 14 / (1 + exp((vs + 35) / 10)), dt)
            self.n = gate(self.n, sig(vs, 25, -12), 1 + 5 / (1 + exp((vs + 30) / 10)), dt)
            self.m_cat = gate(self.m_cat, sig(vt, 27, -7), 1.0, dt)
            self.h_cat = gate(self.h_cat, sig(vt, 52, 5), 20.0, dt)
            self.m_h = gate(self.m_h, sig(vt, 75, 5.5), 50.0, dt)
            m_ca = 1 / (1 + exp(-(va + 30) / 5))
            i_ca_a = self.g_ca_a * (m_ca * m_ca) * (va - self.e_ca)
            i_kca = self.g_kca * (ca / (ca + 0.001)) * (va - self.e_k)
            h, n = self.h, self.n
            d_s = (-self.g_na * (m * m * m) * h * (vs - self.e_na) - self.g_k * (n * n * n * n) * (vs - self.e_k)
                   - self.g_l_s * (vs - self.e_l) - (vs - vt) * self.g_st / self.area_s
                   + current_soma / self.area_s) / self.c_m
            d_t = (-self.g_ca_t * (self.m_cat * self.m_cat) * self.h_cat * (vt - self.e_ca)
                   - self.g_h * self.m_h * (vt - self.e_h) - self.g_l_t * (vt - self.e_l)
                   - (vt - vs) * self.g_st / self.area_t - (vt - va) * self.g_ta / self.area_t) / self.c_m
            d_a = (-i_ca_a - i_kca - self.g_l_a * (va - self.e_l) - (va - vt) * self.g_ta / self.area_a
                   + current_tuft / self.area_a) / self.c_m
            self.v_s, self.v_t, self.v_a = vs + dt * d_s, vt + dt * d_t, va + dt * d_a
            self.ca = clip_ca(ca + dt * (-self.k_ca * i_ca_a - ca / self.tau_ca))
        return crossing(start, self.v_s, self.v_threshold)


class RefMarderSTG:
    keys = ("v", "ca")
    STATE = dict(v=-60.0, m_na=0.0, h_na=0.9, m_cat=0.0, h_cat=0.9, m_cas=0.0, m_a=0.0, h_a=0.9, m_kd=0.0,
                 m_h=0.0, ca=0.05)

    def __init__(self):
        self.reset()
        self.g_na, self.g_cat, self.g_cas, self.g_a, self.g_kd = 400.0, 2.5, 6.0, 50.0, 100.0
        self.g_kca, self.g_h, self.g_l = 25.0, 0.02, 0.01
        self.e_na, self.e_k, self.e_ca, self.e_h, self.e_l = 50.0, -80.0, 120.0, -20.0, -50.0
        self.dt, self.v_threshold = 0.05, -20.0

    def reset(self):
        self.__dict__.update(self.STATE)

    def step(self, current):
        v, dt, ca = self.v, self.dt, self.ca
        m_na = gate(self.m_na, sig(v, 25.5, -5.29), 1.32, dt)
        h_na = gate(self.h_na, sig(v, 48.9, 5.18), 0.67 * (1 + exp(-(v + 62.9) / 10)) + 1.5, dt)
        m_cat = gate(self.m_cat, sig(v, 27.1, -7.2), 21.7, dt)
        h_cat = gate(self.h_cat, sig(v, 32.1, 5.5), 105.0, dt)
        m_cas = gate(self.m_cas, sig(v, 33, -8.1), 14.0, dt)
        m_a = gate(self.m_a, sig(v, 27.2, -8.7), 11.6, dt)
        h_a = gate(self.h_a, sig(v, 56.9, 4.9), 38.6, dt)
        m_kd = gate(self.m_kd, sig(v, 12.3, -11.8), 7.2, dt)
        m_h = gate(self.m_h, sig(v, 70, 6), 272.0, dt)
        i_cat = self.g_cat * (m_cat * m_cat * m_cat) * h_cat * (v - self.e_ca)
        i_cas = self.g_cas * (m_cas * m_cas * m_cas) * (v - self.e_ca)
        f = min_one(ca / (ca + 3))
        i_kca = self.g_kca * (f * f * f * f) * (v - self.e_k)
        self.v = v + dt * (current - self.g_na * (m_na * m_na * m_na) * h_na * (v - self.e_na) - i_cat - i_cas
                           - self.g_a * (m_a * m_a * m_a) * h_a * (v - self.e_k)
                           - self.g_kd * (m_kd * m_kd * m_kd * m_kd) * (v - self.e_k)
                           - i_kca - self.g_h * m_h * (v - self.e_h) - self.g_l * (v - self.e_l))
        self.ca = clip_ca(ca + dt * (-0.01 * ca - 0.0001 * (i_cat + i_cas)))
        self.m_na, self.h_na, self.m_cat, self.h_cat, self.m_cas = m_na, h_na, m_cat, h_cat, m_cas
        self.m_a, self.h_a, self.m_kd, self.m_h = m_a, h_a, m_kd, m_h
        return crossing(v, self.v, self.v_threshold)


class RefRallCable:
    keys = ("v",)

    def __init__(self, n_comp=5):
        self.v = [-65.0] * n_comp
        self.tau, self.e_l, self.g_axial, self.v_threshold, self.v_reset, self.dt = 20.0, -65.0, 0.5, -50.0, -65.0, 0.1

    def step(self, current):
        v, n, g = self.v, len(self.v), self.g_axial
        dv = []
        for i in range(n):
            total = -(v[i] - self.e_l) / self.tau
            if i > 0:
                total = total + (v[i - 1] - v[i]) * g
            if i < n - 1:
                total = total + (v[i + 1] - v[i]) * g
            if i == n - 1:
                total = total + current
            dv.append(self.dt * total)
        self.v = [a + b for a, b in zip(v, dv)]
        if self.v[0] >= self.v_threshold:
            self.v[0] = self.v_reset
            return 1
        return 0

    def reset(self):
        self.v = [self.e_l] * len(self.v)


class RefBoothRinzel:
    keys = ("vs", "vd", "ca")
    STATE = dict(vs=-65.0, vd=-65.0, h=0.9, n=0.0, q=0.0, ca=0.0)

    def __init__(self):
        self.reset()
        self.p, self.g_c, self.g_na, self.g_k, self.g_ca, self.g_kca, self.g_l = 0.5, 0.1, 120.0, 100.0, 14.0, 5.0, 0.51
        self.e_na, self.e_k, self.e_ca, self.e_l, self.dt, self.v_threshold = 55.0, -80.0, 80.0, -60.0, 0.025, -20.0

    def reset(self):
        self.__dict__.update(self.STATE)

    def step(self, current):
        start, dt, p = self.vs, self.dt, self.p
        for _ in range(4):
            vs, vd, ca = self.vs, self.vd, self.ca
            m = 1 / (1 + exp(-(vs + 30) / 9))
            h = self.h = self.h + dt * (sig(vs, 45, 7) - self.h)
            n = self.n = self.n + dt * (sig(vs, 30, -10) - self.n) / 3
            s = 1 / (1 + exp(-(vd + 20) / 9))
            q = self.q = gate(self.q, min_one(ca / (ca + 2)), 100, dt)
            i_ca = self.g_ca * (s * s) * (vd - self.e_ca)
            self.vs = vs + dt * (-self.g_na * (m * m * m) * h * (vs - self.e_na)
                                 - self.g_k * (n * n * n * n) * (vs - self.e_k) - self.g_l * (vs - self.e_l)
                                 - (vs - vd) * (self.g_c / p) + current / p)
            self.vd = vd + dt * (-i_ca - self.g_kca * q * (vd - self.e_k) - self.g_l * (vd - self.e_l)
                                 - (vd - vs) * (self.g_c / (1 - p)))
            self.ca = clip_ca(ca + dt * (-0.075 * ca - 0.13 * i_ca))
        return crossing(start, self.vs, self.v_threshold)


class RefDendrify:
    keys = ("v_s", "v_d")

    def __init__(self):
        self.reset()
        self.tau_s, self.tau_d, self.g_c = 10.0, 20.0, 0.8
        self.plateau_threshold, self.plateau_current, self.plateau_duration = -35.0, 30.0, 10.0
        self.e_l, self.v_threshold, self.v_reset, self.dt = -65.0, -50.0, -65.0, 0.1

    def reset(self):
        self.v_s, self.v_d, self.timer, self.on = -65.0, -65.0, 0.0, False

    def step(self, current):
        vs, vd, dt = self.v_s, self.v_d, self.dt
        P = self.plateau_current if self.on else 0.0
        vd = vd + dt * ((current - (vd - self.e_l)) + P - (vd - vs) * self.g_c) / self.tau_d
        vs = vs + dt * ((vd - vs) * self.g_c - (vs - self.e_l)) / self.tau_s
        if not self.on:
            if vd >= self.plateau_threshold:
                self.on, self.timer = True, self.plateau_duration
        else:
            self.timer = self.timer - dt
            if self.timer <= 0:
                self.on = False
        self.v_d = vd
        if vs >= self.v_threshold:
            self.v_s = self.v_reset
            return 1
        self.v_s = vs
        return 0


class RefTwoCompartmentLIF:
    keys = ("v_s", "v_d")

    def __init__(self):
        self.v_rest, self.v_reset, self.v_threshold, self.tau_s, self.tau_d, self.g_c, self.dt = \
            0.0, 0.0, 1.0, 2.0, 20.0, 0.5, 1.0
        self.reset()

    def reset(self):
        self.v_s = self.v_d = self.v_rest

    def step(self, i_soma, i_dend=0.0):
        self.v_d = exp(-self.dt / self.tau_d) * self.v_d + i_dend
        vs = self.g_c * self.v_d + (exp(-self.dt / self.tau_s) * self.v_s + i_soma)
        if vs >= self.v_threshold:
            self.v_s = self.v_reset
            return 1
        self.v_s = vs
        return 0


# ---------------------------------------------------------------- traces

def two_inputs(lo1, hi1, lo2, hi2):
    """Some steps give the soma input alone (the second takes its default), the rest both."""
    def trace(rng, n):
        return [(rng.uniform(lo1, hi1),) if rng.random() < 0.3 else (rng.uniform(lo1, hi1), rng.uniform(lo2, hi2))
                for _ in range(n)]
    return trace


def dendrify_inputs(rng, n):
    # Rare kicks strong enough to start a plateau in one call, between ordinary drive.
    return [(6000.0,) if rng.random() < 0.01 else (rng.uniform(0.0, 120.0),) for _ in range(n)]


ROWS = [
    Row("PinskyRinzelNeuron", RefPinskyRinzel,
        cases=[({}, const_then_uniform(1.0, -1.0, 5.0)), ({}, two_inputs(-1.0, 3.0, -2.0, 5.0))],
        step_keys=("current_soma", "current_dend"), step_signature="($self, current_soma, current_dend=0.0)",
        sample=(2.0, 1.0)),
    Row("HayL5PyramidalNeuron", RefHayL5,
        cases=[({}, const_then_uniform(8.0, 0.0, 10.0)), ({}, two_inputs(-1.0, 6.0, 0.0, 25.0))],
        step_keys=("current_soma", "current_tuft"), step_signature="($self, current_soma, current_tuft=0.0)",
        sample=(5.0, 10.0)),
    Row("MarderSTGNeuron", RefMarderSTG, cases=[({}, const_then_uniform(5.0, -1.0, 8.0))], sample=(5.0,)),
    Row("RallCableNeuron", RefRallCable, signature="(n_comp=5)",
        cases=[({}, const_then_uniform(20.0, 0.0, 30.0)), ({"n_comp": 1}, const_then_uniform(1.0, 0.0, 2.0)),
               ({"n_comp": 2}, const_then_uniform(4.0, 0.0, 8.0)),
               ({"n_comp": 8}, const_then_uniform(40.0, 0.0, 60.0))],
        sample=(20.0,), ctor={"n_comp": 3},
        # The state is a list, and a NaN reaches compartment 0 only calls later: checked below.
        nan_propagates=False),
    Row("BoothRinzelNeuron", RefBoothRinzel, cases=[({}, const_then_uniform(2.0, -1.0, 10.0))], sample=(5.0,)),
    Row("DendrifyNeuron", RefDendrify, cases=[({}, const_then_uniform(50.0, 0.0, 120.0)), ({}, dendrify_inputs)],
        sample=(60.0,)),
    Row("TwoCompartmentLIFNeuron", RefTwoCompartmentLIF,
        cases=[({}, const_then_uniform(0.3, 0.0, 0.7)), ({}, two_inputs(-0.2, 0.6, -0.1, 0.3))],
        step_keys=("i_soma", "i_dend"), step_signature="($self, i_soma, i_dend=0.0)", sample=(0.3, 0.05)),
]

REFS = {row.name: row.ref for row in ROWS}


# ---------------------------------------------------------------- family tests

@pytest.mark.parametrize("name, args, steps", [
    ("PinskyRinzelNeuron", (1.0,), 400), ("PinskyRinzelNeuron", (0.0, 5.0), 400),
    ("HayL5PyramidalNeuron", (10.0,), 400), ("HayL5PyramidalNeuron", (0.0, 20.0), 400),
    ("MarderSTGNeuron", (5.0,), 700), ("MarderSTGNeuron", (1.0,), 700),
    ("RallCableNeuron", (20.0,), 400), ("RallCableNeuron", (30.0,), 400),
    ("BoothRinzelNeuron", (2.0,), 400), ("BoothRinzelNeuron", (10.0,), 400),
    ("DendrifyNeuron", (50.0,), 600), ("DendrifyNeuron", (100.0,), 400),
    ("TwoCompartmentLIFNeuron", (0.6,), 400), ("TwoCompartmentLIFNeuron", (0.0, 0.1), 400),
])
def test_spike_indices_under_a_constant_input(name, args, steps):
    obj, ref = getattr(sc, name)(), REFS[name]()
    got = [i for i in range(steps) if obj.step(*args)]
    assert got == [i for i in range(steps) if ref.step(*args)]
    assert got


@pytest.mark.parametrize("name, key, drive", [
    ("PinskyRinzelNeuron", "v_s", (2.0, 3.0)),
    ("MarderSTGNeuron", "v", (5.0,)),
    ("BoothRinzelNeuron", "vs", (5.0,)),
    # The tuft is driven hard and crosses -30 itself; only the soma's crossings count.
    ("HayL5PyramidalNeuron", "v_s", (0.0, 20.0)),
])
def test_crossing_models_report_the_upward_crossing_and_reset_nothing(name, key, drive):
    obj = getattr(sc, name)()
    level = REFS[name]().v_threshold
    results, crossings, other_crossed = [], [], False
    before = obj.get_state()
    for _ in range(600):
        results.append(obj.step(*drive))
        after = obj.get_state()
        crossings.append(crossing(before[key], after[key], level))
        other_crossed |= any(crossing(before[k], after[k], level) and not crossings[-1] for k in after if k != key)
        before = after
    assert results == crossings and sum(results) > 1
    if name == "HayL5PyramidalNeuron":
        assert other_crossed


@pytest.mark.parametrize("name", ["PinskyRinzelNeuron", "HayL5PyramidalNeuron", "TwoCompartmentLIFNeuron"])
def test_second_input_defaults_to_zero(name):
    a, b = getattr(sc, name)(), getattr(sc, name)()
    drive = 10.0 if name == "HayL5PyramidalNeuron" else 0.6 if name == "TwoCompartmentLIFNeuron" else 2.0
    assert [a.step(drive) for _ in range(300)] == [b.step(drive, 0.0) for _ in range(300)]
    assert same_bits(a.get_state(), b.get_state())


def test_rall_cable_propagates_one_compartment_per_call():
    n = sc.RallCableNeuron()
    rest = [-65.0] * 5
    assert n.get_state() == {"v": rest}
    moved = []
    for _ in range(5):
        assert n.step(10.0) == 0
        v = n.get_state()["v"]
        moved.append([i for i in range(5) if v[i] != -65.0])
    assert moved == [[4], [3, 4], [2, 3, 4], [1, 2, 3, 4], [0, 1, 2, 3, 4]]
    # The first call: the last compartment gains dt * I, every other increment is exactly zero.
    first = sc.RallCableNeuron()
    first.step(10.0)
    assert first.get_state()["v"] == rest[:4] + [-65.0 + 0.1 * 10.0]
    n.reset()
    assert n.get_state() == {"v": rest}


def test_rall_cable_of_one_compartment():
    n, ref = sc.RallCableNeuron(n_comp=1), RefRallCable(n_comp=1)
    assert n.step(5.0) == 0
    assert n.get_state() == {"v": [-65.0 + 0.1 * (-(-65.0 - -65.0) / 20.0 + 5.0)]}
    ref.step(5.0)
    # The single compartment takes the input and holds the threshold: it fires and resets.
    spikes = [n.step(5.0) for _ in range(40)]
    assert spikes == [ref.step(5.0) for _ in range(40)]
    k = spikes.index(1)
    n = sc.RallCableNeuron(n_comp=1)
    for _ in range(k + 2):
        n.step(5.0)
    assert n.get_state() == {"v": [-65.0]}


def test_rall_cable_without_compartments():
    n = sc.RallCableNeuron(n_comp=0)
    assert n.get_state() == {"v": []}
    assert n.reset() is None and n.get_state() == {"v": []}
    err = panic_of(n.step, 1.0)
    assert str(err) == "index out of bounds: the len is 0 but the index is 0"
    # The failed call released the object and changed nothing.
    assert n.get_state() == {"v": []}
    assert str(panic_of(n.step, current=NAN)) == "index out of bounds: the len is 0 but the index is 0"


@pytest.mark.failing_allocation
def test_rall_cable_beyond_memory():
    with pytest.raises(MemoryError):
        sc.RallCableNeuron(n_comp=2**59)


def test_rall_cable_sizes():
    for n_comp in (2**61, 2**63, 2**64 - 1):
        assert str(panic_of(sc.RallCableNeuron, n_comp)) == "capacity overflow"
    for bad in (-1, 2**64):
        with pytest.raises(OverflowError):
            sc.RallCableNeuron(bad)


def test_rall_cable_nan_reaches_compartment_0_after_n_calls():
    n, ref = sc.RallCableNeuron(), RefRallCable()
    steps = [NAN] + [20.0] * 10
    for i, current in enumerate(steps):
        got = n.step(current)
        assert got == ref.step(current) == 0
        v = n.get_state()["v"]
        assert same_bits(v, ref.v)
        assert [math.isnan(x) for x in v] == [j >= 4 - min(i, 4) for j in range(5)]


def plateau_current_flowed(before, after):
    """Whether this call's dendritic update included the plateau current: the step recomputed
    without and with it, from the state before the call (input 0.0)."""
    vs, vd = before["v_s"], before["v_d"]
    candidates = {P: vd + 0.1 * ((0.0 - (vd - -65.0)) + P - (vd - vs) * 0.8) / 20.0 for P in (0.0, 30.0)}
    assert after["v_d"] in candidates.values()
    return after["v_d"] == candidates[30.0]


def test_dendrify_plateau_lasts_101_calls():
    # Ten subtractions of 0.1 from 10.0, a hundred times, leave a small positive remainder.
    timer = 10.0
    for _ in range(100):
        timer = timer - 0.1
    assert 0.0 < timer < 1e-12 and timer - 0.1 < 0.0

    n = sc.DendrifyNeuron()
    # dt * I / tau_d = 0.005 * I brings v_d from -65 to -35 with I = 6000: on in this call.
    assert n.step(6000.0) == 0
    assert n.get_state()["v_d"] == -65.0 + 0.1 * ((6000.0 - 0.0) + 0.0 - 0.0 * 0.8) / 20.0 == -35.0
    flows = []
    state = n.get_state()
    for _ in range(110):
        n.step(0.0)
        after = n.get_state()
        flows.append(plateau_current_flowed(state, after))
        state = after
    assert flows == [True] * 101 + [False] * 9
    # Off again, the plateau can restart: on in this call, current from the next.
    n.step(6000.0)
    state = n.get_state()
    n.step(0.0)
    assert plateau_current_flowed(state, n.get_state())
    n.reset()
    state = n.get_state()
    assert state == {"v_s": -65.0, "v_d": -65.0}
    n.step(0.0)
    assert not plateau_current_flowed(state, n.get_state())


def test_dendrify_soma_resets_and_dendrite_does_not():
    n = sc.DendrifyNeuron()
    calls = 1
    while not n.step(6000.0):
        calls += 1
        assert calls < 50
    state = n.get_state()
    assert state["v_s"] == -65.0 and state["v_d"] > -35.0


def test_two_compartment_lif_two_calls():
    n = sc.TwoCompartmentLIFNeuron()
    assert n.step(0.6) == 0
    assert n.get_state() == {"v_s": 0.6, "v_d": 0.0}
    m = sc.TwoCompartmentLIFNeuron()
    assert m.step(0.0, 2.0) == 1
    assert m.get_state() == {"v_s": 0.0, "v_d": 2.0}
    # The dendrite receives nothing from the soma, and decays toward 0.0.
    n.step(0.0, 0.0)
    assert n.get_state() == {"v_s": math.exp(-0.5) * 0.6, "v_d": 0.0}
    m.step(0.0)
    assert m.get_state() == {"v_s": 0.5 * (math.exp(-0.05) * 2.0) + 0.0, "v_d": math.exp(-0.05) * 2.0}


@pytest.mark.parametrize("name, steps", [("MarderSTGNeuron", 2), ("BoothRinzelNeuron", 1)])
def test_nan_calcium_is_clipped_to_zero(name, steps):
    n = getattr(sc, name)()
    for _ in range(5):
        n.step(5.0)
    n.step(NAN)
    for _ in range(steps - 1):
        n.step(0.0)
    ca = n.get_state()["ca"]
    assert ca == 0.0 and math.copysign(1.0, ca) == 1.0
    assert math.isnan(next(iter(n.get_state().values())))

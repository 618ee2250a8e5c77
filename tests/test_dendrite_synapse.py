"""RallDendriteNative and StdpSynapse: steps derived by hand, independent references of both
updates, reset, the fixed-point wrap and width check, the weight property and the messages."""
import math

import numpy as np
import pytest

import netref
import sc_dravik_engine as sc
from sc_testing import panic_of, same_bits

R = sc.RallDendriteNative
S = sc.StdpSynapse
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."
E1 = math.exp(-1.0)


# ---------------------------------------------------------------- Rall dendrite

def one_branch_three_compartments():
    """tau 2, dt 1, coupling 0.5: decay e^-1/2, gain 0.5, branch weight 1."""
    d, g, k = math.exp(-0.5), 0.5, 0.5
    # Step 1, input 2.0: the distal compartment gets 1.0, then the sweep passes half of each
    # difference inward: c = [0, 0.5, 0.5], then [0.25, 0.25, 0.5].
    soma1 = 0.25 * 1.0 * g + 0.0 * d
    # Step 2, no input: leak, then the same sweep.
    c0, c1, c2 = 0.25 * d, 0.25 * d, 0.5 * d
    flow = (c2 - c1) * k
    c2, c1 = c2 - flow, c1 + flow
    flow = (c1 - c0) * k
    c1, c0 = c1 - flow, c0 + flow
    soma2 = c0 * 1.0 * g + soma1 * d
    return [soma1, soma2]


@pytest.mark.parametrize("args, inputs, expected", [
    # One compartment, tau = dt = coupling = 1: decay e^-1, gain 1.
    ((1, 1, 1.0, 1.0, 1.0), [[1.0], []], [1.0, E1 + E1]),
    # Two compartments, coupling 0.5: the input is split evenly within the step.
    ((1, 2, 1.0, 0.5, 1.0), [[1.0]], [0.5]),
    ((1, 3, 2.0, 0.5, 1.0), [[2.0], []], one_branch_three_compartments()),
    # No branches: soma_v * decay, so 0.0 from a fresh dendrite whatever the input.
    ((0, 3, 2.0, 0.5, 1.0), [[5.0], [1.0, 2.0]], [0.0, 0.0]),
])
def test_hand_derived_steps(args, inputs, expected):
    d = R(*args)
    for x, want in zip(inputs, expected):
        got = d.step(np.array(x, dtype=np.float64))
        assert same_bits(got, want)
        assert same_bits(d.soma_v, want)


class RallReference:
    def __init__(self, nb, length, tau, coupling, dt):
        self.w = [(1 / nb ** (2 / 3)) ** 1.5] * nb
        self.c = [[0.0] * length for _ in range(nb)]
        self.nb, self.len, self.k = nb, length, coupling
        self.decay, self.gain = math.exp(-dt / tau), dt / tau
        self.soma = 0.0

    def step(self, x):
        c, L = self.c, self.len
        for br in c:
            for j in range(L):
                br[j] = br[j] * self.decay
        for i in range(min(len(x), self.nb)):
            c[i][L - 1] = x[i] * self.gain + c[i][L - 1]
        for j in range(L - 1, 0, -1):
            for i in range(self.nb):
                flow = (c[i][j] - c[i][j - 1]) * self.k
                c[i][j] = c[i][j] - flow
                c[i][j - 1] = c[i][j - 1] + flow
        total = 0.0
        for i in range(self.nb):
            total += c[i][0] * self.w[i]
        self.soma = total * self.gain + self.soma * self.decay
        return self.soma


def branch_inputs(steps, seed=5):
    rng = np.random.default_rng(seed)
    # Shorter than, as long as and longer than the branch count.
    return [rng.normal(0.0, 2.0, (0, 1, 4, 6)[t % 4]) for t in range(steps)]


@pytest.mark.parametrize("args", [(4, 5, 3.0, 0.3, 0.7), (6, 2, 1.5, 0.9, 1.0)])
def test_steps_match_the_reference(args):
    # Four and six branches: their weights differ from 1 / n_branches in the last bits.
    d, ref = R(*args), RallReference(*args)
    for x in branch_inputs(24):
        assert same_bits(d.step(x), ref.step(list(x)))


def test_reset_repeats_a_fresh_dendrites_steps():
    args = (4, 5, 3.0, 0.3, 0.7)
    xs = branch_inputs(10)
    d = R(*args)
    first = [d.step(x) for x in xs]
    assert d.reset() is None
    assert d.soma_v == 0.0
    assert same_bits([d.step(x) for x in xs], first)
    fresh = R(*args)
    assert same_bits([fresh.step(x) for x in xs], first)


@pytest.mark.parametrize("x", [np.zeros(0), np.ones(1), np.ones(5)])
def test_branches_without_compartments_panic_every_step(x):
    d = R(3, 0, 1.0, 0.5, 1.0)
    for _ in range(2):
        assert str(panic_of(d.step, x)).startswith("index out of bounds")
    assert d.soma_v == 0.0


def test_zero_tau_propagates_an_infinite_gain():
    assert math.isinf(R(1, 1, 0.0, 0.5, 1.0).step(np.ones(1)))


def test_dendrite_input_errors():
    d = R(2, 2, 1.0, 0.5, 1.0)
    with pytest.raises(TypeError) as info:
        d.step(np.zeros(4)[::2])
    assert str(info.value) == NOT_CONTIGUOUS
    for bad in (np.zeros(2, np.float32), np.zeros((1, 2)), [0.0, 0.0]):
        with pytest.raises(TypeError, match="^argument 'branch_inputs': "):
            d.step(bad)
    assert d.soma_v == 0.0
    with pytest.raises(AttributeError):
        d.soma_v = 1.0


@pytest.mark.parametrize("shape", [(2**32, 2**32), (2**62, 1), (2**62, 0)])
def test_dendrite_sizes_beyond_memory(shape):
    with pytest.raises(MemoryError):
        R(*shape, 1.0, 0.5, 1.0)


# ---------------------------------------------------------------- STDP synapse

def wrap(x, width):
    """Low `width` bits of x, sign-extended, then stored in a 16-bit field."""
    return netref.wrap(netref.wrap(x, width), 16)


def abs16(a):
    return a if a == -32768 else abs(a)


class StdpReference:
    def __init__(self, weight, width, fraction):
        self.weight, self.width, self.f = weight, width, fraction % 32
        self.pre = self.post = 0

    def step(self, pre, post, a_plus, a_minus, decay, w_min, w_max):
        w, f = self.width, self.f
        self.pre = wrap((self.pre * decay) >> f, w)
        self.post = wrap((self.post * decay) >> f, w)
        if pre:
            self.pre = wrap(self.pre + a_plus, w)
        if post:
            self.post = wrap(self.post + a_minus, w)
            self.weight = wrap(min(self.weight + ((self.pre * abs16(a_plus)) >> f), w_max), w)
        elif pre:
            loss = (abs(self.post) * abs16(a_minus)) >> f  # the trace's true magnitude
            self.weight = wrap(max(self.weight - loss, w_min), w)


NO_DECAY = dict(decay=256)  # 1.0 with 8 fraction bits


@pytest.mark.parametrize("weight, ctor, steps, expected", [
    # A lone post spike: the pre trace is 0.
    (100, {}, [(0, 1, {})], [100]),
    # Pre then post: trace 16 decays to (16 * 250) >> 8 = 15; (15 * 16) >> 8 = 0.
    (100, {}, [(1, 0, {}), (0, 1, {})], [100, 100]),
    # Both at once: the trace is 16 when the post spike reads it; (16 * 16) >> 8 = 1.
    (100, {}, [(1, 1, {})], [101]),
    (100, {}, [(1, 0, dict(a_plus=64, **NO_DECAY)), (0, 1, dict(a_plus=64, **NO_DECAY))], [100, 116]),
    # The pre trace keeps a_plus's sign, and potentiation multiplies it by |a_plus|.
    (100, {}, [(1, 0, dict(a_plus=-64, **NO_DECAY)), (0, 1, dict(a_plus=-64, **NO_DECAY))], [100, 84]),
    # Post then pre lowers the weight: post trace -16 decays to -4000 >> 8 = -16, and
    # D = (16 * 16) >> 8 = 1.
    (100, {}, [(0, 1, {}), (1, 0, {})], [100, 99]),
    # Depression by the trace's magnitude, for either sign of a_minus: (64 * 64) >> 8 = 16.
    (100, {}, [(0, 1, dict(a_minus=-64, **NO_DECAY)), (1, 0, dict(a_minus=-64, **NO_DECAY))], [100, 84]),
    (100, {}, [(0, 1, dict(a_minus=64, **NO_DECAY)), (1, 0, dict(a_minus=64, **NO_DECAY))], [100, 84]),
    # (128 * 128) >> 8 = 64 is floored at w_min.
    (10, {}, [(0, 1, dict(a_minus=-128, **NO_DECAY)), (1, 0, dict(a_minus=-128, **NO_DECAY))], [10, 0]),
    (10, {}, [(0, 1, dict(a_minus=-128, **NO_DECAY)), (1, 0, dict(a_minus=-128, w_min=5, **NO_DECAY))],
     [10, 5]),
    # A post trace of -32768 or -32767 depresses by its true magnitude: (32768 * 16) >> 8 =
    # 2048 takes the weight to w_min, as (32767 * 16) >> 8 = 2047 does.
    (100, {}, [(0, 1, dict(a_minus=-32768, **NO_DECAY)), (1, 0, NO_DECAY)], [100, 0]),
    (100, {}, [(0, 1, dict(a_minus=-32767, **NO_DECAY)), (1, 0, NO_DECAY)], [100, 0]),
    (3000, {}, [(0, 1, dict(a_minus=-32768, **NO_DECAY)), (1, 0, NO_DECAY)], [3000, 952]),
    # |a_minus| of -32768 stays -32768: D = (16 * -32768) >> 8 = -2048 raises the weight.
    (100, {}, [(0, 1, dict(a_minus=16, **NO_DECAY)), (1, 0, dict(a_minus=-32768, **NO_DECAY))], [100, 2148]),
    # A weight above w_max is capped at the next post spike.
    (2000, {}, [(0, 1, dict(w_max=1000))], [1000]),
    # Width 8: two pre spikes of 100 make the trace 200, wrapped to -56; the post spike then
    # adds (-56 * 100) >> 8 = -22.
    (50, dict(data_width=8), [(1, 0, dict(a_plus=100, **NO_DECAY))] * 2 + [(0, 1, dict(a_plus=100, **NO_DECAY))],
     [50, 50, 28]),
    # Width 8: the potentiated weight 120 + 16 = 136 wraps to -120.
    (120, dict(data_width=8), [(1, 0, dict(a_plus=64, **NO_DECAY)), (0, 1, dict(a_plus=64, **NO_DECAY))],
     [120, -120]),
    # The fraction is taken modulo 32: 40 shifts by 8.
    (100, dict(fraction=40), [(1, 0, dict(a_plus=64, **NO_DECAY)), (0, 1, dict(a_plus=64, **NO_DECAY))],
     [100, 116]),
])
def test_hand_derived_steps_of_the_synapse(weight, ctor, steps, expected):
    s = S(weight, **ctor)
    got = []
    for pre, post, kw in steps:
        assert s.step(bool(pre), bool(post), **kw) is None
        got.append(s.weight)
    assert got == expected


@pytest.mark.parametrize("width, fraction", [(16, 8), (8, 4), (12, 0), (20, 15), (32, 31), (1, 8), (5, 40)])
def test_random_runs_match_the_reference(width, fraction):
    rng = np.random.default_rng(width * 100 + fraction)
    i16 = lambda: int(rng.choice([rng.integers(-32768, 32768), -32768, 32767, 0]))  # noqa: E731
    weight = i16()
    s, ref = S(weight, width, fraction), StdpReference(weight, width, fraction)
    for _ in range(200):
        pre, post = bool(rng.integers(2)), bool(rng.integers(2))
        params = [int(rng.integers(-300, 300)), int(rng.integers(-300, 300)), int(rng.integers(0, 300)),
                  i16(), i16()]
        if rng.integers(4) == 0:
            params = [i16() for _ in range(5)]
        s.step(pre, post, *params)
        ref.step(pre, post, *params)
        assert s.weight == ref.weight


@pytest.mark.parametrize("width", [0, 33, 2**32 - 1])
def test_bad_width_panics_on_every_step(width):
    s = S(100, width)  # construction accepts it
    for pre, post in [(False, False), (True, True)]:
        assert str(panic_of(s.step, pre, post)) == f"mask width must be 1..=32, got {width}"
    assert s.weight == 100


def test_weight_property():
    s = S(1000, data_width=8)
    assert s.weight == 1000  # stored as given, not wrapped
    s.weight = -32768
    assert s.weight == -32768
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        s.weight = 32768
    with pytest.raises(TypeError):
        s.weight = 1.5
    with pytest.raises(TypeError, match="^can't delete attribute$"):
        del s.weight
    assert s.weight == -32768


def test_synapse_argument_errors():
    s = S(100)
    for kw in (dict(pre_spike=1, post_spike=False), dict(pre_spike=False, post_spike="yes")):
        name = next(k for k, v in kw.items() if not isinstance(v, bool))
        with pytest.raises(TypeError, match=f"^argument '{name}': "):
            s.step(**kw)
    with pytest.raises(OverflowError):
        s.step(True, False, a_plus=40000)
    with pytest.raises(OverflowError):
        S(40000)
    with pytest.raises(OverflowError):
        S(1, -1)
    s.step(np.bool_(True), np.bool_(True))
    assert s.weight == 101


@pytest.mark.parametrize("obj, sig", [
    (R, "(n_branches, branch_length, tau, coupling, dt)"),
    (R.step, "($self, branch_inputs)"),
    (R.reset, "($self)"),
    (S, "(initial_weight, data_width=16, fraction=8)"),
    (S.step, "($self, pre_spike, post_spike, a_plus=16, a_minus=..., decay=250, w_min=0, w_max=32767)"),
])
def test_text_signatures(obj, sig):
    assert obj.__text_signature__ == sig
    assert not obj.__doc__

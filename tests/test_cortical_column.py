"""CorticalColumnNative: the xorshift64 pathway draws, the step against an independent reference
(delayed feedback and inhibition read from the previous step's post-reset values), the seed
edge cases, reset, and the input checks."""
import math

import numpy as np
import pytest

import sc_dravik_engine as sc
from sc_testing import panic_of, same_bits

C = sc.CorticalColumnNative
LAYERS = ["l4", "l23_exc", "l23_inh", "l5", "l6"]
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."
M64 = (1 << 64) - 1


def pathway_matrices(n, w_exc, w_inh, seed):
    """The seven matrices in pathway order, drawn from one xorshift64 state started at seed + 1."""
    s = (seed + 1) & M64

    def uniform():
        nonlocal s
        s ^= (s << 13) & M64
        s ^= s >> 7
        s ^= (s << 17) & M64
        return (s >> 11) * 2.0 ** -53

    table = [(0.5, w_exc), (0.4, w_exc), (0.3, w_exc), (0.3, w_inh), (0.3, w_exc), (0.3, w_exc),
             (0.2, w_exc * 0.5)]
    mats = []
    for p, w in table:
        m = [0.0] * (n * n)
        for k in range(n * n):
            if uniform() < p:
                m[k] = w * uniform()
        mats.append(m)
    return mats


class Reference:
    """The column's step written out from its update rule, in plain Python floats."""

    def __init__(self, n, tau, dt, threshold, w_exc, w_inh, seed):
        self.m = pathway_matrices(n, w_exc, w_inh, seed)
        self.n, self.thr = n, threshold
        self.decay, self.gain = math.exp(-dt / tau), dt / tau
        self.x = {k: [0.0] * n for k in LAYERS}

    def dot(self, k, i, v):
        total = 0.0
        for j in range(self.n):
            total += self.m[k][i * self.n + j] * v[j]
        return total

    def spikes(self, layer):
        return [1.0 if v > self.thr else 0.0 for v in self.x[layer]]

    def update(self, layer, drive):
        x = self.x[layer]
        for i in range(self.n):
            x[i] = drive(i) * self.gain + x[i] * self.decay
        s = self.spikes(layer)
        for i in range(self.n):
            x[i] = x[i] - s[i] * self.thr
        return s

    def step(self, inp):
        s6_old, s23i_old = self.spikes("l6"), self.spikes("l23_inh")
        s4 = self.update("l4", lambda i: self.dot(0, i, inp) + self.dot(6, i, s6_old))
        s23e = self.update("l23_exc", lambda i: self.dot(1, i, s4) + self.dot(3, i, s23i_old))
        s23i = self.update("l23_inh", lambda i: self.dot(2, i, s23e))
        s5 = self.update("l5", lambda i: self.dot(4, i, s23e))
        s6 = self.update("l6", lambda i: self.dot(5, i, s5))
        return [s4, s23e, s23i, s5, s6]


def inputs(n, steps, seed=1):
    rng = np.random.default_rng(seed)
    return [rng.uniform(0.0, 3.0, n) if t % 3 else np.zeros(n) for t in range(steps)]


def as_lists(out):
    assert list(out) == LAYERS
    for v in out.values():
        assert v.dtype == np.float64 and v.ndim == 1
    return [out[k].tolist() for k in LAYERS]


# Both sets keep every layer spiking, with units above twice the threshold, so a delayed
# pathway that read the previous step's returned spikes instead of its post-reset values fails.
@pytest.mark.parametrize("args", [
    (12, 5.0, 1.0, 0.6, 2.0, -1.5, 3),
    (7, 2.0, 0.5, 0.3, 1.0, -4.0, 2**64 - 2),
])
def test_steps_match_the_reference(args):
    col, ref = C(*args), Reference(*args)
    seen = np.zeros(5)
    for x in inputs(args[0], 40):
        got = as_lists(col.step(x))
        assert got == ref.step(list(x))
        seen += [sum(s) for s in got]
    assert (seen > 0).all()


def test_keywords_take_their_own_places():
    args = dict(n=6, tau=4.0, dt=2.0, threshold=0.2, w_exc=6.0, w_inh=-2.0, seed=11)
    col, ref = C(**dict(reversed(list(args.items())))), Reference(*args.values())
    for x in inputs(6, 10, seed=2):
        assert as_lists(col.step(x)) == ref.step(list(x))


def test_one_unit_pulse_and_delayed_pathways():
    # With n = 1 every matrix is one entry; seed 10228 connects all seven.
    m1, m2, m3, m4, m5, m6, m7 = (m[0] for m in pathway_matrices(1, 10.0, -10.0, 10228))
    assert min(m1, m2, m5, m7) > 1.0 and min(m3, m6) > 2.0 and m4 < -3.0
    col = C(1, 1.0, 1.0, 1.0, 10.0, -10.0, 10228)  # gain 1, decay e^-1, threshold 1
    # Step 1: l4 = 1.5 spikes (the feedback sees l6 = 0), and the pulse runs through
    # l2/3 (m2 = 3.08; the inhibition sees l23_inh = 0), l23_inh (m3), l5 (m5) and l6 (m6).
    assert as_lists(col.step(np.array([1.5 / m1]))) == [[1.0]] * 5
    # Step 2, no input: l6 (3.22 after its reset) and l23_inh (7.98) are still above the
    # threshold, so l4 = m7 + 0.5/e spikes on feedback alone, while l2/3 = m2 + m4 + 2.08/e
    # = 0.42 is held down; l23_inh = 7.98/e and l6 = 3.22/e spike again, l5 = 0.2/e does not.
    assert as_lists(col.step(np.array([0.0]))) == [[1.0], [0.0], [1.0], [0.0], [1.0]]


def test_seed_that_starts_the_generator_at_zero_draws_no_connections():
    # The state seed + 1 wraps to 0 and stays there: every u1 is 0.0 < p, every entry w * 0.0.
    assert all(v == 0.0 for m in pathway_matrices(5, 3.0, -3.0, 2**64 - 1) for v in m)
    col = C(5, 1.0, 1.0, 0.0, 3.0, -3.0, 2**64 - 1)
    for _ in range(3):
        # Layers stay 0.0, and 0.0 is not above a threshold of 0.0.
        assert as_lists(col.step(np.full(5, 1e300))) == [[0.0] * 5] * 5


def test_negative_threshold_fires_the_empty_column_every_step():
    col = C(3, 1.0, 1.0, -1.0, 3.0, -3.0, 2**64 - 1)
    for _ in range(3):
        assert as_lists(col.step(np.zeros(3))) == [[1.0] * 3] * 5


@pytest.mark.parametrize("x", [np.zeros(0), np.ones(4), np.zeros(0)[::2]])
def test_size_zero_gives_empty_layers(x):
    out = C(0, 10.0, 1.0, 0.5, 1.0, -1.0, 42).step(x)
    assert as_lists(out) == [[]] * 5


def test_zero_input_on_a_fresh_column_gives_no_spikes():
    assert as_lists(C(16, 10.0, 1.0, 0.1, 5.0, -5.0, 42).step(np.zeros(16))) == [[0.0] * 16] * 5


def test_reset_repeats_a_fresh_columns_responses():
    args = (10, 5.0, 1.0, 0.6, 2.0, -1.5, 3)
    xs = inputs(10, 12)
    col = C(*args)
    first = [col.step(x) for x in xs]
    assert col.reset() is None
    again = [col.step(x) for x in xs]
    fresh = C(*args)
    assert same_bits(again, first)
    assert same_bits([fresh.step(x) for x in xs], first)


def test_values_beyond_n_are_ignored():
    a, b = C(8, 5.0, 1.0, 0.6, 2.0, -1.5, 3), C(8, 5.0, 1.0, 0.6, 2.0, -1.5, 3)
    for x in inputs(8, 10):
        assert same_bits(a.step(np.concatenate([x, [1e6, -1e6]])), b.step(x))


def test_short_input_panics_before_any_layer_changes():
    args = (8, 5.0, 1.0, 0.6, 2.0, -1.5, 3)
    col, fresh = C(*args), C(*args)
    xs = inputs(8, 6)
    col.step(xs[1])
    fresh.step(xs[1])
    e = panic_of(col.step, np.ones(7))
    assert str(e) == "index out of bounds: the len is 7 but the index is 7"
    for x in xs:
        assert same_bits(col.step(x), fresh.step(x))


def test_non_contiguous_input_is_a_type_error():
    with pytest.raises(TypeError) as info:
        C(4, 5.0, 1.0, 0.6, 2.0, -1.5, 3).step(np.zeros(8)[::2])
    assert str(info.value) == NOT_CONTIGUOUS


@pytest.mark.parametrize("bad", [np.zeros(4, np.float32), np.zeros((2, 2)), [0.0] * 4])
def test_input_of_the_wrong_kind_names_the_argument(bad):
    with pytest.raises(TypeError, match="^argument 'thalamic_input': "):
        C(4, 5.0, 1.0, 0.6, 2.0, -1.5, 3).step(bad)


def test_construction_checks_nothing():
    # tau 0: the gain is infinite and the decay 0.
    col = C(2, 0.0, 1.0, 0.5, 1.0, -1.0, 42)
    assert len(col.step(np.zeros(2))) == 5
    with pytest.raises(OverflowError):
        C(-1, 1.0, 1.0, 0.5, 1.0, -1.0, 42)
    with pytest.raises(OverflowError):
        C(2, 1.0, 1.0, 0.5, 1.0, -1.0, -1)


def test_unallocatable_size_is_a_memory_error():
    with pytest.raises(MemoryError):
        C(2**32, 1.0, 1.0, 0.5, 1.0, -1.0, 42)


@pytest.mark.parametrize("obj, sig", [
    (C, "(n, tau, dt, threshold, w_exc, w_inh, seed)"),
    (C.step, "($self, thalamic_input)"),
    (C.reset, "($self)"),
])
def test_text_signatures(obj, sig):
    assert obj.__text_signature__ == sig
    assert not obj.__doc__

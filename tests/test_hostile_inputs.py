"""Inputs that change under the engine's feet: objects built on access, arrays reshaped by a
later argument's hook, sequences whose __len__ lies or that shrink while they are read."""
import numpy as np
import pytest

import sc_dravik_engine as sc
from sc_testing import Hook

T = sc.BitStreamTensor


class Lazy:
    """A sequence that builds each item when it is asked for, keeping no reference to it."""

    def __init__(self, make, n, claimed=None):
        self.make, self.n, self.claimed = make, n, n if claimed is None else claimed

    def __len__(self):
        return self.claimed

    def __getitem__(self, i):
        if i >= self.n:
            raise IndexError(i)
        return self.make(i)


WORDS = [0x0F0F, 0x00FF, 0xFFFF, 0x1234, 0xF0F0]


@pytest.mark.parametrize("n", [1, 2, 3, 4, 5])
def test_bundle_of_items_built_on_access(n):
    made = Lazy(lambda i: T.from_packed([WORDS[i]], 64), n)
    kept = [T.from_packed([w], 64) for w in WORDS[:n]]
    assert T.bundle(made).data == T.bundle(kept).data


def test_bundle_member_kept_alive_and_released():
    # Each borrowed item is released after the call: it can be changed again.
    items = [T.from_packed([w], 64) for w in WORDS[:3]]
    T.bundle(items)
    items[0].xor_inplace(items[1])
    assert items[0].data == [WORDS[0] ^ WORDS[1]]


def _u64(n):
    return np.arange(1, n + 1, dtype=np.uint64)


def _reassign(arr, **attrs):
    def fn():
        for k, v in attrs.items():
            setattr(arr, k, v)
    return fn


@pytest.mark.parametrize(
    "call",
    [
        lambda: (lambda a: sc.unpack_bitstream_numpy(a, Hook(_reassign(a, dtype=np.uint8), 64)))(_u64(4)),
        lambda: (lambda a: sc.py_prediction_error(a, _u64(4), Hook(_reassign(a, dtype=np.uint8), 64)))(_u64(4)),
        lambda: (lambda a: sc.py_prediction_error(_u64(4), a, Hook(_reassign(a, shape=(2, 2)), 64)))(_u64(4)),
        lambda: (lambda a: sc.batch_encode_numpy(a, Hook(_reassign(a, dtype=np.uint8), 64)))(np.full(4, 0.5)),
        lambda: (lambda a: sc.batch_encode(a, 64, Hook(_reassign(a, dtype=np.uint8), 1)))(np.full(4, 0.5)),
        lambda: (lambda a: sc.DenseLayer(3, 2, 64).forward_numpy(a, Hook(_reassign(a, dtype=np.uint8), 1)))(
            np.full(3, 0.5)),
        lambda: (lambda a: sc.DenseLayer(2, 2, 64).forward_batch_numpy(a, Hook(_reassign(a, shape=(4,)), 1)))(
            np.full((2, 2), 0.5)),
        lambda: (lambda a: sc.py_phi_star(a, Hook(_reassign(a, shape=(-1,)), 1)))(np.ones((2, 8))),
        lambda: (lambda a: sc.py_phi_star(a, Hook(_reassign(a, dtype=np.int64), 1)))(np.ones((2, 8))),
    ],
    ids=["unpack-dtype", "prediction-dtype", "prediction-shape", "batch-encode-numpy", "batch-encode",
         "dense-forward", "dense-batch", "phi-shape", "phi-dtype"],
)
def test_array_changed_by_a_later_argument_is_refused(call):
    with pytest.raises(TypeError, match="object is not an instance of 'numpy.ndarray"):
        call()


def test_array_reshaped_within_its_kind_is_read_as_it_now_is():
    # Same dtype and dimension count, other shape: the engine reads the array as it is when read.
    layer = sc.DenseLayer(3, 2, 64)
    a = np.full((4, 3), 0.5)
    with pytest.raises(ValueError, match="^Expected 3 input features, got 6.$"):
        layer.forward_batch_numpy(a, Hook(_reassign(a, shape=(2, 6)), 1))
    b = np.arange(12, dtype=np.uint64)
    assert sc.unpack_bitstream_numpy(b, Hook(_reassign(b, shape=(12,)), 64)).size == 64


def _shrinking(values, at):
    """values with the item at `at` replaced by a number whose conversion empties the list."""
    out = list(values)
    out[at] = Hook(out.clear, values[at])
    return out


def test_lying_or_shrinking_sequences():
    # A __len__ far beyond memory is a hint, not a reservation.
    with pytest.raises(ValueError, match="^Expected a 1-D or 2-D array of uint8 bits.$"):
        sc.pack_bitstream(range(256, 2**40))
    with pytest.raises(TypeError, match="^argument 'vectors': 'int' object is not an instance of"):
        T.bundle(range(2**40))
    k = sc.KuramotoSolver([1.0, 2.0], [0.0] * 4, [0.0, 0.0], 0.0)
    k.set_phases(Lazy(lambda i: 0.5 * i, 2, claimed=2**62))
    assert k.get_phases() == [0.0, 0.5]
    bits = Lazy(lambda i: i % 2, 70, claimed=2**60)
    assert sc.pack_bitstream(bits) == sc.pack_bitstream([i % 2 for i in range(70)])
    # A list emptied by one of its items' conversions is read as iteration reads it.
    glyph = [0.1, 0.2, 0.3, 0.4, 0.5, 0.6]
    want = sc.KVRAMetrics.consciousness_index([0.0, 1.0], glyph)
    assert sc.KVRAMetrics.consciousness_index([0.0, 1.0], _shrinking(glyph, 2)) == want
    w = [1.0 / 7] * 7
    m = [0.5, 0.4, 0.3, 0.2, 0.1, 0.6, 0.7]
    want = sc.KVRAMetrics.global_coherence(w, m)
    assert sc.KVRAMetrics.global_coherence(_shrinking(w, 0), m) == want
    assert sc.KVRAMetrics.global_coherence(w, _shrinking(m, 6)) == want
    assert sc.pack_bitstream(_shrinking([1, 1, 1], 0)) == [1]
    assert sc.pack_bitstream(_shrinking([1, 1, 1], 1)) == [3]


def _raises(exc):
    def fn():
        raise exc("from the caller")
    return fn


class BadLen(list):
    """A list whose __len__ (only a capacity hint) raises."""

    def __init__(self, items, exc):
        super().__init__(items)
        self.exc = exc

    def __len__(self):
        raise self.exc("from the caller")


# Arguments read as rows first and then as one flat sequence: only an Exception makes a reading
# fail; an interrupt or an exit from the caller's code passes through unchanged.
READERS = [
    (lambda v: sc.KuramotoSolver([0.0, 0.0], [[0.0, v], [0.0, 0.0]], [0.0, 0.0], 0.0),
     "coupling must be a 1-D or 2-D float array."),
    (lambda v: sc.StochasticAttention(2).forward([[1.0, v]], [[1.0, 0.0]], [[1.0]]),
     "Q must be a 1-D or 2-D float array."),
    (lambda v: sc.pack_bitstream([[1, v]]), "Expected a 1-D or 2-D array of uint8 bits."),
    (lambda v: sc.popcount([[1, v]]), "Expected packed uint64 words as 1-D or 2-D sequence."),
]


@pytest.mark.parametrize("call, message", READERS)
@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit, ValueError, ArithmeticError])
def test_only_exceptions_make_a_reading_fail(call, message, exc):
    if issubclass(exc, Exception):
        with pytest.raises(ValueError) as info:
            call(Hook(_raises(exc), 1))
        assert str(info.value) == message
    else:
        with pytest.raises(exc) as info:
            call(Hook(_raises(exc), 1))
        assert info.value.args == ("from the caller",)


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, LookupError])
def test_a_failing_len_is_only_a_lost_hint(exc):
    def phases(first_row):
        s = sc.KuramotoSolver([0.0, 0.0], [first_row, [0.0, 0.0]], [0.0, 1.0], 0.0)
        s.step(0.1)
        return s.get_phases()

    if issubclass(exc, Exception):
        assert phases(BadLen([0.0, 1.0], exc)) == phases([0.0, 1.0]) != phases([0.0, 0.0])
    else:
        with pytest.raises(exc):
            phases(BadLen([0.0, 1.0], exc))

"""StochasticAttention: the linear, softmax, multi-head and bitstream forms, messages and seeding."""
import math

import numpy as np
import pytest

import bitref
import sc_dravik_engine as sc
from sc_testing import run_child_json, same_bits

A = sc.StochasticAttention


# --- An independent reading of the forms ---------------------------------------------------

def dot(a, b):
    # The inputs below are multiples of 1/8 with short rows, so every product and partial sum is
    # exact and the result is the same in any summation order (every processor tier).
    s = 0.0
    for x, y in zip(a, b):
        s = s + x * y
    return s


def tier_sum(values):
    """The sum of the softmax in the order of the processor's tier."""
    tier = sc.simd_tier()
    lanes = 8 if tier.startswith("avx512") else 4 if tier == "avx2" else 0
    if not lanes:
        s = -0.0
        for v in values:
            s = s + v
        return s
    acc, n = [0.0] * lanes, len(values) - len(values) % lanes
    for i in range(0, n, lanes):
        acc = [a + v for a, v in zip(acc, values[i:i + lanes])]
    if lanes == 8:
        y = [acc[k] + acc[k + 4] for k in range(4)]
        s = (y[0] + y[2]) + (y[1] + y[3])
    else:
        s = ((acc[0] + acc[1]) + acc[2]) + acc[3]
    for v in values[n:]:
        s = s + v
    return s


def weighted(w, v):
    out = []
    for i in range(len(v[0])):
        s = 0.0
        for j, wj in enumerate(w):
            s = s + wj * v[j][i]
        out.append(s)
    return out


def linear_ref(q, k, v):
    out = []
    for qr in q:
        s = [dot(qr, kr) for kr in k]
        c = 0.0
        for x in s:
            c = c + x
        d = 1.0 if c == 0 else c
        out.append(weighted([x / d for x in s], v))
    return out


def softmax_ref(q, k, v, temperature):
    scale = 1.0 / temperature if temperature > 0 else 1.0
    out = []
    for qr in q:
        s = [dot(qr, kr) * scale for kr in k]
        m = max(s)
        e = [math.exp(x - m) for x in s]
        total = tier_sum(e)
        if total > 0:
            r = 1.0 / total
            e = [x * r for x in e]
        out.append(weighted(e, v))
    return out


def sc_ref(q, k, v, length, seed):
    g = bitref.ChaCha8(seed)

    def enc(m):
        return [[bitref.float_form(x, length, g) for x in row] for row in m]

    qs, ks, vs = enc(q), enc(k), enc(v)
    w = []
    for r in range(len(q)):
        s = [sum(bitref.and_count(qs[r][i], ks[j][i]) for i in range(len(q[0]))) / length for j in range(len(k))]
        c = 0.0
        for x in s:
            c = c + x
        d = 1.0 if c == 0 else c
        w.append([x / d for x in s])
    ws = enc(w)
    return [[sum(bitref.and_count(ws[r][j], vs[j][i]) for j in range(len(k))) / length for i in range(len(v[0]))]
            for r in range(len(q))]


def eighths(rng, rows, cols, lo=-16, hi=17):
    return (rng.integers(lo, hi, (rows, cols)) / 8.0).tolist()


RNG = np.random.default_rng(7)
Q = eighths(RNG, 5, 6)
K = eighths(RNG, 9, 6)
V = eighths(RNG, 9, 4)


# --- Float forms ----------------------------------------------------------------------------

def test_linear_form_follows_the_rules():
    assert same_bits(A(6).forward(Q, K, V), linear_ref(Q, K, V))


@pytest.mark.parametrize("dim_k, temperature, used", [(4, None, 2.0), (6, None, math.sqrt(6)), (6, 0.5, 0.5),
                                                      (6, 0.0, 0.0), (6, -3.0, -3.0), (6, math.nan, math.nan)])
def test_softmax_form_follows_the_rules(dim_k, temperature, used):
    # Temperatures that are not above 0 (and NaN) leave the scores unscaled.
    got = A(dim_k, temperature).forward_softmax(Q, K, V)
    assert same_bits(got, softmax_ref(Q, K, V, used))
    if not used > 0:
        assert same_bits(got, A(1, 1.0).forward_softmax(Q, K, V))


def test_default_temperature_divides_by_the_root_of_dim_k():
    # Scores 2 and 0 halved to 1 and 0: the first value gets weight 1 / (1 + e^-1).
    q, k, v = [[2.0, 0.0]], [[1.0, 0.0], [0.0, 1.0]], [[1.0], [0.0]]
    assert A(4).forward_softmax(q, k, v) == [[1.0 / (1.0 + math.exp(-1.0))]]
    assert A(4).forward_softmax(q, k, v) == A(4, 2.0).forward_softmax(q, k, v)


def test_zero_queries_and_keys_give_zero():
    z = [[0.0, 0.0]] * 3
    assert A(2).forward(z, z, [[1.0, 2.0]] * 3) == [[0.0, 0.0]] * 3


def test_scores_summing_to_zero_are_used_undivided():
    q, k, v = [[1.0]], [[1.0], [-1.0]], [[3.0], [5.0]]
    assert A(1).forward(q, k, v) == [[1.0 * 3.0 + -1.0 * 5.0]]


def test_negative_scores_are_divided_by_their_sum():
    q, k, v = [[1.0]], [[-1.0], [-3.0]], [[4.0], [8.0]]
    assert A(1).forward(q, k, v) == [[0.25 * 4.0 + 0.75 * 8.0]]


@pytest.mark.parametrize("form", ["forward", "forward_softmax"])
def test_one_head_equals_the_single_head_form(form):
    a = A(6, 1.5)
    rng = np.random.default_rng(1)
    q, k, v = (rng.uniform(-1, 1, s).tolist() for s in ((7, 24), (30, 24), (30, 16)))
    multi = "forward_multihead" + form[len("forward"):]
    assert same_bits(getattr(a, multi)(q, k, v, 1), getattr(a, form)(q, k, v))


@pytest.mark.parametrize("form", ["forward", "forward_softmax"])
@pytest.mark.parametrize("n_heads", [2, 3, 6])
def test_heads_are_the_single_form_on_column_blocks(form, n_heads):
    a = A(6, 0.75)
    rng = np.random.default_rng(n_heads)
    q, k, v = (rng.uniform(-1, 1, s) for s in ((5, 12), (11, 12), (11, 18)))
    qh, vh = 12 // n_heads, 18 // n_heads
    want = np.hstack([np.array(getattr(a, form)(q[:, h * qh:(h + 1) * qh].tolist(), k[:, h * qh:(h + 1) * qh].tolist(),
                                                v[:, h * vh:(h + 1) * vh].tolist())) for h in range(n_heads)])
    multi = "forward_multihead" + form[len("forward"):]
    assert same_bits(np.array(getattr(a, multi)(q.tolist(), k.tolist(), v.tolist(), n_heads)), want)


class _Reversed(np.ndarray):
    """An array subclass whose rows iterate in reverse: read through the sequence rules."""

    def __iter__(self):
        return iter([self[i] for i in range(len(self) - 1, -1, -1)])


_BASE = np.arange(1.0, 31.0).reshape(5, 6) / 8.0
ARRAY_FORMS = {
    "c": _BASE,
    "fortran": np.asfortranarray(_BASE),
    "strided": np.arange(1.0, 121.0).reshape(10, 12)[::2, ::2] / 8.0,
    "reversed": _BASE[::-1, ::-1],
    "read-only": np.frombuffer(_BASE.tobytes()).reshape(5, 6),
    "misaligned": np.frombuffer(b"\0" + _BASE.tobytes(), offset=1).reshape(5, 6),
    "1-d": _BASE[1],
    "1-d strided": _BASE[:, 2],
    "float32": _BASE.astype(np.float32),
    "big-endian": _BASE.astype(">f8"),
    "int": np.arange(30).reshape(5, 6),
    "subclass": _BASE.view(_Reversed),
}


@pytest.mark.parametrize("form", list(ARRAY_FORMS))
def test_numpy_matrices_read_as_the_same_rows_as_lists(form):
    arr = ARRAY_FORMS[form]
    rows = [list(r) for r in arr] if arr.ndim == 2 else [list(arr)]
    rows = [[float(x) for x in r] for r in rows]
    eye = np.eye(len(rows[0])).tolist()
    a = A(1)
    assert same_bits(a.forward(arr, eye, eye), a.forward(rows, eye, eye))


@pytest.mark.parametrize("arr, text", [(np.zeros((0, 3)), "Q must not be an empty matrix."),
                                       (np.zeros(0), "Q must not be an empty matrix."),
                                       (np.zeros((2, 0)), "Q must not have zero columns."),
                                       (np.zeros((2, 0), np.float32), "Q must not have zero columns.")])
def test_empty_numpy_matrices_give_the_sequence_messages(arr, text):
    with pytest.raises(ValueError) as info:
        A(1).forward(arr, [[1.0]], [[1.0]])
    assert str(info.value) == text


def test_flat_sequences_are_one_row():
    a = A(2)
    assert a.forward([0.5, 0.25], [[1.0, 0.0]], [[2.0]]) == a.forward([[0.5, 0.25]], [[1.0, 0.0]], [[2.0]])


# --- Bitstream form -------------------------------------------------------------------------

@pytest.mark.parametrize("length", [1, 70])
def test_sc_form_follows_the_rules(length):
    # Values outside [0, 1] are clamped by the encoder.
    q = [[0.5, 1.5, 0.25], [-0.5, 0.75, 0.0]]
    k = [[0.9, 0.1, 0.6], [0.3, 1.0, 0.2], [0.0, 0.0, 0.0]]
    v = [[0.2, 0.8], [1.0, -1.0], [0.5, 0.5]]
    got = A(3).forward_sc(q, k, v, length, 13)
    assert same_bits(got, sc_ref(q, k, v, length, 13))
    assert all(x >= 0.0 for r in got for x in r)


def test_sc_form_seeding():
    a = A(6)
    q, k, v = ([[abs(x) for x in r] for r in m] for m in (Q, K, V))
    assert same_bits(a.forward_sc(q, k, v), a.forward_sc(q, k, v, 1024, 44257))
    assert same_bits(a.forward_sc(q, k, v, seed=3), a.forward_sc(q, k, v, seed=3))
    assert a.forward_sc(q, k, v, seed=3) != a.forward_sc(q, k, v, seed=4)
    # The temperature plays no part.
    assert same_bits(A(6, 0.1).forward_sc(q, k, v), a.forward_sc(q, k, v))


# --- Messages -------------------------------------------------------------------------------

M23, M33, M32, M22 = [[0.5] * 3] * 2, [[0.5] * 3] * 3, [[0.5] * 2] * 3, [[0.5] * 2] * 2


@pytest.mark.parametrize("form", ["forward", "forward_softmax", "forward_sc"])
@pytest.mark.parametrize(
    "q, k, v, text",
    [
        (M22, M33, M33, "Q/K dimension mismatch: q_cols=2, k_cols=3."),
        (M23, M33, M22, "K/V row mismatch: k_rows=3, v_rows=2."),
        # The column check comes before the row check.
        (M22, M23, M33, "Q/K dimension mismatch: q_cols=2, k_cols=3."),
        ([], M33, M33, "Q must not be an empty matrix."),
        (M23, [[0.5], [0.5, 0.5]], M33, "K must be a rectangular matrix."),
        (M23, M33, [[], []], "V must not have zero columns."),
        (M23, M33, "abc", "V must be a 1-D or 2-D float array."),
        # Conversion failures come before any shape check, in the order Q, K, V.
        (M22, [], "abc", "K must not be an empty matrix."),
    ],
)
def test_single_head_messages(form, q, k, v, text):
    with pytest.raises(ValueError) as info:
        getattr(A(3), form)(q, k, v)
    assert str(info.value) == text


def test_sc_length_zero_is_refused_after_the_shape_check():
    with pytest.raises(ValueError, match=r"^length must be > 0 for SC mode\.$"):
        A(3).forward_sc(M23, M33, M33, 0)
    with pytest.raises(ValueError, match="^K/V row mismatch"):
        A(3).forward_sc(M23, M33, M22, 0)


@pytest.mark.parametrize("form", ["forward_multihead", "forward_multihead_softmax"])
@pytest.mark.parametrize(
    "q, k, v, n, text",
    [
        (M22, M22, M22, 0, "n_heads must be > 0."),
        (M22, M22, M23, 2, "Total columns must be divisible by n_heads=2. Got Q=2, K=2, V=3."),
        ([[0.5] * 4], [[0.5] * 6], [[0.5] * 2], 2, "Q/K head dimensions must match: Q_head=2, K_head=3."),
        # Rows are checked by the heads, after the column checks of the multi-head form.
        ([[0.5] * 4], [[0.5] * 4] * 3, [[0.5] * 2] * 2, 2, "K/V row mismatch: k_rows=3, v_rows=2."),
        ([[0.5] * 4], [[0.5] * 6] * 3, [[0.5] * 2] * 2, 2, "Q/K head dimensions must match: Q_head=2, K_head=3."),
        ([[0.5] * 4], "x", M22, 0, "K must be a 1-D or 2-D float array."),
    ],
)
def test_multihead_messages(form, q, k, v, n, text):
    with pytest.raises(ValueError) as info:
        getattr(A(3), form)(q, k, v, n)
    assert str(info.value) == text


@pytest.mark.parametrize(
    "call, exc, name",
    [
        (lambda: A(-1), OverflowError, None),
        (lambda: A(2, "t"), TypeError, "temperature"),
        (lambda: A(2, temperature=None).forward_sc("bad", "bad", "bad", "n"), TypeError, "length"),
        (lambda: A(2).forward_sc("bad", "bad", "bad", 8, -1), OverflowError, None),
        (lambda: A(2).forward_multihead("bad", "bad", "bad", "h"), TypeError, "n_heads"),
        (lambda: A(2).forward_multihead_softmax("bad", "bad", "bad", -2), OverflowError, None),
    ],
)
def test_argument_errors(call, exc, name):
    # The counts and seed are converted before the matrices are read.
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    if name is not None:
        assert str(info.value).startswith(f"argument '{name}': ")


@pytest.mark.parametrize(
    "name, sig",
    [
        ("forward", "($self, q, k, v)"),
        ("forward_softmax", "($self, q, k, v)"),
        ("forward_sc", "($self, q, k, v, length=1024, seed=44257)"),
        ("forward_multihead", "($self, q, k, v, n_heads)"),
        ("forward_multihead_softmax", "($self, q, k, v, n_heads)"),
    ],
)
def test_signatures(name, sig):
    assert getattr(A, name).__text_signature__ == sig


def test_class_surface():
    assert A.__text_signature__ == "(dim_k, temperature=None)"
    assert not A.__doc__
    public = {n for n in dir(A) if not n.startswith("_")}
    assert public == {"forward", "forward_softmax", "forward_sc", "forward_multihead", "forward_multihead_softmax"}


# --- Worker counts --------------------------------------------------------------------------

_WORKER_SCRIPT = """
import json, os, numpy as np, sc_dravik_engine as sc
rng = np.random.default_rng(5)
# Large enough for every loop of every form to go to the pool.
q, k, v = (rng.uniform(-0.2, 1.2, s).tolist() for s in ((256, 48), (250, 48), (250, 32)))
a = sc.StochasticAttention(48)
before = len(os.listdir("/proc/self/task"))
out = [a.forward(q, k, v), a.forward_softmax(q, k, v), a.forward_multihead(q, k, v, 8),
       a.forward_multihead_softmax(q, k, v, 4), a.forward_sc(q, k, v, 200, 9)]
print(json.dumps([len(os.listdir("/proc/self/task")) - before, [x.hex() for m in out for r in m for x in r]]))
"""


def test_results_do_not_depend_on_the_worker_count():
    one = run_child_json(_WORKER_SCRIPT, threads=1)
    eight = run_child_json(_WORKER_SCRIPT, threads=8)
    assert one[1] == eight[1]
    assert eight[0] > one[0]

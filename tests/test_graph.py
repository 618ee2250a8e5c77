"""StochasticGraphLayer: construction, the float and bitstream forward passes, messages and checks."""
import math

import numpy as np
import pytest

import bitref
import sc_dravik_engine as sc
from sc_testing import panic_of, run_child_json, same_bits

G = sc.StochasticGraphLayer
INF, NAN = math.inf, math.nan


# --- An independent reading of the layer's rules -------------------------------------------

def dense_csr(adj):
    """Every entry of a dense adjacency, zeros included, as CSR arrays."""
    n = len(adj)
    return [i * n for i in range(n + 1)], [j for _ in range(n) for j in range(n)], [v for r in adj for v in r]


def degrees_of(offsets, cols, vals):
    out = []
    for i in range(len(offsets) - 1):
        s = 0.0
        for k in range(offsets[i], max(offsets[i], offsets[i + 1])):
            s = s + vals[k]
        out.append(s)
    return out


def divide(row, d):
    return [v / d for v in row] if d != 0 else row


def forward_ref(csr, x, w, dense):
    """The float pass: row sums in order from 0.0, the degree division, then tanh(agg W)."""
    offsets, cols, vals = csr
    n, f = len(x), len(x[0])
    deg = degrees_of(offsets, cols, vals)
    out = []
    for i in range(n):
        agg = [0.0] * f
        for k in range(offsets[i], max(offsets[i], offsets[i + 1])):
            j, a = cols[k], vals[k]
            for c in range(f):
                agg[c] = agg[c] + a * x[j][c] if dense else x[j][c] * a + agg[c]
        agg = divide(agg, deg[i])
        row = []
        for c in range(f):
            s = 0.0
            for j in range(f):
                s = s + agg[j] * w[j * f + c]
            row.append(math.tanh(s))
        out.append(row)
    return out


def forward_sc_ref(csr, x, w, dense, length, seed):
    """The bitstream pass on one ChaCha8: X, the adjacency, the aggregate, then the weights."""
    offsets, cols, vals = csr
    n, f = len(x), len(x[0])
    deg = degrees_of(offsets, cols, vals)
    g = bitref.ChaCha8(seed)

    def enc(values):
        return [bitref.float_form(v, length, g) for v in values]

    xs = enc([v for r in x for v in r])
    vs = enc(vals)
    agg = []
    for i in range(n):
        row = [0.0] * f
        if dense:
            for c in range(f):
                row[c] = sum(bitref.and_count(vs[i * n + j], xs[j * f + c]) for j in range(n)) / length
        else:
            for k in range(offsets[i], max(offsets[i], offsets[i + 1])):
                for c in range(f):
                    row[c] = bitref.and_count(xs[cols[k] * f + c], vs[k]) / length + row[c]
        agg.append(divide(row, deg[i]))
    gs = enc([v for r in agg for v in r])
    ws = enc(w)
    return [[math.tanh(sum(bitref.and_count(gs[i * f + j], ws[j * f + c]) for j in range(f)) / length)
             for c in range(f)] for i in range(n)]


def layer_with(adj, w, sparse=False, **kw):
    if sparse:
        offsets, cols, vals = sparse
        lay = G.from_sparse(offsets, cols, vals, len(adj) if adj else len(offsets) - 1, int(len(w) ** 0.5), **kw)
    else:
        lay = G(adj, int(len(w) ** 0.5), **kw)
    lay.set_weights(w)
    return lay


W2 = [0.5, -0.25, 0.75, 1.5]
# Adjacencies with negatives, a row summing to zero with nonzero entries (undivided), an
# all-zero row (degree 0) and entries above 1 (clamped by the bitstream encoder).
ADJ3 = [[0.0, 1.0, -1.0], [0.5, 0.0, 2.0], [0.0, 0.0, 0.0]]
X3 = [[0.25, 0.5], [0.75, -0.5], [1.5, 0.125]]


# --- Construction ---------------------------------------------------------------------------

@pytest.mark.parametrize("seed", [0, 42, (1 << 64) - 1])
@pytest.mark.parametrize("make", ["dense", "sparse", "auto"])
def test_weights_are_chacha_uniforms_in_storage_order(seed, make):
    f = 3
    lay = {"dense": lambda: G([[1.0]], f, seed),
           "sparse": lambda: G.from_sparse([0, 0], [], [], 1, f, seed),
           "auto": lambda: G.from_dense_auto([[1.0]], f, seed)}[make]()
    g = bitref.ChaCha8(seed)
    assert same_bits(lay.get_weights(), [bitref.uniform(g) for _ in range(f * f)])


def test_default_seed_is_42():
    assert G([[1.0]], 2).get_weights() == G([[1.0]], 2, 42).get_weights()
    assert G.from_sparse([0, 0], [], [], 1, 2).get_weights() == G([[1.0]], 2, 42).get_weights()


def test_set_weights_replaces_them_unchanged():
    lay = G([[1.0]], 2)
    w = [2.0, -1.0, NAN, 0.5]
    assert lay.set_weights(w) is None
    assert same_bits(lay.get_weights(), w)
    got = lay.get_weights()
    got[0] = 9.0
    assert same_bits(lay.get_weights(), w)


@pytest.mark.parametrize(
    "nonzero, threshold, sparse",
    [(29, 0.3, True), (30, 0.3, False), (0, 0.3, True), (100, 0.3, False), (50, 0.5, False), (50, 0.51, True),
     (10, NAN, False), (10, -1.0, False), (10, INF, True)],
)
def test_from_dense_auto_chooses_by_strict_density(nonzero, threshold, sparse):
    adj = [[1.0 if i * 10 + j < nonzero else 0.0 for j in range(10)] for i in range(10)]
    assert G.from_dense_auto(adj, 2, density_threshold=threshold).is_sparse() is sparse
    assert G(adj, 2).is_sparse() is False


def test_from_dense_auto_keeps_entries_not_within_1e_15_of_zero():
    # 1e-15 itself and smaller magnitudes are dropped; 2e-15, inf and NaN are kept.
    adj = [[1e-15, -1e-15, 2e-15, 0.0], [INF, 0.0, 0.0, 0.0], [0.0, NAN, 5e-16, 0.0], [0.0, 0.0, 0.0, -3.0]]
    x = [[0.5], [0.25], [0.125], [2.0]]
    auto = G.from_dense_auto(adj, 1, density_threshold=0.5)
    assert auto.is_sparse()
    auto.set_weights([1.0])
    kept = ([0, 1, 2, 3, 4], [2, 0, 1, 3], [2e-15, INF, NAN, -3.0])
    assert same_bits(auto.forward(x), forward_ref(kept, x, [1.0], dense=False))


def test_nan_adjacency_gives_the_same_result_dense_and_automatic_csr():
    adj = [[0.0, NAN, 0.0], [1.0, 0.0, 0.0], [0.0, 0.0, 0.0]]
    x = [[0.5, 0.25], [1.0, -1.0], [0.75, 0.5]]
    dense = layer_with(adj, W2)
    auto = G.from_dense_auto(adj, 2)
    auto.set_weights(W2)
    assert auto.is_sparse()
    assert same_bits(auto.forward(x), dense.forward(x))
    assert math.isnan(dense.forward(x)[0][0]) and not math.isnan(dense.forward(x)[1][0])


# --- Float forward --------------------------------------------------------------------------

FEATURES = {
    "plain": X3,
    # An infinite or NaN feature meets zero adjacency entries: 0 * inf is NaN and must count.
    "inf": [[0.25, 0.5], [INF, -0.5], [1.5, 0.125]],
    "nan": [[NAN, 0.5], [0.75, -0.5], [1.5, 0.125]],
}


# Mostly zero, and mostly nonzero (zero entries are then summed in place).
ADJ3_FULL = [[0.25, 1.0, -1.0], [0.5, 0.0, 2.0], [1.5, -0.75, 0.0]]


@pytest.mark.parametrize("adj", [ADJ3, ADJ3_FULL], ids=["sparse", "full"])
@pytest.mark.parametrize("features", list(FEATURES))
def test_dense_forward_follows_the_rules(adj, features):
    x = FEATURES[features]
    assert same_bits(layer_with(adj, W2).forward(x), forward_ref(dense_csr(adj), x, W2, dense=True))


CSR3 = ([0, 2, 4, 4], [1, 2, 0, 2], [1.0, -1.0, 0.5, 2.0])


@pytest.mark.parametrize("features", list(FEATURES))
def test_csr_forward_follows_the_rules(features):
    x = FEATURES[features]
    assert same_bits(layer_with(ADJ3, W2, sparse=CSR3).forward(x), forward_ref(CSR3, x, W2, dense=False))


def test_hand_derived_values():
    # Node 0 sums 1 * x1 - 1 * x2 with degree 0 (left undivided); node 1 gets
    # (0.5 x0 + 2 x2) / 2.5; node 2 has no neighbours.
    lay = layer_with(ADJ3, [1.0, 0.0, 0.0, 1.0])
    out = lay.forward(X3)
    agg0 = [0.75 - 1.5, -0.5 - 0.125]
    agg1 = [(0.5 * 0.25 + 2 * 1.5) / 2.5, (0.5 * 0.5 + 2 * 0.125) / 2.5]
    assert out == [[math.tanh(v) for v in agg0], [math.tanh(v) for v in agg1], [0.0, 0.0]]


def test_all_zero_adjacency_gives_zeros():
    for lay in (G([[0.0] * 3] * 3, 2), G.from_sparse([0, 0, 0, 0], [], [], 3, 2)):
        assert lay.forward(X3) == [[0.0, 0.0]] * 3
        assert lay.forward_sc(X3) == [[0.0, 0.0]] * 3


def test_decreasing_offsets_give_empty_rows():
    # Row 1 ends before it starts; row 2 spans both entries again.
    csr = ([0, 1, 0, 2], [1, 0], [1.0, 0.5])
    lay = layer_with(None, W2, sparse=csr)
    assert same_bits(lay.forward(X3), forward_ref(csr, X3, W2, dense=False))
    assert lay.forward(X3)[1] == [0.0, 0.0]


def test_dense_csr_and_automatic_forms_agree():
    rng = np.random.default_rng(3)
    adj = np.where(rng.random((40, 40)) < 0.1, rng.uniform(-1, 2, (40, 40)), 0.0)
    x = rng.uniform(-1, 1, (40, 8)).tolist()
    offsets, cols, vals = [0], [], []
    for row in adj:
        nz = np.nonzero(row)[0]
        cols += nz.tolist()
        vals += row[nz].tolist()
        offsets.append(len(cols))
    dense = G(adj.tolist(), 8, 5)
    sparse = G.from_sparse(offsets, cols, vals, 40, 8, 5)
    auto = G.from_dense_auto(adj.tolist(), 8, 5)
    assert sparse.is_sparse() and auto.is_sparse() and not dense.is_sparse()
    out = dense.forward(x)
    assert same_bits(sparse.forward(x), out) and same_bits(auto.forward(x), out)
    assert same_bits(out, forward_ref((offsets, cols, vals), x, dense.get_weights(), dense=False))


def test_numpy_and_flat_inputs():
    lay = layer_with([[0.0, 1.0], [1.0, 0.0]], [1.0])
    assert lay.forward(np.array([[0.5], [0.25]])) == lay.forward([[0.5], [0.25]])
    assert lay.forward(np.asfortranarray([[0.5], [0.25]])) == lay.forward([[0.5], [0.25]])
    one = layer_with([[2.0]], W2)  # a flat sequence is one row
    assert one.forward([0.5, 0.25]) == one.forward([[0.5, 0.25]])
    assert G([1.0], 1).forward([[3.0]]) == G([[1.0]], 1).forward([[3.0]])


# --- Bitstream forward ----------------------------------------------------------------------

@pytest.mark.parametrize("length", [1, 70])
@pytest.mark.parametrize("sparse", [False, True])
def test_forward_sc_follows_the_rules(length, sparse):
    csr = CSR3 if sparse else dense_csr(ADJ3)
    w = [0.5, 1.25, -0.25, 0.75]
    lay = layer_with(ADJ3, w, sparse=CSR3 if sparse else False)
    got = lay.forward_sc(X3, length, 9)
    assert same_bits(got, forward_sc_ref(csr, X3, w, dense=not sparse, length=length, seed=9))
    if length == 1:  # one-bit streams: every count is 0 or 1
        assert all(v in {math.tanh(k) for k in range(3)} for r in got for v in r)


def test_forward_sc_seeding():
    lay = G(ADJ3, 2)
    assert same_bits(lay.forward_sc(X3), lay.forward_sc(X3, 1024, 44257))
    assert same_bits(lay.forward_sc(X3, seed=5), lay.forward_sc(X3, seed=5))
    assert lay.forward_sc(X3, seed=5) != lay.forward_sc(X3, seed=6)


# --- Messages and checks --------------------------------------------------------------------

@pytest.mark.parametrize(
    "args, text",
    [
        (([0, 1], [0], [1.0], 2, 1), "row_offsets length 2 != n_rows + 1 = 3"),
        (([0, 3], [0, 0], [1.0, 1.0, 1.0], 1, 1), "col_indices length 2 != values length 3"),
        (([0, 3], [0, 0], [1.0, 1.0], 1, 1), "col_indices length 2 != nnz from row_offsets 3"),
        # The count check comes first even when the indices and values disagree too.
        (([0], [0, 0], [1.0], 1, 1), "row_offsets length 1 != n_rows + 1 = 2"),
        # n_rows + 1 wraps to 0, so only the emptiness check stops an empty row_offsets.
        (([], [], [], (1 << 64) - 1, 1), "row_offsets must not be empty"),
    ],
)
def test_from_sparse_messages(args, text):
    with pytest.raises(ValueError) as info:
        G.from_sparse(*args)
    assert str(info.value) == text


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: G([[1.0, 0.0]], 2), "adj_matrix must be square, got 1x2."),
        (lambda: G([], 2), "adj_matrix must not be an empty matrix."),
        (lambda: G([[], []], 2), "adj_matrix must not have zero columns."),
        (lambda: G([[1.0, 0.0], [1.0]], 2), "adj_matrix must be a rectangular matrix."),
        (lambda: G("ab", 2), "adj_matrix must be a 1-D or 2-D float array."),
        (lambda: G.from_dense_auto([[1.0], [0.0]], 2), "adj_matrix must be square, got 2x1."),
        (lambda: G.from_dense_auto([["x"]], 2), "adj_matrix must be a 1-D or 2-D float array."),
    ],
)
def test_constructor_messages(call, text):
    with pytest.raises(ValueError) as info:
        call()
    assert str(info.value) == text


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda l: l.forward([[0.5, 0.5]] * 2), "Expected node_features shape (3, 2), got (2, 2)."),
        (lambda l: l.forward_sc([[0.5, 0.5, 0.5]] * 3), "Expected node_features shape (3, 2), got (3, 3)."),
        (lambda l: l.forward([0.5, 0.5]), "Expected node_features shape (3, 2), got (1, 2)."),
        (lambda l: l.forward([]), "node_features must not be an empty matrix."),
        (lambda l: l.forward_sc([[0.1], [0.2, 0.3]]), "node_features must be a rectangular matrix."),
        (lambda l: l.forward_sc(X3, 0), "length must be > 0 for SC mode."),
        (lambda l: l.set_weights([0.0] * 3), "weights length mismatch: got 3, expected 4."),
        (lambda l: l.set_weights([]), "weights length mismatch: got 0, expected 4."),
    ],
)
@pytest.mark.parametrize("sparse", [False, True])
def test_method_messages_leave_the_layer_unchanged(call, text, sparse):
    lay = layer_with(ADJ3, W2, sparse=CSR3 if sparse else False)
    before = lay.forward(X3)
    with pytest.raises(ValueError) as info:
        call(lay)
    assert str(info.value) == text
    assert same_bits(lay.forward(X3), before) and lay.get_weights() == W2


@pytest.mark.parametrize(
    "call, exc, name",
    [
        # The counts and seeds are converted before the matrix is read.
        (lambda: G("bad", -1), OverflowError, None),
        (lambda: G("bad", 2, "s"), TypeError, "seed"),
        (lambda: G.from_dense_auto("bad", 2, 1, "x"), TypeError, "density_threshold"),
        (lambda: G(ADJ3, 2).forward_sc("bad", "n"), TypeError, "length"),
        (lambda: G(ADJ3, 2).forward_sc("bad", 8, -1), OverflowError, None),
        (lambda: G.from_sparse([0, -1], [], [], 1, 1), OverflowError, None),
        (lambda: G.from_sparse([0, 0], [], ["a"], 1, 1), TypeError, "values"),
        (lambda: G.from_sparse("01", [], [], 1, 1), TypeError, "row_offsets"),
        (lambda: G(ADJ3, 2).set_weights([[0.0] * 4]), TypeError, "weights"),
    ],
)
def test_argument_errors(call, exc, name):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    if name is not None:
        assert str(info.value).startswith(f"argument '{name}': ")


@pytest.mark.parametrize("method", ["forward", "forward_sc"])
@pytest.mark.parametrize("rows", [3, 2000])
def test_column_index_out_of_range_stops_the_pass(method, rows):
    # With 2000 nodes the rows run on the pool; the bad column sits in the last row.
    offsets = list(range(rows + 1))
    cols = [(i + 1) % rows for i in range(rows)]
    cols[-1] = rows
    lay = G.from_sparse(offsets, cols, [1.0] * rows, rows, 48)
    x = np.full((rows, 48), 0.5)
    e = panic_of(getattr(lay, method), x, **({"length": 8} if method == "forward_sc" else {}))
    assert str(e) == f"index out of bounds: the len is {rows} but the index is {rows}"
    assert lay.is_sparse()  # the layer stays usable


def test_offset_past_the_entries_stops_construction():
    # The last offset matches the entries, one in between does not.
    e = panic_of(G.from_sparse, [0, 5, 2], [0, 1], [1.0, 1.0], 2, 1)
    assert str(e) == "index out of bounds: the len is 2 but the index is 2"


# --- Surface and worker counts --------------------------------------------------------------

@pytest.mark.parametrize(
    "name, sig",
    [
        ("forward", "($self, node_features)"),
        ("forward_sc", "($self, node_features, length=1024, seed=44257)"),
        ("from_sparse", "(row_offsets, col_indices, values, n_nodes, n_features, seed=42)"),
        ("from_dense_auto", "(adj_matrix, n_features, seed=42, density_threshold=0.3)"),
        ("is_sparse", "($self)"),
        ("get_weights", "($self)"),
        ("set_weights", "($self, weights)"),
    ],
)
def test_signatures(name, sig):
    assert getattr(G, name).__text_signature__ == sig


def test_class_surface():
    assert G.__text_signature__ == "(adj_matrix, n_features, seed=42)"
    assert not G.__doc__
    assert G.from_sparse.__doc__ == "Construct from CSR arrays (row_offsets, col_indices, values)."
    assert G.from_dense_auto.__doc__ == "Dense adjacency with automatic CSR conversion if density < threshold."
    public = {n for n in dir(G) if not n.startswith("_")}
    assert public == {"forward", "forward_sc", "from_sparse", "from_dense_auto", "is_sparse", "get_weights",
                      "set_weights"}


_WORKER_SCRIPT = """
import json, os, numpy as np, sc_dravik_engine as sc
rng = np.random.default_rng(11)
n, f = 600, 48  # large enough for every loop of both passes to go to the pool
adj = np.where(rng.random((n, n)) < 0.1, rng.uniform(0, 1.5, (n, n)), 0.0)
x = rng.uniform(-0.5, 1.5, (n, f)).tolist()
before = len(os.listdir("/proc/self/task"))
out = []
for lay in (sc.StochasticGraphLayer(adj.tolist(), f, 3), sc.StochasticGraphLayer.from_dense_auto(adj.tolist(), f, 3)):
    out += [lay.forward(x), lay.forward_sc(x, 32, 7)]
print(json.dumps([len(os.listdir("/proc/self/task")) - before, [v.hex() for m in out for r in m for v in r]]))
"""


def test_results_do_not_depend_on_the_worker_count():
    one = run_child_json(_WORKER_SCRIPT, threads=1)
    eight = run_child_json(_WORKER_SCRIPT, threads=8)
    assert one[1] == eight[1]
    assert eight[0] > one[0]  # the passes really went to a pool of 8

"""DenseLayer: messages, the output rule, seeding, worker-count independence and the NumPy forms."""
import numpy as np
import pytest

import bitref as R
import sc_dravik_engine as sc
from sc_testing import misaligned, panic_type, run_child, run_child_json, same_bits

M64 = R.M64
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."
PACKED_MSG = "packed_inputs must be a 2-D numpy uint64 array or list[list[int]]."


# --- The independent model of the generators and encoders, as integers of bits ------------

Xoshiro, ChaCha8, uniform = R.Xoshiro, R.ChaCha8, R.uniform


def byte_form(p, length, g):
    """Byte-form stream as an int, bit i being stream bit i."""
    return int_of(R.byte_form(p, length, g))


def float_form(p, length, g):
    return int_of(R.float_form(p, length, g))


def int_of(words):
    return sum(int(w) << (64 * k) for k, w in enumerate(words))


def popcount(x):
    return bin(x).count("1")


# --- Helpers --------------------------------------------------------------------------------

def all_forms(layer, x, seed):
    """Outputs of every float-input form, for one input vector."""
    x = np.asarray(x, dtype=np.float64)
    return {
        "forward": layer.forward(list(x), seed),
        "forward_fast": layer.forward_fast(list(x), seed),
        "forward_numpy": list(layer.forward_numpy(x, seed)),
        "forward_batch_numpy": list(layer.forward_batch_numpy(x[None, :], seed)[0]),
    }


def packed_forms(layer, rows):
    rows = np.asarray(rows, dtype=np.uint64)
    return {
        "list": layer.forward_prepacked([[int(w) for w in r] for r in rows]),
        "array": layer.forward_prepacked(rows),
        "numpy": list(layer.forward_prepacked_numpy(rows)),
    }


def random_words(rng, rows, words):
    return rng.integers(0, M64, size=(rows, words), dtype=np.uint64, endpoint=True)


@pytest.fixture
def lay():
    # 3 inputs, 4 neurons, 2 words per stream.
    return sc.DenseLayer(3, 4, 100)


# --- Messages -------------------------------------------------------------------------------

@pytest.mark.parametrize(
    "args, text",
    [
        ((0, 1, 1), "n_inputs must be > 0"),
        ((1, 0, 1), "n_neurons must be > 0"),
        ((1, 1, 0), "bitstream length must be > 0"),
        ((0, 0, 0), "bitstream length must be > 0"),
        ((0, 0, 5), "n_inputs must be > 0"),
        ((3, 0), "n_neurons must be > 0"),
    ],
)
def test_constructor_panics_in_order(args, text):
    with pytest.raises(BaseException) as info:  # noqa: B017
        sc.DenseLayer(*args)
    assert type(info.value) is panic_type()
    assert not isinstance(info.value, Exception)
    assert str(info.value) == text


U = np.uint64


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda l: l.forward([0.1, 0.2]), "Expected input of length 3, got 2."),
        (lambda l: l.forward([]), "Expected input of length 3, got 0."),
        (lambda l: l.forward_fast([0.5] * 4), "Expected input of length 3, got 4."),
        (lambda l: l.forward_numpy(np.zeros(4)), "Expected input of length 3, got 4."),
        (lambda l: l.forward_numpy(np.zeros(0)), "Expected input of length 3, got 0."),
        (lambda l: l.forward_numpy(np.zeros(6)[::2]), "Cannot read input array: " + NOT_CONTIGUOUS),
        (lambda l: l.forward_numpy(misaligned(np.zeros(3))), "Cannot read input array: " + NOT_CONTIGUOUS),
        (lambda l: l.forward_batch_numpy(np.zeros((2, 4))), "Expected 3 input features, got 4."),
        (lambda l: l.forward_batch_numpy(np.zeros((0, 2))), "Expected 3 input features, got 2."),
        # The feature count is checked before contiguity.
        (lambda l: l.forward_batch_numpy(np.zeros((2, 8))[:, ::2]), "Expected 3 input features, got 4."),
        (lambda l: l.forward_batch_numpy(np.zeros((2, 6))[:, ::2]), "Array not contiguous: " + NOT_CONTIGUOUS),
        (lambda l: l.forward_batch_numpy(np.zeros((4, 3))[::2]), "Array not contiguous: " + NOT_CONTIGUOUS),
        (lambda l: l.forward_batch_numpy(misaligned(np.zeros((2, 3)))), "Array not contiguous: " + NOT_CONTIGUOUS),
        # Refused before the output exists: this one would take 16 TiB.
        (lambda l: l.forward_batch_numpy(np.broadcast_to(np.zeros(3), (2**40, 3))),
         "Array not contiguous: " + NOT_CONTIGUOUS),
        (lambda l: l.set_weights([[0.0] * 3] * 3), "Expected 4 rows, got 3."),
        (lambda l: l.set_weights([[0.0] * 3] * 5), "Expected 4 rows, got 5."),
        (lambda l: l.set_weights([[0.0] * 3, [0.0] * 2, [0.0] * 4, [0.0] * 3]), "Row 1 has length 2, expected 3."),
        (lambda l: l.set_weights([[0.0] * 3, [0.0] * 3, [0.0] * 4, [0.0] * 2]), "Row 2 has length 4, expected 3."),
        (lambda l: l.set_weights([[0.0] * 2] * 3), "Expected 4 rows, got 3."),
        (lambda l: l.forward_prepacked([[0, 0]] * 2), "Expected 3 packed inputs, got 2."),
        (lambda l: l.forward_prepacked(np.zeros((4, 2), U)), "Expected 3 packed inputs, got 4."),
        (lambda l: l.forward_prepacked([[0, 0], [0, 0, 0], [0]]), "Packed input 1 has 3 words, expected 2."),
        (lambda l: l.forward_prepacked(np.zeros((3, 3), U)), "Packed input 0 has 3 words, expected 2."),
        (lambda l: l.forward_prepacked(np.zeros((3, 0), U)), "Packed input 0 has 0 words, expected 2."),
        (lambda l: l.forward_prepacked_numpy(np.zeros((2, 2), U)), "Expected 3 packed inputs, got 2."),
        (lambda l: l.forward_prepacked_numpy(np.zeros((2, 3), U)), "Expected 3 packed inputs, got 2."),
        (lambda l: l.forward_prepacked_numpy(np.zeros((3, 3), U)), "Expected 2 words per input, got 3."),
        (lambda l: l.forward_prepacked_numpy(np.zeros((3, 0), U)), "Expected 2 words per input, got 0."),
        (lambda l: l.forward_prepacked_numpy(np.zeros((3, 4), U)[:, ::2]), "Array not contiguous: " + NOT_CONTIGUOUS),
    ],
)
def test_value_errors(lay, call, text):
    before = (lay.get_weights(), lay.forward_fast([0.3, 0.6, 0.9]))
    with pytest.raises(ValueError) as info:
        call(lay)
    assert type(info.value) is ValueError
    assert str(info.value) == text
    assert (lay.get_weights(), lay.forward_fast([0.3, 0.6, 0.9])) == before


@pytest.mark.parametrize(
    "packed",
    [
        [0, 0, 0],
        "abc",
        ["ab", "cd", "ef"],
        None,
        7,
        [[0, -1]] * 3,
        [[0, 1 << 64]] * 3,
        [[0.5, 0]] * 3,
        np.zeros((3, 2)),
        np.zeros(6, U),
        np.zeros((3, 2, 1), U),
        np.full((3, 2), -1, np.int64),
    ],
    ids=lambda p: type(p).__name__ + (str(getattr(p, "shape", "")) or str(p)[:12]),
)
def test_prepacked_conversion_message(lay, packed):
    with pytest.raises(ValueError) as info:
        lay.forward_prepacked(packed)
    assert str(info.value) == PACKED_MSG


@pytest.mark.parametrize(
    "call, exc, name",
    [
        (lambda l: l.forward_numpy(np.zeros(3, np.float32)), TypeError, "input_values"),
        (lambda l: l.forward_numpy(np.zeros((1, 3))), TypeError, "input_values"),
        (lambda l: l.forward_numpy([0.1, 0.2, 0.3]), TypeError, "input_values"),
        (lambda l: l.forward_batch_numpy(np.zeros(3)), TypeError, "inputs"),
        (lambda l: l.forward_batch_numpy(np.zeros((2, 3), np.float32)), TypeError, "inputs"),
        (lambda l: l.forward_prepacked_numpy(np.zeros((3, 2), np.int64)), TypeError, "packed_inputs"),
        (lambda l: l.forward_prepacked_numpy([[0, 0]] * 3), TypeError, "packed_inputs"),
        (lambda l: l.forward("abc"), TypeError, "input_values"),
        (lambda l: l.forward_fast(["a", 1, 2]), TypeError, "input_values"),
        (lambda l: l.set_weights("abc"), TypeError, "weights"),
        (lambda l: l.set_weights(["abc"] * 4), TypeError, "weights"),
        (lambda l: l.forward([0.1] * 3, "1"), TypeError, "seed"),
        (lambda l: sc.DenseLayer("3", 2), TypeError, "n_inputs"),
        (lambda l: sc.DenseLayer(3, 2.0), TypeError, "n_neurons"),
        (lambda l: sc.DenseLayer(3, 2, None), TypeError, "length"),
        (lambda l: l.forward([0.1] * 3, seed=-1), OverflowError, None),
        (lambda l: l.forward_batch_numpy(np.zeros((1, 3)), seed=1 << 64), OverflowError, None),
        (lambda l: sc.DenseLayer(-3, 2), OverflowError, None),
        (lambda l: sc.DenseLayer(3, 2, seed=1 << 64), OverflowError, None),
    ],
)
def test_argument_errors(lay, call, exc, name):
    with pytest.raises(exc) as info:
        call(lay)
    assert type(info.value) is exc
    if name is not None:
        assert str(info.value).startswith(f"argument '{name}': ")
        assert str(info.value) == f"argument '{name}': {info.value.__cause__}"


def test_str_refused_with_the_sequence_text(lay):
    with pytest.raises(TypeError) as info:
        lay.forward("abc")
    assert str(info.value) == "argument 'input_values': Can't extract `str` to `Vec`"


# --- The output rule ------------------------------------------------------------------------

@pytest.mark.parametrize("n_inputs, n_neurons, length", [(5, 3, 100), (4, 9, 1), (2, 8, 64), (7, 2, 4097)])
def test_full_weights_and_inputs_give_n_inputs(n_inputs, n_neurons, length):
    layer = sc.DenseLayer(n_inputs, n_neurons, length, 1)
    layer.set_weights([[1.0] * n_inputs] * n_neurons)
    for x, expect in ((1.0, float(n_inputs)), (0.0, 0.0), (3.0, float(n_inputs)), (-1.0, 0.0)):
        for name, out in all_forms(layer, [x] * n_inputs, 9).items():
            assert out == [expect] * n_neurons, (name, x)
    # Caller bits past the length meet zero weight bits.
    ones = np.full((n_inputs, R.words_for(length)), M64, U)
    for name, out in packed_forms(layer, ones).items():
        assert out == [float(n_inputs)] * n_neurons, name


def test_weights_above_one_act_as_one_and_below_zero_as_zero():
    rng = np.random.default_rng(5)
    base = sc.DenseLayer(6, 9, 200, 3)
    w = rng.uniform(0, 1, (9, 6))
    w[:, ::2] = 1.0
    w[1::2, 1] = 0.0
    over = w.copy()
    over[:, ::2] = [2.5, 1e300, np.inf]
    over[1::2, 1] = [-0.5, -np.inf, -1e-300, -7.0]
    base.set_weights(w.tolist())
    other = sc.DenseLayer(6, 9, 200, 3)
    other.set_weights(over.tolist())
    assert same_bits(other.get_weights(), over.tolist())
    x = rng.uniform(-0.2, 1.2, 6)
    assert all_forms(other, x, 17) == all_forms(base, x, 17)
    rows = random_words(rng, 6, R.words_for(200))
    assert packed_forms(other, rows) == packed_forms(base, rows)


def test_length_one_gives_whole_numbers():
    layer = sc.DenseLayer(10, 9, 1, 4)
    outs = {**all_forms(layer, np.linspace(0, 1, 10), 2), **packed_forms(layer, np.ones((10, 1), U))}
    for name, out in outs.items():
        assert all(v == int(v) and 0 <= v <= 10 for v in out), name
    # Bit 0 of every weight is set in about half the streams.
    assert 0 < sum(outs["numpy"]) < 90


# --- Execution paths and seeds --------------------------------------------------------------

def test_serial_and_pooled_layers_agree_on_common_neurons():
    rng = np.random.default_rng(1)
    small, big = sc.DenseLayer(6, 7, 300, 99), sc.DenseLayer(6, 8, 300, 99)
    assert big.get_weights()[:7] == small.get_weights()
    x = rng.uniform(0, 1, 6)
    fs, fb = all_forms(small, x, 5), all_forms(big, x, 5)
    for name in fs:
        assert fb[name][:7] == fs[name], name
    rows = random_words(rng, 6, R.words_for(300))
    ps, pb = packed_forms(small, rows), packed_forms(big, rows)
    for name in ps:
        assert pb[name][:7] == ps[name], name
    batch = rng.uniform(0, 1, (4, 6))
    assert np.array_equal(big.forward_batch_numpy(batch, 8)[:, :7], small.forward_batch_numpy(batch, 8))


@pytest.mark.parametrize("seed", [0, 44257, M64 - 2, M64 - 2_000_000, 1 << 63])
def test_batch_row_s_is_the_fused_pass_with_seed_s_million_plus_seed(seed):
    rng = np.random.default_rng(seed % 1000)
    layer = sc.DenseLayer(5, 9, 130, 3)
    inputs = rng.uniform(-0.1, 1.1, (6, 5))
    out = layer.forward_batch_numpy(inputs, seed)
    assert out.shape == (6, 9)
    for s in range(6):
        row_seed = (s * 1_000_000 + seed) & M64
        assert list(out[s]) == layer.forward_fast(list(inputs[s]), row_seed)
        assert np.array_equal(out[s], layer.forward_numpy(inputs[s], row_seed))


def test_batch_row_seeds_past_32_bits():
    # From sample 4295 on, s * 1000000 no longer fits in 32 bits.
    layer = sc.DenseLayer(2, 3, 64, 3)
    inputs = np.random.default_rng(5).uniform(0, 1, (4400, 2))
    out = layer.forward_batch_numpy(inputs, 9)
    for s in (4294, 4295, 4399):
        assert np.array_equal(out[s], layer.forward_numpy(inputs[s], s * 1_000_000 + 9))


def test_default_seeds_and_keywords():
    x = [0.2, 0.4, 0.6]
    a = sc.DenseLayer(3, 4)
    b = sc.DenseLayer(n_inputs=3, n_neurons=4, length=1024, seed=24301)
    assert a.get_weights() == b.get_weights()
    assert a.forward(x) == b.forward(input_values=x, seed=44257)
    assert a.forward_fast(x) == b.forward_fast(x, 44257)
    assert list(a.forward_numpy(np.array(x))) == a.forward_fast(x, 44257)
    assert list(a.forward_batch_numpy(np.array([x]))[0]) == a.forward_fast(x, 44257)


def test_forward_and_fast_forward_are_reproducible_and_differ():
    layer = sc.DenseLayer(16, 9, 512, 7)
    x = list(np.linspace(0.05, 0.95, 16))
    slow, fast = layer.forward(x, 3), layer.forward_fast(x, 3)
    assert layer.forward(x, 3) == slow and sc.DenseLayer(16, 9, 512, 7).forward(x, 3) == slow
    assert layer.forward_fast(x, 3) == fast
    assert slow != fast
    assert layer.forward(x, 4) != slow and layer.forward_fast(x, 4) != fast


def test_read_only_input_arrays_are_accepted():
    layer = sc.DenseLayer(3, 9, 100, 2)
    x = np.array([0.1, 0.5, 0.9])
    batch = np.array([[0.1, 0.5, 0.9]] * 2)
    rows = np.arange(6, dtype=U).reshape(3, 2)
    for a in (x, batch, rows):
        a.flags.writeable = False
    assert list(layer.forward_numpy(x, 1)) == layer.forward_fast(list(x), 1)
    assert list(layer.forward_batch_numpy(batch, 1)[0]) == layer.forward_fast(list(x), 1)
    assert list(layer.forward_prepacked_numpy(rows)) == layer.forward_prepacked(rows.tolist())


# Everything seeded, with more than 7 neurons so the pooled paths run; prints one digest.
_THREAD_SCRIPT = r"""
import hashlib, os, numpy as np, sc_dravik_engine as sc
threads_before = len(os.listdir("/proc/self/task"))
h = hashlib.sha256()
def put(v):
    h.update(np.asarray(v, dtype=np.float64).tobytes())
rng = np.random.default_rng(11)
for n_in, n_out, length, seed in [(3, 1, 70, 5), (16, 9, 1000, 6), (33, 20, 4097, 7), (64, 64, 1024, 8)]:
    layer = sc.DenseLayer(n_in, n_out, length, seed)
    put(layer.get_weights())
    x = rng.uniform(-0.1, 1.1, n_in)
    put(layer.forward(list(x), 3)); put(layer.forward_fast(list(x), 3)); put(layer.forward_numpy(x, 3))
    put(layer.forward_batch_numpy(rng.uniform(0, 1, (37, n_in)), 4))
    rows = rng.integers(0, 2**64 - 1, size=(n_in, (length + 63) // 64), dtype=np.uint64)
    put(layer.forward_prepacked(rows)); put(layer.forward_prepacked_numpy(rows))
    w = rng.uniform(-0.5, 1.5, (n_out, n_in))
    layer.set_weights(w.tolist())
    put(layer.forward_fast(list(x), 3)); put(layer.forward_prepacked_numpy(rows))
print(h.hexdigest(), len(os.listdir("/proc/self/task")) - threads_before)
"""


def test_layers_of_up_to_seven_neurons_stay_on_the_calling_thread():
    # Work enough for the pool in every layer; only the eighth neuron sends it there.
    before, seven, eight = run_child_json("""
        import json, os, numpy as np, sc_dravik_engine as sc
        def tasks():
            return len(os.listdir("/proc/self/task"))
        x = np.full(64, 0.5)
        before = tasks()
        sc.DenseLayer(64, 7, 1 << 16).forward_numpy(x)
        seven = tasks()
        sc.DenseLayer(64, 8, 1 << 16).forward_numpy(x)
        print(json.dumps([before, seven, tasks()]))
    """, threads=4)
    assert before == seven < eight


def test_results_do_not_depend_on_the_worker_count():
    digests, workers = set(), []
    for threads in (1, 3, 8):
        digest, started = run_child(_THREAD_SCRIPT, threads=threads).split()
        digests.add(digest)
        workers.append(int(started))
    assert len(digests) == 1
    # The pool really had each size.
    assert workers[0] < workers[1] < workers[2]


# --- Pre-packed forms -----------------------------------------------------------------------

def test_all_ones_inputs_count_the_weight_streams():
    rng = np.random.default_rng(2)
    layer = sc.DenseLayer(5, 9, 150, 12)
    ones = np.full((5, R.words_for(150)), M64, U)
    got = packed_forms(layer, ones)
    assert got["list"] == got["array"] == got["numpy"]
    # A fused input of 1.0 draws nothing and counts the weight bits.
    assert got["list"] == layer.forward_fast([1.0] * 5, int(rng.integers(1 << 62)))
    # One input at a time: input i's streams alone.
    for i in range(5):
        one = np.zeros_like(ones)
        one[i] = M64
        x = [0.0] * 5
        x[i] = 1.0
        assert packed_forms(layer, one)["numpy"] == layer.forward_fast(x, 99)


def test_prepacked_forms_agree_for_any_layout():
    rng = np.random.default_rng(3)
    layer = sc.DenseLayer(7, 12, 200, 1)
    rows = random_words(rng, 7, R.words_for(200))
    expect = layer.forward_prepacked(rows.tolist())
    wide = np.zeros((7, 8), U)
    wide[:, ::2] = rows
    for form in (rows, np.asfortranarray(rows), wide[:, ::2], [tuple(r) for r in rows.tolist()]):
        assert layer.forward_prepacked(form) == expect
    assert list(layer.forward_prepacked_numpy(rows)) == expect
    assert list(layer.forward_prepacked_numpy(np.asfortranarray(rows))) == expect
    # Other integer dtypes pass by the sequence road.
    small = rng.integers(0, 1 << 31, size=(7, R.words_for(200)), dtype=np.int64)
    assert layer.forward_prepacked(small) == layer.forward_prepacked(small.astype(U))
    assert layer.forward_prepacked(small.astype(np.int32)) == layer.forward_prepacked(small.astype(U))


# --- Exact values from the independent model ------------------------------------------------

def reference_layer(n_inputs, n_neurons, length, seed, weights=None):
    g = ChaCha8(seed)
    drawn = [[uniform(g) for _ in range(n_inputs)] for _ in range(n_neurons)]
    weights = drawn if weights is None else weights
    g = ChaCha8((seed + 1) & M64)
    streams = [[byte_form(w, length, g) for w in row] for row in weights]
    return drawn, streams


def reference_fused(streams, x, length, seed):
    masks = [byte_form(v, length, Xoshiro((seed + i) & M64)) for i, v in enumerate(x)]
    return [sum(popcount(s & m) for s, m in zip(row, masks)) / length for row in streams]


ODD_WEIGHTS = [1.0, 2.0, -0.5, float("nan"), 0.999, 255 / 256 + 1e-9, 0.5, 0.0, 1 - 2**-53]


@pytest.mark.parametrize(
    "n_inputs, n_neurons, length, seed, odd",
    [
        (1, 1, 1, 24301, False),
        (1, 1, 70, 0, False),
        (1, 1, 100, M64, False),
        (1, 1, 1024, 44257, False),
        (3, 9, 70, 5, True),
        (2, 8, 129, 1 << 63, True),
    ],
)
def test_exact_values_against_an_independent_model(n_inputs, n_neurons, length, seed, odd):
    layer = sc.DenseLayer(n_inputs, n_neurons, length, seed)
    drawn, streams = reference_layer(n_inputs, n_neurons, length, seed)
    assert layer.get_weights() == drawn
    if odd:
        # Weights that draw nothing or draw without setting bits shift every later stream.
        w = [[ODD_WEIGHTS[(j * n_inputs + i) % len(ODD_WEIGHTS)] for i in range(n_inputs)]
             for j in range(n_neurons)]
        layer.set_weights(w)
        assert same_bits(layer.get_weights(), w)
        _, streams = reference_layer(n_inputs, n_neurons, length, seed, w)
    rng = np.random.default_rng(length)
    x = [float(v) for v in rng.uniform(-0.1, 1.1, n_inputs)]
    for s in (0, 7, M64):
        assert layer.forward_fast(x, s) == reference_fused(streams, x, length, s)
    # The float form: one generator for all inputs, one draw per bit.
    g = Xoshiro(31)
    masks = [float_form(v, length, g) for v in x]
    assert layer.forward(x, 31) == [sum(popcount(s & m) for s, m in zip(row, masks)) / length
                                    for row in streams]
    rows = random_words(rng, n_inputs, R.words_for(length))
    ints = [int_of(r) for r in rows]
    expect = [sum(popcount(s & r) for s, r in zip(row, ints)) / length for row in streams]
    assert packed_forms(layer, rows) == {"list": expect, "array": expect, "numpy": expect}
    batch = np.array([x, x[::-1]])
    out = layer.forward_batch_numpy(batch, 12)
    assert list(out[1]) == reference_fused(streams, x[::-1], length, 1_000_012)


# --- Weights --------------------------------------------------------------------------------

def test_set_weights_round_trips_and_restores_outputs():
    layer = sc.DenseLayer(3, 9, 256, 21)
    x = [0.3, 0.7, 1.0]
    first_w, first_out = layer.get_weights(), (layer.forward(x, 1), layer.forward_fast(x, 1))
    odd = [[1e300, -3.5, 2.0], [0.0, -0.0, 5e-324], [float("inf"), float("-inf"), float("nan")]] * 3
    assert layer.set_weights(odd) is None
    got = layer.get_weights()
    assert same_bits(got, odd) and all(type(v) is float for r in got for v in r)
    assert (layer.forward(x, 1), layer.forward_fast(x, 1)) != first_out
    layer.set_weights(first_w)
    assert layer.get_weights() == first_w
    assert (layer.forward(x, 1), layer.forward_fast(x, 1)) == first_out
    # Sequences other than lists convert too.
    layer.set_weights(np.array(first_w))
    assert layer.get_weights() == first_w
    layer.set_weights(tuple(tuple(r) for r in first_w))
    assert (layer.forward(x, 1), layer.forward_fast(x, 1)) == first_out


def test_get_weights_is_a_copy(lay):
    w = lay.get_weights()
    w[0][0] = 42.0
    assert lay.get_weights()[0][0] != 42.0


def test_repacking_changes_nothing():
    rng = np.random.default_rng(4)
    layer = sc.DenseLayer(6, 10, 333, 8)
    layer.set_weights(rng.uniform(-0.5, 1.5, (10, 6)).tolist())
    x = rng.uniform(0, 1, 6)
    rows = random_words(rng, 6, R.words_for(333))
    before = (layer.get_weights(), all_forms(layer, x, 2), packed_forms(layer, rows))
    assert layer.refresh_packed_weights() is None
    assert layer.refresh_packed_weights() is None
    assert (layer.get_weights(), all_forms(layer, x, 2), packed_forms(layer, rows)) == before


# --- Python surface -------------------------------------------------------------------------

DOCS = {
    "forward_numpy": "Dense forward accepting numpy input and returning numpy output.\n\n"
                     "This performs parallel encoding + parallel compute in one FFI call.",
    "forward_batch_numpy": "Dense forward for a batch of input samples in one FFI call.\n\n"
                           "`inputs` must be a contiguous float64 array of shape (n_samples, n_inputs).\n"
                           "Returns float64 array of shape (n_samples, n_neurons).",
    "forward_prepacked": "Forward pass with pre-packed input bitstreams.\n\n"
                         "Accepts either:\n- 2-D numpy array of dtype uint64 with shape (n_inputs, words)\n"
                         "- list[list[int]]",
    "forward_prepacked_numpy": "Dense forward with pre-packed numpy 2-D input (true zero-copy).\n\n"
                               "Accepts a contiguous numpy uint64 array of shape (n_inputs, words).\n"
                               "This avoids all row-copying that the `forward_prepacked` method does.",
}


@pytest.mark.parametrize(
    "name, sig",
    [
        ("forward", "($self, input_values, seed=44257)"),
        ("forward_fast", "($self, input_values, seed=44257)"),
        ("forward_numpy", "($self, input_values, seed=44257)"),
        ("forward_batch_numpy", "($self, inputs, seed=44257)"),
        ("forward_prepacked", "($self, packed_inputs)"),
        ("forward_prepacked_numpy", "($self, packed_inputs)"),
        ("get_weights", "($self)"),
        ("set_weights", "($self, weights)"),
        ("refresh_packed_weights", "($self)"),
    ],
)
def test_method_signatures_and_docs(name, sig):
    meth = getattr(sc.DenseLayer, name)
    assert meth.__text_signature__ == sig
    assert meth.__doc__ == DOCS.get(name)


def test_class_surface():
    assert sc.DenseLayer.__text_signature__ == "(n_inputs, n_neurons, length=1024, seed=24301)"
    assert not sc.DenseLayer.__doc__
    assert sc.DenseLayer.__module__ == "sc_dravik_engine.sc_dravik_engine"
    public = {n for n in dir(sc.DenseLayer) if not n.startswith("_")}
    assert public == {"forward", "forward_fast", "forward_numpy", "forward_batch_numpy", "forward_prepacked",
                      "forward_prepacked_numpy", "get_weights", "set_weights", "refresh_packed_weights"}
    with pytest.raises(AttributeError):
        sc.DenseLayer(2, 2).n_inputs = 3


@pytest.mark.parametrize("method, arg", [("forward_numpy", np.array([0.2, 0.5, 0.8])),
                                         ("forward_prepacked_numpy", np.ones((3, 2), U))])
def test_numpy_outputs_adopt_the_engine_buffer(method, arg):
    layer = sc.DenseLayer(3, 9, 100, 6)
    out = getattr(layer, method)(arg)
    assert out.dtype == np.float64 and out.shape == (9,)
    assert type(out.base).__name__ == "PySliceContainer"
    assert out.flags.writeable and out.flags.c_contiguous and not out.flags.owndata
    out[:] = -1.0  # the buffer is the caller's now
    assert (getattr(layer, method)(arg) >= 0).all()


@pytest.mark.parametrize("n_samples", [0, 1, 5])
@pytest.mark.parametrize("order", ["C", "F"])
def test_batch_output_is_a_plain_array(n_samples, order):
    layer = sc.DenseLayer(4, 9, 100, 6)
    inputs = np.asarray(np.random.default_rng(n_samples).uniform(0, 1, (n_samples, 4)), order=order)
    out = layer.forward_batch_numpy(inputs, 3)
    assert out.dtype == np.float64 and out.shape == (n_samples, 9)
    assert out.base is None and out.flags.owndata and out.flags.c_contiguous and out.flags.writeable
    assert np.array_equal(out, layer.forward_batch_numpy(np.ascontiguousarray(inputs), 3))


def test_column_major_batch_equals_row_major():
    rng = np.random.default_rng(9)
    layer = sc.DenseLayer(13, 11, 300, 4)
    rows = rng.uniform(-0.2, 1.2, (17, 13))
    expect = layer.forward_batch_numpy(rows, 77)
    assert np.array_equal(layer.forward_batch_numpy(np.asfortranarray(rows), 77), expect)
    # A transposed view is column-major too.
    assert np.array_equal(layer.forward_batch_numpy(np.ascontiguousarray(rows.T).T, 77), expect)
    assert np.array_equal(layer.forward_batch_numpy(rows[:, :], 77), expect)


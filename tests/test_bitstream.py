"""Module-level bitstream functions: packing, counting, encoding, the divider, adaptive length."""
import math

import numpy as np
import pytest

import bitref as R
import sc_dravik_engine as sc
from sc_testing import panic_of

PACKED_SHAPE = "Expected packed uint64 words as 1-D or 2-D sequence."
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."


def assert_owned_output(arr, dtype, shape):
    assert arr.dtype == dtype and arr.shape == shape
    assert type(arr.base).__name__ == "PySliceContainer"
    assert arr.flags.writeable and arr.flags.c_contiguous and arr.flags.aligned
    if arr.size:
        item = arr.dtype.itemsize
        assert arr.strides == ((item,) if arr.ndim == 1 else (shape[1] * item, item))


# ---------------------------------------------------------------- signatures and docs

DOCS = {
    "pack_bitstream": ("(bits)", None),
    "unpack_bitstream": ("(packed, original_length, original_shape=None)", None),
    "popcount": ("(packed)", None),
    "pack_bitstream_numpy": (
        "(bits)",
        "Pack a 1-D numpy uint8 array into packed u64 words, returning a numpy array.\n"
        "Zero-copy input, single-allocation output.",
    ),
    "popcount_numpy": ("(packed)", "Popcount on a numpy uint64 array \u2014 zero-copy input."),
    "unpack_bitstream_numpy": (
        "(packed, original_length)",
        "Unpack a numpy uint64 array back to a numpy uint8 array.",
    ),
    "batch_encode": (
        "(probs, length=1024, seed=44257)",
        "Bernoulli-encode a numpy float64 array into packed bitstream words.\n\n"
        "Returns nested packed words with shape (n_probs, ceil(length / 64)).",
    ),
    "batch_encode_numpy": (
        "(probs, length=1024, seed=44257)",
        "Bernoulli-encode a numpy float64 array into a 2-D numpy uint64 array.\n\n"
        "Returns shape `(n_probs, ceil(length / 64))`.",
    ),
    "py_cordiv": ("(numerator, denominator)", None),
    "py_adaptive_length": ("(epsilon, confidence)", None),
}


@pytest.mark.parametrize("name", sorted(DOCS))
def test_signature_and_doc(name):
    fn = getattr(sc, name)
    sig, doc = DOCS[name]
    assert fn.__name__ == name
    assert fn.__text_signature__ == sig
    assert fn.__doc__ == doc


# ---------------------------------------------------------------- list forms

@pytest.mark.parametrize(
    "bits, expected",
    [
        ([1, 0, 1], [5]),
        ([1, 0, 2], [5]),                       # any nonzero byte is a one
        ((0, 0, 255), [4]),
        (b"\x01\x00\x02", [5]),
        (bytearray(b"\x00\x07"), [2]),
        (np.array([1, 0, 1], np.uint8), [5]),   # an array is a sequence too
        ([1] * 64, [2**64 - 1]),
        ([0] * 64 + [3], [0, 1]),               # 65 bytes: second word holds byte 64 only
        ([], []),                               # empty reads as zero rows
        ([[1, 1], [0, 0, 0, 1]], [[3], [8]]),   # rows of any length
        ([[], [1]], [[], [1]]),
        ([b"\x01\x01", (0, 1)], [[3], [2]]),
        (np.array([[1, 0], [0, 1]], np.uint8), [[1], [2]]),
    ],
)
def test_pack_bitstream(bits, expected):
    assert sc.pack_bitstream(bits) == expected


@pytest.mark.parametrize(
    "bits",
    ["101", [1, 256], [1, -1], [0.5], 5, None, [[1], "ab"], [[1], 2], [[1], [300]]],
)
def test_pack_bitstream_refuses(bits):
    with pytest.raises(ValueError, match=r"^Expected a 1-D or 2-D array of uint8 bits\.$"):
        sc.pack_bitstream(bits)


@pytest.mark.parametrize(
    "packed, length, shape, expected",
    [
        ([5], 3, None, b"\x01\x00\x01"),
        ((5,), 3, (9, 9), b"\x01\x00\x01"),           # shape ignored for a flat sequence
        ([5, 1], 65, None, b"\x01\x00\x01" + b"\x00" * 61 + b"\x01"),
        ([2**64 - 1, 1], 64, None, b"\x01" * 64),     # extra words are not read
        ([], 5, None, []),                            # zero rows
        ([], 0, None, []),
        ([[5], [1]], 6, None, [b"\x01\x00\x01", b"\x01\x00\x00"]),  # 6 // 2 bits per row
        ([[5], [1]], 7, None, [b"\x01\x00\x01", b"\x01\x00\x00"]),
        ([[5], [1]], 0, (2, 2), [b"\x01\x00", b"\x01\x00"]),        # shape gives the row length
    ],
)
def test_unpack_bitstream(packed, length, shape, expected):
    out = sc.unpack_bitstream(packed, length, shape)
    assert out == expected
    for b in out if isinstance(out, list) else [out]:
        assert type(b) is bytes


def test_unpack_bitstream_rows_split_the_length():
    rows = [[2**64 - 1, 1], [0, 2**64 - 1]]
    out = sc.unpack_bitstream(rows, 130)
    assert out == [R.unpack(r, 65) for r in rows]
    assert [len(b) for b in out] == [65, 65]


@pytest.mark.parametrize(
    "args, exc, text",
    [
        (([[5], [1]], 0, (3, 64)), ValueError, "original_shape batch 3 does not match packed batch 2."),
        (([], 0, (1, 4)), ValueError, "original_shape batch 1 does not match packed batch 0."),
        (([5], 3, (1, 2, 3)), ValueError, "expected tuple of length 2, but got tuple of length 3"),
        (([5], 3, (1,)), ValueError, "expected tuple of length 2, but got tuple of length 1"),
        (("5", 3), ValueError, PACKED_SHAPE),
        (([-1], 3), ValueError, PACKED_SHAPE),
        (([2**64], 3), ValueError, PACKED_SHAPE),
        (([[1], "x"], 3), ValueError, PACKED_SHAPE),
        (([5], 3, [1, 3]), TypeError, "argument 'original_shape': "),
        (([5], 3, (1, -3)), OverflowError, None),
        (([5], -1), OverflowError, None),
        (([5], "3"), TypeError, "argument 'original_length': "),
    ],
)
def test_unpack_bitstream_errors(args, exc, text):
    with pytest.raises(exc) as info:
        sc.unpack_bitstream(*args)
    if text is not None:
        if text.endswith(": "):
            assert str(info.value).startswith(text)
        else:
            assert str(info.value) == text
    if exc is TypeError:
        assert isinstance(info.value.__cause__, TypeError)


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: sc.unpack_bitstream([5], 0), "bitstream length must be > 0"),
        (lambda: sc.unpack_bitstream([[1], [2]], 1), "bitstream length must be > 0"),  # 1 // 2 = 0
        (lambda: sc.unpack_bitstream([[1]], 0, (1, 0)), "bitstream length must be > 0"),
        (lambda: sc.unpack_bitstream([5], 65), "index out of bounds: the len is 1 but the index is 1"),
        (lambda: sc.unpack_bitstream([[]], 1),
         "index out of bounds: the len is 0 but the index is 0"),
        (lambda: sc.unpack_bitstream([[1], [1, 2]], 0, (2, 100)),
         "index out of bounds: the len is 1 but the index is 1"),
        # A length far beyond the words stops cleanly instead of allocating or reading wild.
        (lambda: sc.unpack_bitstream([0], 2**62), "index out of bounds: the len is 1 but the index is 1"),
        (lambda: sc.unpack_bitstream([0], 2**64 - 1), "index out of bounds: the len is 1 but the index is 1"),
    ],
)
def test_unpack_bitstream_panics(call, text):
    assert str(panic_of(call)) == text


@pytest.mark.parametrize(
    "packed, expected",
    [
        ([], 0),
        ([[]], 0),
        ([5], 2),
        ([2**64 - 1, 2**63], 65),
        ([[3], [8]], 3),
        ([[2**64 - 1], [], [1, 1, 1]], 67),
        (np.array([7, 1], np.uint64), 4),
        (tuple(range(100)), sum(bin(i).count("1") for i in range(100))),
    ],
)
def test_popcount(packed, expected):
    assert sc.popcount(packed) == expected


@pytest.mark.parametrize("packed", ["12", [-1], [2**64], [1.5], 3, [[1], "a"]])
def test_popcount_refuses(packed):
    with pytest.raises(ValueError) as info:
        sc.popcount(packed)
    assert str(info.value) == PACKED_SHAPE


# ---------------------------------------------------------------- NumPy forms

@pytest.mark.parametrize("n", [0, 1, 7, 8, 63, 64, 65, 127, 128, 200, 1000])
def test_pack_numpy_matches_reference_and_roundtrips(n):
    rng = np.random.default_rng(n)
    # Mostly zeros and ones, with some other nonzero values that must count as one.
    bits = rng.choice(np.array([0, 0, 1, 1, 2, 128, 255], np.uint8), n)
    out = sc.pack_bitstream_numpy(bits)
    assert_owned_output(out, np.uint64, (R.words_for(n),))
    assert out.tolist() == R.pack(bits.tolist()) == sc.pack_bitstream(bits.tolist())
    assert sc.popcount_numpy(out) == int(np.count_nonzero(bits))
    if n:
        back = sc.unpack_bitstream_numpy(out, n)
        assert_owned_output(back, np.uint8, (n,))
        assert back.tolist() == (bits != 0).astype(np.uint8).tolist()
        assert sc.unpack_bitstream(out.tolist(), n) == bytes(back)


def test_numpy_outputs_are_independent_of_inputs():
    bits = np.ones(70, np.uint8)
    words = sc.pack_bitstream_numpy(bits)
    bits[:] = 0
    assert words.tolist() == [2**64 - 1, 63]
    back = sc.unpack_bitstream_numpy(words, 70)
    words[:] = 0  # the unpack copied the words
    assert back.sum() == 70
    back[0] = 9  # writeable, and owned by the result alone
    assert back[0] == 9


def test_numpy_inputs_read_in_place_from_views():
    # Contiguous views at an offset are read in place (no copy is needed or made).
    base = np.arange(10, dtype=np.uint64)
    assert sc.popcount_numpy(base[3:7]) == R.popcount([3, 4, 5, 6])
    bits = np.array([0, 0, 1, 0, 1], np.uint8)
    assert sc.pack_bitstream_numpy(bits[2:]).tolist() == [5]


# Long slices run the kernels' prefetching main loop; the sizes around 1056 words end it at
# every offset.
@pytest.mark.parametrize("n", [0, 1, 3, 4, 7, 8, 9, 15, 16, 17, 100, 1025, 1055, 1056, 1057, 1088, 1100, 5003, 70001])
def test_popcount_numpy(n):
    words = np.random.default_rng(n).integers(0, 2**64, n, dtype=np.uint64, endpoint=False)
    assert sc.popcount_numpy(words) == R.popcount(words.tolist())
    assert sc.popcount_numpy(np.full(n, 2**64 - 1, np.uint64)) == 64 * n


def test_unpack_numpy_known_case():
    out = sc.unpack_bitstream_numpy(np.array([5], np.uint64), 3)
    assert_owned_output(out, np.uint8, (3,))
    assert out.tolist() == [1, 0, 1]


@pytest.mark.parametrize(
    "call, exc, text",
    [
        (lambda: sc.pack_bitstream_numpy(np.zeros(3)), TypeError, "argument 'bits': "),
        (lambda: sc.pack_bitstream_numpy([1, 0]), TypeError, "argument 'bits': "),
        (lambda: sc.pack_bitstream_numpy(np.zeros((2, 2), np.uint8)), TypeError, "argument 'bits': "),
        (lambda: sc.pack_bitstream_numpy(np.zeros(6, np.uint8)[::2]), ValueError,
         "Cannot read numpy array: " + NOT_CONTIGUOUS),
        (lambda: sc.popcount_numpy(np.zeros(3, np.int64)), TypeError, "argument 'packed': "),
        (lambda: sc.popcount_numpy(np.zeros(6, np.uint64)[::-2]), ValueError,
         "Cannot read numpy array: " + NOT_CONTIGUOUS),
        (lambda: sc.unpack_bitstream_numpy(np.zeros(3, np.uint32), 3), TypeError, "argument 'packed': "),
        (lambda: sc.unpack_bitstream_numpy(np.zeros(6, np.uint64)[::2], 3), ValueError,
         "Cannot read numpy array: " + NOT_CONTIGUOUS),
        # The array's type is checked first, then the length, then contiguity.
        (lambda: sc.unpack_bitstream_numpy([5], -1), TypeError, "argument 'packed': "),
        (lambda: sc.unpack_bitstream_numpy(np.zeros(6, np.uint64)[::2], -1), OverflowError, None),
    ],
)
def test_numpy_form_errors(call, exc, text):
    with pytest.raises(exc) as info:
        call()
    msg = str(info.value)
    if exc is TypeError:
        assert msg.startswith(text) and "object is not an instance of" in msg
        assert isinstance(info.value.__cause__, TypeError)
    elif text is not None:
        assert msg == text


@pytest.mark.parametrize(
    "words, length, text",
    [
        ([5], 0, "bitstream length must be > 0"),
        ([], 0, "bitstream length must be > 0"),
        ([5], 65, "index out of bounds: the len is 1 but the index is 1"),
        ([], 1, "index out of bounds: the len is 0 but the index is 0"),
        # Far beyond the words: a clean stop, not an allocation of 2**62 bytes or a wild read.
        ([0], 2**62, "index out of bounds: the len is 1 but the index is 1"),
    ],
)
def test_unpack_numpy_panics(words, length, text):
    arr = np.array(words, np.uint64)
    assert str(panic_of(lambda: sc.unpack_bitstream_numpy(arr, length))) == text


# ---------------------------------------------------------------- generators: reference self-checks

def test_reference_generators_anchor():
    # SplitMix64's first output for seed 0, and the ChaCha core on the well-known
    # 20-round block-function vector (key 00..1f, counter 1, nonce 0:0x09000000:0x4a000000).
    assert R.splitmix64_state(0)[0] == 0xE220A8397B1DCDAF
    key = [int.from_bytes(bytes(range(4 * i, 4 * i + 4)), "little") for i in range(8)]
    out = R.chacha_block(R.SIGMA + key + [1, 0x09000000, 0x4A000000, 0], 10)
    assert out[:4] == [0xE4E7F110, 0x15593BD1, 0x1FDD0F50, 0xC47120A3]
    assert out[-1] == 0x4E3C50A2


# ---------------------------------------------------------------- batch_encode (ChaCha8, float form)

@pytest.mark.parametrize(
    "probs, length, seed",
    [
        ([0.5], 64, 44257),
        ([0.5, 0.25, 0.9], 100, 44257),                  # later rows continue the same generator
        ([0.3, 0.7], 65, 0),
        ([-0.5, 2.0, float("nan"), 1.0, 0.0, 0.5], 33, 2**64 - 1),  # clamps; NaN draws but sets nothing
        ([0.1] * 3, 700, 12345),                         # 2100 draws: many buffer refills
        ([0.6], 1, 99),
    ],
)
def test_batch_encode_matches_reference(probs, length, seed):
    g = R.ChaCha8(seed)
    expected = [R.float_form(p, length, g) for p in probs]
    assert sc.batch_encode(np.array(probs), length, seed) == expected


def test_batch_encode_defaults_and_shape():
    p = np.array([0.5, 0.125])
    out = sc.batch_encode(p)
    g = R.ChaCha8(44257)
    assert out == [R.float_form(x, 1024, g) for x in p]
    assert [len(r) for r in out] == [16, 16]
    assert sc.batch_encode(p, length=10, seed=3) == sc.batch_encode(p, 10, 3)
    assert sc.batch_encode(np.zeros(2), 0) == [[], []]
    assert sc.batch_encode(np.zeros(0), 100) == []
    # Clamped extremes: all ones and all zeros, the tail bits above the length clear.
    assert sc.batch_encode(np.array([1.0, 5.0, 0.0, -1.0]), 70) == [[2**64 - 1, 63]] * 2 + [[0, 0]] * 2


# ---------------------------------------------------------------- batch_encode_numpy (xoshiro, byte form)

@pytest.mark.parametrize(
    "probs, length, seed",
    [
        ([0.5, 0.1, 0.99, 0.999, 255 / 256, 1.0, 0.0, float("nan")], 100, 7),
        ([0.5, 0.5], 64, 2**64 - 1),        # row 1 is seeded with 0 (wrapping)
        ([0.3, 0.2, 0.8], 70, 44257),       # 64 + 6 bytes per row
        ([0.75], 1, 1),
        ([0.5] * 4, 200, 5),
        ([-1.0, 2.0, 0.00390625], 130, 11),  # 1/256: threshold 1
    ],
)
def test_batch_encode_numpy_matches_reference(probs, length, seed):
    out = sc.batch_encode_numpy(np.array(probs), length, seed)
    words = R.words_for(length)
    assert_owned_output(out, np.uint64, (len(probs), words))
    expected = [R.byte_form(p, length, R.Xoshiro(seed + i)) for i, p in enumerate(probs)]
    assert out.tolist() == expected


def test_batch_encode_numpy_known_rows_and_defaults():
    out = sc.batch_encode_numpy(np.array([0.0, 1.0]), 100)
    assert out.tolist() == [[0, 0], [0xFFFFFFFFFFFFFFFF, 0x0000000FFFFFFFFF]]
    d = sc.batch_encode_numpy(np.array([0.5]))
    assert d.shape == (1, 16)
    assert d.tolist() == [R.byte_form(0.5, 1024, R.Xoshiro(44257))]
    assert sc.batch_encode_numpy(np.array([0.3]), length=5, seed=2).tolist() == [
        R.byte_form(0.3, 5, R.Xoshiro(2))
    ]
    # The byte form differs from the float form on the same arguments.
    p = np.array([0.5])
    assert sc.batch_encode_numpy(p, 256, 1).tolist() != sc.batch_encode(p, 256, 1)


def test_batch_encode_numpy_rows_are_independent():
    # Each row depends only on its probability and seed + row index.
    probs = np.linspace(0.0, 1.0, 50)
    whole = sc.batch_encode_numpy(probs, 300, 1000)
    for i in (0, 17, 49):
        single = sc.batch_encode_numpy(probs[i : i + 1], 300, 1000 + i)
        assert whole[i].tolist() == single[0].tolist()


@pytest.mark.parametrize(
    "n, length, shape",
    [(3, 0, (3, 0)), (0, 100, (0, 2)), (0, 0, (0, 0))],
)
def test_batch_encode_numpy_empty_shapes(n, length, shape):
    out = sc.batch_encode_numpy(np.full(n, 0.5), length)
    assert out.shape == shape and out.dtype == np.uint64
    assert type(out.base).__name__ == "PySliceContainer"


@pytest.mark.parametrize("n, length", [(4, 2**64 - 1), (16, 2**63), (2**20, 2**50)])
def test_batch_encode_numpy_oversized_shape(n, length):
    # Sizes whose byte count does not fit are refused before anything is allocated or drawn.
    with pytest.raises(ValueError) as info:
        sc.batch_encode_numpy(np.zeros(n), length)
    assert str(info.value).startswith("Shape construction failed: ")


@pytest.mark.parametrize("fn", [sc.batch_encode, sc.batch_encode_numpy])
@pytest.mark.parametrize(
    "args, exc, text",
    [
        ((np.zeros(6)[::2],), ValueError, "Cannot read probs: " + NOT_CONTIGUOUS),
        ((np.zeros(3, np.float32),), TypeError, "argument 'probs': "),
        ((np.zeros((1, 3)),), TypeError, "argument 'probs': "),
        (([0.5],), TypeError, "argument 'probs': "),
        ((np.zeros(1), -1), OverflowError, None),
        ((np.zeros(1), 8, -1), OverflowError, None),
        ((np.zeros(1), 8, 2**64), OverflowError, None),
        ((np.zeros(1), 8.0), TypeError, "argument 'length': "),
    ],
)
def test_batch_encode_errors(fn, args, exc, text):
    with pytest.raises(exc) as info:
        fn(*args)
    if exc is TypeError:
        assert str(info.value).startswith(text)
    elif text is not None:
        assert str(info.value) == text


# ---------------------------------------------------------------- the divider

@pytest.mark.parametrize(
    "num, den, expected",
    [
        ([0, 1, 0, 0], [0, 0, 1, 0], [0, 1, 0, 0]),
        ([0, 0, 0], [1, 0, 1, 0, 0], [0, 0, 0]),       # shorter length wins
        ([1, 0, 0, 0, 0], [0, 0, 0], [1, 1, 1]),
        ([2, 1, 2], [0, 0, 2], [0, 1, 1]),             # only the value 1 counts
        ([1, 1], [1, 1], [1, 1]),                      # numerator first
        ([0, 255], [1, 0], [0, 0]),
        ([], [1], []),
    ],
)
def test_cordiv(num, den, expected):
    out = sc.py_cordiv(np.array(num, np.uint8), np.array(den, np.uint8))
    assert_owned_output(out, np.uint8, (len(expected),))
    assert out.tolist() == expected


def test_cordiv_matches_reference_on_random_streams():
    rng = np.random.default_rng(3)
    num = rng.integers(0, 3, 500).astype(np.uint8)
    den = rng.integers(0, 3, 480).astype(np.uint8)
    prev, expected = 0, []
    for a, b in zip(num.tolist(), den.tolist()):
        prev = 1 if a == 1 else 0 if b == 1 else prev
        expected.append(prev)
    assert sc.py_cordiv(num, den).tolist() == expected


@pytest.mark.parametrize(
    "args, exc, text",
    [
        ((np.zeros(4, np.uint8)[::2], np.zeros(2, np.uint8)), TypeError, NOT_CONTIGUOUS),
        ((np.zeros(2, np.uint8), np.zeros(4, np.uint8)[::2]), TypeError, NOT_CONTIGUOUS),
        ((np.zeros(2, np.int8), np.zeros(2, np.uint8)), TypeError, "argument 'numerator': "),
        ((np.zeros(2, np.uint8), [0, 1]), TypeError, "argument 'denominator': "),
    ],
)
def test_cordiv_errors(args, exc, text):
    with pytest.raises(exc) as info:
        sc.py_cordiv(*args)
    if text.startswith("argument"):
        assert str(info.value).startswith(text)
    else:
        assert str(info.value) == text  # no prefix, not wrapped


# ---------------------------------------------------------------- adaptive length

def adaptive_reference(eps, conf):
    # For eps > 0 and 0 <= conf < 1 with no underflow; the other cases are in the table below.
    b = math.ceil(-math.log((1 - conf) * 0.5) / ((eps + eps) * eps))
    b = max(b, 64)
    return 65536 if b > 65536 else 1 << (b - 1).bit_length()


@pytest.mark.parametrize(
    "eps, conf, expected",
    [
        (0.05, 0.95, 1024),          # bound 738
        (0.0, 0.9, 65536),
        (-1.0, 0.5, 65536),
        (0.1, 1.0, 65536),
        (0.1, 2.0, 65536),
        (1e-10, 0.95, 65536),
        (1e-200, 0.5, 65536),        # the denominator underflows to 0
        (float("nan"), 0.95, 64),
        (0.05, float("nan"), 64),
        (0.5, 0.5, 64),              # bound 3, raised to 64
        (0.05, -1.0, 64),            # ln(1) = 0
        (0.05, float("-inf"), 64),
        (0.01, 0.99, 32768),         # bound 26492
        (0.2, 0.95, 64),             # bound 47
        (0.1, 0.95, 256),            # bound 185
        (1, 0, 64),                  # ints convert to float
    ],
)
def test_adaptive_length(eps, conf, expected):
    assert sc.py_adaptive_length(eps, conf) == expected


def test_adaptive_length_is_a_capped_power_of_two():
    for eps in np.geomspace(1e-4, 2.0, 40):
        for conf in (0.0, 0.5, 0.9, 0.99, 0.999999):
            got = sc.py_adaptive_length(float(eps), conf)
            assert got == adaptive_reference(float(eps), conf)
            assert 64 <= got <= 65536 and got & (got - 1) == 0


def test_adaptive_length_refuses_text():
    with pytest.raises(TypeError) as info:
        sc.py_adaptive_length("0.1", 0.9)
    assert str(info.value).startswith("argument 'epsilon': ")


# ---------------------------------------------------------------- matching and the panic type

@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: sc.popcount(), "popcount() missing 1 required positional argument: 'packed'"),
        (lambda: sc.unpack_bitstream(), "unpack_bitstream() missing 2 required positional arguments: "
         "'packed' and 'original_length'"),
        (lambda: sc.batch_encode(np.zeros(1), 1, 2, 3),
         "batch_encode() takes from 1 to 3 positional arguments but 4 were given"),
        (lambda: sc.py_cordiv(1), "py_cordiv() missing 1 required positional argument: 'denominator'"),
        (lambda: sc.batch_encode_numpy(np.zeros(1), lenght=3),
         "batch_encode_numpy() got an unexpected keyword argument 'lenght'"),
        (lambda: sc.popcount_numpy(np.zeros(1, np.uint64), packed=1),
         "popcount_numpy() got multiple values for argument 'packed'"),
        (lambda: sc.pack_bitstream([1], [2]), "pack_bitstream() takes 1 positional arguments but 2 were given"),
    ],
)
def test_argument_matching(call, text):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == text


def test_panic_is_not_an_exception():
    e = panic_of(lambda: sc.unpack_bitstream([5], 0))
    assert isinstance(e, BaseException) and not isinstance(e, Exception)
    assert not hasattr(sc, "PanicException")
    # The module stays usable after a stop.
    assert sc.unpack_bitstream([5], 3) == b"\x01\x00\x01"

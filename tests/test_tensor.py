"""BitStreamTensor: hypervector construction, bind, bundle, permute and distance."""
import pytest

import bitref as R
import sc_dravik_engine as sc
from sc_testing import panic_of

T = sc.BitStreamTensor
ONES = 2**64 - 1


def rotate_reference(words, length, shift):
    bits = R.unpack(words, length)
    s = shift % length
    return R.pack([bits[(i - s) % length] for i in range(length)])


def majority_reference(word_lists):
    n = len(word_lists)
    out = []
    for k in range(len(word_lists[0])):
        w = 0
        for j in range(64):
            if sum((ws[k] >> j) & 1 for ws in word_lists) > n // 2:
                w |= 1 << j
        out.append(w)
    return out


# ---------------------------------------------------------------- signatures and docs

@pytest.mark.parametrize(
    "member, sig, doc",
    [
        ("xor", "($self, other)", "XOR returning a new tensor (HDC bind)."),
        ("xor_inplace", "($self, other)", "In-place XOR (HDC bind)."),
        ("bundle", "(vectors)", "Majority-vote bundle of multiple tensors."),
        ("from_packed", "(data, length)", "Create from pre-packed u64 words."),
        ("rotate_right", "($self, shift)", "Cyclic right rotation by `shift` bits (HDC permute)."),
        ("hamming_distance", "($self, other)",
         "Normalized Hamming distance (0.0 = identical, 1.0 = opposite)."),
        ("popcount", "($self)", "Count of set bits."),
    ],
)
def test_method_signatures(member, sig, doc):
    m = getattr(T, member)
    assert m.__text_signature__ == sig
    assert m.__doc__ == doc


def test_class_signature_and_properties():
    assert T.__text_signature__ == "(dimension=10000, seed=44257)"
    assert T.__doc__ == ""
    assert T.data.__doc__ == "Packed u64 words (read-only copy)."
    assert T.length.__doc__ == "Logical bit length."
    t = T(10)
    for name in ("data", "length"):
        with pytest.raises(AttributeError):
            setattr(t, name, 1)


# ---------------------------------------------------------------- construction

@pytest.mark.parametrize(
    "dimension, seed",
    [(1, 0), (63, 1), (64, 1), (65, 44257), (100, 2**64 - 1), (1000, 7), (4097, 123456789)],
)
def test_seeded_construction_matches_reference(dimension, seed):
    t = T(dimension, seed)
    expected = R.float_form(0.5, dimension, R.Xoshiro(seed))
    assert t.data == expected
    assert t.length == len(t) == dimension
    assert t.popcount() == R.popcount(expected)
    assert T(dimension=dimension, seed=seed).data == expected


def test_default_construction():
    t = T()
    expected = R.float_form(0.5, 10000, R.Xoshiro(44257))
    assert t.data == expected and len(t) == 10000
    # Half the bits are set, within five standard deviations.
    assert abs(t.popcount() - 5000) < 250
    assert T(seed=3).data != expected


def test_construction_errors():
    assert str(panic_of(lambda: T(0))) == "bitstream length must be > 0"
    assert str(panic_of(lambda: T(0, 5))) == "bitstream length must be > 0"
    with pytest.raises(OverflowError):
        T(-1)
    with pytest.raises(OverflowError):
        T(8, 2**64)
    with pytest.raises(TypeError) as info:
        T("8")
    assert str(info.value).startswith("argument 'dimension': ")


# ---------------------------------------------------------------- from_packed, data, len, repr

def test_from_packed_keeps_words_as_given():
    t = T.from_packed([255], 4)
    assert t.data == [255] and t.length == 4 and len(t) == 4
    assert t.popcount() == 8  # bits above the length count
    assert t.hamming_distance(T.from_packed([0], 4)) == 2.0
    t.rotate_right(1)
    assert t.data == [15] and t.popcount() == 4  # rebuilt: the extra bits are gone
    # No check of the word count against the length.
    assert T.from_packed([1, 2, 3], 5).data == [1, 2, 3]
    assert T.from_packed([], 200).data == []
    assert T.from_packed((ONES,), 1).popcount() == 64


def test_data_is_a_copy():
    t = T.from_packed([1, 2], 100)
    d = t.data
    d[0] = 99
    assert t.data == [1, 2]
    assert t.data is not t.data


@pytest.mark.parametrize(
    "words, length, text",
    [([5], 3, "BitStreamTensor(length=3, popcount=2)"),
     ([ONES, ONES], 128, "BitStreamTensor(length=128, popcount=128)"),
     ([], 9, "BitStreamTensor(length=9, popcount=0)")],
)
def test_repr(words, length, text):
    assert repr(T.from_packed(words, length)) == text


@pytest.mark.parametrize(
    "args, exc, text",
    [
        (([5], 0), ValueError, "bitstream length must be > 0"),
        (("5", 3), TypeError, "argument 'data': Can't extract `str` to `Vec`"),
        (([-1], 3), OverflowError, None),
        (([2**64], 3), OverflowError, None),
        (([1], -3), OverflowError, None),
        ((5, 3), TypeError, "argument 'data': "),
    ],
)
def test_from_packed_errors(args, exc, text):
    with pytest.raises(exc) as info:
        T.from_packed(*args)
    if text is not None:
        msg = str(info.value)
        assert msg == text or (text.endswith(": ") and msg.startswith(text))


# ---------------------------------------------------------------- xor and xor_inplace

def test_xor():
    a, b = T(300, 1), T(300, 2)
    c = a.xor(b)
    assert isinstance(c, T) and c is not a and c.length == 300
    assert c.data == [x ^ y for x, y in zip(a.data, b.data)]
    assert a.data == T(300, 1).data  # operands unchanged
    z = a.xor(a)  # the same object twice: two shared borrows
    assert z.data == [0] * 5 and z.popcount() == 0
    assert a.hamming_distance(a) == 0.0
    # Over the smaller word count; the length is self's.
    assert T.from_packed([1, 2, 3], 5).xor(T.from_packed([3], 5)).data == [2]


def test_xor_inplace():
    a, b = T(130, 1), T(130, 2)
    expected = [x ^ y for x, y in zip(a.data, b.data)]
    assert a.xor_inplace(b) is None
    assert a.data == expected and b.data == T(130, 2).data
    a.xor_inplace(b)
    assert a.data == T(130, 1).data  # XOR twice restores
    s = T.from_packed([1, 2, 3], 5)
    s.xor_inplace(T.from_packed([3], 5))
    assert s.data == [2, 2, 3]  # words past the other's count stay


def test_xor_inplace_with_itself_is_a_borrow_error():
    t = T(100, 9)
    before = t.data
    with pytest.raises(RuntimeError) as info:
        t.xor_inplace(t)
    assert str(info.value) == "Already mutably borrowed"
    assert t.data == before
    # Refused before the lengths are compared, and the borrow is released afterwards.
    u = T.from_packed([1], 3)
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        u.xor_inplace(u)
    u.xor_inplace(T.from_packed([1], 3))
    assert u.data == [0]


@pytest.mark.parametrize("method", ["xor", "xor_inplace", "hamming_distance"])
def test_unequal_lengths_panic(method):
    a, b = T(64, 1), T(65, 1)
    before = a.data
    e = panic_of(lambda: getattr(a, method)(b))
    sentence = ("Bitstream lengths must match for Hamming distance." if method == "hamming_distance"
                else "Bitstream lengths must match for XOR.")
    assert sentence in str(e)
    assert "64" in str(e) and "65" in str(e)
    assert a.data == before  # unchanged, and the borrow was released
    getattr(a, method)(T(64, 2))


@pytest.mark.parametrize("method", ["xor", "xor_inplace", "hamming_distance"])
@pytest.mark.parametrize("other", [1, None, [1, 2], "t"])
def test_other_must_be_a_tensor(method, other):
    with pytest.raises(TypeError) as info:
        getattr(T(8), method)(other)
    msg = str(info.value)
    assert msg == f"argument 'other': '{type(other).__name__}' object is not an instance of 'BitStreamTensor'"


# ---------------------------------------------------------------- hamming distance and popcount

@pytest.mark.parametrize(
    "length, s1, s2",
    [(1, 0, 1), (64, 3, 4), (100, 5, 6), (10000, 1, 2), (1037, 8, 8), (67585, 3, 5), (200003, 1, 2)],
)
def test_hamming_distance(length, s1, s2):
    a, b = T(length, s1), T(length, s2)
    diff = R.popcount([x ^ y for x, y in zip(a.data, b.data)])
    assert a.hamming_distance(b) == diff / length
    assert b.hamming_distance(a) == a.hamming_distance(b)


def test_hamming_extremes_and_uneven_words():
    ones = T.from_packed([ONES, 2**36 - 1], 100)
    zeros = T.from_packed([0, 0], 100)
    assert ones.hamming_distance(zeros) == 1.0
    # Over the smaller word count only.
    assert T.from_packed([ONES, ONES], 100).hamming_distance(T.from_packed([0], 100)) == 0.64
    assert T.from_packed([], 100).hamming_distance(ones) == 0.0


# ---------------------------------------------------------------- rotate_right

@pytest.mark.parametrize(
    "words, length, shift, expected",
    [
        ([16], 5, 1, [1]),          # bit 4 wraps to bit 0
        ([16], 5, 5, [16]),
        ([16], 5, 0, [16]),
        ([16], 5, 6, [1]),
        ([16], 5, 2**64 - 1, None),  # (2**64 - 1) mod 5 = 0
        ([255], 4, 4, [255]),       # shift mod length = 0: words left untouched, extra bits kept
        ([255], 4, 0, [255]),
        ([1], 1, 7, [1]),
        ([1 << 63], 64, 1, [1]),
        ([1 << 63, 0], 65, 1, [0, 1]),
        ([0, 1], 65, 1, [1, 0]),     # the last bit wraps to the front
    ],
)
def test_rotate_right_cases(words, length, shift, expected):
    t = T.from_packed(words, length)
    assert t.rotate_right(shift) is None
    if expected is None:
        expected = rotate_reference(words, length, shift)
    assert t.data == expected and t.length == length


@pytest.mark.parametrize("length", [2, 63, 64, 65, 100, 128, 130, 1000])
@pytest.mark.parametrize("shift", [1, 31, 63, 64, 65, 129, 999, 10**12])
def test_rotate_right_matches_reference(length, shift):
    t = T(length, length + shift)
    before = t.data
    t.rotate_right(shift)
    assert t.data == rotate_reference(before, length, shift)
    assert t.popcount() == R.popcount(before)
    t.rotate_right(length - shift % length)  # the inverse rotation restores the stream
    assert t.data == before


def test_rotate_right_errors():
    with pytest.raises(OverflowError):
        T(8).rotate_right(-1)
    t = T.from_packed([], 5)
    assert str(panic_of(lambda: t.rotate_right(1))) == "index out of bounds: the len is 0 but the index is 0"
    assert t.data == [] and t.length == 5
    t.rotate_right(5)  # a zero rotation reads nothing
    assert t.data == []


# ---------------------------------------------------------------- bundle

@pytest.mark.parametrize(
    "word_lists, length, expected",
    [
        ([[1], [3], [2]], 2, [3]),       # two of three
        ([[1], [2]], 2, [0]),            # ties of an even count give 0
        ([[3], [3]], 2, [3]),
        ([[5]], 3, [5]),                 # one member: a copy
        ([[1], [1], [0], [0]], 1, [0]),
        ([[1], [1], [1], [0]], 1, [1]),
        ([[7], [6], [4], [0], [0]], 3, [4]),
        ([[1, 2], [1, 9], [3, 4]], 70, [1, 0]),
    ],
)
def test_bundle_cases(word_lists, length, expected):
    out = T.bundle([T.from_packed(w, length) for w in word_lists])
    assert out.data == expected and out.length == length


@pytest.mark.parametrize("length", [1, 63, 300, 641])
@pytest.mark.parametrize("n", [1, 2, 3, 4, 5, 6, 7, 8, 9, 16, 33])
def test_bundle_matches_majority_reference(n, length):
    members = [T(length, 100 + i) for i in range(n)]
    out = T.bundle(members)
    assert out.data == majority_reference([m.data for m in members])
    assert out.length == length
    assert T.bundle(tuple(members)).data == out.data  # any sequence


def test_bundle_counts_tail_bits_and_ignores_other_lengths():
    # All 64 positions are counted, tails included; the first member fixes words and length.
    a = T.from_packed([0xF0], 4)
    b = T.from_packed([0xF0, 7], 60)
    c = T.from_packed([0x30, 1, 1], 9)
    out = T.bundle([a, b, c])
    assert out.data == [0xF0] and out.length == 4
    out4 = T.bundle([a, b, c, c])
    assert out4.data == majority_reference([[0xF0], [0xF0], [0x30], [0x30]]) == [0x30]


def test_bundle_same_object_several_times():
    t, u = T(200, 1), T(200, 2)
    assert T.bundle([t, t, u]).data == t.data
    assert T.bundle([t, t]).data == t.data
    assert T.bundle([t, u, u, t, t]).data == t.data
    assert T.bundle([u, t, u]).data == u.data


def test_bundle_of_one_is_an_independent_copy():
    t = T(100, 4)
    c = T.bundle([t])
    assert c is not t and c.data == t.data and c.length == t.length
    c.rotate_right(3)
    assert t.data == T(100, 4).data


@pytest.mark.parametrize(
    "vectors, text",
    [
        ([], "Cannot bundle zero vectors."),
        ((), "Cannot bundle zero vectors."),
        ([T.from_packed([1, 2], 70), T.from_packed([1], 70)], "index out of bounds: the len is 1 but the index is 1"),
        ([T.from_packed([1, 2], 70), T.from_packed([1, 2], 70), T.from_packed([], 70)],
         "index out of bounds: the len is 0 but the index is 0"),
    ],
)
def test_bundle_panics(vectors, text):
    assert str(panic_of(lambda: T.bundle(vectors))) == text


@pytest.mark.parametrize(
    "vectors, text",
    [
        ("ab", "argument 'vectors': Can't extract `str` to `Vec`"),
        ([T(8), 1], "argument 'vectors': 'int' object is not an instance of 'BitStreamTensor'"),
        (iter([T(8)]), "argument 'vectors': 'list_iterator' object is not an instance of 'Sequence'"),
        (None, "argument 'vectors': 'NoneType' object is not an instance of 'Sequence'"),
    ],
)
def test_bundle_type_errors(vectors, text):
    with pytest.raises(TypeError) as info:
        T.bundle(vectors)
    assert str(info.value) == text

"""Which arrays an array parameter takes, shown through int8 and uint64 parameters."""
import numpy as np
import pytest

import sc_dravik_engine as sc
from sc_testing import misaligned


def run_int8(arr):
    return sc.py_recover_xor_ema(arr, 1, 0.5, 0.5)


def run_uint64(arr):
    return sc.py_prediction_error(arr, np.zeros(1, np.uint64), 64)


@pytest.mark.parametrize(
    "fn, make, outcome",
    [
        (run_int8, lambda: np.zeros(4, np.int8), "ok"),
        (run_int8, lambda: np.zeros(0, np.int8), "ok"),
        (run_int8, lambda: np.zeros(4, np.dtype("b")), "ok"),           # same dtype, other name
        (run_int8, lambda: np.zeros(4, np.uint8), TypeError),
        (run_int8, lambda: np.zeros(4, np.int16), TypeError),
        (run_int8, lambda: np.zeros((2, 2), np.int8), TypeError),        # wrong ndim
        (run_int8, lambda: np.zeros((), np.int8), TypeError),
        (run_int8, lambda: [0, 1], TypeError),                           # not an array
        (run_int8, lambda: np.zeros(8, np.int8)[::2], ValueError),       # strided view
        (run_int8, lambda: np.zeros(8, np.int8)[::-1], ValueError),
        (run_int8, lambda: np.zeros(8, np.int8)[1::3][:0], "ok"),        # empty view
        (run_uint64, lambda: np.zeros(3, np.uint64), "ok"),
        (run_uint64, lambda: np.zeros(3, np.dtype("<u8")), "ok"),
        (run_uint64, lambda: np.zeros(3, np.int64), TypeError),
        (run_uint64, lambda: np.zeros(3, np.float64), TypeError),
        (run_uint64, lambda: np.zeros(3, np.dtype(">u8")), TypeError),   # byte-swapped
        (run_uint64, lambda: np.frombuffer(bytearray(25), np.uint64, 3, 1), ValueError),  # misaligned
        (run_uint64, lambda: np.zeros(3, np.uint64).view(np.ndarray), "ok"),
        (run_uint64, lambda: np.ma.zeros(3, np.uint64), "ok"),           # ndarray subclass
    ],
)
def test_array_kinds(fn, make, outcome):
    arr = make()
    if outcome == "ok":
        fn(arr)
        return
    with pytest.raises(outcome) as info:
        fn(arr)
    if outcome is TypeError:
        assert str(info.value).startswith("argument '")
        assert "is not an instance of" in str(info.value)
    else:
        assert str(info.value).endswith("The given array is not contiguous or is misaligned.")


def test_read_only_input_is_accepted():
    arr = np.ones(4, np.int8)
    expected = run_int8(arr.copy()).tolist()
    arr.flags.writeable = False
    assert run_int8(arr).tolist() == expected


# ---------------------------------------------------------------- float64 arrays as sequences

def _layouts(a):
    """The same values in other layouts: Fortran order, strided, reversed, misaligned."""
    out = {"c": a, "f": np.asfortranarray(a)}
    wide = np.zeros(a.shape[:-1] + (2 * a.shape[-1],))
    wide[..., ::2] = a
    out["strided"] = wide[..., ::2]
    out["reversed"] = a[..., ::-1][..., ::-1] if a.ndim == 1 else a[::-1][::-1]
    out["misaligned"] = misaligned(a)
    return out


def _coupled(coupling, n=3):
    s = sc.KuramotoSolver([0.1 * i for i in range(n)], coupling, [0.2 * i for i in range(n)], 0.0)
    return [s.step(0.01, 1), s.get_phases()]


@pytest.mark.parametrize("layout", ["c", "f", "strided", "reversed", "misaligned"])
def test_float64_arrays_read_as_their_lists(layout):
    rng = np.random.default_rng(3)
    k = rng.normal(size=(3, 3))
    assert _coupled(_layouts(k)[layout]) == _coupled(k.tolist())
    s = sc.KuramotoSolver([0.0] * 3, k.tolist(), [0.0] * 3, 0.0)
    s.set_coupling(_layouts(k)[layout])
    t = sc.KuramotoSolver([0.0] * 3, k.tolist(), [0.0] * 3, 0.0)
    assert s.step(0.1) == t.step(0.1)
    phases = rng.uniform(0, 6, 3)
    s.set_phases(_layouts(phases)[layout])
    assert s.get_phases() == phases.tolist()
    layer = sc.DenseLayer(3, 2, 64)
    assert layer.forward(_layouts(phases / 6)[layout], 5) == layer.forward((phases / 6).tolist(), 5)


@pytest.mark.parametrize(
    "coupling",
    [np.eye(3).astype(">f8"), np.eye(3, dtype=np.float32), np.eye(3, dtype=np.int64),
     np.eye(9)[0:1], np.eye(9)[0]],
    ids=["big-endian", "float32", "int64", "one-row", "flat"],
)
def test_other_arrays_keep_the_sequence_reading(coupling):
    assert _coupled(coupling) == _coupled(np.asarray(coupling, dtype=np.float64).tolist())


@pytest.mark.parametrize(
    "make, text",
    [(lambda: np.zeros((0, 3)), "coupling must not be an empty matrix."),
     (lambda: np.zeros((3, 0)), "coupling must not have zero columns."),
     (lambda: np.zeros(0), "coupling must not be an empty matrix."),
     # A matrix subclass iterates as 1-row matrices, so it is no matrix of floats here.
     (lambda: np.asmatrix(np.eye(3)), "coupling must be a 1-D or 2-D float array.")],
)
@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")
def test_matrix_messages_for_arrays(make, text):
    with pytest.raises(ValueError) as info:
        _coupled(make())
    assert str(info.value) == text

"""Which arrays an array parameter takes, shown through int8 and uint64 parameters."""
import numpy as np
import pytest

import sc_dravik_engine as sc


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

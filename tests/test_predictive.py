import numpy as np
import pytest

import sc_dravik_engine as sc
from bitref import lfsr16_step
from sc_testing import panic_of


def ema_reference(spikes, n, alpha, threshold):
    e = [0.0] * n
    out, correct = [0] * len(spikes), 0
    for t in range(len(spikes) // n):
        for c in range(n):
            i = t * n + c
            s = int(spikes[i])
            p = 1 if e[c] > threshold else 0
            out[i] = p ^ s
            e[c] = e[c] * (1 - alpha) + s * alpha
            correct += p == s
    return out, correct


def lfsr_reference(spikes, n, alpha_q8, seed):
    reg = [((seed + 7919 * c) % 65536) or 1 for c in range(n)]
    q = [0] * n
    out, correct = [0] * len(spikes), 0
    for t in range(len(spikes) // n):
        for c in range(n):
            i = t * n + c
            s = int(spikes[i])
            b = reg[c]
            reg[c] = lfsr16_step(b)
            p = 1 if b < q[c] else 0
            out[i] = s ^ p
            correct += s == p
            target = 255 if s else 0
            prod = (alpha_q8 * (target - q[c])) & 0xFFFFFFFF
            prod = prod - (1 << 32) if prod >= 1 << 31 else prod
            q[c] = min(255, max(0, q[c] + (prod >> 8)))
    return out, correct


@pytest.mark.parametrize("seed", [0, 1, 2, 3])
def test_round_trip_and_reference(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 6))
    spikes = (rng.random(int(rng.integers(0, 200))) < 0.3).astype(np.int8)
    errors, correct = sc.py_predict_xor_ema(spikes, n, 0.3, 0.4)
    assert (errors.tolist(), correct) == ema_reference(spikes, n, 0.3, 0.4)
    coded = len(spikes) // n * n
    back = sc.py_recover_xor_ema(errors, n, 0.3, 0.4)
    assert back[:coded].tolist() == spikes[:coded].tolist() and not back[coded:].any()

    alpha_q8 = int(rng.integers(-300, 300))
    errors, correct = sc.py_predict_xor_lfsr(spikes, n, alpha_q8, seed * 1000)
    assert (errors.tolist(), correct) == lfsr_reference(spikes, n, alpha_q8, seed * 1000)
    back = sc.py_recover_xor_lfsr(errors, n, alpha_q8, seed * 1000)
    assert back[:coded].tolist() == spikes[:coded].tolist() and not back[coded:].any()


def test_always_spiking_channel():
    errors, correct = sc.py_predict_xor_ema(np.ones(6, np.int8), 1, 0.5, 0.5)
    assert errors.tolist() == [1, 1, 0, 0, 0, 0] and correct == 4


def test_average_is_weighted_old_plus_weighted_new():
    # e(1 - a) + s a lands on 0.09000000000000001 after [1, 0] with a = 0.1, one bit above the
    # e + a (s - e) form's 0.09: with the threshold at 0.09 only the first predicts a spike.
    spikes = np.array([0, 0, 1, 0, 0], np.int8)
    errors, correct = sc.py_predict_xor_ema(spikes, 1, 0.1, 0.09)
    assert (errors.tolist(), correct) == ema_reference(spikes, 1, 0.1, 0.09) == ([0, 0, 1, 1, 1], 2)
    assert sc.py_recover_xor_ema(errors, 1, 0.1, 0.09).tolist() == spikes.tolist()


@pytest.mark.parametrize("values", [[2, 0, 2, 2, -1, 0, 2, -1], [-128, 127, -1, 0, 3, 3, 0, 5]])
def test_any_nonzero_value_is_a_spike(values):
    spikes = np.array(values * 3, np.int8)
    for n in (1, 2):
        errors, correct = sc.py_predict_xor_ema(spikes, n, 0.4, 0.3)
        assert (errors.tolist(), correct) == ema_reference(spikes, n, 0.4, 0.3)
        errors, correct = sc.py_predict_xor_lfsr(spikes, n, 200, 11)
        assert (errors.tolist(), correct) == lfsr_reference(spikes, n, 200, 11)


def test_trailing_elements_are_not_coded():
    errors, correct = sc.py_predict_xor_ema(np.ones(5, np.int8), 2, 0.5, 0.5)
    assert errors[4] == 0 and correct == 0
    zeros, correct = sc.py_predict_xor_ema(np.zeros(7, np.int8), 3, 0.1, 0.5)
    assert not zeros.any() and correct == 6


@pytest.mark.parametrize("n", [8, 2**32, 2**63, 2**64 - 1])
def test_more_channels_than_elements_codes_nothing(n):
    # No frame is complete, so no channel needs predictor state, however many there are.
    spikes = np.array([1, 0, 1, 1, 0, 1, 1], np.int8)
    for predict, recover, params in [(sc.py_predict_xor_ema, sc.py_recover_xor_ema, (0.5, 0.5)),
                                     (sc.py_predict_xor_lfsr, sc.py_recover_xor_lfsr, (128, 7))]:
        errors, correct = predict(spikes, n, *params)
        assert errors.tolist() == [0] * 7 and correct == 0
        assert recover(spikes, n, *params).tolist() == [0] * 7


@pytest.mark.parametrize(
    "seed, spikes, flagged",
    [
        # seed 0: channel 0 starts at register 1, channel 1 at 7919
        (0, [1, 0, 0, 0], 2),
        (0, [0, 1, 0, 0], None),
        # seed 57617: channel 1 wraps to 0 and is started at 1
        (57617, [0, 1, 0, 0], 3),
    ],
)
def test_lfsr_channel_seeds(seed, spikes, flagged):
    # With alpha_q8 256 one spike lifts q to 255; the next prediction is a spike only when the
    # channel's register is below 255, which tells the small register seeds apart.
    errors, _ = sc.py_predict_xor_lfsr(np.array(spikes, np.int8), 2, 256, seed)
    assert [i for i, e in enumerate(errors) if e and not spikes[i]] == ([] if flagged is None else [flagged])


def test_outputs_own_their_buffers():
    errors, _ = sc.py_predict_xor_ema(np.ones(4, np.int8), 2, 0.5, 0.5)
    assert type(errors.base).__name__ == "PySliceContainer"
    assert errors.flags.writeable and errors.flags.c_contiguous and errors.dtype == np.int8
    errors[0] = 9  # writable in place


@pytest.mark.parametrize(
    "predicted, actual, length, expected",
    [([1, 2], [1, 2], 128, 0.0), ([0], [0xFF], 16, 0.5), ([0], [0xFF], 0, 0.0),
     ([0, 7], [1], 4, 0.25), ([], [3], 2, 0.0)],
)
def test_prediction_error(predicted, actual, length, expected):
    a = np.array(predicted, np.uint64)
    b = np.array(actual, np.uint64)
    assert sc.py_prediction_error(a, b, length) == expected


@pytest.mark.parametrize("n_a, n_b", [(0, 5), (1, 1), (3, 4), (7, 9), (8, 8), (13, 12), (33, 40), (257, 300)])
def test_prediction_error_counts_over_the_shorter_array(n_a, n_b):
    # Word counts around the vector widths (4 and 8 words) and their remainders.
    rng = np.random.default_rng(n_a * 1000 + n_b)
    a = rng.integers(0, 2**64, n_a, dtype=np.uint64, endpoint=False)
    b = rng.integers(0, 2**64, n_b, dtype=np.uint64, endpoint=False)
    m = min(n_a, n_b)
    bits = int(np.unpackbits((a[:m] ^ b[:m]).view(np.uint8)).sum())
    for length in (1, 64 * m + 3, 2**64 - 1):
        assert sc.py_prediction_error(a, b, length) == bits / length
        assert sc.py_prediction_error(b, a, length) == bits / length


def test_messages():
    strided = np.zeros(8, np.int8)[::2]
    for fn, word in [(sc.py_predict_xor_ema, "spikes"), (sc.py_recover_xor_ema, "errors")]:
        with pytest.raises(ValueError) as info:
            fn(strided, 1, 0.5, 0.5)
        assert str(info.value) == f"{word} must be contiguous: The given array is not contiguous or is misaligned."
    with pytest.raises(ValueError, match="^predicted array must be contiguous: "):
        sc.py_prediction_error(np.zeros(4, np.uint64)[::2], np.zeros(2, np.uint64), 1)
    with pytest.raises(ValueError, match="^actual array must be contiguous: "):
        sc.py_prediction_error(np.zeros(2, np.uint64), np.zeros(4, np.uint64)[::2], 1)
    for fn, params in [(sc.py_predict_xor_ema, (0.5, 0.5)), (sc.py_recover_xor_ema, (0.5, 0.5)),
                       (sc.py_predict_xor_lfsr, (1, 1)), (sc.py_recover_xor_lfsr, (1, 1))]:
        assert str(panic_of(fn, np.zeros(3, np.int8), 0, *params)) == "attempt to divide by zero"
    with pytest.raises(OverflowError):
        sc.py_predict_xor_lfsr(np.zeros(3, np.int8), 1, 1, 65536)

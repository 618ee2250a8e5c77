"""batch_lif_run, batch_lif_run_multi and batch_lif_run_varying."""
import random

import numpy as np
import pytest

import sc_dravik_engine as sc
from netref import lif_run, wrap
from sc_testing import panic_of, run_child_json

NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."


def i16(values):
    return np.array(values, dtype=np.int16)


NEURON = "data_width=16, fraction=8, v_rest=0, v_reset=0, v_threshold=256, refractory_period=2"


@pytest.mark.parametrize("fn, signature, doc", [
    (sc.batch_lif_run, f"(n_steps, leak_k, gain_k, i_t, noise_in=0, {NEURON})",
     "Run a LIF neuron for N steps with constant inputs.\n\n"
     "Returns (spikes: ndarray[i32], voltages: ndarray[i16])."),
    (sc.batch_lif_run_multi, f"(n_neurons, n_steps, leak_k, gain_k, currents, {NEURON})",
     "Run N independent LIF neurons in parallel, each with its own constant input.\n\n"
     "Returns (spikes: ndarray[i32, (n_neurons, n_steps)],\n"
     "         voltages: ndarray[i16, (n_neurons, n_steps)])."),
    (sc.batch_lif_run_varying, f"(leak_k, gain_k, currents, noises=None, {NEURON})",
     "Run a LIF neuron for N steps with per-step current and optional noise arrays."),
])
def test_signatures_and_docs(fn, signature, doc):
    assert fn.__text_signature__ == signature
    assert fn.__doc__ == doc


def test_counting_neuron_by_hand():
    # 1 * 256 >> 8 adds 1 per step: 256 is reached at step 256 (index 255), then two
    # refractory steps at the reset value, then counting starts again from 0.
    spikes, v = sc.batch_lif_run(260, 0, 256, 1)
    assert spikes.dtype == np.int32 and v.dtype == np.int16
    assert v.tolist() == list(range(1, 256)) + [0, 0, 0, 1, 2]
    assert spikes.tolist() == [0] * 255 + [1] + [0] * 4


@pytest.mark.parametrize("kwargs, i_t, expected", [
    # 30000 + 30000 wraps to -5536 at 16 bits; a saturating sum would reach the threshold.
    ({"v_threshold": 32767}, 30000, [30000, -5536, 24464]),
    # At 8 bits the threshold 256 is out of reach and 127 + 1 wraps to -128.
    ({"data_width": 8}, 1, [wrap(t, 8) for t in range(1, 301)]),
])
def test_sums_wrap_instead_of_saturating(kwargs, i_t, expected):
    spikes, v = sc.batch_lif_run(len(expected), 0, 256, i_t, **kwargs)
    assert v.tolist() == expected
    assert not spikes.any()


PARAMS = [
    {},
    {"data_width": 12, "fraction": 4, "v_rest": -40, "v_reset": -100, "v_threshold": 300,
     "refractory_period": 3},
    {"data_width": 9, "fraction": 35, "v_rest": 10, "v_reset": 250, "v_threshold": 100,
     "refractory_period": -1},
]


@pytest.mark.parametrize("params", PARAMS)
def test_all_forms_follow_the_reference_neuron(params):
    rnd = random.Random(7)
    n = 400
    leak_k, gain_k = -90, 300
    currents = [rnd.randrange(-2000, 2000) for _ in range(n)]
    noises = [rnd.randrange(-50, 50) for _ in range(n)]

    spikes, v = sc.batch_lif_run(n, leak_k, gain_k, 700, 3, **params)
    assert (spikes.tolist(), v.tolist()) == lif_run([700] * n, [3] * n, leak_k, gain_k, **params)

    spikes, v = sc.batch_lif_run_varying(leak_k, gain_k, i16(currents), i16(noises), **params)
    assert (spikes.tolist(), v.tolist()) == lif_run(currents, noises, leak_k, gain_k, **params)

    spikes, v = sc.batch_lif_run_varying(leak_k, gain_k, i16(currents), **params)
    zeros = sc.batch_lif_run_varying(leak_k, gain_k, i16(currents), i16([0] * n), **params)
    assert spikes.tolist() == zeros[0].tolist() and v.tolist() == zeros[1].tolist()

    rows = currents[:20]
    spikes, v = sc.batch_lif_run_multi(len(rows), 50, leak_k, gain_k, i16(rows), **params)
    assert spikes.shape == v.shape == (20, 50)
    for r, c in enumerate(rows):
        assert (spikes[r].tolist(), v[r].tolist()) == lif_run([c] * 50, [0] * 50, leak_k, gain_k,
                                                             **params)


def test_matches_the_neuron_class_step_for_step():
    lif = sc.FixedPointLif(data_width=10, v_threshold=200)
    spikes, v = sc.batch_lif_run(100, 20, 200, 90, -2, data_width=10, v_threshold=200)
    assert list(zip(spikes.tolist(), v.tolist())) == [lif.step(20, 200, 90, -2) for _ in range(100)]


def test_multi_rows_on_the_pool_equal_single_runs():
    # Enough rows and steps to leave the calling thread.
    rows = np.arange(-300, 300, 3, dtype=np.int16)
    spikes, v = sc.batch_lif_run_multi(len(rows), 500, 30, 256, rows)
    for r in (0, 57, len(rows) - 1):
        s1, v1 = sc.batch_lif_run(500, 30, 256, int(rows[r]))
        assert np.array_equal(spikes[r], s1) and np.array_equal(v[r], v1)


@pytest.mark.parametrize("call, shapes", [
    (lambda: sc.batch_lif_run(0, 0, 256, 1), [(0,), (0,)]),
    (lambda: sc.batch_lif_run_varying(0, 256, i16([])), [(0,), (0,)]),
    (lambda: sc.batch_lif_run_varying(0, 256, i16([]), i16([])), [(0,), (0,)]),
    (lambda: sc.batch_lif_run_multi(0, 7, 0, 256, i16([])), [(0, 7), (0, 7)]),
    (lambda: sc.batch_lif_run_multi(3, 0, 0, 256, i16([1, 2, 3])), [(3, 0), (3, 0)]),
])
def test_empty_runs(call, shapes):
    spikes, v = call()
    assert [spikes.shape, v.shape] == shapes
    assert (spikes.dtype, v.dtype) == (np.int32, np.int16)
    assert spikes.flags.writeable and spikes.flags.c_contiguous


STRIDED = np.arange(10, dtype=np.int16)[::2]


@pytest.mark.parametrize("call, message", [
    (lambda: sc.batch_lif_run_multi(3, 4, 0, 256, i16([1, 2])),
     "currents length 2 does not match n_neurons 3."),
    # The contiguity check comes first.
    (lambda: sc.batch_lif_run_multi(3, 4, 0, 256, STRIDED),
     "Cannot read currents: " + NOT_CONTIGUOUS),
    (lambda: sc.batch_lif_run_varying(0, 256, i16([1] * 5), i16([1] * 4)),
     "noises length 4 does not match currents length 5."),
    (lambda: sc.batch_lif_run_varying(0, 256, STRIDED, i16([1] * 4)),
     "Cannot read currents: " + NOT_CONTIGUOUS),
    (lambda: sc.batch_lif_run_varying(0, 256, i16([1] * 4), STRIDED),
     "Cannot read noises: " + NOT_CONTIGUOUS),
])
def test_messages(call, message):
    with pytest.raises(ValueError) as e:
        call()
    assert str(e.value) == message


@pytest.mark.parametrize("call, exc, start", [
    (lambda: sc.batch_lif_run_multi(2, 4, 0, 256, np.zeros(2)), TypeError, "argument 'currents'"),
    (lambda: sc.batch_lif_run_multi(2, 4, 0, 256, np.zeros((1, 2), np.int16)), TypeError,
     "argument 'currents'"),
    (lambda: sc.batch_lif_run_varying(0, 256, [1, 2]), TypeError, "argument 'currents'"),
    (lambda: sc.batch_lif_run_varying(0, 256, i16([1]), np.zeros(1, np.int32)), TypeError,
     "argument 'noises'"),
    (lambda: sc.batch_lif_run(4, 0, 256, 1.5), TypeError, "argument 'i_t'"),
    (lambda: sc.batch_lif_run(4, 0, 256, 1, v_threshold=40000), OverflowError, ""),
    (lambda: sc.batch_lif_run(-1, 0, 256, 1), OverflowError, ""),
])
def test_argument_errors(call, exc, start):
    with pytest.raises(exc) as e:
        call()
    assert str(e.value).startswith(start)


@pytest.mark.parametrize("call", [
    lambda: sc.batch_lif_run(3, 0, 256, 1, data_width=17),
    lambda: sc.batch_lif_run_varying(0, 256, i16([1, 2]), data_width=17),
    lambda: sc.batch_lif_run_multi(300, 400, 0, 256, np.ones(300, np.int16), data_width=17),
])
def test_bad_width_stops_the_call(call):
    assert str(panic_of(call)) == "mask width must be 1..=32, got 34"


CHILD = """
import hashlib, json
import numpy as np
import sc_dravik_engine as sc
h = {}
rows = (np.arange(3000, dtype=np.int64) * 7919 % 1500 - 200).astype(np.int16)
s, v = sc.batch_lif_run_multi(len(rows), 300, 25, 256, rows, data_width=14, v_threshold=900)
h["multi"] = hashlib.sha256(s.tobytes() + v.tobytes()).hexdigest()
n = 400
rng = np.random.default_rng(1)
mask = rng.random((n, n)) < 0.1
indptr = np.concatenate([[0], np.cumsum(mask.sum(axis=1))]).astype(np.int64)
indices = np.nonzero(mask)[1].astype(np.int64)
data = rng.integers(-60, 50, len(indices)).astype(np.int16)
net = sc.BrunelNetwork(n, indptr, indices, data, 26, 256, 2.0, 60)
h["brunel"] = net.run(200).tolist()
r = sc.py_simulate_ei_network(ext_rate=30000.0, duration=50.0)
h["ei"] = hashlib.sha256(r["spike_times"].tobytes() + r["spike_neurons"].tobytes()).hexdigest()
print(json.dumps(h))
"""


def test_results_do_not_depend_on_the_worker_count():
    one, eight = (run_child_json(CHILD, threads=t) for t in (1, 8))
    assert one == eight
    assert any(one["brunel"])
    assert run_child_json(CHILD, threads=8) == eight

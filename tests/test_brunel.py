"""BrunelNetwork: construction, the step rule, the external drive, and its failures."""
import random

import numpy as np
import pytest

import sc_dravik_engine as sc
from netref import brunel_counts
from sc_testing import panic_of

NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."


def csr(n, edges):
    """CSR arrays of n source rows from (source, target, weight) edges."""
    edges = sorted(edges, key=lambda e: e[0])
    indptr = np.zeros(n + 1, dtype=np.int64)
    for s, _, _ in edges:
        indptr[s + 1] += 1
    return (np.cumsum(indptr), np.array([t for _, t, _ in edges], dtype=np.int64),
            np.array([w for _, _, w in edges], dtype=np.int16))


# Full leak (leak_k = 256) and unit gain make each neuron's value its input of this step;
# with threshold -1 a neuron spikes unless that input is below -1, and without a refractory
# period it can spike every step.
MIRROR = {"leak_k": 256, "gain_k": 256, "ext_lambda": 0.0, "ext_weight_fp": 0,
          "v_threshold": -1, "refractory_period": 0}


def mirror_net(n, edges, **kw):
    return sc.BrunelNetwork(n, *csr(n, edges), **{**MIRROR, **kw})


def test_signature():
    assert sc.BrunelNetwork.__text_signature__ == (
        "(n_neurons, w_indptr, w_indices, w_data, leak_k, gain_k, ext_lambda, ext_weight_fp, "
        "data_width=16, fraction=8, v_rest=0, v_reset=0, v_threshold=256, refractory_period=2, "
        "seed=42)")
    assert sc.BrunelNetwork.run.__text_signature__ == "($self, n_steps)"
    assert [n for n in dir(sc.BrunelNetwork) if not n.startswith("__")] == ["run"]


def test_spikes_reach_their_targets_one_step_later():
    # 0 inhibits 1 and 1 inhibits 2. Step 0: no earlier spikes, all three fire. Step 1: the
    # step-0 spikes of 0 and 1 silence 1 and 2. Step 2: only 0 fired in step 1, so 2 fires
    # again and 1 stays silent; from then on the pattern repeats.
    net = mirror_net(3, [(0, 1, -10), (1, 2, -10)])
    assert net.run(5).tolist() == [3, 1, 2, 2, 2]


@pytest.mark.parametrize("weights, data_width, fired", [
    # 30000 + 10000 is 40000 in 32 bits and -25536 at 16 bits: silent (saturation would fire).
    ((30000, 10000), 16, 2),
    ((30000, 2000), 16, 3),
    # 100 + 100 wraps to -56 at 8 bits.
    ((100, 100), 8, 2),
    ((100, 27), 8, 3),
])
def test_inputs_wrap_to_the_data_width(weights, data_width, fired):
    net = mirror_net(3, [(0, 2, weights[0]), (1, 2, weights[1])], data_width=data_width)
    assert net.run(2).tolist() == [3, fired]


RNG = random.Random(3)


def random_net(n, p, lo, hi):
    edges = [(i, j, RNG.randrange(lo, hi)) for i in range(n) for j in range(n)
             if i != j and RNG.random() < p]
    return csr(n, edges)


CASES = [
    # n, CSR, leak_k, gain_k, ext_lambda, ext_weight_fp, neuron parameters, steps
    (60, random_net(60, 0.2, -40, 30), 26, 256, 1.5, 60, {}, 60),
    (40, random_net(40, 0.3, -900, 800), -20, 300, 3.0, 40,
     {"data_width": 12, "fraction": 7, "v_rest": 10, "v_reset": -30, "v_threshold": 200,
      "refractory_period": 3, "seed": 9}, 40),
    # External sums far beyond 16 bits, wrapped.
    (30, random_net(30, 0.5, 0, 20), 40, 256, 3.0, 15000, {"refractory_period": 0}, 20),
    # A mean above 700 is drawn by rejection, in bounded time however large it is.
    (4, random_net(4, 0.5, -300, 300), 128, 64, 1500.0, 1, {"v_threshold": 700, "seed": 5}, 4),
    # The saturated count 2^64 - 1 wraps to -1 in 32 bits, times the weight.
    (6, random_net(6, 0.5, -300, 300), 256, 256, 1e308, -300, {"seed": 5}, 6),
]


@pytest.mark.parametrize("n, arrays, leak_k, gain_k, lam, ext_w, params, steps", CASES)
def test_counts_follow_the_reference(n, arrays, leak_k, gain_k, lam, ext_w, params, steps):
    indptr, indices, data = arrays
    net = sc.BrunelNetwork(n, indptr, indices, data, leak_k, gain_k, lam, ext_w, **params)
    got = net.run(steps)
    assert got.dtype == np.uint32
    ref = brunel_counts(n, indptr.tolist(), indices.tolist(), data.tolist(), leak_k, gain_k, lam,
                        ext_w, steps, **params)
    assert got.tolist() == ref
    assert any(ref)


def test_large_means_are_not_cut_off():
    # Each neuron's value is its external count (full leak, unit weight): about half of the
    # counts of mean 1000 reach 1000. A single product run would stop below ~750.
    net = sc.BrunelNetwork(200, *csr(200, []), 256, 256, 1000.0, 1, v_threshold=1000,
                           refractory_period=0)
    fraction = net.run(5).sum() / 1000
    assert 0.4 < fraction < 0.6


def test_runs_continue_and_repeat():
    args = (60, *CASES[0][1], 26, 256, 1.5, 60)
    whole = sc.BrunelNetwork(*args).run(20)
    split = sc.BrunelNetwork(*args)
    assert np.concatenate([split.run(10), split.run(10)]).tolist() == whole.tolist()
    assert sc.BrunelNetwork(*args).run(0).dtype == np.uint32
    assert sc.BrunelNetwork(*args).run(0).shape == (0,)
    assert sc.BrunelNetwork(*args, seed=43).run(20).tolist() != whole.tolist()


@pytest.mark.parametrize("lam", [0.0, -2.0, float("nan")])
def test_no_drive_draws_nothing(lam):
    # Without draws the seed cannot matter, and with zero weights nothing ever fires.
    runs = [sc.BrunelNetwork(5, *csr(5, [(0, 1, 0)]), 0, 256, lam, 1000, seed=s).run(30)
            for s in (1, 2)]
    assert runs[0].tolist() == runs[1].tolist() == [0] * 30


def test_empty_network():
    net = sc.BrunelNetwork(0, np.zeros(1, np.int64), np.zeros(0, np.int64), np.zeros(0, np.int16),
                           0, 256, 2.0, 10)
    assert net.run(4).tolist() == [0, 0, 0, 0]


def arrays(indptr=(0, 0, 0, 0), indices=(), data=()):
    return (np.array(indptr, np.int64), np.array(indices, np.int64), np.array(data, np.int16))


STRIDED64 = np.zeros(8, np.int64)[::2]


@pytest.mark.parametrize("n, a, message", [
    (3, arrays(indptr=(0, 0, 0)), "w_row_offsets length 3 != n_neurons+1=4"),
    (3, arrays(indices=range(5), data=range(4)), "w_col_indices len 5 != w_values len 4"),
    # len(w_indptr) - 1 is compared, so n_neurons + 1 cannot wrap to the length 0.
    (2**64 - 1, arrays(indptr=()), "w_row_offsets length 0 != n_neurons+1=18446744073709551616"),
    # Contiguity is checked for all three arrays, in order, before the lengths.
    (3, (STRIDED64, STRIDED64, np.zeros(4, np.int16)[::2]), "Cannot read w_indptr: " + NOT_CONTIGUOUS),
    (3, (np.zeros(1, np.int64), STRIDED64, np.zeros(4, np.int16)[::2]),
     "Cannot read w_indices: " + NOT_CONTIGUOUS),
    (3, (np.zeros(1, np.int64), np.zeros(4, np.int64), np.zeros(4, np.int16)[::2]),
     "Cannot read w_data: " + NOT_CONTIGUOUS),
])
def test_construction_messages(n, a, message):
    with pytest.raises(ValueError) as e:
        sc.BrunelNetwork(n, *a, 0, 256, 1.0, 10)
    assert str(e.value) == message


def test_argument_kinds():
    with pytest.raises(TypeError, match="^argument 'w_indptr'"):
        sc.BrunelNetwork(3, [0, 0, 0, 0], *arrays()[1:], 0, 256, 1.0, 10)
    with pytest.raises(TypeError, match="^argument 'w_data'"):
        sc.BrunelNetwork(3, *arrays()[:2], np.zeros(0, np.int32), 0, 256, 1.0, 10)
    with pytest.raises(OverflowError):
        sc.BrunelNetwork(3, *arrays(), 0, 256, 1.0, 40000)


@pytest.mark.parametrize("edges_csr, message", [
    # A target that is not a neuron.
    (arrays(indptr=(0, 1, 1, 1), indices=(5,), data=(1,)), "the len is 3 but the index is 5"),
    # A negative target is read as a huge index.
    (arrays(indptr=(0, 1, 1, 1), indices=(-1,), data=(1,)),
     "the len is 3 but the index is 18446744073709551615"),
    # A row end beyond the entries.
    (arrays(indptr=(0, 3, 3, 3), indices=(1, 2), data=(1, 1)), "the len is 2 but the index is 2"),
    (arrays(indptr=(0, 0, 0, 9), indices=(1, 2), data=(1, 1)), "the len is 2 but the index is 2"),
])
def test_bad_csr_stops_the_run_when_its_row_fires(edges_csr, message):
    net = sc.BrunelNetwork(3, *edges_csr, **MIRROR)
    assert net.run(1).tolist() == [3]  # the first step reads no row
    assert str(panic_of(net.run, 1)) == "index out of bounds: " + message
    # A row whose neuron never fires is never read.
    quiet = sc.BrunelNetwork(3, *edges_csr, **{**MIRROR, "v_threshold": 1})
    assert quiet.run(3).tolist() == [0, 0, 0]


@pytest.mark.parametrize("width, reported", [(0, 0), (33, 33), (17, 34)])
def test_bad_width_stops_the_run(width, reported):
    net = sc.BrunelNetwork(2, *csr(2, []), 0, 256, 1.0, 10, data_width=width)
    assert str(panic_of(net.run, 3)) == f"mask width must be 1..=32, got {reported}"
    assert net.run(0).tolist() == []  # still usable

"""Bitstream kernels against NumPy on the same data, as speed-ups (baseline time / engine time).

- popcount_numpy vs arr.sum() (a streaming pass over the same bytes, the memory-rate floor)
  and vs np.unpackbits(arr.view(np.uint8)).sum() (the NumPy way to count bits), at 1 and 64 MiB;
- batch_encode_numpy (4096 probabilities, 1024 bits, default pool) vs
  np.packbits(rng.random((n, L)) < p[:, None], axis=1, bitorder="little");
- BitStreamTensor xor and hamming_distance at dimension 10000 vs NumPy on packed uint64 arrays;
- BitStreamTensor.bundle of 2 and 4 members of 2**24 bits against 3 members of the same length
  (the two-of-three formula), and of 1000 members of 10000 bits against NumPy's unpack-and-sum
  majority (np.unpackbits, a column sum compared with n // 2, np.packbits);
- py_prediction_error against hamming_distance on the same words, at 10000 and 2**24 bits.

Each figure is the minimum over repeats of timeit, baseline and engine timed in the same run.
Targets: popcount at least the arr.sum() rate (speed-up >= 1), batch encoding >= 30x; bundle of
2 and 4 members within 2x of the 3-member time (speed-up >= 0.5), 1000 members at least NumPy's
speed (>= 1); py_prediction_error on 2**24 bits as fast as hamming_distance within noise (>= 0.9).
A missed target is printed as such; the exit status is 0 once every figure is printed.
"""
import os
import sys
import timeit

import numpy as np

import sc_dravik_engine as sc
from timing import best, verdict

REPEATS = 7


def number_for(fn, budget=0.05):
    """Calls per timing so that one timing takes about `budget` seconds."""
    t = timeit.timeit(fn, number=1)
    return max(1, int(budget / max(t, 1e-9)))


def compare(label, engine, baseline, baseline_label, rows, target=None):
    tb = best(baseline, number_for(baseline), REPEATS)
    te = best(engine, number_for(engine), REPEATS)
    ratio = tb / te
    mark = "" if target is None else "  (target >= %gx: %s)" % (target, verdict(ratio >= target))
    rows.append((label, baseline_label, te, tb, ratio, mark))
    return ratio


def main():
    rng = np.random.default_rng(1)
    rows = []

    for mib in (1, 64):
        words = rng.integers(0, 2**64, mib * 2**20 // 8, dtype=np.uint64, endpoint=False)
        assert sc.popcount_numpy(words) == int(np.unpackbits(words.view(np.uint8)).sum())
        label = f"popcount_numpy {mib} MiB"
        compare(label, lambda: sc.popcount_numpy(words), lambda: words.sum(), "arr.sum()", rows, 1.0)
        compare(label, lambda: sc.popcount_numpy(words),
                lambda: np.unpackbits(words.view(np.uint8)).sum(), "unpackbits().sum()", rows)
        del words

    n, L = 4096, 1024
    p = rng.random(n)
    out = sc.batch_encode_numpy(p, L)
    assert out.shape == (n, L // 64)
    gen = np.random.default_rng(2)
    base = np.packbits(gen.random((n, L)) < p[:, None], axis=1, bitorder="little").view(np.uint64)
    assert base.shape == out.shape
    # Same densities up to sampling noise (different generators, so not the same bits).
    assert abs(sc.popcount_numpy(out.ravel()) / (n * L) - p.mean()) < 0.01
    compare(f"batch_encode_numpy {n}x{L}", lambda: sc.batch_encode_numpy(p, L),
            lambda: np.packbits(gen.random((n, L)) < p[:, None], axis=1, bitorder="little"),
            "packbits(random < p)", rows, 30.0)

    dim = 10000
    a, b = sc.BitStreamTensor(dim, 1), sc.BitStreamTensor(dim, 2)
    pa, pb = np.array(a.data, np.uint64), np.array(b.data, np.uint64)
    assert a.xor(b).data == (pa ^ pb).tolist()
    assert a.hamming_distance(b) == np.unpackbits((pa ^ pb).view(np.uint8)).sum() / dim
    compare(f"BitStreamTensor.xor d={dim}", lambda: a.xor(b), lambda: np.bitwise_xor(pa, pb), "pa ^ pb", rows)
    compare(f"hamming_distance d={dim}", lambda: a.hamming_distance(b),
            lambda: np.unpackbits(np.bitwise_xor(pa, pb).view(np.uint8)).sum() / dim,
            "unpackbits(pa ^ pb).sum() / d", rows)

    big = [sc.BitStreamTensor(1 << 24, 10 + i) for i in range(4)]
    three = lambda: sc.BitStreamTensor.bundle(big[:3])
    for k in (2, 4):
        compare(f"bundle {k} x 2**24 bits", lambda: sc.BitStreamTensor.bundle(big[:k]), three,
                "bundle of 3 members", rows, 0.5)
    del big

    n_members, dim = 1000, 10000
    members = [sc.BitStreamTensor(dim, 100 + i) for i in range(n_members)]
    packed = np.array([m.data for m in members], np.uint64)

    def numpy_majority():
        bits = np.unpackbits(packed.view(np.uint8), axis=1, count=dim, bitorder="little")
        return np.packbits(bits.sum(axis=0, dtype=np.int32) > n_members // 2, bitorder="little")

    want = np.zeros(packed.shape[1] * 8, np.uint8)
    want[:(dim + 7) // 8] = numpy_majority()
    assert sc.BitStreamTensor.bundle(members).data == want.view(np.uint64).tolist()
    compare(f"bundle {n_members} x {dim} bits", lambda: sc.BitStreamTensor.bundle(members), numpy_majority,
            "unpackbits, sum, packbits", rows, 1.0)
    del members, packed

    for d, target in ((10000, None), (1 << 24, 0.9)):
        a, b = sc.BitStreamTensor(d, 1), sc.BitStreamTensor(d, 2)
        pa, pb = np.array(a.data, np.uint64), np.array(b.data, np.uint64)
        assert sc.py_prediction_error(pa, pb, d) == a.hamming_distance(b)
        compare(f"py_prediction_error {d} bits", lambda: sc.py_prediction_error(pa, pb, d),
                lambda: a.hamming_distance(b), "hamming_distance", rows, target)

    workers = os.environ.get("RAYON_NUM_THREADS") or f"default ({len(os.sched_getaffinity(0))} CPUs)"
    print(f"bitstream benchmarks: simd tier {sc.simd_tier()}, pool {workers}, min of {REPEATS} repeats")
    print(f"  {'engine call':34s} {'baseline':30s} {'engine':>11s} {'baseline':>11s} {'speed-up':>9s}")
    for label, bl, te, tb, ratio, mark in rows:
        print(f"  {label:34s} {bl:30s} {te * 1e6:9.1f}us {tb * 1e6:9.1f}us {ratio:8.2f}x{mark}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Bitstream kernels against NumPy on the same data, as speed-ups (baseline time / engine time).

- popcount_numpy vs arr.sum() (a streaming pass over the same bytes, the memory-rate floor)
  and vs np.unpackbits(arr.view(np.uint8)).sum() (the NumPy way to count bits), at 1 and 64 MiB;
- batch_encode_numpy (4096 probabilities, 1024 bits, default pool) vs
  np.packbits(rng.random((n, L)) < p[:, None], axis=1, bitorder="little");
- BitStreamTensor xor and hamming_distance at dimension 10000 vs NumPy on packed uint64 arrays.

Each figure is the minimum over repeats of timeit, baseline and engine timed in the same run.
Targets: popcount at least the arr.sum() rate (speed-up >= 1), batch encoding >= 30x.
"""
import os
import sys
import timeit

import numpy as np

import sc_dravik_engine as sc

REPEATS = 7


def best(fn, number):
    return min(timeit.repeat(fn, number=number, repeat=REPEATS)) / number


def number_for(fn, budget=0.05):
    """Calls per timing so that one timing takes about `budget` seconds."""
    t = timeit.timeit(fn, number=1)
    return max(1, int(budget / max(t, 1e-9)))


def compare(label, engine, baseline, baseline_label, rows, target=None):
    n = number_for(baseline)
    tb = best(baseline, n)
    n = number_for(engine)
    te = best(engine, n)
    ratio = tb / te
    mark = "" if target is None else ("  (target >= %gx: %s)" % (target, "met" if ratio >= target else "MISSED"))
    rows.append((label, baseline_label, te, tb, ratio, mark))
    return ratio


def main():
    rng = np.random.default_rng(1)
    rows = []
    ok = True

    for mib in (1, 64):
        words = rng.integers(0, 2**64, mib * 2**20 // 8, dtype=np.uint64, endpoint=False)
        assert sc.popcount_numpy(words) == int(np.unpackbits(words.view(np.uint8)).sum())
        label = f"popcount_numpy {mib} MiB"
        r = compare(label, lambda: sc.popcount_numpy(words), lambda: words.sum(), "arr.sum()", rows, 1.0)
        ok &= r >= 1.0
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
    r = compare(f"batch_encode_numpy {n}x{L}", lambda: sc.batch_encode_numpy(p, L),
                lambda: np.packbits(gen.random((n, L)) < p[:, None], axis=1, bitorder="little"),
                "packbits(random < p)", rows, 30.0)
    ok &= r >= 30.0

    dim = 10000
    a, b = sc.BitStreamTensor(dim, 1), sc.BitStreamTensor(dim, 2)
    pa, pb = np.array(a.data, np.uint64), np.array(b.data, np.uint64)
    assert a.xor(b).data == (pa ^ pb).tolist()
    assert a.hamming_distance(b) == np.unpackbits((pa ^ pb).view(np.uint8)).sum() / dim
    compare(f"BitStreamTensor.xor d={dim}", lambda: a.xor(b), lambda: np.bitwise_xor(pa, pb), "pa ^ pb", rows)
    compare(f"hamming_distance d={dim}", lambda: a.hamming_distance(b),
            lambda: np.unpackbits(np.bitwise_xor(pa, pb).view(np.uint8)).sum() / dim,
            "unpackbits(pa ^ pb).sum() / d", rows)

    workers = os.environ.get("RAYON_NUM_THREADS") or f"default ({len(os.sched_getaffinity(0))} CPUs)"
    print(f"bitstream benchmarks: simd tier {sc.simd_tier()}, pool {workers}, min of {REPEATS} repeats")
    print(f"  {'engine call':34s} {'baseline':30s} {'engine':>11s} {'baseline':>11s} {'speed-up':>9s}")
    for label, bl, te, tb, ratio, mark in rows:
        print(f"  {label:34s} {bl:30s} {te * 1e6:9.1f}us {tb * 1e6:9.1f}us {ratio:8.2f}x{mark}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())

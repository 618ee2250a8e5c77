"""Dense layer speed, as ratios to baselines timed in the same run.

For a 1024-input x 256-neuron layer at length 1024:
  (a) forward_numpy, and forward_batch_numpy per sample of a batch of 64, against popcount_numpy
      over as many uint64 words as the packed weights hold: every forward pass must read all
      of them once, so that count is the memory-streaming limit;
  (b) the fused path against the per-neuron re-encoding it replaces (the bench_dense program
      built next to the module);
  (c) construction (drawing and packing the weights), against forward_numpy.
"""
import os
import subprocess
import sys

import numpy as np

import sc_dravik_engine as sc
from timing import best_warm, verdict

N_INPUTS, N_NEURONS, LENGTH, BATCH = 1024, 256, 1024, 64


def main():
    words = N_NEURONS * N_INPUTS * ((LENGTH + 63) // 64)
    rng = np.random.default_rng(1)
    weights_sized = rng.integers(0, 2**64 - 1, size=words, dtype=np.uint64, endpoint=True)
    layer = sc.DenseLayer(N_INPUTS, N_NEURONS, LENGTH)
    x = rng.uniform(0, 1, N_INPUTS)
    batch = rng.uniform(0, 1, (BATCH, N_INPUTS))

    t_stream = best_warm(lambda: sc.popcount_numpy(weights_sized), 30)
    t_fwd = best_warm(lambda: layer.forward_numpy(x, 5), 30)
    t_batch = best_warm(lambda: layer.forward_batch_numpy(batch, 5), 10) / BATCH
    t_new = best_warm(lambda: sc.DenseLayer(N_INPUTS, N_NEURONS, LENGTH), 5)

    print(f"dense layer {N_INPUTS} inputs x {N_NEURONS} neurons, length {LENGTH}, "
          f"simd tier {sc.simd_tier()}, best of several runs")
    print(f"  streaming limit: popcount_numpy over {words:,} words ({words * 8 / 2**20:.0f} MiB) "
          f"= {t_stream * 1e3:.3f} ms")
    print(f"  (a) forward_numpy:                {t_fwd * 1e3:8.3f} ms  = {t_fwd / t_stream:5.2f}x the limit"
          f" (target <= 3x: {verdict(t_fwd / t_stream <= 3)})")
    print(f"      forward_batch_numpy / sample: {t_batch * 1e3:8.3f} ms  = {t_batch / t_stream:5.2f}x the limit"
          f" (target <= 2x, batch of {BATCH}: {verdict(t_batch / t_stream <= 2)})")

    prog = os.path.join(os.path.dirname(os.path.abspath(sc.__file__)), "bench_dense")
    if os.access(prog, os.X_OK):
        done = subprocess.run([prog, str(N_INPUTS), str(N_NEURONS), str(LENGTH)],
                              capture_output=True, text=True)
        if done.returncode != 0:
            print(done.stderr, end="", file=sys.stderr)
            return 1
        print("  (b) " + done.stdout.strip())
    else:
        print(f"  (b) {prog} not found: configure with -DSC_BUILD_BENCH=ON (make bench does)")

    print(f"  (c) construction:                 {t_new * 1e3:8.3f} ms  = {t_new / t_fwd:5.1f}x forward_numpy")
    return 0


if __name__ == "__main__":
    sys.exit(main())

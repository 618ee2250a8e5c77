"""Graph layer and attention speed, as ratios to NumPy versions of the same formulas timed in
the same run.

  (a) StochasticGraphLayer.forward, 1000 nodes, 5% density, 64 features, with the adjacency
      stored dense (constructor) and as CSR (from_dense_auto), against NumPy's
      tanh(((A @ X) / degree) @ W);
  (b) StochasticAttention.forward_softmax on 256 x 64 queries, keys and values against
      softmax(Q K^T / 8) V, and forward_multihead with 8 heads against the per-head
      (S / rowsum(S)) V_h, side by side;
  (c) the bitstream forms (attention 256 x 64, graph of 1000 nodes in CSR form, length 1024)
      with the default pool, against the same calls on one worker in a child process.

Inputs are NumPy arrays for both sides; the engine returns lists of rows, and that
conversion is part of its time. Targets for (a) and (b): at most NumPy's time (ratio <= 1).
"""
import json
import os
import sys

import numpy as np

import sc_dravik_engine as sc
from timing import best_warm, run_self, verdict

N_NODES, DENSITY, N_FEATURES = 1000, 0.05, 64
ROWS, COLS, HEADS = 256, 64, 8
SC_LENGTH = 1024


def inputs():
    rng = np.random.default_rng(1)
    adj = np.where(rng.random((N_NODES, N_NODES)) < DENSITY, rng.random((N_NODES, N_NODES)), 0.0)
    x = rng.random((N_NODES, N_FEATURES))
    q, k, v = (rng.random((ROWS, COLS)) for _ in range(3))
    return adj, x, q, k, v


def sc_times(runs):
    """Seconds of the two bitstream passes in this process."""
    adj, x, q, k, v = inputs()
    att = sc.StochasticAttention(COLS)
    lay = sc.StochasticGraphLayer.from_dense_auto(adj, N_FEATURES, 3)
    return (best_warm(lambda: att.forward_sc(q, k, v, SC_LENGTH), runs),
            best_warm(lambda: lay.forward_sc(x, SC_LENGTH), runs))


def line(label, t, base, base_label, target=1.0):
    ratio = t / base
    print(f"  {label:<34} {t * 1e3:8.3f} ms  {base_label} {base * 1e3:8.3f} ms  "
          f"ratio {ratio:5.2f} (target <= {target:.2f}: {verdict(ratio <= target)})")


def main():
    if "--sc-child" in sys.argv:
        print(json.dumps(sc_times(3)))
        return 0

    adj, x, q, k, v = inputs()
    dense = sc.StochasticGraphLayer(adj, N_FEATURES, 3)
    csr = sc.StochasticGraphLayer.from_dense_auto(adj, N_FEATURES, 3)
    assert csr.is_sparse() and not dense.is_sparse()
    w = np.array(dense.get_weights()).reshape(N_FEATURES, N_FEATURES)
    deg = adj.sum(axis=1)
    div = np.where(deg != 0, deg, 1.0)[:, None]

    def numpy_graph():
        return np.tanh(((adj @ x) / div) @ w)

    att = sc.StochasticAttention(COLS)
    scale = 1.0 / np.sqrt(COLS)

    def numpy_softmax():
        s = (q @ k.T) * scale
        e = np.exp(s - s.max(axis=1, keepdims=True))
        return (e / e.sum(axis=1, keepdims=True)) @ v

    hw = COLS // HEADS

    def numpy_multihead():
        out = []
        for h in range(HEADS):
            c = slice(h * hw, (h + 1) * hw)
            s = q[:, c] @ k[:, c].T
            total = s.sum(axis=1, keepdims=True)
            out.append((s / np.where(total == 0, 1.0, total)) @ v[:, c])
        return np.hstack(out)

    # The engine's results are the formulas' (up to rounding), so the comparison is like for like.
    assert np.allclose(np.array(dense.forward(x)), numpy_graph())
    assert np.allclose(np.array(att.forward_softmax(q, k, v)), numpy_softmax())
    assert np.allclose(np.array(att.forward_multihead(q, k, v, HEADS)), numpy_multihead())

    t_np_graph = best_warm(numpy_graph, 30)
    t_dense = best_warm(lambda: dense.forward(x), 30)
    t_csr = best_warm(lambda: csr.forward(x), 30)
    t_np_soft = best_warm(numpy_softmax, 50)
    t_soft = best_warm(lambda: att.forward_softmax(q, k, v), 50)
    t_np_multi = best_warm(numpy_multihead, 50)
    t_multi = best_warm(lambda: att.forward_multihead(q, k, v, HEADS), 50)

    print(f"graph layer and attention, simd tier {sc.simd_tier()}, {os.cpu_count()} cpus, best of several runs")
    print(f"(a) graph forward, {N_NODES} nodes, {DENSITY:.0%} density, {N_FEATURES} features")
    line("dense adjacency", t_dense, t_np_graph, "numpy")
    line("CSR adjacency (from_dense_auto)", t_csr, t_np_graph, "numpy")
    print(f"(b) attention, {ROWS} x {COLS}")
    line("forward_softmax", t_soft, t_np_soft, "numpy")
    line(f"forward_multihead, {HEADS} heads", t_multi, t_np_multi, "numpy")

    t_sc_att, t_sc_graph = sc_times(3)
    one_att, one_graph = run_self(__file__, "--sc-child", 1)
    print(f"(c) bitstream forms, length {SC_LENGTH}, default pool against one worker")
    line(f"attention forward_sc {ROWS} x {COLS}", t_sc_att, one_att, "1 worker")
    line(f"graph forward_sc {N_NODES} nodes (CSR)", t_sc_graph, one_graph, "1 worker")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Argument conversion: float64 NumPy arrays given where a float sequence or matrix is accepted,
against the same values as Python lists (the baseline users would otherwise pass).

Target: an (N, N) float64 array converts at least as fast as nested lists. Each figure is the
best of several repeats, since the machine may be busy.
"""
import numpy as np

import sc_dravik_engine as sc
from timing import best, verdict


def report(label, array_s, list_s):
    ratio = list_s / array_s
    print(f"{label:<44} array {array_s * 1e3:8.2f} ms  lists {list_s * 1e3:8.2f} ms  "
          f"{ratio:5.1f}x (target >= 1x: {verdict(ratio >= 1.0)})")


def main():
    n = 2000
    rng = np.random.default_rng(1)
    k = rng.normal(size=(n, n))
    k_lists = k.tolist()
    omega, theta = rng.normal(size=n), rng.uniform(0, 6, n)
    omega_l, theta_l = omega.tolist(), theta.tolist()
    print(f"Conversion of float64 arrays against lists, N = {n}")
    report("KuramotoSolver(omega, K, phases) C order",
           best(lambda: sc.KuramotoSolver(omega, k, theta, 0.0)),
           best(lambda: sc.KuramotoSolver(omega_l, k_lists, theta_l, 0.0)))
    kf = np.asfortranarray(k)
    report("KuramotoSolver(...) K in Fortran order",
           best(lambda: sc.KuramotoSolver(omega, kf, theta, 0.0)),
           best(lambda: sc.KuramotoSolver(omega_l, k_lists, theta_l, 0.0)))
    s = sc.KuramotoSolver(omega_l, k_lists, theta_l, 0.0)
    report("set_coupling(K)", best(lambda: s.set_coupling(k)), best(lambda: s.set_coupling(k_lists)))
    big = rng.uniform(0, 6, 1 << 20)
    big_l = big.tolist()
    glyph = [0.1] * 6
    report("consciousness_index(phases) 2^20 phases",
           best(lambda: sc.KVRAMetrics.consciousness_index(big, glyph)),
           best(lambda: sc.KVRAMetrics.consciousness_index(big_l, glyph)))


if __name__ == "__main__":
    main()

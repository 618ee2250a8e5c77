"""Kuramoto steps and runs and Phi* as ratios to NumPy implementations of the same formulas.

- KuramotoSolver.step at N = 8 .. 1024 with 8 workers against the same step with 1 worker and
  against the NumPy step (the sine matrix as `K * sin(theta[None, :] - theta[:, None])`, its
  row sums, the update and the order parameter). A pool has one size per process, so each
  worker count runs in a child interpreter; the children take turns, ROUNDS times, and each
  figure is the minimum over all rounds and repeats. Targets: 8 workers no slower than 1 at
  any N (ratio >= 0.95: both run the same inline code below the pool threshold, so what is left
  is timing noise), and at least as fast as NumPy for N >= 128.
- KuramotoSolver.run(50, 0.01) at N = 256 and 2048 against a NumPy Euler run (target: at least
  NumPy's speed).
- py_phi_star at n = 16, T = 2000 against NumPy covariances (np.cov) and determinants
  (np.linalg.det) per cut.
- py_phi_star on long AR(1) series (n = 2 at T = 200,000 and 2,000,000; n = 8 at 100,000 and
  1,000,000) against NumPy's covariance of the stacked past and present (one np.cov) with
  slogdet of each cut's blocks. Target: the cost per sample at the long series within 2x of
  that at the short one.
Each figure is the best of several repeats, since the machine may be busy.
"""
import json
import sys

import numpy as np

import sc_dravik_engine as sc
from timing import best, run_self, verdict

TWO_PI = 6.283185307179586
REPEATS = 10
STEP_SIZES = (8, 16, 24, 32, 48, 64, 96, 128, 192, 256, 512, 1024)
ROUNDS = 3


def system(n):
    rng = np.random.default_rng(n)
    return rng.normal(1.0, 0.2, n), rng.normal(1.0, 0.5, (n, n)), rng.uniform(0.0, TWO_PI, n)


def numpy_step(omega, k, theta, dt):
    s = (k * np.sin(theta[None, :] - theta[:, None])).sum(axis=1)
    theta = np.mod((s / theta.size + omega) * dt + theta, TWO_PI)
    return np.hypot(np.sin(theta).mean(), np.cos(theta).mean()), theta


def time_steps():
    """Seconds per step of the engine and of NumPy at every size, in this process's pool."""
    out = {}
    for n in STEP_SIZES:
        omega, k, theta = system(n)
        solver = sc.KuramotoSolver(omega.tolist(), k.tolist(), theta.tolist(), 0.0)
        number = max(1, 20000 // n)
        out[n] = (best(lambda: solver.step(0.01), number, 7),
                  best(lambda: numpy_step(omega, k, theta, 0.01), number, 7))
    return out


def child_steps(workers):
    return {int(n): t for n, t in run_self(__file__, "--steps", workers).items()}


def bench_steps():
    one, eight, numpy_t = {}, {}, {}
    for _ in range(ROUNDS):
        for workers, into in ((1, one), (8, eight)):
            for n, (te, tn) in child_steps(workers).items():
                into[n] = min(into.get(n, te), te)
                numpy_t[n] = min(numpy_t.get(n, tn), tn)
    print(f"KuramotoSolver.step, min over {ROUNDS} rounds of 7 repeats per worker count")
    print(f"  {'N':>5s} {'8 workers us':>13s} {'1 worker us':>12s} {'numpy us':>9s}"
          f" {'1w / 8w':>8s} {'numpy / 8w':>11s}")
    for n in STEP_SIZES:
        t8, t1, tn = eight[n], one[n], numpy_t[n]
        line = (f"  {n:5d} {t8 * 1e6:13.2f} {t1 * 1e6:12.2f} {tn * 1e6:9.2f}"
                f" {t1 / t8:7.2f}x {tn / t8:10.2f}x  (target 1w/8w >= 0.95: {verdict(t1 / t8 >= 0.95)}")
        if n >= 128:
            line += f"; numpy/8w >= 1: {verdict(tn / t8 >= 1.0)}"
        print(line + ")")


def numpy_run(omega, k, theta, n_steps, dt):
    out = []
    for _ in range(n_steps):
        r, theta = numpy_step(omega, k, theta, dt)
        out.append(r)
    return out, theta


def bench_kuramoto(n, n_steps=50, dt=0.01):
    omega, k, theta = system(n)
    solver = sc.KuramotoSolver(omega.tolist(), k.tolist(), theta.tolist(), 0.0)

    # Both start from the same phases on every repeat.
    def engine():
        solver.set_phases(theta.tolist())
        return solver.run(n_steps, dt)

    r_engine = engine()
    r_numpy, _ = numpy_run(omega, k, theta, n_steps, dt)
    agree = max(abs(a - b) for a, b in zip(r_engine, r_numpy))
    t_engine = best(engine, repeats=REPEATS)
    t_numpy = best(lambda: numpy_run(omega, k, theta, n_steps, dt), repeats=REPEATS)
    return t_engine, t_numpy, agree


def numpy_mi(x, y):
    def det(rows):
        c = np.atleast_2d(np.cov(rows))
        return max(np.linalg.det(c + 1e-10 * np.eye(c.shape[0])), 1e-300)

    mi = 0.5 * np.log(det(y) * det(x) / det(np.vstack([x, y])))
    return max(mi, 0.0)


def numpy_phi(x, tau):
    n, t = x.shape
    if n <= 1 or 2 * tau >= t:
        return 0.0
    past, present = x[:, : t - tau], x[:, tau:]
    whole = numpy_mi(past, present)
    m = min(numpy_mi(past[:j], present[:j]) + numpy_mi(past[j:], present[j:]) for j in range(1, n))
    return max(whole - m, 0.0)


def bench_phi(n=16, t=2000, tau=1):
    rng = np.random.default_rng(7)
    x = np.zeros((n, t))
    x[:, 0] = rng.normal(size=n)
    a = 0.5 * np.roll(np.eye(n), 1, axis=1) + 0.3 * np.eye(n)
    for s in range(1, t):
        x[:, s] = a @ x[:, s - 1] + rng.normal(size=n)
    p_engine, p_numpy = sc.py_phi_star(x, tau), numpy_phi(x, tau)
    t_engine = best(lambda: sc.py_phi_star(x, tau), 20, REPEATS)
    t_numpy = best(lambda: numpy_phi(x, tau), 2, REPEATS)
    return t_engine, t_numpy, p_engine, p_numpy


def numpy_phi_stacked(x, tau):
    """Phi* from one covariance of the stacked past and present, the cuts' blocks read from it."""
    n, t = x.shape
    c = np.cov(np.vstack([x[:, : t - tau], x[:, tau:]])) + 1e-10 * np.eye(2 * n)

    def logdet(idx):
        sign, ld = np.linalg.slogdet(c[np.ix_(idx, idx)])
        return ld if sign > 0 else np.log(1e-300)

    def mi(a, b):
        past, present = list(range(a, b)), list(range(n + a, n + b))
        return max(0.5 * (logdet(present) + logdet(past) - logdet(past + present)), 0.0)

    m = min(mi(0, j) + mi(j, n) for j in range(1, n))
    return max(mi(0, n) - m, 0.0)


def ar1_series(n, t, seed):
    """x[t] = 0.9 x[t - 1] + noise, each variable driven by its neighbour (tau 1)."""
    rng = np.random.default_rng(seed)
    e = rng.normal(size=(n, t))
    x = np.empty((n, t))
    x[:, 0] = e[:, 0]
    for s in range(1, t):
        x[:, s] = 0.9 * np.roll(x[:, s - 1], 1) + e[:, s]
    return x


def bench_phi_long():
    print("py_phi_star on long series (AR(1), tau 1), best of 5; numpy: one np.cov of the stacked "
          "past and present, slogdet per cut")
    print(f"  {'n':>3s} {'T':>10s} {'engine ms':>10s} {'ns/sample':>10s} {'numpy ms':>10s} {'speed-up':>9s}")
    for n, lengths in ((2, (200_000, 2_000_000)), (8, (100_000, 1_000_000))):
        per = []
        for t in lengths:
            x = ar1_series(n, t, n)
            te = best(lambda: sc.py_phi_star(x, 1), 1, 5)
            tn = best(lambda: numpy_phi_stacked(x, 1), 1, 5)
            per.append(te / t)
            print(f"  {n:3d} {t:10d} {te * 1e3:10.2f} {te / t * 1e9:10.2f} {tn * 1e3:10.2f} {tn / te:8.2f}x"
                  f"  (Phi* {sc.py_phi_star(x, 1):.6g} vs {numpy_phi_stacked(x, 1):.6g})")
        ratio = per[1] / per[0]
        print(f"      per sample, T = {lengths[1]:,} against {lengths[0]:,}: {ratio:.2f}x"
              f"  (target <= 2x: {verdict(ratio <= 2.0)})")


def main():
    if sys.argv[1:] == ["--steps"]:
        print(json.dumps(time_steps()))
        return 0
    bench_steps()
    print("KuramotoSolver.run(50, 0.01), default pool, best of", REPEATS)
    print(f"  {'N':>6s} {'engine ms':>10s} {'numpy ms':>10s} {'speed-up':>9s} {'max |dR|':>10s}")
    for n in (256, 2048):
        te, tn, agree = bench_kuramoto(n)
        print(f"  {n:6d} {te * 1e3:10.2f} {tn * 1e3:10.2f} {tn / te:8.1f}x {agree:10.1e}"
              f"  (target >= 1x: {verdict(tn / te >= 1.0)})")
    te, tn, pe, pn = bench_phi()
    print("py_phi_star, n = 16, T = 2000, tau = 1, best of", REPEATS)
    print(f"  engine {te * 1e3:.2f} ms, numpy {tn * 1e3:.2f} ms, speed-up {tn / te:.1f}x"
          f"  (Phi* {pe:.6g} vs {pn:.6g})")
    bench_phi_long()
    return 0


if __name__ == "__main__":
    sys.exit(main())

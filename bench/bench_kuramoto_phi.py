"""Kuramoto runs and Phi* as ratios to NumPy implementations of the same formulas.

KuramotoSolver.run(50, 0.01) at N = 256 and 2048 against a NumPy Euler step (the sine
matrix as one array expression, row sums, update, order parameter); py_phi_star at n = 16,
T = 2000 against NumPy covariances (np.cov) and determinants (np.linalg.det) per cut.
Each figure is the best of several repeats, since the machine may be busy.
"""
import sys
import timeit

import numpy as np

import sc_dravik_engine as sc

TWO_PI = 6.283185307179586
REPEATS = 10


def best(fn, number=1, repeats=REPEATS):
    return min(timeit.repeat(fn, number=number, repeat=repeats)) / number


def numpy_run(omega, k, theta, n_steps, dt):
    n = theta.size
    out = []
    for _ in range(n_steps):
        s = (k * np.sin(theta[None, :] - theta[:, None])).sum(axis=1)
        v = s / n + omega
        theta = np.mod(v * dt + theta, TWO_PI)
        out.append(np.hypot(np.sin(theta).mean(), np.cos(theta).mean()))
    return out, theta


def bench_kuramoto(n, n_steps=50, dt=0.01):
    rng = np.random.default_rng(n)
    omega = rng.normal(1.0, 0.2, n)
    k = rng.normal(1.0, 0.5, (n, n))
    theta = rng.uniform(0.0, TWO_PI, n)
    solver = sc.KuramotoSolver(omega.tolist(), k.tolist(), theta.tolist(), 0.0)

    # Both start from the same phases on every repeat.
    def engine():
        solver.set_phases(theta.tolist())
        return solver.run(n_steps, dt)

    r_engine = engine()
    r_numpy, _ = numpy_run(omega, k, theta, n_steps, dt)
    agree = max(abs(a - b) for a, b in zip(r_engine, r_numpy))
    t_engine = best(engine)
    t_numpy = best(lambda: numpy_run(omega, k, theta, n_steps, dt))
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
    t_engine = best(lambda: sc.py_phi_star(x, tau), number=20)
    t_numpy = best(lambda: numpy_phi(x, tau), number=2)
    return t_engine, t_numpy, p_engine, p_numpy


def main():
    print("KuramotoSolver.run(50, 0.01), default pool, best of", REPEATS)
    print(f"  {'N':>6s} {'engine ms':>10s} {'numpy ms':>10s} {'speed-up':>9s} {'max |dR|':>10s}")
    for n in (256, 2048):
        te, tn, agree = bench_kuramoto(n)
        print(f"  {n:6d} {te * 1e3:10.2f} {tn * 1e3:10.2f} {tn / te:8.1f}x {agree:10.1e}")
    te, tn, pe, pn = bench_phi()
    print("py_phi_star, n = 16, T = 2000, tau = 1, best of", REPEATS)
    print(f"  engine {te * 1e3:.2f} ms, numpy {tn * 1e3:.2f} ms, speed-up {tn / te:.1f}x"
          f"  (Phi* {pe:.6g} vs {pn:.6g})")
    return 0


if __name__ == "__main__":
    sys.exit(main())

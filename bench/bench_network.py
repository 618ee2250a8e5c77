"""NetworkRunner against Brian2 on the same network.

10,000 Izhikevich neurons in one population with a random 1% self-projection (each ordered
pair connected with probability 0.01, weight 5.0, about a million synapses), 1,000 steps of
1 ms. The engine runs with the default pool, and in child interpreters with 1, 2, 4 and 8
workers for the speed-up; Brian2 runs the same equations and connectivity on its numpy target
and as a C++ standalone program, single-threaded and with as many OpenMP threads as the pool
has workers, each in a child interpreter. Figures are steps per second of the simulation
alone: network construction is not timed, nor Brian2's code generation and compilation (the
C++ figure is the run time the compiled program measures itself).

Targets: at least 10x Brian2's numpy target; faster than its C++ standalone device both
single-threaded and with OpenMP threads; a near-linear speed-up from 1 to 8 workers.

Then the cost of a projection's delay: 20 projections from 200,000 source neurons to 10
targets (one entry per source row), at delays 0, 1 and 8. With silent sources (Izhikevich at
rest, 200 steps) a delayed projection should cost what an undelayed one does: target, delay 8
within 1.5x of delay 0. With sources that spike on every step (PerfectIntegrator neurons kept
firing by a self-projection, 20 steps) every row is delivered whatever the delay, and the
delay's bookkeeping is beside that: the figures are printed against delay 0. Their target, no
slower than the ring of flag arrays that delayed projections kept before, needs that build and
is not timed here.
"""
import json
import os
import sys
import tempfile
import textwrap
import time

import numpy as np

import sc_dravik_engine as sc
from timing import BRIAN_RUN, run_brian, run_self, verdict

N, P_CONN, WEIGHT, STEPS, REPEATS = 10_000, 0.01, 5.0, 1_000, 3

NOTES = """\
what differs between the two networks:
  - integration: the engine's Izhikevich step is two Euler half-steps of 0.5 ms per 1 ms step;
    Brian2 integrates the same equations by one Euler step of 1 ms, and its C++ build uses its
    own default flags (-O3 -ffast-math -march=native);
  - a spike's weights reach the target's input current of the next step in both (the engine's
    projection; Brian2's I_post += w, with I cleared after each step's update);
  - neither network receives outside input, so both stay at rest and fire nothing: the figures
    are the cost of stepping 10,000 neurons and looking for spikes, which is what the runner's
    step loop does for any network."""

BRIAN_CHILD = r"""
import json, sys, time, warnings
warnings.filterwarnings("ignore")
import numpy as np
from brian2 import (ms, Network, NeuronGroup, SpikeMonitor, Synapses, defaultclock, device, prefs,
                    set_device)
target, data_path, build_dir, threads = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
d = np.load(data_path)
steps = int(d["steps"])
if target == "cpp_standalone":
    set_device("cpp_standalone", directory=build_dir)
    prefs.devices.cpp_standalone.openmp_threads = threads
else:
    prefs.codegen.target = "numpy"
defaultclock.dt = 1 * ms
eqs = '''
dv/dt = (0.04 * v**2 + 5 * v + 140 - u + I) / ms : 1
du/dt = a * (b * v - u) / ms : 1
I : 1
a : 1
b : 1
c : 1
dd : 1
'''
G = NeuronGroup(int(d["n"]), eqs, threshold="v >= 30", reset="v = c; u += dd", method="euler")
G.a, G.b, G.c, G.dd = 0.02, 0.2, -65.0, 8.0
G.v = -65.0
G.u = 0.2 * -65.0
G.run_regularly("I = 0", when="after_resets")
S = Synapses(G, G, "w : 1", on_pre="I_post += w")
S.connect(i=d["sources"], j=d["targets"])
S.w = float(d["weight"])
M = SpikeMonitor(G, record=False)
net = Network(G, S, M)
"""



def network(seed=7):
    """CSR rows of the self-projection: targets of each source, i != j with probability P_CONN."""
    rng = np.random.default_rng(seed)
    offsets, cols = [0], []
    for i in range(N):
        t = np.nonzero(rng.random(N) < P_CONN)[0]
        t = t[t != i]
        cols.append(t)
        offsets.append(offsets[-1] + len(t))
    return np.array(offsets, np.int64), np.concatenate(cols).astype(np.int64)


def engine_seconds(offsets, cols):
    best, spikes = float("inf"), 0
    row_offsets, col_indices, values = offsets.tolist(), cols.tolist(), [WEIGHT] * len(cols)
    for _ in range(REPEATS):
        r = sc.NetworkRunner()
        r.add_population("Izhikevich", N)
        r.add_projection(0, 0, row_offsets, col_indices, values)
        r.run(5)  # the pool wakes up
        start = time.perf_counter()
        out = r.run(STEPS)
        best = min(best, time.perf_counter() - start)
        spikes = int(out["spike_counts"].sum())
    return best, spikes


def large_seconds():
    """One run of 100,000 Izhikevich neurons without a projection: the step loop alone, with
    ten times the work per step."""
    r = sc.NetworkRunner()
    r.add_population("Izhikevich", 10 * N)
    r.run(5)
    start = time.perf_counter()
    r.run(STEPS // 10)
    return time.perf_counter() - start


D_SOURCES, D_TARGETS, D_PROJECTIONS = 200_000, 10, 20


def delay_runner(delay, spiking):
    """The delay workload: population 0 the sources, 1 the targets (2 the driver that starts
    spiking sources firing), projections 0 -> 1 at `delay`, warmed up so that the timed run
    starts in its steady state."""
    r = sc.NetworkRunner()
    r.add_population("PerfectIntegrator" if spiking else "Izhikevich", D_SOURCES)
    r.add_population("Izhikevich", D_TARGETS)
    rows = list(range(D_SOURCES + 1))
    to_targets = [k % D_TARGETS for k in range(D_SOURCES)]
    for _ in range(D_PROJECTIONS):
        r.add_projection(0, 1, rows, to_targets, [1.0] * D_SOURCES, delay)
    if spiking:
        # Once kicked by the driver, each source gets 100 from itself on every step: v = 10.
        r.add_population("GalvesLocherbach", 1)
        r.add_projection(2, 0, [0, D_SOURCES], list(range(D_SOURCES)), [100.0] * D_SOURCES)
        r.add_projection(0, 0, rows, list(range(D_SOURCES)), [100.0] * D_SOURCES)
    r.run(60 if spiking else 5)
    return r


def delay_seconds(delay, spiking):
    """Best of REPEATS runs of the delay workload, and its sources' spikes per step."""
    steps = 20 if spiking else 200
    r = delay_runner(delay, spiking)
    best, per_step = float("inf"), 0
    for _ in range(REPEATS):
        start = time.perf_counter()
        out = r.run(steps)
        best = min(best, time.perf_counter() - start)
        per_step = int(out["spike_counts"][0]) // steps
    return best, per_step


def delay_section():
    print(f"Delayed projections: {D_PROJECTIONS} projections from {D_SOURCES:,} sources to {D_TARGETS} "
          f"targets")
    for spiking in (False, True):
        times = {d: delay_seconds(d, spiking) for d in (0, 1, 8)}
        base = times[0][0]
        label = "sources spiking on every step, 20 steps" if spiking else "silent sources, 200 steps"
        print(f"  {label} ({times[0][1]:,} source spikes per step):")
        for d, (t, _) in times.items():
            line = f"    delay {d}: {t:.3f} s  ({t / base:.2f}x delay 0)"
            if d == 8 and not spiking:
                line += f"  (target within 1.5x of delay 0: {verdict(t <= 1.5 * base)})"
            print(line)


def main():
    if "--delays" in sys.argv:
        delay_section()
        return 0
    if "--large" in sys.argv:
        print(json.dumps(min(large_seconds() for _ in range(REPEATS))))
        return 0
    offsets, cols = network()
    if "--child" in sys.argv:
        print(json.dumps(engine_seconds(offsets, cols)[0]))
        return 0
    workers = len(os.sched_getaffinity(0))
    print(f"Izhikevich network: {N:,} neurons, {len(cols):,} synapses (p = {P_CONN}), {STEPS:,} steps "
          f"of 1 ms, default pool of {workers} workers")
    seconds, spikes = engine_seconds(offsets, cols)
    engine_sps = STEPS / seconds
    print(f"  engine NetworkRunner.run     {engine_sps:10,.0f} steps/s  ({seconds:.3f} s, best of "
          f"{REPEATS}; {spikes} spikes)")
    by_workers = {w: run_self(__file__, "--child", w) for w in (1, 2, 4, 8)}
    one = by_workers[1]
    print("  speed-up over 1 worker: " + ", ".join(
        f"{w}: {one / t:.2f}x" for w, t in by_workers.items()) +
        f"  (target near-linear, 8 workers at least 6x: {verdict(one / by_workers[8] >= 6.0)})")
    large = {w: run_self(__file__, "--large", w) for w in (1, 8)}
    print(f"  for scale, 100,000 neurons (the step loop alone): 8 workers {large[1] / large[8]:.2f}x "
          f"over 1 worker ({large[8] * 1e6 / (STEPS // 10):.0f} us against {large[1] * 1e6 / (STEPS // 10):.0f} us "
          f"per step)")

    with tempfile.TemporaryDirectory() as workdir:
        data_path = os.path.join(workdir, "net.npz")
        sources = np.repeat(np.arange(N), np.diff(offsets))
        np.savez(data_path, n=N, steps=STEPS, sources=sources, targets=cols, weight=WEIGHT)
        runs = [("numpy", 1, "Brian2 numpy target", 10.0, "at least 10x"),
                ("cpp_standalone", 1, "Brian2 C++ standalone, 1 thread", 1.0, "above 1x"),
                ("cpp_standalone", workers, f"Brian2 C++ standalone, {workers} threads", 1.0, "above 1x")]
        for target, threads, label, need, need_text in runs:
            result, error = run_brian(BRIAN_CHILD + BRIAN_RUN, target, data_path, workdir, threads)
            if result is None:
                print(f"  {label:36s} could not run: {error}")
                print(f"    engine / {label}: not measured  (target {need_text})")
                continue
            b_seconds, b_spikes = result
            b_sps = STEPS / b_seconds
            ratio = engine_sps / b_sps
            print(f"  {label:36s} {b_sps:10,.0f} steps/s  ({b_seconds:.3f} s; {b_spikes} spikes)")
            met = ratio >= need if need > 1.0 else ratio > need
            print(f"    engine / {label}: {ratio:.2f}x  (target {need_text}: {verdict(met)})")
    print(textwrap.indent(NOTES, "  "))
    delay_section()
    return 0


if __name__ == "__main__":
    sys.exit(main())

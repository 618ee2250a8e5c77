"""BrunelNetwork against Brian2 on the same network.

10,000 LIF neurons (8,000 excitatory, 2,000 inhibitory), each ordered pair connected with
probability 0.1 (about 10 million synapses), independent Poisson external drive, 1,000 steps
of 0.1 ms. The engine's network runs on one thread; Brian2 runs the equivalent network on its
numpy target and as a C++ standalone program (single-threaded, its default), each in a child
interpreter. Figures are steps per second of the simulation alone: network construction is
not timed, nor Brian2's code generation and compilation (the C++ figure is the run time the
compiled program measures itself).

Targets: at least 10x Brian2's numpy target, and faster than its C++ standalone device.
"""
import os
import sys
import tempfile
import textwrap
import time

import numpy as np

import sc_dravik_engine as sc
from timing import BRIAN_RUN, run_brian, verdict

N, N_EXC, P_CONN, STEPS, REPEATS = 10_000, 8_000, 0.1, 1_000, 3
DT_MS = 0.1
# Fixed point with 12 fraction bits: unit gain is 4096, the leak factor 20/4096 per step gives
# tau = 204.8 steps (20.48 ms); threshold 2000, reset and rest 0, 20 refractory steps (2 ms).
FRACTION, GAIN, LEAK, THETA, REFRACTORY = 12, 4096, 20, 2000, 20
J, G_INH = 10, 5              # excitatory weight, inhibitory weight -G_INH * J
EXT_LAMBDA, EXT_WEIGHT = 2.0, 10  # mean external events per neuron and step, weight of one
POISSON_SOURCES = 1000        # Brian2 draws the drive as Binomial(1000, EXT_LAMBDA / 1000)

DIFFERENCES = """\
what differs between the two networks (the statistics agree, the spikes do not):
  - arithmetic: the engine's neuron is fixed point (16-bit wrapping sums, the leak
    (v_rest - v) * 20 >> 12 rounded toward minus infinity); Brian2 integrates
    dv/dt = -v/tau in float64 (Euler, v -= v * dt / tau), and its C++ build uses its own
    default flags (-O3 -ffast-math -march=native);
  - external drive: the engine draws Poisson(2) counts per neuron and step (Knuth's method on
    xoshiro256++); Brian2's PoissonInput draws Binomial(1000, 0.002) (mean 2, variance 1.996)
    from its own generators;
  - order within a step: the engine adds last step's synaptic and external input together
    with the leak of the old value; Brian2 adds synaptic input after the threshold of the step
    the spike happened in, so the next step's leak also acts on it;
  - refractoriness: both ignore input for 20 steps after a spike (Brian2: '(unless
    refractory)' and inputs gated by not_refractory)."""

BRIAN_CHILD = r"""
import json, sys, time, warnings
warnings.filterwarnings("ignore")
import numpy as np
from brian2 import (Hz, ms, Network, NeuronGroup, PoissonInput, SpikeMonitor, Synapses,
                    defaultclock, device, prefs, set_device)
target, data_path, build_dir = sys.argv[1], sys.argv[2], sys.argv[3]  # then the thread count
d = np.load(data_path)
steps = int(d["steps"])
if target == "cpp_standalone":
    set_device("cpp_standalone", directory=build_dir)
else:
    prefs.codegen.target = "numpy"
defaultclock.dt = float(d["dt_ms"]) * ms
tau = float(d["tau_steps"]) * defaultclock.dt
G = NeuronGroup(int(d["n"]), "dv/dt = -v / tau : 1 (unless refractory)",
                threshold="v >= %r" % float(d["theta"]), reset="v = 0",
                refractory=int(d["refractory"]) * defaultclock.dt, method="euler")
S = Synapses(G, G, "w : 1", on_pre="v_post += w * int(not_refractory_post)")
S.connect(i=d["sources"], j=d["targets"])
S.w = d["weights"]
P = PoissonInput(G, "v", N=int(d["poisson_n"]), rate=float(d["poisson_rate_hz"]) * Hz,
                 weight="%r * int(not_refractory)" % float(d["ext_weight"]))
M = SpikeMonitor(G, record=False)
net = Network(G, S, P, M)
"""



def network(seed=2024):
    """Rows of targets for each source (i != j with probability P_CONN) and their weights."""
    rng = np.random.default_rng(seed)
    indptr, indices = [np.zeros(1, np.int64)], []
    block = 1000
    for start in range(0, N, block):
        m = rng.random((block, N)) < P_CONN
        m[np.arange(block), start + np.arange(block)] = False
        indices.append(np.nonzero(m)[1].astype(np.int64))
        indptr.append(indptr[-1][-1] + np.cumsum(m.sum(axis=1)))
    indptr, indices = np.concatenate(indptr).astype(np.int64), np.concatenate(indices)
    sources = np.repeat(np.arange(N), np.diff(indptr))
    weights = np.where(sources < N_EXC, J, -G_INH * J).astype(np.int16)
    return indptr, indices, sources, weights


def engine_run(indptr, indices, weights):
    best, counts = float("inf"), None
    for _ in range(REPEATS):
        net = sc.BrunelNetwork(N, indptr, indices, weights, LEAK, GAIN, EXT_LAMBDA, EXT_WEIGHT,
                               fraction=FRACTION, v_threshold=THETA, refractory_period=REFRACTORY)
        start = time.perf_counter()
        counts = net.run(STEPS)
        best = min(best, time.perf_counter() - start)
    return best, int(counts.sum())


def rate_hz(spikes):
    return spikes / N / (STEPS * DT_MS * 1e-3)


def main():
    indptr, indices, sources, weights = network()
    print(f"Brunel network: {N:,} neurons, {len(indices):,} synapses (p = {P_CONN}), "
          f"{STEPS:,} steps of {DT_MS} ms, external Poisson mean {EXT_LAMBDA} per step")
    seconds, spikes = engine_run(indptr, indices, weights)
    engine_sps = STEPS / seconds
    print(f"  engine BrunelNetwork.run   {engine_sps:10,.0f} steps/s  ({seconds:.3f} s, best of "
          f"{REPEATS}; {rate_hz(spikes):.1f} Hz mean rate)")

    with tempfile.TemporaryDirectory() as workdir:
        data_path = os.path.join(workdir, "net.npz")
        np.savez(data_path, n=N, steps=STEPS, dt_ms=DT_MS, tau_steps=GAIN / LEAK,
                 theta=float(THETA), refractory=REFRACTORY, sources=sources, targets=indices,
                 weights=weights.astype(np.float64), poisson_n=POISSON_SOURCES,
                 poisson_rate_hz=EXT_LAMBDA / POISSON_SOURCES / (DT_MS * 1e-3),
                 ext_weight=float(EXT_WEIGHT))
        targets = [("numpy", "Brian2 numpy target", lambda r: r >= 10.0, "at least 10x"),
                   ("cpp_standalone", "Brian2 C++ standalone", lambda r: r > 1.0, "above 1x")]
        for target, label, meets, need_text in targets:
            result, error = run_brian(BRIAN_CHILD + BRIAN_RUN, target, data_path, workdir)
            if result is None:
                print(f"  {label:26s} could not run: {error}")
                print(f"    engine / {label}: not measured  (target {need_text})")
                continue
            b_seconds, b_spikes = result
            b_sps = STEPS / b_seconds
            ratio = engine_sps / b_sps
            print(f"  {label:26s} {b_sps:10,.0f} steps/s  ({b_seconds:.3f} s; "
                  f"{rate_hz(b_spikes):.1f} Hz mean rate)")
            print(f"    engine / {label}: {ratio:.2f}x  (target {need_text}: {verdict(meets(ratio))})")
    print(textwrap.indent(DIFFERENCES, "  "))
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Per-call cost of a model step, as a ratio to the cheapest C-implemented calls.

The baselines are a method lookup plus a no-argument C call (`l.__len__()`) and a bare call of a
bound builtin (`b()`), timed in the same run. One class per step shape:
  - cheap steps (a few arithmetic operations) carry the binding's whole cost in their figure:
    the whole call is held to 1.5 x l.__len__();
  - costly steps (draws, exp/log calls, sub-steps, n^2 loops) are printed beside the record's
    own step timed in C++ (the bench_models program built next to the module, same record,
    same arguments, same number of calls): the difference is the binding's share, held to
    1.5 x l.__len__().
"""
import os
import subprocess
import sys
import timeit

import numpy as np

import sc_dravik_engine as sc
from timing import verdict

REPEATS = 5
TARGET = 1.5  # at most this many times l.__len__()
BASE_CALLS = 1_000_000

# (label, statement, calls): whole calls held to the target.
CHEAP = [
    ("Izhikevich.step(10.0)", "izh.step(10.0)", BASE_CALLS),
    ("MATNeuron.step(10.0)", "mat.step(10.0)", BASE_CALLS),
    ("FixedPointLif.step(0, 256, 1)", "lif.step(0, 256, 1)", BASE_CALLS),
    ("IntegerQIFNeuron.step(25)", "iqif.step(25)", BASE_CALLS),
    ("EscapeRateNeuron.step(10.0)", "esc.step(10.0)", BASE_CALLS),
    # No argument (a drawn spike), a float result.
    ("PoissonNeuron.step()", "poisson.step()", BASE_CALLS),
    ("WilsonCowanUnit.step(1.0)", "wc.step(1.0)", BASE_CALLS),
    # A bool argument; a step under the shared borrow; a no-argument method of a shared borrow.
    ("TsodyksMarkramNeuron.step(10.0, True)", "tm.step(10.0, True)", BASE_CALLS),
    ("McCullochPittsNeuron.step(0.5)", "mp.step(0.5)", BASE_CALLS),
    ("NativeContinuousAttractorNeuron.bump_position()", "attractor.bump_position()", BASE_CALLS),
    # A sequence argument and a list result.
    ("LeakyCompeteFireNeuron.step([...4])", "lcf.step(four)", BASE_CALLS),
]

# (label, statement, calls, name of the C++ case): the binding's share held to the target.
COSTLY = [
    ("WongWangUnit.step(0.1, 0.2)", "ww.step(0.1, 0.2)", BASE_CALLS, "WongWangUnit"),
    ("HodgkinHuxleyNeuron.step(10.0)", "hh.step(10.0)", 20_000, "HodgkinHuxleyNeuron"),
    ("HayL5PyramidalNeuron.step(1.0, 0.0)", "hay.step(1.0, 0.0)", 200_000, "HayL5PyramidalNeuron"),
    ("SiegertTransferFunction.step(30.0)", "siegert.step(30.0)", 200_000, "SiegertTransferFunction"),
    ("NativeContinuousAttractorNeuron.step(0.5)", "attractor_s.step(0.5)", 200_000,
     "NativeContinuousAttractorNeuron"),
    ("ArcaneNeuron.step(3.0)", "arcane.step(3.0)", BASE_CALLS, "ArcaneNeuron"),
    # A sequence of 64 floats, read from a float64 array.
    ("AmariNeuralField.step(array of 64)", "amari.step(field)", 50_000, "AmariNeuralField"),
]


def best(stmt, env, calls):
    # A statement string, timed in timeit's own loop: wrapping it in a function (as the shared
    # timing.best takes it) would add a Python call to every figure and baseline.
    return min(timeit.repeat(stmt, globals=env, number=calls, repeat=REPEATS)) / calls


def record_steps():
    exe = os.path.join(os.path.dirname(os.path.abspath(sc.__file__)), "bench_models")
    out = subprocess.run([exe], stdout=subprocess.PIPE, text=True, check=True).stdout
    return {name: float(t) for name, t in (line.split() for line in out.splitlines())}


def main():
    l = list(range(10))
    env = {
        "l": l, "b": l.__len__,
        "izh": sc.Izhikevich(), "mat": sc.MATNeuron(), "lif": sc.FixedPointLif(),
        "iqif": sc.IntegerQIFNeuron(), "esc": sc.EscapeRateNeuron(), "poisson": sc.PoissonNeuron(),
        "wc": sc.WilsonCowanUnit(), "tm": sc.TsodyksMarkramNeuron(), "mp": sc.McCullochPittsNeuron(),
        "attractor": sc.NativeContinuousAttractorNeuron(), "lcf": sc.LeakyCompeteFireNeuron(),
        "four": [0.5, 0.2, 0.9, 0.1],
        "ww": sc.WongWangUnit(), "hh": sc.HodgkinHuxleyNeuron(), "hay": sc.HayL5PyramidalNeuron(),
        "siegert": sc.SiegertTransferFunction(), "attractor_s": sc.NativeContinuousAttractorNeuron(),
        "arcane": sc.ArcaneNeuron(), "amari": sc.AmariNeuralField(), "field": np.full(64, 0.5),
    }
    base = best("l.__len__()", env, BASE_CALLS)
    base_bound = best("b()", env, BASE_CALLS)
    print(f"per-call cost, best of {REPEATS} runs")
    print(f"  baseline l.__len__(): {base * 1e9:6.1f} ns/call")
    print(f"  baseline b():         {base_bound * 1e9:6.1f} ns/call")
    print(f"  cheap steps: the whole call, target {TARGET}x l.__len__()")
    for label, stmt, calls in CHEAP:
        t = best(stmt, env, calls)
        print(f"    {label:50s} {t * 1e9:8.1f} ns {t / base:6.2f}x  {verdict(t / base <= TARGET)}")
    steps = record_steps()
    print(f"  costly steps: the call beside the record's step in C++; the difference, target {TARGET}x")
    for label, stmt, calls, name in COSTLY:
        t = best(stmt, env, calls)
        share = t - steps[name]
        print(f"    {label:50s} call {t * 1e9:9.1f} ns  step {steps[name] * 1e9:9.1f} ns  "
              f"binding {share * 1e9:7.1f} ns {share / base:6.2f}x  {verdict(share / base <= TARGET)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Per-call cost of a model step, as a ratio to the cheapest C-implemented calls.

A model step does almost no arithmetic, so its cost is the binding's: method
lookup, argument matching and conversion, the borrow, and the result object.
The baselines are a method lookup plus a no-argument C call (`l.__len__()`) and
a bare call of a bound builtin (`b()`), timed in the same run. A step with real
work of its own (WongWangUnit: four draws and ten math-library calls) carries it
in its figure.
"""
import sys
import timeit

import sc_dravik_engine as sc
from timing import verdict

CALLS = 1_000_000
REPEATS = 5
TARGET = 1.5  # at most this many times l.__len__()


def best(stmt, setup_globals):
    # A statement string, timed in timeit's own loop: wrapping it in a function (as the
    # shared timing.best takes it) would add a Python call to every figure and baseline.
    times = timeit.repeat(stmt, globals=setup_globals, number=CALLS, repeat=REPEATS)
    return min(times)


def main():
    l = list(range(10))
    env = {
        "l": l,
        "b": l.__len__,
        "izh": sc.Izhikevich(),
        "mat": sc.MATNeuron(),
        "lif": sc.FixedPointLif(),
        "iqif": sc.IntegerQIFNeuron(),
        "esc": sc.EscapeRateNeuron(),
        "poisson": sc.PoissonNeuron(), "wc": sc.WilsonCowanUnit(), "ww": sc.WongWangUnit(),
    }
    base_method = best("l.__len__()", env)
    base_bound = best("b()", env)
    cases = [
        ("Izhikevich.step(10.0)", "izh.step(10.0)"),
        ("MATNeuron.step(10.0)", "mat.step(10.0)"),
        ("FixedPointLif.step(0, 256, 1)", "lif.step(0, 256, 1)"),
        ("IntegerQIFNeuron.step(25)", "iqif.step(25)"),
        ("EscapeRateNeuron.step(10.0)", "esc.step(10.0)"),
        # No argument (a drawn spike), a float result, a tuple result.
        ("PoissonNeuron.step()", "poisson.step()"),
        ("WilsonCowanUnit.step(1.0)", "wc.step(1.0)"),
        ("WongWangUnit.step(0.1, 0.2)", "ww.step(0.1, 0.2)"),
    ]
    print(f"per-call cost over {CALLS:,} calls, best of {REPEATS} runs")
    print(f"  baseline l.__len__(): {base_method * 1e9 / CALLS:6.1f} ns/call")
    print(f"  baseline b():         {base_bound * 1e9 / CALLS:6.1f} ns/call")
    print(f"  {'call':32s} {'ns/call':>8s} {'vs l.__len__()':>15s} {'vs b()':>8s}  target {TARGET}x")
    for label, stmt in cases:
        t = best(stmt, env)
        print(f"  {label:32s} {t * 1e9 / CALLS:8.1f} {t / base_method:14.2f}x {t / base_bound:7.2f}x  "
              f"{verdict(t / base_method <= TARGET)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

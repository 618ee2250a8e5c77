"""Timing helpers shared by the benchmark scripts (imported by them, not a benchmark itself)."""
import json
import os
import subprocess
import sys
import time
import timeit


def best(fn, number=1, repeats=7):
    """Seconds per call: the fastest of `repeats` timings of `number` calls each."""
    return min(timeit.repeat(fn, number=number, repeat=repeats)) / number


def best_warm(fn, runs):
    """Seconds of the fastest of `runs` single calls, after one call that warms the caches and
    the worker pool."""
    fn()
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def verdict(met):
    return "met" if met else "MISSED"


def run_self(script, flag, workers):
    """The JSON value that `script flag` prints on its last line, run in a child interpreter
    whose pool has `workers` threads (BLAS on one thread)."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env.update(RAYON_NUM_THREADS=str(workers), OPENBLAS_NUM_THREADS="1")
    done = subprocess.run([sys.executable, os.path.abspath(script), flag], env=env,
                          stdout=subprocess.PIPE, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])

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


# The end of every Brian2 child: run the network `net` (with its SpikeMonitor M) for `steps`
# steps and print the simulation's run time and spike count. The numpy target's first steps
# generate its code, so they run before the timed run; the C++ program times itself.
BRIAN_RUN = '''
if target == "cpp_standalone":
    net.run(steps * defaultclock.dt)  # generates, compiles and runs the program
    run_time, spikes = device._last_run_time, int(M.num_spikes)
else:
    net.run(10 * defaultclock.dt)
    before = int(M.num_spikes)
    start = time.perf_counter()
    net.run(steps * defaultclock.dt)
    run_time, spikes = time.perf_counter() - start, int(M.num_spikes) - before
print(json.dumps({"run_time": run_time, "spikes": spikes}))
'''


def run_brian(child_source, target, data_path, workdir, threads=1):
    """(seconds, spikes) of one Brian2 run in a child interpreter, or None and the reason it
    failed. The child is the script child_source, called with the target ("numpy" or
    "cpp_standalone"), the network's data file, a build folder of its own and the thread
    count; it prints its run time and spike count as JSON on its last line."""
    script = os.path.join(workdir, "brian_child.py")
    with open(script, "w") as f:
        f.write(child_source)
    env = dict(os.environ, OMP_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS="1")
    build = os.path.join(workdir, f"cpp_{target}_{threads}")
    try:
        proc = subprocess.run([sys.executable, script, target, data_path, build, str(threads)],
                              capture_output=True, text=True, timeout=1800, env=env, cwd=workdir)
    except subprocess.TimeoutExpired:
        return None, "timed out"
    if proc.returncode != 0:
        last = (proc.stderr.strip().splitlines() or ["exit code %d" % proc.returncode])[-1]
        return None, last
    r = json.loads(proc.stdout.strip().splitlines()[-1])
    return (r["run_time"], r["spikes"]), None


def run_self(script, flag, workers):
    """The JSON value that `script flag` prints on its last line, run in a child interpreter
    whose pool has `workers` threads (BLAS on one thread)."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env.update(RAYON_NUM_THREADS=str(workers), OPENBLAS_NUM_THREADS="1")
    done = subprocess.run([sys.executable, os.path.abspath(script), flag], env=env,
                          stdout=subprocess.PIPE, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])

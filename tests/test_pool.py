"""The worker pool: its size, when it can be set, and results that ignore the worker count.

The pool is built once per process, so every case runs in a fresh interpreter.
"""
import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import sc_dravik_engine as sc

ALREADY = "Cannot set thread pool: The global thread pool has already been initialized."
MODULE_DIR = os.path.dirname(os.path.abspath(sc.__file__))

# Prelude of every child: imports first (NumPy may start threads of its own), then a count of
# the threads present before the engine's pool exists.
PRELUDE = """
import json, os, sys
import numpy as np
import sc_dravik_engine as sc
def tasks():
    return len(os.listdir("/proc/self/task"))
"""


def run_child(body, env=None, affinity=None):
    """Runs body in a fresh interpreter; returns what it printed as JSON on its last line."""
    child_env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    child_env.update({
        "PYTHONPATH": MODULE_DIR,
        "OPENBLAS_NUM_THREADS": "1",
        "OMP_NUM_THREADS": "1",
        "MKL_NUM_THREADS": "1",
    })
    child_env.update(env or {})
    pre = f"os.sched_setaffinity(0, {sorted(affinity)!r})\n" if affinity else ""
    code = PRELUDE + pre + textwrap.dedent(body)
    proc = subprocess.run([sys.executable, "-c", code], env=child_env, capture_output=True,
                          text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def available_cpus():
    return len(os.sched_getaffinity(0))


# ---------------------------------------------------------------- set_num_threads

def test_signature():
    assert sc.set_num_threads.__text_signature__ == "(n)"
    assert "thread" in sc.set_num_threads.__doc__


def test_set_num_threads_fixes_the_pool_size():
    out = run_child("""
        before = tasks()
        r = sc.set_num_threads(4)
        after_set = tasks()  # returns only once every worker exists
        sc.batch_encode_numpy(np.full(256, 0.5), 512)
        print(json.dumps([r, after_set - before, tasks() - before]))
    """)
    assert out == [None, 4, 4]


def test_zero_changes_nothing():
    out = run_child("""
        before = tasks()
        r0 = sc.set_num_threads(0)
        unchanged = tasks() - before
        sc.set_num_threads(3)  # the pool was not built by the 0
        r1 = sc.set_num_threads(0)  # and 0 is still accepted once it exists
        print(json.dumps([r0, unchanged, tasks() - before, r1]))
    """)
    assert out == [None, 0, 3, None]


@pytest.mark.parametrize(
    "first",
    ["sc.set_num_threads(4)", "sc.set_num_threads(1)",
     "sc.batch_encode_numpy(np.array([0.5]), 64)",
     "sc.batch_encode_numpy(np.full(100, 0.5), 64)"],
)
@pytest.mark.parametrize("second", [4, 1, 64])
def test_second_setting_is_refused(first, second):
    out = run_child(f"""
        {first}
        try:
            sc.set_num_threads({second})
            print(json.dumps(None))
        except ValueError as e:
            print(json.dumps(str(e)))
    """)
    assert out == ALREADY


@pytest.mark.parametrize(
    "arg, exc",
    [("-1", OverflowError), ("2**64", OverflowError), ("'2'", TypeError), ("2.0", TypeError),
     ("None", TypeError)],
)
def test_bad_counts(arg, exc):
    out = run_child(f"""
        try:
            sc.set_num_threads({arg})
            print(json.dumps(None))
        except BaseException as e:
            print(json.dumps([type(e).__name__, str(e)]))
        # A refused argument builds nothing: the pool can still be set.
        sc.set_num_threads(2)
    """)
    assert out[0] == exc.__name__
    if exc is TypeError:
        assert out[1].startswith("argument 'n': ")


# ---------------------------------------------------------------- default size

COUNT_WORKERS = """
    before = tasks()
    sc.batch_encode_numpy(np.full(64, 0.5), 256)
    print(json.dumps(tasks() - before))
"""


@pytest.mark.parametrize(
    "env, expected",
    [
        ({"RAYON_NUM_THREADS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "2", "RAYON_RS_NUM_CPUS": "5"}, 2),
        ({"RAYON_RS_NUM_CPUS": "5"}, 5),
        ({"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": "3"}, 3),  # not a positive integer
        ({"RAYON_NUM_THREADS": "-2", "RAYON_RS_NUM_CPUS": "6"}, 6),
        ({"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": "2"}, 2),
        ({"RAYON_NUM_THREADS": "0"}, "cpus"),                        # 0 means the CPU count
        ({"RAYON_RS_NUM_CPUS": "0"}, "cpus"),
        ({"RAYON_NUM_THREADS": "x"}, "cpus"),
        ({}, "cpus"),
    ],
)
def test_default_size_from_environment(env, expected):
    if expected == "cpus":
        expected = available_cpus()
    assert run_child(COUNT_WORKERS, env) == expected


def test_default_size_follows_the_affinity_mask():
    cpus = sorted(os.sched_getaffinity(0))
    if len(cpus) < 3:
        pytest.skip("needs at least three CPUs")
    assert run_child(COUNT_WORKERS, affinity=cpus[:2]) == 2
    assert run_child(COUNT_WORKERS, {"RAYON_NUM_THREADS": "0"}, affinity=cpus[:3]) == 3
    # An explicit count is not limited by the mask.
    assert run_child(COUNT_WORKERS, {"RAYON_NUM_THREADS": "5"}, affinity=cpus[:1]) == 5


def test_set_num_threads_overrides_the_environment():
    out = run_child("""
        before = tasks()
        sc.set_num_threads(2)
        sc.batch_encode_numpy(np.full(64, 0.5), 256)
        print(json.dumps(tasks() - before))
    """, {"RAYON_NUM_THREADS": "6"})
    assert out == 2


# ---------------------------------------------------------------- thread-count invariance

DIGEST = """
import hashlib
rng = np.random.default_rng(2024)
probs = rng.random(3000)
probs[::7] = 0.0
probs[::11] = 1.0
parts = [sc.batch_encode_numpy(probs, length, seed).tobytes()
         for length, seed in [(1024, 44257), (100, 1), (1, 2**64 - 1), (4097, 9)]]
digest = hashlib.sha256(b"".join(parts)).hexdigest()
"""
PRINT_DIGEST = DIGEST + "print(json.dumps(digest))\n"


def test_results_do_not_depend_on_the_worker_count():
    digests = {n: run_child(PRINT_DIGEST, {"RAYON_NUM_THREADS": str(n)}) for n in (1, 2, 8)}
    digests["set 3"] = run_child("sc.set_num_threads(3)\n" + PRINT_DIGEST)
    assert len(set(digests.values())) == 1, digests
    # The same bytes in this process, whatever its pool.
    ns = {"np": np, "sc": sc}
    exec(DIGEST, ns)
    assert ns["digest"] == digests[1]



def test_an_empty_parallel_call_builds_the_pool():
    out = run_child("""
        sc.batch_encode_numpy(np.zeros(0))
        try:
            sc.set_num_threads(2)
            print(json.dumps("set"))
        except ValueError as e:
            print(json.dumps(str(e)))
    """)
    assert out == "Cannot set thread pool: The global thread pool has already been initialized."

"""The worker pool: its size, when it can be set, and results that ignore the worker count.

The pool is built once per process, so every case runs in a fresh interpreter.
"""
import errno
import os
import textwrap

import numpy as np
import pytest

import sc_dravik_engine as sc
from sc_testing import run_child_json

ALREADY = "Cannot set thread pool: The global thread pool has already been initialized."

# Prelude of every child: imports first (NumPy may start threads of its own), then a count of
# the threads present before the engine's pool exists.
PRELUDE = """
import json, os, sys
import numpy as np
import sc_dravik_engine as sc
def tasks():
    return len(os.listdir("/proc/self/task"))
def limit_address_space():
    # Room for a few more thread stacks only, so that starting many threads fails early.
    import resource
    with open("/proc/self/status") as f:
        vm = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (vm + 64 * 2**20, resource.RLIM_INFINITY))
def unlimit():
    import resource
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
"""


def run_child(body, env=None, affinity=None):
    """Runs body in a fresh interpreter; returns what it printed as JSON on its last line."""
    return run_child_json(PRELUDE + textwrap.dedent(body), env=env, affinity=affinity)


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
        ({"RAYON_NUM_THREADS": str(2**64), "RAYON_RS_NUM_CPUS": "3"}, 3),  # beyond 64 bits
        ({"RAYON_NUM_THREADS": "9" * 30}, "cpus"),
        ({"RAYON_NUM_THREADS": " -2", "RAYON_RS_NUM_CPUS": "4"}, 4),
        ({"RAYON_NUM_THREADS": "2 ", "RAYON_RS_NUM_CPUS": "4"}, 4),
        ({"RAYON_NUM_THREADS": "+2", "RAYON_RS_NUM_CPUS": "4"}, 2),
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


# ---------------------------------------------------------------- threads that cannot start

AGAIN = os.strerror(errno.EAGAIN)


def test_a_pool_that_cannot_start_stops_its_threads_and_can_be_set_again():
    out = run_child("""
        before = tasks()
        limit_address_space()
        try:
            sc.set_num_threads(1000)
            err = None
        except ValueError as e:
            err = str(e)
        left = tasks() - before
        unlimit()
        sc.set_num_threads(3)
        print(json.dumps([err, left, tasks() - before]))
    """)
    assert out == ["Cannot set thread pool: " + AGAIN, 0, 3]


def test_a_default_pool_that_cannot_start_fails_once():
    out = run_child("""
        before = tasks()
        probs = np.linspace(0.0, 1.0, 64)
        limit_address_space()
        try:
            sc.batch_encode_numpy(probs, 256)
            first = None
        except ValueError as e:
            first = str(e)
        left = tasks() - before
        # Later loops run on the calling thread, with the same results, until a size is set.
        inline = sc.batch_encode_numpy(probs, 256).tobytes().hex()
        unlimit()
        sc.set_num_threads(2)
        pooled = sc.batch_encode_numpy(probs, 256).tobytes().hex()
        print(json.dumps([first, left, inline == pooled, tasks() - before]))
    """, {"RAYON_NUM_THREADS": "1000"})
    assert out == ["Cannot start the thread pool of 1000 threads: " + AGAIN, 0, True, 2]


# ---------------------------------------------------------------- what builds the pool

ATT = "sc.StochasticAttention(2)"
QKV = "[[1.0, 2.0]], [[1.0, 0.0]], [[1.0]]"


@pytest.mark.parametrize(
    "call",
    [
        # Each small enough to run on the calling thread; the first one empty.
        "sc.batch_encode_numpy(np.zeros(0))",
        # Eight neurons and more are a parallel loop (fewer run one after another).
        "sc.DenseLayer(2, 8, 64).forward_numpy(np.zeros(2))",
        f"{ATT}.forward({QKV})",
        f"{ATT}.forward_softmax({QKV})",
        f"{ATT}.forward_multihead({QKV}, 1)",
        f"{ATT}.forward_multihead_softmax({QKV}, 1)",
        f"{ATT}.forward_sc({QKV}, 64)",
        "sc.StochasticGraphLayer([[1.0]], 1).forward([[0.5]])",
        "sc.batch_lif_run_multi(1, 1, 1, 1, np.zeros(1, np.int16))",
        "sc.KuramotoSolver([1.0], [1.0], [0.0], 0.0).step(0.01)",
        "r = sc.NetworkRunner(); r.add_population('Izhikevich', 2); r.run(1)",
    ],
)
def test_a_parallel_operation_builds_the_pool_even_inline(call):
    out = run_child(f"""
        {call}
        try:
            sc.set_num_threads(3)
            print(json.dumps("set"))
        except ValueError as e:
            print(json.dumps(str(e)))
    """)
    assert out == ALREADY


@pytest.mark.parametrize(
    "call",
    [
        # Building objects, and the forms that are serial to their callers.
        "sc.DenseLayer(2, 1, 64)",
        "sc.DenseLayer(64, 64, 1024)",  # large enough to pack on a pool, were there one
        "sc.DenseLayer(2, 1, 64).set_weights([[0.25, 0.75]])",
        "sc.DenseLayer(64, 64, 1024).refresh_packed_weights()",
        f"{ATT}",
        "sc.StochasticGraphLayer([[1.0]], 1)",
        "sc.StochasticGraphLayer([[1.0]], 1).forward_sc([[0.5]], 64)",
        "sc.KuramotoSolver([1.0], [1.0], [0.0], 0.0)",
        "r = sc.NetworkRunner(); r.add_population('Izhikevich', 2)",
        "sc.batch_lif_run(4, 1, 1, 1)",
        "sc.DenseLayer(2, 7, 64).forward_numpy(np.zeros(2))",
        "sc.py_phi_star(np.ones((2, 8)), 1)",
    ],
)
def test_other_calls_leave_the_pool_unbuilt(call):
    out = run_child(f"""
        before = tasks()
        {call}
        started = tasks() - before
        sc.set_num_threads(4)
        print(json.dumps([started, tasks() - before]))
    """)
    assert out == [0, 4]


def test_packing_on_the_pool_and_inline_give_the_same_streams():
    # Weights of 1 or more draw nothing: the rows packed on the pool must start where the
    # keystream stands after all earlier rows, whatever they drew.
    body = """
        {first}
        layer = sc.DenseLayer(48, 40, 1000, 5)
        outs = [layer.forward_numpy(np.linspace(0.0, 1.0, 48), 1).tolist()]
        layer.set_weights(((np.arange(40 * 48).reshape(40, 48) % 9 - 1) / 6.0).tolist())
        outs += [layer.forward_numpy(np.linspace(0.0, 1.0, 48), s).tolist() for s in (1, 2)]
        print(json.dumps(outs))
    """
    pooled = run_child(body.format(first="sc.set_num_threads(8)"))
    inline = run_child(body.format(first="pass"))
    assert pooled == inline


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


# ---------------------------------------------------------------- fork children

# A parent that has just used its pool forks; each child answers through a pipe, within a
# generous bound, or counts as hung.
FORK = """
import select, signal
x = np.linspace(0.0, 1.0, 64)
def forward(seed=44257):
    return sc.DenseLayer(64, 32, 1024, 1).forward_numpy(x, seed).tobytes().hex()
def in_child(body):
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        try:
            answer = body()
        except BaseException as e:
            answer = repr(e)
        os.write(w, json.dumps(answer).encode())
        os._exit(0)
    os.close(w)
    ready = select.select([r], [], [], 60)[0]
    data = os.read(r, 1 << 16) if ready else b""
    if not ready:
        os.kill(pid, signal.SIGKILL)
    os.close(r)
    os.waitpid(pid, 0)
    return json.loads(data) if data else "no answer"
def threads_and_bits(first=None):
    start = tasks()  # the calling thread alone
    if first:
        first()
    return [forward() == want, tasks() - start]
"""


def test_fork_children_after_pool_use_get_a_pool_of_their_own():
    out = run_child(FORK + textwrap.dedent("""
        before = tasks()
        want = forward()
        size = tasks() - before
        answers = []
        for k in range(60):  # a hang was intermittent
            forward()
            answers.append(in_child(threads_and_bits))
            if answers[-1] != [True, size]:
                break
        print(json.dumps([size, answers]))
    """), {"RAYON_NUM_THREADS": "4"})
    assert out == [4, [[True, 4]] * 60]


@pytest.mark.parametrize(
    "parent, child, threads",
    [
        ("pass", None, 4),                        # the default rule, in the child too
        ("sc.set_num_threads(3)", None, 3),       # the size the parent set
        ("pass", "lambda: sc.set_num_threads(2)", 2),
        ("sc.set_num_threads(3)", "lambda: sc.set_num_threads(1)", 1),
    ],
)
def test_a_fork_child_builds_its_pool_when_it_needs_one(parent, child, threads):
    out = run_child(FORK + textwrap.dedent(f"""
        {parent}
        want = forward()
        print(json.dumps(in_child(lambda: threads_and_bits({child}))))
    """), {"RAYON_NUM_THREADS": "4"})
    assert out == [True, threads]


def test_fork_context_executors_finish_every_task():
    # Each task answers with its bits and its process's threads: its own and the pool's.
    out = run_child(FORK + textwrap.dedent("""
        import concurrent.futures as cf, multiprocessing as mp
        def task(seed):
            return forward(seed), tasks()
        want = [(forward(s), 5) for s in range(12)]
        sweeps = []
        for sweep in range(8):
            forward()
            ex = cf.ProcessPoolExecutor(4, mp_context=mp.get_context("fork"))
            futures = [ex.submit(task, s) for s in range(12)]
            try:
                sweeps.append([f.result(timeout=60) for f in futures] == want)
            except cf.TimeoutError:
                sweeps.append("a task did not finish")
                for p in ex._processes.values():
                    p.kill()
                break
            ex.shutdown()
        print(json.dumps(sweeps))
    """), {"RAYON_NUM_THREADS": "4"})
    assert out == [True] * 8

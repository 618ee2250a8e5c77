"""Helpers shared by the tests: one copy of each."""
import json
import math
import os
import shutil
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import sc_dravik_engine as sc

MODULE_DIR = os.path.dirname(os.path.abspath(sc.__file__))

# The sanitizer build (make test-sanitize) runs the same suite. Its allocator ends the process
# on an allocation it cannot serve instead of throwing, and its runtime is a dependency of the
# module, so the tests of failing allocations and of the release link are left to the release
# build.
SANITIZED = os.environ.get("SC_SANITIZED") == "1"


def c_exp(x):
    """The C library's exp: an overflow gives infinity instead of raising."""
    try:
        return math.exp(x)
    except OverflowError:
        return math.inf


def c_div(a, b):
    """IEEE division: a zero divisor gives an infinity or NaN instead of raising."""
    if b != 0.0:
        return a / b
    if a == 0.0 or math.isnan(a):
        return math.nan
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


def panic_of(call, *args, **kwargs):
    """The PanicException that call(*args, **kwargs) raises; fails on anything else.

    The type is not importable from the module, so it is recognised by its name and by not
    being an Exception.
    """
    try:
        call(*args, **kwargs)
    except Exception as e:  # a panic must not land here
        pytest.fail(f"expected a PanicException, got {type(e).__name__}: {e}")
    except BaseException as e:  # noqa: B036
        assert type(e).__name__ == "PanicException", repr(e)
        return e
    pytest.fail("no panic")


def panic_type():
    """The engine's PanicException type."""
    return type(panic_of(sc.BitstreamAverager, 0))


class Hook:
    """An int or float argument whose conversion first runs fn(): a caller's code running in
    the middle of a call."""

    def __init__(self, fn, value):
        self.fn, self.value = fn, value

    def __index__(self):
        self.fn()
        return int(self.value)

    def __float__(self):
        self.fn()
        return float(self.value)


def misaligned(a):
    """A writable float64 copy of a whose data starts one byte past an aligned address."""
    a = np.asarray(a, dtype=np.float64)
    buf = np.zeros(a.size * 8 + 1, np.uint8)
    out = buf[1:].view(np.float64).reshape(a.shape)
    out[...] = a
    assert not out.flags.aligned
    return out


def bits_of(value):
    """The exact bits of a float, of a NumPy array or of nested sequences of floats."""
    if isinstance(value, np.ndarray):
        return (value.dtype.str, value.shape, value.tobytes())
    if isinstance(value, float):
        return struct.pack("<d", value)
    if isinstance(value, (list, tuple)):
        return type(value).__name__, [bits_of(v) for v in value]
    if isinstance(value, dict):
        return [(k, bits_of(v)) for k, v in value.items()]
    return type(value).__name__, value


def same_bits(a, b):
    """Bit-for-bit equality of floats, arrays and nested sequences (and equality of the rest).

    Every NaN equals every NaN; +0.0 and -0.0 differ.
    """
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    if isinstance(a, np.ndarray) and isinstance(b, np.ndarray) and a.dtype.kind == "f" == b.dtype.kind:
        if a.dtype != b.dtype or a.shape != b.shape:
            return False
        nan = np.isnan(a)
        return bool(np.array_equal(nan, np.isnan(b)) and
                    np.array_equal(a[~nan].view(np.uint8), b[~nan].view(np.uint8)))
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(same_bits(x, y) for x, y in zip(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return list(a) == list(b) and all(same_bits(a[k], b[k]) for k in a)
    return bits_of(a) == bits_of(b)


def run_child(body, threads=None, env=None, affinity=None, timeout=300):
    """Runs body in a fresh interpreter with the module importable; returns its stdout.

    The caller's worker-count variables are not passed on; `threads` sets RAYON_NUM_THREADS.
    `affinity` pins the child to those CPUs before the module is used.
    """
    child_env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    child_env.update({
        "PYTHONPATH": MODULE_DIR,
        "OPENBLAS_NUM_THREADS": "1",
        "OMP_NUM_THREADS": "1",
        "MKL_NUM_THREADS": "1",
    })
    if threads is not None:
        child_env["RAYON_NUM_THREADS"] = str(threads)
    child_env.update(env or {})
    pre = f"import os\nos.sched_setaffinity(0, {sorted(affinity)!r})\n" if affinity else ""
    proc = subprocess.run([sys.executable, "-c", pre + textwrap.dedent(body)], env=child_env,
                          capture_output=True, text=True, timeout=timeout)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def run_child_json(body, **kwargs):
    """As run_child; returns the JSON value printed on the last line."""
    return json.loads(run_child(body, **kwargs).strip().splitlines()[-1])


def require_tool(command, package):
    """Stops a test that needs an installed program: where CI is set, a missing one fails the
    test; elsewhere it is skipped. Either way the reason names the program."""
    if shutil.which(command):
        return
    reason = (f"{command} is not installed: scripts/install-deps.sh installs it "
              f"(apt-get install {package})")
    if os.environ.get("CI"):
        pytest.fail(reason, pytrace=False)
    pytest.skip(reason)

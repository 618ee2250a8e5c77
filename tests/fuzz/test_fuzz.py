"""Hostile arguments for every public callable: each call returns or raises a documented
exception type (TypeError, ValueError, OverflowError, RuntimeError, MemoryError, PanicException,
or the exception an argument's own conversion raised), never crashes, never hangs.

The callables come from the module itself (`__all__` and the text signatures), so a new class
or function is fuzzed without being listed here. The work is split into shares run side by side
in child interpreters, each bounded in examples and time.
"""
import json
import os
import subprocess
import sys
import tempfile

import pytest

from sc_testing import MODULE_DIR, SANITIZED

SHARES = 8
EXAMPLES = 12 if SANITIZED else 25
SHARE_BOUND_S = 900  # far beyond a normal run: a share that takes this long hangs
CHILD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fuzz_child.py")


@pytest.fixture(scope="module")
def outcomes():
    workdir = tempfile.mkdtemp(prefix="sc-fuzz-")
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env.update(PYTHONPATH=MODULE_DIR, OPENBLAS_NUM_THREADS="1", RAYON_NUM_THREADS="2")
    procs = []
    for share in range(SHARES):
        last = os.path.join(workdir, f"last-{share}")
        cmd = [sys.executable, CHILD, str(share), str(SHARES), str(EXAMPLES), last]
        if SANITIZED:
            cmd.append("--small")
        procs.append((share, last, subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE,
                                                    stderr=subprocess.PIPE, text=True)))
    out = {}
    for share, last, proc in procs:
        try:
            stdout, stderr = proc.communicate(timeout=SHARE_BOUND_S)
        except subprocess.TimeoutExpired:
            proc.kill()
            stdout, stderr = proc.communicate()
        running = open(last).read() if os.path.exists(last) else "(nothing yet)"
        out[share] = (proc.returncode, stdout, stderr, running)
    return out


@pytest.mark.parametrize("share", range(SHARES))
def test_share(outcomes, share):
    code, stdout, stderr, running = outcomes[share]
    assert code == 0, f"the child ended with {code} while running {running}\n{stderr[-4000:]}"
    result = json.loads(stdout.strip().splitlines()[-1])
    assert result["failures"] == [], json.dumps(result["failures"][:10], indent=1)

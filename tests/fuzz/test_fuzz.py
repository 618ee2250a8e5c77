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

import pytest

from sc_testing import MODULE_DIR, SANITIZED

SHARES = 8
EXAMPLES = 12 if SANITIZED else 25
SHARE_BOUND_S = 900  # far beyond a normal run: a share that takes this long hangs
CHILD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fuzz_child.py")


@pytest.fixture(scope="module")
def outcomes(tmp_path_factory):
    workdir = tmp_path_factory.mktemp("fuzz")
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env.update(PYTHONPATH=MODULE_DIR, OPENBLAS_NUM_THREADS="1", RAYON_NUM_THREADS="2")
    procs = []
    for share in range(SHARES):
        last, out, err = (workdir / f"{what}-{share}" for what in ("last", "out", "err"))
        cmd = [sys.executable, CHILD, str(share), str(SHARES), str(EXAMPLES), str(last)]
        if SANITIZED:
            cmd.append("--small")
        # Files, not pipes: a child that writes much (each panic is reported on stderr) must
        # not wait on a parent that is still reading another child.
        with open(out, "w") as stdout, open(err, "w") as stderr:
            procs.append((share, last, out, err, subprocess.Popen(cmd, env=env, stdout=stdout, stderr=stderr)))
    done = {}
    for share, last, out, err, proc in procs:
        try:
            proc.wait(timeout=SHARE_BOUND_S)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        running = last.read_text() if last.exists() else "(nothing yet)"
        done[share] = (proc.returncode, out.read_text(), err.read_text(errors="replace"), running)
    return done


@pytest.mark.parametrize("share", range(SHARES))
def test_share(outcomes, share):
    code, stdout, stderr, running = outcomes[share]
    assert code == 0, f"the child ended with {code} while running {running}\n{stderr[-4000:]}"
    lines = stdout.strip().splitlines()
    assert lines, f"the child printed no result\n{stderr[-4000:]}"
    result = json.loads(lines[-1])
    assert result["failures"] == [], json.dumps(result["failures"][:10], indent=1)
    # Each callable is fuzzed past its argument conversion at least once, else the fuzz
    # would only ever have tested the refusals.
    assert result["unreached"] == []

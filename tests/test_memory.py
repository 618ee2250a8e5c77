"""Sizes a caller controls: a request that no memory can hold is a MemoryError, never a panic
with library text, a wrapped product that allocates too little, or a process that fills the
machine before it fails."""
import json

import pytest

import sc_dravik_engine as sc
from sc_testing import run_child_json

pytestmark = pytest.mark.failing_allocation

# Each case is evaluated in a child whose address space is capped, so every one of them fails
# at its first large allocation whatever the machine's overcommit policy. Comments name the
# way each size used to go wrong or could go wrong.
CASES = {
    "dense rows beyond max_size": "sc.DenseLayer(1, 2**62)",
    "dense inputs beyond max_size": "sc.DenseLayer(2**62, 1)",
    # Each 8 MiB row would fit; all 2**20 of them would fill the machine row by row.
    "dense rows that each fit": "sc.DenseLayer(2**20, 2**20)",
    "dense n_inputs * n_neurons wraps": "sc.DenseLayer(2**32, 2**32)",
    "dense streams' words wrap": "sc.DenseLayer(1000, 1000, 2**52)",
    "dense stream longer than memory": "sc.DenseLayer(1, 1, 2**64 - 1)",
    "differentiable layer rows that each fit": "sc.DifferentiableDenseLayer(2**20, 2**20)",
    "averager window beyond max_size": "sc.BitstreamAverager(2**63)",
    "averager window too large": "sc.BitstreamAverager(2**40)",
    "tensor dimension 2**63": "sc.BitStreamTensor(2**63)",
    "tensor dimension too large": "sc.BitStreamTensor(2**40)",
    "batch_encode length": "sc.batch_encode(np.array([0.5]), 2**63)",
    "batch_encode_numpy rows": "sc.batch_encode_numpy(np.full(1024, 0.5), 2**40)",
    "phi* zero-stride variables": "sc.py_phi_star(as_strided(z, (2**59, 1), (0, 0)), 0)",
    # The samples fit; the covariance of 2**21 row pairs does not.
    "phi* covariance": "sc.py_phi_star(as_strided(z, (2**20, 3), (0, 0)), 1)",
    "cortical column n * n wraps": "sc.CorticalColumnNative(2**32, 10.0, 1.0, 1.0, 0.1, 0.1, 1)",
    "cortical column too large": "sc.CorticalColumnNative(2**20, 10.0, 1.0, 1.0, 0.1, 0.1, 1)",
    "dendrite compartments wrap": "sc.RallDendriteNative(2**33, 2**31, 10.0, 0.5, 1.0)",
    "dendrite too large": "sc.RallDendriteNative(2**20, 2**20, 10.0, 0.5, 1.0)",
    "batch_lif_run steps beyond the index type": "sc.batch_lif_run(2**63, 0, 256, 1)",
    # 2**62 steps of 4-byte spike flags wrap the byte count.
    "batch_lif_run_multi bytes wrap": "sc.batch_lif_run_multi(1, 2**62, 0, 256, np.ones(1, np.int16))",
    "brunel run bytes wrap": "sc.BrunelNetwork(0, np.zeros(1, np.int64), np.zeros(0, np.int64), "
                             "np.zeros(0, np.int16), 0, 256, 1.0, 1).run(2**62)",
    "ei network n_exc + n_inh wraps": "sc.py_simulate_ei_network(n_exc=2**64 - 1, n_inh=1)",
    "ei network too large": "sc.py_simulate_ei_network(n_exc=2**40)",
    # An array's length is true: a float sequence read from it fails at once, in any dtype.
    "float64 array as a sequence": "sc.KVRAMetrics.consciousness_index(as_strided(z, (2**59,), (0,)), [0.1] * 6)",
    "int64 array as a sequence": "sc.KVRAMetrics.consciousness_index(as_strided(i, (2**59,), (0,)), [0.1] * 6)",
}

CHILD = """
import json, resource
import numpy as np
from numpy.lib.stride_tricks import as_strided
import sc_dravik_engine as sc

resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
z = np.zeros(1)
i = np.zeros(1, np.int64)
def peak_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024

out = {}
for name, expr in json.loads(%r).items():
    before = peak_mib()
    try:
        eval(expr)
        result = "no error"
    except BaseException as e:
        result = type(e).__name__ + ": " + str(e)
    out[name] = (result, peak_mib() - before)
# The module stays usable afterwards.
out["after"] = sc.DenseLayer(4, 8, 64).forward_fast([0.5] * 4)
print(json.dumps(out))
"""


@pytest.fixture(scope="module")
def outcomes():
    # A pool of fixed size: one thread per CPU may not fit under the cap (with a large stack
    # limit, each thread reserves that much).
    return run_child_json(CHILD % json.dumps(CASES), threads=2)


@pytest.mark.parametrize("name", list(CASES))
def test_oversized_requests_are_memory_errors(outcomes, name):
    result, grown_mib = outcomes[name]
    assert result.split(":")[0] == "MemoryError", result
    assert grown_mib < 64  # failed before touching the memory it asked for


def test_module_works_after_failed_allocations(outcomes):
    assert outcomes["after"] == sc.DenseLayer(4, 8, 64).forward_fast([0.5] * 4)

"""py_simulate_ei_network: the result dict, the step count and bins, and the simulation."""
import numpy as np
import pytest

import sc_dravik_engine as sc
from netref import simulate_ei
from sc_testing import same_bits

KEYS = ["spike_times", "spike_neurons", "n_exc", "n_inh", "n_total", "n_spikes", "rate_time",
        "exc_rates", "inh_rates", "duration", "dt", "mean_exc_rate", "mean_inh_rate"]
ARRAYS = {"spike_times": np.float64, "spike_neurons": np.int64, "rate_time": np.float64,
          "exc_rates": np.float64, "inh_rates": np.float64}


def test_defaults():
    assert sc.py_simulate_ei_network.__text_signature__ == (
        "(n_exc=80, n_inh=20, w_ee=0.1, w_ei=0.4, w_ie=0.1, w_ii=0.4, p_conn=0.2, ext_rate=5.0, "
        "duration=200.0, dt=0.1, seed=42)")
    r = sc.py_simulate_ei_network()
    assert list(r) == KEYS
    for key, dtype in ARRAYS.items():
        assert r[key].dtype == dtype and r[key].ndim == 1, key
    assert (r["n_exc"], r["n_inh"], r["n_total"], r["duration"], r["dt"]) == (80, 20, 100, 200.0, 0.1)
    # 2000 steps in 100 bins of 20 steps (2.0 ms); the bin starts are b * 20 * 0.1.
    assert same_bits(r["rate_time"], np.array([b * 20 * 0.1 for b in range(100)]))
    assert r["n_spikes"] == len(r["spike_times"]) == len(r["spike_neurons"])
    assert same_bits(r, as_arrays(simulate_ei()))


def as_arrays(ref):
    return {k: np.array(v, dtype=ARRAYS[k]) if k in ARRAYS else v for k, v in ref.items()}


# Strong external drive so that neurons fire: ext_rate * dt / 1000 events per step, each
# adding 5 * dt to v.
DRIVEN = {"n_exc": 8, "n_inh": 3, "ext_rate": 40000.0, "duration": 30.0}


@pytest.mark.parametrize("kwargs", [
    DRIVEN,
    {**DRIVEN, "p_conn": 0.5, "w_ee": 2.0, "w_ie": 1.5, "w_ei": 3.0, "w_ii": 0.7, "seed": 7},
    # With dt 0.5 a spike at step t is followed by three refractory steps.
    {**DRIVEN, "dt": 0.5, "duration": 60.0, "ext_rate": 6000.0},
    # A NaN p_conn connects every pair; p_conn 0 none (the draws still happen).
    {**DRIVEN, "p_conn": float("nan"), "w_ee": 0.5},
    {**DRIVEN, "p_conn": 0.0},
    # Fewer than 100 steps: bins of one step, whose time is raised to 1 ms.
    {**DRIVEN, "duration": 4.5, "ext_rate": 200000.0},
    {"n_exc": 0, "n_inh": 4, "ext_rate": 30000.0, "duration": 12.0, "w_ii": 1.0},
    # Means above 700 (1000 per step) are drawn by rejection; 1e308 saturates every count.
    {**DRIVEN, "ext_rate": 1e7, "duration": 5.0},
    {**DRIVEN, "ext_rate": 1e308, "duration": 5.0},
    {**DRIVEN, "ext_rate": np.uint64(2**64 - 1), "duration": 5.0},
])
def test_follows_the_reference(kwargs):
    r = sc.py_simulate_ei_network(**kwargs)
    ref = simulate_ei(**kwargs)
    assert ref["n_spikes"] > 0
    assert same_bits(r, as_arrays(ref))


@pytest.mark.parametrize("duration, dt, steps", [
    (10.0, 0.1, 100),
    (0.0, 0.1, 0),
    (-5.0, 0.1, 0),
    (float("nan"), 0.1, 0),
    (5.0, 0.0, 50000),   # +inf steps, capped
    (0.0, 0.0, 0),       # NaN
    (1e30, 1.0, 50000),  # beyond the 64-bit range: saturated, then capped
    (1e6, 0.1, 50000),
    (-10.0, -0.1, 100),
])
def test_step_count(duration, dt, steps):
    r = sc.py_simulate_ei_network(n_exc=2, n_inh=1, ext_rate=0.0, duration=duration, dt=dt)
    bin_steps = max(steps // 100, 1)
    assert len(r["rate_time"]) == steps // bin_steps
    if steps:
        assert r["rate_time"][1] == bin_steps * dt
    assert same_bits(r["duration"], duration) and same_bits(r["dt"], dt)


def test_no_drive_and_no_synapses_stay_silent():
    r = sc.py_simulate_ei_network(ext_rate=0.0, p_conn=0.0, duration=20.0)
    assert r["n_spikes"] == 0
    assert (r["mean_exc_rate"], r["mean_inh_rate"]) == (0.0, 0.0)
    assert not r["exc_rates"].any() and not r["inh_rates"].any()


def test_empty_network_and_empty_run():
    r = sc.py_simulate_ei_network(n_exc=0, n_inh=0)
    assert (r["n_total"], r["n_spikes"], r["mean_exc_rate"]) == (0, 0, 0.0)
    assert len(r["rate_time"]) == 100
    r = sc.py_simulate_ei_network(duration=0.0)
    assert [len(r[k]) for k in ARRAYS] == [0] * 5


def test_argument_errors():
    with pytest.raises(OverflowError):
        sc.py_simulate_ei_network(n_exc=-1)
    with pytest.raises(OverflowError):
        sc.py_simulate_ei_network(seed=-1)
    with pytest.raises(TypeError, match="^argument 'dt'"):
        sc.py_simulate_ei_network(dt="0.1")

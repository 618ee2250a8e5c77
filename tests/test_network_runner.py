"""NetworkRunner, the model names it accepts, the dispatch of each network model, and
py_batch_simulate."""
import random

import numpy as np
import pytest

import sc_dravik_engine as sc
from bitref import Xoshiro, uniform
from sc_testing import c_exp, panic_of, run_child_json, same_bits

# The network models in variant order: (short name, second name, Python class and its
# arguments matching the factory's record, how the soma value reads from get_state).
V = "v"
VARIANTS = [
    ("Izhikevich", None, "Izhikevich", {}, V),
    ("AdEx", "AdExNeuron", "AdExNeuron", {}, V),
    ("ExpIF", "ExpIfNeuron", "ExpIFNeuron", {}, V),
    ("Lapicque", "LapicqueNeuron", "LapicqueNeuron", {}, V),
    ("HomeostaticLif", None, None, {}, V),
    ("HodgkinHuxley", "HodgkinHuxleyNeuron", "HodgkinHuxleyNeuron", {}, V),
    ("TraubMiles", "TraubMilesNeuron", "TraubMilesNeuron", {}, V),
    ("WangBuzsaki", "WangBuzsakiNeuron", "WangBuzsakiNeuron", {}, V),
    ("ConnorStevens", "ConnorStevensNeuron", "ConnorStevensNeuron", {}, V),
    ("DestexheThalamic", "DestexheThalamicNeuron", "DestexheThalamicNeuron", {}, V),
    ("HuberBraun", "HuberBraunNeuron", "HuberBraunNeuron", {}, V),
    ("GolombFS", "GolombFSNeuron", "GolombFSNeuron", {}, V),
    ("Pospischil", "PospischilNeuron", "PospischilNeuron", {}, V),
    ("MainenSejnowski", "MainenSejnowskiNeuron", "MainenSejnowskiNeuron", {}, "vs"),
    ("DeSchutterPurkinje", "DeSchutterPurkinjeNeuron", "DeSchutterPurkinjeNeuron", {}, V),
    ("PlantR15", "PlantR15Neuron", "PlantR15Neuron", {}, V),
    ("Prescott", "PrescottNeuron", "PrescottNeuron", {}, V),
    ("MihalasNiebur", "MihalasNieburNeuron", "MihalasNieburNeuron", {}, V),
    ("GLIF", "GLIFNeuron", "GLIFNeuron", {}, V),
    ("GIFPopulation", "GIFPopulationNeuron", "GIFPopulationNeuron", {}, V),
    ("AvRonCardiac", "AvRonCardiacNeuron", "AvRonCardiacNeuron", {}, V),
    ("DurstewitzDopamine", "DurstewitzDopamineNeuron", "DurstewitzDopamineNeuron", {}, V),
    ("HillTononi", "HillTononiNeuron", "HillTononiNeuron", {}, V),
    ("BertramPhantom", "BertramPhantomBurster", "BertramPhantomBurster", {}, V),
    ("Yamada", "YamadaNeuron", "YamadaNeuron", {}, V),
    ("FitzHughNagumo", "FitzHughNagumoNeuron", "FitzHughNagumoNeuron", {}, V),
    ("MorrisLecar", "MorrisLecarNeuron", "MorrisLecarNeuron", {}, V),
    ("HindmarshRose", "HindmarshRoseNeuron", "HindmarshRoseNeuron", {}, "x"),
    ("ResonateAndFire", "ResonateAndFireNeuron", "ResonateAndFireNeuron", {}, "x"),
    ("FitzHughRinzel", "FitzHughRinzelNeuron", "FitzHughRinzelNeuron", {}, V),
    ("McKean", "McKeanNeuron", "McKeanNeuron", {}, V),
    ("TermanWang", "TermanWangOscillator", "TermanWangOscillator", {}, V),
    ("GutkinErmentrout", "GutkinErmentroutNeuron", "GutkinErmentroutNeuron", {}, V),
    ("WilsonHR", "WilsonHRNeuron", "WilsonHRNeuron", {}, V),
    ("Chay", "ChayNeuron", "ChayNeuron", {}, V),
    ("ChayKeizer", "ChayKeizerNeuron", "ChayKeizerNeuron", {}, V),
    ("ShermanRinzelKeizer", "ShermanRinzelKeizerNeuron", "ShermanRinzelKeizerNeuron", {}, V),
    ("ButeraRespiratory", "ButeraRespiratoryNeuron", "ButeraRespiratoryNeuron", {}, V),
    ("EPropALIF", "EPropALIFNeuron", "EPropALIFNeuron", {}, V),
    ("SuperSpike", "SuperSpikeNeuron", "SuperSpikeNeuron", {}, V),
    ("LearnableNeuron", "LearnableNeuronModel", "LearnableNeuronModel", {}, V),
    ("Pernarowski", "PernarowskiNeuron", "PernarowskiNeuron", {}, V),
    ("QuadraticIF", "QuadraticIFNeuron", "QuadraticIFNeuron", {}, V),
    ("Theta", "ThetaNeuron", "ThetaNeuron", {}, "theta"),
    ("PerfectIntegrator", "PerfectIntegratorNeuron", "PerfectIntegratorNeuron", {}, V),
    ("GatedLIF", "GatedLIFNeuron", "GatedLIFNeuron", {}, V),
    ("NonlinearLIF", "NonlinearLIFNeuron", "NonlinearLIFNeuron", {}, V),
    ("SFA", "SFANeuron", "SFANeuron", {}, V),
    ("MAT", "MATNeuron", "MATNeuron", {}, V),
    ("KLIF", "KLIFNeuron", "KLIFNeuron", {}, V),
    ("InhibitoryLIF", "InhibitoryLIFNeuron", "InhibitoryLIFNeuron", {}, V),
    ("ComplementaryLIF", "ComplementaryLIFNeuron", "ComplementaryLIFNeuron", {}, "v_pos"),
    ("ParametricLIF", "ParametricLIFNeuron", "ParametricLIFNeuron", {}, V),
    ("NonResettingLIF", "NonResettingLIFNeuron", "NonResettingLIFNeuron", {}, V),
    ("AdaptiveThresholdIF", "AdaptiveThresholdIFNeuron", "AdaptiveThresholdIFNeuron", {}, V),
    ("SigmaDelta", "SigmaDeltaNeuron", "SigmaDeltaNeuron", {}, "sigma"),
    ("EnergyLIF", "EnergyLIFNeuron", "EnergyLIFNeuron", {}, V),
    ("ClosedFormContinuous", "ClosedFormContinuousNeuron", "ClosedFormContinuousNeuron", {}, "x"),
    ("ChialvoMap", "ChialvoMapNeuron", "ChialvoMapNeuron", {}, "x"),
    ("RulkovMap", "RulkovMapNeuron", "RulkovMapNeuron", {}, "x"),
    ("IbarzTanakaMap", "IbarzTanakaMapNeuron", "IbarzTanakaMapNeuron", {}, "x"),
    ("MedvedevMap", "MedvedevMapNeuron", "MedvedevMapNeuron", {}, "x"),
    ("CazellesMap", "CazellesMapNeuron", "CazellesMapNeuron", {}, "x"),
    ("CourageNekorkinMap", "CourageNekorkinMapNeuron", "CourageNekorkinMapNeuron", {}, "x"),
    ("BrainScaleSAdEx", "BrainScaleSAdExNeuron", "BrainScaleSAdExNeuron", {}, V),
    ("SpiNNakerLIF", "SpiNNakerLIFNeuron", "SpiNNakerLIFNeuron", {}, V),
    ("NeuroGrid", "NeuroGridNeuron", "NeuroGridNeuron", {}, "v_s"),
    ("DPI", "DPINeuron", "DPINeuron", {}, "i_mem"),
    ("MarderSTG", "MarderSTGNeuron", "MarderSTGNeuron", {}, V),
    ("RallCable", "RallCableNeuron", "RallCableNeuron", {}, lambda s: s["v"][0]),
    ("BoothRinzel", "BoothRinzelNeuron", "BoothRinzelNeuron", {}, "vs"),
    ("Dendrify", "DendrifyNeuron", "DendrifyNeuron", {}, "v_s"),
    ("LiquidTimeConstant", "LiquidTimeConstantNeuron", "LiquidTimeConstantNeuron", {}, "x"),
    # The factory's kernel and threshold differ from the class's defaults; no state to read.
    ("ParallelSpiking", "ParallelSpikingNeuron", "ParallelSpikingNeuron",
     {"kernel_size": 4, "v_threshold": 0.5}, 0.0),
    ("FractionalLIF", "FractionalLIFNeuron", "FractionalLIFNeuron", {}, V),
    ("StochasticIF", "StochasticIFNeuron", "StochasticIFNeuron", {}, V),
    ("GalvesLocherbach", "GalvesLocherbachNeuron", "GalvesLocherbachNeuron", {}, V),
    ("SpikeResponse", "SpikeResponseNeuron", "SpikeResponseNeuron", {}, V),
    ("GLM", "GLMNeuron", "GLMNeuron", {"n_k": 5, "n_h": 10}, -3.0),
    ("Arcane", "ArcaneNeuron", "ArcaneNeuron", {}, "v_fast"),
]
UNLISTED = {"HuberBraun", "GolombFS", "Pospischil", "MainenSejnowski", "DeSchutterPurkinje", "PlantR15",
            "Prescott", "MihalasNiebur", "GLIF", "GIFPopulation", "AvRonCardiac", "DurstewitzDopamine",
            "HillTononi", "BertramPhantom", "Yamada"}
ACCEPTED = [n for short, long_, *_ in VARIANTS for n in (short, long_) if n]


class HomeostaticLif:
    """The network-only LIF whose threshold follows its running rate."""

    def __init__(self):
        self.v, self.theta, self.v_rest, self.v_reset, self.rate = 0.0, 1.0, 0.0, 0.0, 0.0
        self.target, self.eta, self.decay, self.theta0 = 0.1, 0.01, 0.95, 1.0

    def step(self, current):
        self.v = self.v + (current - (self.v - self.v_rest)) / 20.0
        spike = 0
        if self.v >= self.theta:
            spike, self.v = 1, self.v_reset
        self.rate = (1.0 - self.decay) * spike + self.rate * self.decay
        self.theta = self.theta + (self.rate - self.target) * self.eta
        if self.theta < 0.1:
            self.theta = 0.1
        if self.theta > 10.0 * self.theta0:
            self.theta = 10.0 * self.theta0
        return spike

    def get_state(self):
        return {"v": self.v}


def python_neuron(cls, kwargs):
    return HomeostaticLif() if cls is None else getattr(sc, cls)(**kwargs)


def soma_of(obj, soma):
    if isinstance(soma, float):
        return soma
    state = obj.get_state()
    return soma(state) if callable(soma) else state[soma]


def varied_trace(name, n=400):
    """Inputs of several scales, so that models of every unit meet both quiet and strong drive."""
    rng = random.Random(name)
    scales = [0.05, 0.5, 2.0, 10.0, 40.0]
    trace = [rng.uniform(-0.5, 1.0) * rng.choice(scales) for _ in range(n)]
    trace[n // 2: n // 2 + 30] = [rng.choice(scales)] * 30  # a held drive
    return np.array(trace)


# ---------------------------------------------------------------- names

def test_supported_models():
    names = sc.NetworkRunner.supported_models()
    assert sc.NetworkRunner.supported_models.__text_signature__ == "()"
    assert names == [short for short, *_ in VARIANTS[:79] if short not in UNLISTED] + ["ArcaneNeuron"]
    assert len(names) == 65 and all(type(n) is str for n in names)
    assert names is not sc.NetworkRunner.supported_models()


def test_every_accepted_name_builds_its_variant():
    assert len(ACCEPTED) == len(set(ACCEPTED)) == 158
    for short, long_, *_ in VARIANTS:
        trace = varied_trace(short, 50)
        want = sc.py_batch_simulate(short, 50, trace)
        if long_:
            assert same_bits(sc.py_batch_simulate(long_, 50, trace), want), long_


@pytest.mark.parametrize("name", [
    "IzhikevichNeuron", "HomeostaticLifNeuron", "ExpIFNeuron", "hodgkinhuxley", "HodgkinHuxley ",
    " AdEx", "", "Adex", "Poisson", "PoissonNeuron", "AlphaNeuron", "WilsonCowanUnit", "LoihiCUBANeuron",
    "PinskyRinzelNeuron", "MultiTimescaleNeuron", "FixedPointLif", "BertramPhantomNeuron",
    "TermanWangNeuron", "LearnableNeuronNeuron", "NativeContinuousAttractorNeuron", "Arcane\0",
])
def test_refused_names(name):
    with pytest.raises(ValueError) as info:
        sc.py_batch_simulate(name, 1, np.zeros(1))
    assert str(info.value) == f"Unsupported model: '{name}'"
    r = sc.NetworkRunner()
    for n in (1, 2**32 + 1):  # the name is checked before the size
        with pytest.raises(ValueError) as info:
            r.add_population(name, n)
        assert str(info.value) == f"Unsupported model: '{name}'"
    # With no neurons the name is never looked up.
    assert r.add_population(name, 0) == 0


# ---------------------------------------------------------------- dispatch

@pytest.mark.parametrize("short, long_, cls, kwargs, soma", VARIANTS, ids=[v[0] for v in VARIANTS])
def test_dispatch_steps_the_class_record(short, long_, cls, kwargs, soma):
    trace = varied_trace(short)
    got = sc.py_batch_simulate(short, len(trace), trace)
    obj = python_neuron(cls, kwargs)
    codes, volts = [], []
    for x in trace:
        codes.append(obj.step(float(x)))
        volts.append(soma_of(obj, soma))
    assert list(got) == ["voltages", "spikes", "n_steps"]
    assert got["n_steps"] == len(trace)
    assert got["spikes"].dtype == np.uint64 and got["voltages"].dtype == np.float64
    assert got["spikes"].tolist() == [i for i, c in enumerate(codes) if c != 0]
    assert same_bits(got["voltages"], np.array(volts))


@pytest.mark.parametrize("short, long_, cls, kwargs, soma", VARIANTS, ids=[v[0] for v in VARIANTS])
def test_runner_steps_the_class_record(short, long_, cls, kwargs, soma):
    # A population of 300 alike neurons (a full chunk and a partial one), all driven by one
    # GalvesLocherbach neuron: each must pass through the states of the class's object fed
    # the same currents (weight 20 on the step after each driver spike).
    r = sc.NetworkRunner()
    r.add_population("GalvesLocherbach", 1)
    r.add_population(short, 300)
    r.add_projection(0, 1, [0, 300], list(range(300)), [20.0] * 300)
    out = r.run(200)
    driver = {t for _, t in spikes_of(out["spike_data"][0])}
    obj = python_neuron(cls, kwargs)
    steps = [t for t in range(200) if obj.step(20.0 if t - 1 in driver else 0.0) != 0]
    want = [(k, t) for t in steps for k in range(300)]
    assert spikes_of(out["spike_data"][1]) == want
    assert same_bits(out["voltages"][1], np.full(300, soma_of(obj, soma)))


def test_ternary_codes_and_fixed_soma_values():
    # SigmaDelta's negative events count as spikes; ParallelSpiking reads 0.0, GLM its bias.
    got = sc.py_batch_simulate("SigmaDelta", 3, np.array([-2.25, 0.0, 2.0]))
    assert got["spikes"].tolist() == [0, 1, 2]
    assert sc.py_batch_simulate("ParallelSpiking", 20, np.ones(20))["voltages"].tolist() == [0.0] * 20
    assert sc.py_batch_simulate("GLM", 20, np.full(20, 50.0))["voltages"].tolist() == [-3.0] * 20


def test_random_variants_start_alike():
    # Every neuron of a random model is seeded 42: equal inputs, equal trains.
    trace = np.full(300, 30.0)
    for name in ("StochasticIF", "GalvesLocherbach", "GIFPopulation", "GLM"):
        a, b = (sc.py_batch_simulate(name, 300, trace) for _ in range(2))
        assert same_bits(a, b)
    r = sc.NetworkRunner()
    r.add_population("GalvesLocherbach", 3)
    r.add_population("GalvesLocherbachNeuron", 2)
    out = r.run(200)
    data = [np.asarray(d) for d in out["spike_data"]]
    steps = [sorted((d & 0xFFFFFFFF)[(d >> 32) == k].tolist()) for d, n in zip(data, (3, 2)) for k in range(n)]
    assert all(s == steps[0] for s in steps) and steps[0]


# ---------------------------------------------------------------- py_batch_simulate

def test_batch_simulate_signature_and_lengths():
    assert sc.py_batch_simulate.__text_signature__ == "(model_name, n_steps, current_trace)"
    assert sc.py_batch_simulate.__doc__ == (
        "Run a named neuron model for n_steps with a current trace, returning\nvoltage trace + spike "
        "indices. Entire simulation in Native.")
    trace = np.full(10, 20.0)
    long_run = sc.py_batch_simulate("Izhikevich", 50, trace)
    assert long_run["n_steps"] == 10 and len(long_run["voltages"]) == 10
    short = sc.py_batch_simulate("Izhikevich", 4, trace)
    assert short["n_steps"] == 4 and same_bits(short["voltages"], long_run["voltages"][:4])
    empty = sc.py_batch_simulate("Izhikevich", 5, np.zeros(0))
    assert empty["n_steps"] == 0 and empty["voltages"].shape == (0,) and empty["spikes"].shape == (0,)
    assert empty["spikes"].dtype == np.uint64


def test_batch_simulate_argument_errors():
    with pytest.raises(TypeError) as info:
        sc.py_batch_simulate("Izhikevich", 5, np.zeros(5)[::2])
    assert str(info.value) == "The given array is not contiguous or is misaligned."
    # The name is checked before the trace's layout.
    with pytest.raises(ValueError):
        sc.py_batch_simulate("Nope", 5, np.zeros(5)[::2])
    for bad in (np.zeros(5, np.float32), np.zeros((1, 5)), [0.0] * 5):
        with pytest.raises(TypeError, match="^argument 'current_trace': "):
            sc.py_batch_simulate("Izhikevich", 5, bad)
    with pytest.raises(OverflowError):
        sc.py_batch_simulate("Izhikevich", -1, np.zeros(5))
    with pytest.raises(TypeError, match="^argument 'model_name': "):
        sc.py_batch_simulate(3, 5, np.zeros(5))


# ---------------------------------------------------------------- the runner

def spikes_of(record):
    return [(int(r) >> 32, int(r) & 0xFFFFFFFF) for r in record]


def test_empty_runner():
    r = sc.NetworkRunner()
    assert sc.NetworkRunner.__text_signature__ == "()"
    out = r.run(10)
    assert list(out) == ["spike_counts", "spike_data", "voltages"]
    assert out["spike_counts"].dtype == np.uint64 and out["spike_counts"].shape == (0,)
    assert out["spike_data"] == [] and out["voltages"] == []


def test_signatures():
    assert sc.NetworkRunner.add_population.__text_signature__ == "($self, model, n)"
    assert sc.NetworkRunner.add_projection.__text_signature__ == (
        "($self, src, tgt, row_offsets, col_indices, values, delay=0)")
    assert sc.NetworkRunner.run.__text_signature__ == "($self, n_steps)"


class GalvesLocherbach:
    """A GalvesLocherbach neuron seeded 42 (it fires on its own, with probability
    1 / (e^2.5 + 1) per step at rest)."""

    def __init__(self):
        self.g, self.v = Xoshiro(42), 0.0

    def step(self, x):
        self.v = 0.95 * self.v + x
        fired = 1.0 * (1.0 / (c_exp(-(self.v - 0.5) * 5.0) + 1.0)) > uniform(self.g)
        if fired:
            self.v = 0.0
        return fired


class PerfectIntegrator:
    def __init__(self):
        self.v = 0.0

    def step(self, x):
        self.v = (x / 1.0) * 0.1 + self.v
        fired = self.v >= 1.0
        if fired:
            self.v = 0.0
        return fired


def galves_locherbach_run(inputs):
    """Spike steps and final v of a GalvesLocherbach neuron."""
    n = GalvesLocherbach()
    return [t for t, x in enumerate(inputs) if n.step(x)], n.v


def lapicque_run(arrivals, n_steps):
    """(spike steps, final v) of a Lapicque neuron (tau 20, R 1, threshold 1, dt 1) given the
    current at each step."""
    v, out = 0.0, []
    for t in range(n_steps):
        i = arrivals.get(t, 0.0)
        v = v + ((i * 1.0 - (v - 0.0)) / 20.0) * 1.0
        if v >= 1.0:
            v = 0.0
            out.append(t)
    return out, v


def chain(delay):
    """Population 0: two GalvesLocherbach neurons, alike, firing on their own; population 1:
    two Lapicque neurons receiving weight 25.0 from neuron 0 and 9.0 from neuron 1 of
    population 0, `delay` steps late."""
    r = sc.NetworkRunner()
    assert r.add_population("GalvesLocherbach", 2) == 0
    assert r.add_population("LapicqueNeuron", 2) == 1
    r.add_projection(0, 1, [0, 1, 2], [0, 1], [25.0, 9.0], delay)
    return r


@pytest.mark.parametrize("delay", [0, 1, 3])
def test_delayed_projection_follows_hand_derivation(delay):
    n_steps = 300
    source, v_source = galves_locherbach_run([0.0] * n_steps)
    assert len(source) > 10
    out = chain(delay).run(n_steps)
    # Both source neurons draw alike and spike together.
    assert spikes_of(out["spike_data"][0]) == [(k, t) for t in source for k in (0, 1)]
    # A spike at step t reaches the currents of step t + 1 + delay.
    for k, w in enumerate((25.0, 9.0)):
        steps, v = lapicque_run({t + 1 + delay: w for t in source}, n_steps)
        assert steps
        assert [t for kk, t in spikes_of(out["spike_data"][1]) if kk == k] == steps
        assert out["voltages"][1][k] == v
    assert out["voltages"][0].tolist() == [v_source] * 2
    assert out["spike_counts"].tolist() == [2 * len(source), len(out["spike_data"][1])]
    # The record of neuron k's spike at step t is (k << 32) | t.
    assert int(out["spike_data"][0][1]) == (1 << 32) | source[0]


def test_runs_continue_where_they_stopped():
    whole = chain(2).run(900)
    split = chain(2)
    a, b = split.run(450), split.run(450)
    for pop in range(2):
        joined = spikes_of(a["spike_data"][pop]) + [(k, t + 450) for k, t in spikes_of(b["spike_data"][pop])]
        assert joined == spikes_of(whole["spike_data"][pop])
        assert same_bits(b["voltages"][pop], whole["voltages"][pop])
    assert (a["spike_counts"] + b["spike_counts"]).tolist() == whole["spike_counts"].tolist()
    # Zero steps: no records, the voltages as they stand.
    again = split.run(0)
    assert again["spike_counts"].tolist() == [0, 0]
    assert same_bits(again["voltages"], b["voltages"])


def test_self_projection_reads_the_previous_step():
    # Neuron 0's spikes drive neuron 1 with a weight that makes it fire for sure on the next
    # step; read from the flags being computed, it would fire in the same step instead.
    r = sc.NetworkRunner()
    r.add_population("GalvesLocherbach", 2)
    r.add_projection(0, 0, [0, 1, 1], [1], [500.0])
    out = spikes_of(r.run(300)["spike_data"][0])
    first = [t for k, t in out if k == 0]
    second = {t for k, t in out if k == 1}
    source, _ = galves_locherbach_run([0.0] * 300)
    assert first == source
    assert {t + 1 for t in first if t + 1 < 300} <= second


def test_out_of_range_entries():
    # Targets beyond the target population are skipped.
    r = chain(0)
    r.add_projection(0, 1, [0, 2, 3], [7, 0, 99], [1.0, 2.0, 3.0])
    skipped = r.run(300)
    r = chain(0)
    r.add_projection(0, 1, [0, 1, 1], [0], [2.0])
    assert same_bits(skipped, r.run(300))
    # An offset beyond col_indices stops the run when its neuron first spikes.
    r = chain(0)
    r.add_projection(0, 1, [0, 5, 5], [0, 1], [1.0, 1.0])
    assert str(panic_of(r.run, 300)).startswith("index out of bounds")
    # A weight missing for an entry that reaches the population.
    r = chain(0)
    r.add_projection(0, 1, [0, 2, 2], [0, 1], [1.0])
    assert str(panic_of(r.run, 300)).startswith("index out of bounds")
    # Populations that do not exist stop the first step, also when source and target agree.
    for src, tgt in ((0, 5), (5, 0), (5, 5)):
        r = chain(0)
        r.add_projection(src, tgt, [0, 1], [0], [1.0])
        assert str(panic_of(r.run, 3)).startswith("index out of bounds")
        assert r.run(0)["spike_counts"].tolist() == [0, 0]  # still usable


class RingNetwork:
    """The runner written from its rules alone, for GalvesLocherbach and PerfectIntegrator
    populations: a delayed projection keeps a ring of `delay` spike-flag arrays, each created
    as `rows` false flags; each step it delivers slot ring_pos, puts a copy of the source's
    flags in its place and moves on."""

    def __init__(self):
        self.pops, self.projections = [], []

    def add_population(self, model, n):
        cls = {"GalvesLocherbach": GalvesLocherbach, "PerfectIntegrator": PerfectIntegrator}[model]
        self.pops.append({"neurons": [cls() for _ in range(n)], "flags": [False] * n})

    def add_projection(self, src, tgt, offsets, cols, vals, delay=0):
        rows = max(len(offsets) - 1, 0)
        self.projections.append({"src": src, "tgt": tgt, "offsets": offsets, "cols": cols, "vals": vals,
                                 "delay": delay, "ring": [[False] * rows for _ in range(delay)], "pos": 0})

    def run(self, n_steps):
        records = [[] for _ in self.pops]
        for t in range(n_steps):
            currents = [[0.0] * len(p["flags"]) for p in self.pops]
            for pr in self.projections:
                flags = self.pops[pr["src"]]["flags"]
                if pr["delay"]:
                    delivered = pr["ring"][pr["pos"]]
                    pr["ring"][pr["pos"]] = list(flags)
                    pr["pos"] = (pr["pos"] + 1) % pr["delay"]
                else:
                    delivered = flags
                cur, off = currents[pr["tgt"]], pr["offsets"]
                for i in range(min(max(len(off) - 1, 0), len(delivered))):
                    if delivered[i]:
                        for j in range(off[i], off[i + 1]):
                            c = pr["cols"][j]
                            if c < len(cur):
                                cur[c] = pr["vals"][j] + cur[c]
            for pi, pop in enumerate(self.pops):
                pop["flags"] = [n.step(x) for n, x in zip(pop["neurons"], currents[pi])]
                records[pi] += [(k, t) for k, f in enumerate(pop["flags"]) if f]
        return records, [[n.v for n in p["neurons"]] for p in self.pops]


def delay_network(r):
    """A driver; six GalvesLocherbach neurons that it and they themselves drive; 100 integrators
    that fire one by one on the six's input and all together on the driver's; and four
    integrators fed by the six and the hundred at delays 0 to 8. The projections have rows
    fewer and more than their sources, entries beyond the targets, and weights whose sums
    depend on their order; the four feed back."""
    r.add_population("GalvesLocherbach", 1)
    r.add_population("GalvesLocherbach", 6)
    r.add_population("PerfectIntegrator", 4)
    r.add_population("PerfectIntegrator", 100)
    r.add_projection(0, 1, [0, 6], list(range(6)), [-2.0, -0.5, 0.0, 0.4, 1.0, 3.0], 2)
    r.add_projection(1, 1, list(range(7)), [1, 2, 3, 4, 5, 0], [0.7, -0.3, 0.7, 0.2, 0.9, -1.1], 3)
    r.add_projection(0, 3, [0, 100], list(range(100)), [10.0] * 100)
    rng = random.Random(11)
    r.add_projection(1, 3, [0, 5, 10, 15, 20, 25, 30], [rng.randrange(100) for _ in range(30)],
                     [rng.uniform(3.0, 11.0) for _ in range(30)])
    for delay in range(9):
        for src, n_rows in ((1, (3, 6, 9)[delay % 3]), (3, (64, 100, 130)[delay % 3])):
            counts = [rng.randrange(0, 5) for _ in range(n_rows)]
            offsets = [0]
            for c in counts:
                offsets.append(offsets[-1] + c)
            cols = [rng.randrange(0, 6) for _ in range(offsets[-1])]
            # The hundred's weights are small, so that their sums reach the integrators whole.
            vals = [rng.uniform(0.002, 0.03) if src == 3 else rng.uniform(0.05, 0.7) for _ in range(offsets[-1])]
            r.add_projection(src, 2, offsets, cols, vals, delay)
    r.add_projection(2, 1, [0, 1, 2, 2, 3], [0, 5, 2], [1.3, 0.8, -0.6], 5)


def test_delays_follow_the_ring_of_flags_across_runs():
    engine, ref = sc.NetworkRunner(), RingNetwork()
    delay_network(engine)
    delay_network(ref)
    for n_steps in (60, 0, 90):
        out = engine.run(n_steps)
        records, volts = ref.run(n_steps)
        assert [spikes_of(d) for d in out["spike_data"]] == records
        assert out["spike_counts"].tolist() == [len(x) for x in records]
        assert same_bits(out["voltages"], [np.array(v) for v in volts])
        assert all(records) or n_steps == 0


def test_rows_beyond_the_source_contribute_nothing():
    # 300 sources (a full chunk of 256 and a partial one), a projection with 1000 rows: rows
    # 300..999 have no neuron and their entries must never be reached.
    def runner(rows):
        r = sc.NetworkRunner()
        r.add_population("GalvesLocherbach", 300)
        r.add_population("PerfectIntegrator", 2)
        offsets = [min(i, 300) for i in range(301)] + list(range(301, rows + 1))
        r.add_projection(0, 1, offsets, [0] * 300 + [1] * (rows - 300), [0.05] * 300 + [100.0] * (rows - 300))
        return r.run(100)
    long_, trimmed = runner(1000), runner(300)
    assert same_bits(long_, trimmed)
    assert long_["spike_counts"][1] > 0 and not any(k == 1 for k, _ in spikes_of(long_["spike_data"][1]))


def test_run_and_argument_errors():
    r = chain(0)
    with pytest.raises(ValueError) as info:
        r.run(2**32 + 1)
    assert str(info.value) == "A run takes at most 4294967296 steps, got 4294967297."
    with pytest.raises(OverflowError):
        r.run(-1)
    with pytest.raises(OverflowError):
        r.add_population("Izhikevich", -1)
    with pytest.raises(TypeError, match="^argument 'row_offsets': "):
        r.add_projection(0, 1, "01", [0], [1.0])
    with pytest.raises(OverflowError):
        r.add_projection(0, 1, [0, -1], [0], [1.0])
    with pytest.raises(TypeError, match="^argument 'values': "):
        r.add_projection(0, 1, [0, 1], [0], ["x"])
    with pytest.raises(ValueError) as info:
        r.add_population("Izhikevich", 2**32 + 1)
    assert str(info.value) == "A population holds at most 4294967296 neurons, got 4294967297."


def test_populations_of_equal_neurons_behave_alike():
    r = sc.NetworkRunner()
    r.add_population("Izhikevich", 1000)
    r.add_population("GalvesLocherbach", 1)
    # Every neuron of population 0 gets the same drive from the lone neuron of population 1.
    r.add_projection(1, 0, [0, 1000], list(range(1000)), [40.0] * 1000)
    out = r.run(300)
    steps = {}
    for k, t in spikes_of(out["spike_data"][0]):
        steps.setdefault(k, []).append(t)
    assert len(steps) == 1000 and all(s == steps[0] for s in steps.values())
    assert len(set(out["voltages"][0].tolist())) == 1


THREADS = r"""
import json, numpy as np, sc_dravik_engine as sc
r = sc.NetworkRunner()
sizes = (("GalvesLocherbach", 600), ("Izhikevich", 1500), ("HodgkinHuxley", 300), ("StochasticIF", 700),
         ("SigmaDelta", 257))
for model, n in sizes:
    r.add_population(model, n)
rng = np.random.default_rng(4)
# The GalvesLocherbach neurons fire on their own and drive the rest.
for src, tgt in ((0, 1), (0, 2), (0, 3), (1, 1), (1, 2), (3, 4), (4, 1), (0, 4)):
    n_src, n_tgt = sizes[src][1], sizes[tgt][1]
    counts = rng.integers(0, 20, n_src)
    offsets = np.concatenate([[0], np.cumsum(counts)])
    cols = rng.integers(0, n_tgt + 5, offsets[-1])
    vals = rng.normal(6.0, 4.0, offsets[-1])
    r.add_projection(src, tgt, offsets.tolist(), cols.tolist(), vals.tolist(), int(src % 3))
out = [r.run(60) for _ in range(2)]
print(json.dumps([[o["spike_counts"].tolist(), [d.tolist() for d in o["spike_data"]],
                   [v.tobytes().hex() for v in o["voltages"]]] for o in out]))
"""


def test_results_do_not_depend_on_the_worker_count():
    one = run_child_json(THREADS, threads=1)
    eight = run_child_json(THREADS, threads=8)
    assert one == eight
    assert all(sum(counts) > 0 for counts, _, _ in one)

"""The AI-oriented neurons and the Arcane neuron (the ai_optimized family)."""
import math

import numpy as np
import pytest

import sc_dravik_engine as sc
from contract import *  # noqa: F401,F403 - the shared contract runs over ROWS
from contract import NAN, Row, const_then_uniform
from sc_testing import Hook, panic_of, same_bits


def sigmoid(x):
    return 1.0 / (1.0 + math.exp(-x))


# ---------------------------------------------------------------- references

class RefMultiTimescale:
    keys = ("v_fast", "v_medium", "v_slow")

    def __init__(self):
        self.reset()
        self.tau_fast, self.tau_medium, self.tau_slow = 5.0, 200.0, 10000.0
        self.medium_gain, self.slow_gain, self.threshold_slope, self.base_threshold = 10.0, 0.05, 0.3, 1.0
        self.dt = 1.0

    def step(self, current):
        self.v_fast = self.v_fast + (current - self.v_fast) / self.tau_fast * self.dt
        thr = self.base_threshold - self.threshold_slope * self.v_slow
        s = 1 if self.v_fast >= thr else 0
        self.v_medium = self.v_medium + (float(s) * self.medium_gain - self.v_medium) / self.tau_medium * self.dt
        self.v_slow = self.v_slow + (self.v_medium * self.slow_gain - self.v_slow) / self.tau_slow * self.dt
        if s:
            self.v_fast = 0.0
        return s

    def reset(self):
        self.v_fast = self.v_medium = self.v_slow = 0.0


class RefAttentionGated:
    keys = ("v",)

    def __init__(self):
        self.v, self.gate_input_weight, self.gate_v_weight, self.tau, self.threshold, self.dt = \
            0.0, 1.0, 0.5, 10.0, 1.0, 1.0

    def step(self, current):
        g = 1.0 / (1.0 + math.exp(-(self.gate_v_weight * self.v + self.gate_input_weight * current)))
        self.v = self.v + (g * current - self.v) / self.tau * self.dt
        if self.v >= self.threshold:
            self.v = 0.0
            return 1
        return 0

    def reset(self):
        self.v = 0.0


class RefPredictiveCoding:
    keys = ("v", "pred")

    def __init__(self):
        self.v, self.pred, self.tau, self.tau_pred, self.threshold, self.dt = 0.0, 0.0, 10.0, 50.0, 1.0, 1.0

    def step(self, current):
        e = current - self.pred
        self.v = self.v + self.dt * (abs(e) - self.v) / self.tau
        self.pred = self.pred + self.dt * e / self.tau_pred
        if self.v >= self.threshold:
            self.v = 0.0
            return 1
        return 0

    def reset(self):
        self.v = self.pred = 0.0


class RefSelfReferential:
    keys = ("v",)

    def __init__(self):
        self.tau, self.threshold, self.rate_scale, self.dt, self.window = 10.0, 1.0, 0.1, 1.0, 50
        self.reset()

    def step(self, current):
        count = sum(self.ring)
        tau_eff = (count / self.window / self.rate_scale + 1.0) * self.tau
        self.v = self.v + (current - self.v) / tau_eff * self.dt
        s = 1 if self.v >= self.threshold else 0
        if s:
            self.v = 0.0
        self.ring[self.pos] = s
        self.pos = (self.pos + 1) % self.window
        return s

    def reset(self):
        self.v, self.ring, self.pos = 0.0, [0] * 50, 0


class RefCompositionalBinding:
    keys = ("phi", "amplitude")

    def __init__(self):
        self.phi, self.amplitude, self.omega, self.tau, self.threshold, self.dt = 0.0, 0.0, 0.1, 10.0, 0.8, 1.0

    def step(self, current):
        self.phi = self.phi + self.omega * self.dt
        self.amplitude = self.amplitude + (current - self.amplitude) / self.tau * self.dt
        return 1 if self.amplitude * math.cos(self.phi) > self.threshold else 0

    def reset(self):
        self.phi = self.amplitude = 0.0


class RefDifferentiableSurrogate:
    keys = ("v",)

    def __init__(self):
        self.v, self.decay, self.threshold = 0.0, 0.9, 1.0

    def step(self, current):
        s = 1 if self.v >= self.threshold else 0
        self.v = current + self.decay * self.v * (0.0 if s else 1.0)
        return s

    def reset(self):
        self.v = 0.0


class RefContinuousAttractor:
    keys = ("u",)

    def __init__(self, n_units=16):
        self.n, self.tau, self.dt = n_units, 10.0, 1.0
        self.w = []
        for i in range(n_units):
            row = []
            for j in range(n_units):
                d = min(abs(float(i) - float(j)), float(n_units) - abs(float(i) - float(j)))
                row.append(4.0 * math.exp(-0.5 * (d * d)) - 0.5)
            self.w.append(row)
        self.reset()

    @property
    def u(self):
        return np.array(self._u, dtype=np.float64)

    def step(self, current):
        def f(x):
            r = max(x, 0.0) if not math.isnan(x) else 0.0
            return r * r / (r * r + 1.0)
        old = self._u
        new = []
        for i in range(self.n):
            a = -0.0
            for j in range(self.n):
                a = a + f(old[j]) * self.w[i][j]
            new.append(old[i] + (a - old[i] + current) / self.tau * self.dt)
        self._u = new
        m = max((x for x in new if not math.isnan(x)), default=-math.inf)
        return 1 if m > 1.0 else 0

    def bump_position(self):
        if self.n < 2:
            return 0
        best, idx = self._u[0], 0
        for k in range(1, self.n):
            if not best > self._u[k]:
                best, idx = self._u[k], k
        return idx

    def reset(self):
        self._u = [0.0] * self.n


class RefMetaPlastic:
    keys = ("v", "error_trace", "expected_reward")

    def __init__(self):
        self.v = self.error_trace = self.expected_reward = 0.0
        self.tau, self.threshold, self.dt = 10.0, 1.0, 1.0

    def step(self, current):
        self.v = self.v + (current - self.v) / self.tau * self.dt
        if self.v >= self.threshold:
            self.v = 0.0
            return 1
        return 0

    def reset(self):
        self.v = self.error_trace = self.expected_reward = 0.0


class RefArcane:
    keys = ("v_fast", "v_work", "v_deep")

    def __init__(self):
        self.spike_ring, self.surprise_ring = [0] * 50, [0.5] * 20
        self.v_fast = self.v_work = self.v_deep = 0.0
        self.w_fast, self.w_work, self.w_deep = 0.6, 0.3, 0.1
        self.spike_pos = self.surprise_pos = 0
        self.tau_fast, self.tau_work, self.tau_deep = 5.0, 200.0, 10000.0
        self.work_gain, self.deep_gain = 0.3, 0.05
        self.threshold_base, self.threshold_deep, self.threshold_novelty = 1.0, 0.2, 0.3
        self.gate_input, self.gate_fast, self.gate_work, self.gate_novelty = 0.8, 0.1, 0.05, 0.05
        self.surprise_slope, self.surprise_offset = 5.0, 0.1
        self.learning_rate, self.surprise_boost, self.rate_inhibition, self.dt = 0.01, 2.0, 0.3, 1.0

    def step(self, current):
        total = -0.0
        for b in self.spike_ring:
            total = total + float(b)
        rate = total / 50.0
        total = -0.0
        for x in self.surprise_ring:
            total = total + x
        novelty = 1.0 - total / 20.0
        gate = 1.0 / (1.0 + math.exp(-(((self.gate_input * current + self.gate_fast * self.v_fast)
                                        + self.gate_work * self.v_work) + self.gate_novelty * novelty)))
        vf = self.v_fast + ((gate * current - self.v_fast) - rate * self.rate_inhibition) / self.tau_fast * self.dt
        prediction = self.w_deep * self.v_deep + (self.w_work * self.v_work + self.w_fast * vf)
        error = abs(vf - prediction)
        surprise = 1.0 / (1.0 + math.exp(-self.surprise_slope * (error - self.surprise_offset)))
        self.v_fast = vf
        self.surprise_ring[self.surprise_pos % 20] = surprise
        self.surprise_pos += 1
        p = (1.0 - self.threshold_novelty * novelty) * ((self.threshold_deep * self.v_deep + 1.0) * self.threshold_base)
        thr = p if p > 0.1 else 0.1  # NaN gives the floor
        if vf >= thr:
            s = 1
            self.v_work = self.v_work + vf * self.work_gain / self.tau_work * self.dt
            self.v_fast = 0.0
            post = 0.0
        else:
            s, post = 0, vf
        self.v_work = self.v_work - self.v_work / self.tau_work * self.dt
        self.v_deep = self.v_deep + (self.deep_gain * self.v_work * surprise - self.v_deep) / self.tau_deep * self.dt
        delta = (post - prediction) * ((surprise * self.surprise_boost + 1.0) * self.learning_rate)
        self.w_fast = self.w_fast + delta * post
        self.w_work = self.w_work + delta * self.v_work
        self.w_deep = self.w_deep + delta * self.v_deep
        n2 = self.w_deep * self.w_deep + (self.w_fast * self.w_fast + self.w_work * self.w_work)
        if n2 > 0.0:
            n = math.sqrt(n2)
            self.w_fast, self.w_work, self.w_deep = self.w_fast / n, self.w_work / n, self.w_deep / n
        self.spike_ring[self.spike_pos % 50] = s
        self.spike_pos += 1
        return s

    def reset(self):
        self.v_fast = self.v_work = 0.0
        self.spike_ring, self.spike_pos = [0] * 50, 0


# ---------------------------------------------------------------- traces

def blocks(lo, hi, shortest=20, longest=200):
    """Constant inputs held for random stretches, so that a slow state climbs and falls."""
    def trace(rng, n):
        out = []
        while len(out) < n:
            out += [(rng.uniform(lo, hi),)] * rng.randint(shortest, longest)
        return out[:n]
    return trace


ROWS = [
    Row("MultiTimescaleNeuron", RefMultiTimescale, cases=[({}, const_then_uniform(2.0, -1.0, 4.0))], sample=(2.0,)),
    Row("AttentionGatedNeuron", RefAttentionGated, cases=[({}, const_then_uniform(3.0, -3.0, 5.0))], sample=(2.0,)),
    Row("PredictiveCodingNeuron", RefPredictiveCoding, cases=[({}, const_then_uniform(3.0, -3.0, 5.0))],
        sample=(3.0,)),
    Row("SelfReferentialNeuron", RefSelfReferential, cases=[({}, const_then_uniform(2.0, -1.0, 4.0))],
        sample=(2.0,)),
    # The phase ignores the input, so a NaN input shows in the amplitude.
    Row("CompositionalBindingNeuron", RefCompositionalBinding, cases=[({}, const_then_uniform(5.0, -2.0, 8.0))],
        nan_key="amplitude"),
    Row("DifferentiableSurrogateNeuron", RefDifferentiableSurrogate,
        cases=[({}, const_then_uniform(0.5, -0.5, 1.5))], sample=(0.5,)),
    Row("NativeContinuousAttractorNeuron", RefContinuousAttractor, signature="(n_units=16)",
        cases=[({}, blocks(-1.0, 1.2)), ({"n_units": 7}, blocks(-1.0, 1.2)),
               ({"n_units": 2}, blocks(-1.0, 1.0)), ({"n_units": 1}, blocks(-1.0, 1.0))],
        sample=(0.5,), ctor={"n_units": 5}),
    Row("MetaPlasticNeuron", RefMetaPlastic, cases=[({}, const_then_uniform(2.0, -1.0, 4.0))], sample=(3.0,)),
    # Reset keeps the learned weights, v_deep and the surprises.
    Row("ArcaneNeuron", RefArcane, cases=[({}, const_then_uniform(3.0, -1.0, 5.0))], sample=(3.0,),
        reset_is_fresh=False),
]


# ---------------------------------------------------------------- hand-derived steps

def run(name, inputs, **kwargs):
    obj = getattr(sc, name)(**kwargs)
    return obj, [obj.step(x) for x in inputs]


def test_multi_timescale_under_a_constant_input():
    n = sc.MultiTimescaleNeuron()
    seen = []
    for _ in range(3):
        assert n.step(2.0) == 0
        seen.append(n.get_state()["v_fast"])
    assert seen == pytest.approx([0.4, 0.72, 0.72 * 0.8 + 0.4], rel=1e-15)
    assert n.step(2.0) == 1
    assert n.get_state()["v_fast"] == 0.0 and n.get_state()["v_medium"] == 0.05
    # v_slow stays small, so the threshold barely moves over the first cycles.
    spikes = [n.step(2.0) for _ in range(36)]
    assert [i + 5 for i, s in enumerate(spikes) if s] == list(range(8, 41, 4))


def test_predictive_coding_fires_at_growing_intervals_and_on_a_change():
    steady, spikes = run("PredictiveCodingNeuron", [3.0] * 45)
    assert [i + 1 for i, s in enumerate(spikes) if s] == [5, 10, 16, 23, 32, 45]
    assert 0.0 < steady.get_state()["pred"] < 3.0
    # The prediction lags far behind a sudden change: the error is large again.
    changed, _ = run("PredictiveCodingNeuron", [3.0] * 45)
    assert [steady.step(3.0) for _ in range(4)] == [0, 0, 0, 0]
    assert [changed.step(-3.0) for _ in range(4)] == [0, 0, 1, 0]


def test_differentiable_surrogate_decides_on_the_previous_potential():
    n = sc.DifferentiableSurrogateNeuron()
    got = []
    for x in (1.0, 0.0, 0.0):
        got.append((n.step(x), n.get_state()["v"]))
    assert got == [(0, 1.0), (1, 0.0), (0, 0.0)]
    # After a spike the potential restarts from the input alone.
    n.step(2.0)
    assert n.step(0.25) == 1 and n.get_state()["v"] == 0.25


def test_attention_gate_passes_part_of_a_negative_input():
    n, spikes = run("AttentionGatedNeuron", [-5.0] * 300)
    v = n.get_state()["v"]
    assert spikes == [0] * 300
    assert -5.0 < v < 0.0


def test_self_referential_slows_down_with_its_own_rate():
    n, spikes = run("SelfReferentialNeuron", [2.0] * 400)
    times = [i + 1 for i, s in enumerate(spikes) if s]
    # Silent, tau_eff is 10: v = 2 (1 - 0.9^k) first reaches 1 on step 7.
    assert times[0] == 7
    gaps = [b - a for a, b in zip(times, times[1:])]
    assert gaps[0] > 7 and max(gaps) > gaps[0]
    # Reset forgets the spikes: the neuron fires as early as a fresh one again.
    n.reset()
    assert [n.step(2.0) for _ in range(7)] == [0] * 6 + [1]


def test_compositional_binding_fires_on_the_positive_part_of_each_cycle():
    _, silent = run("CompositionalBindingNeuron", [0.0] * 200)
    assert silent == [0] * 200
    n, spikes = run("CompositionalBindingNeuron", [100.0] * 200)
    phi, amp, want = 0.0, 0.0, []
    for _ in range(200):
        phi, amp = phi + 0.1, amp + (100.0 - amp) / 10.0
        want.append(1 if math.cos(phi) > 0.8 / amp else 0)
    assert spikes == want
    # Fires in runs of steps, once per cycle of 2 pi / 0.1 steps; the phase keeps growing.
    assert 0 < sum(spikes) < 200
    assert n.get_state()["phi"] == pytest.approx(20.0, rel=1e-12)


def test_meta_plastic_traces_stay_zero():
    n, spikes = run("MetaPlasticNeuron", [3.0] * 50 + [NAN] + [1.0] * 10)
    state = n.get_state()
    assert 0 < sum(spikes) and state["error_trace"] == 0.0 and state["expected_reward"] == 0.0
    assert math.isnan(state["v"])


# ---------------------------------------------------------------- the ring attractor

@pytest.mark.parametrize("n_units, position", [(0, 0), (1, 0), (2, 1), (5, 4), (16, 15)])
def test_attractor_new_object(n_units, position):
    n = sc.NativeContinuousAttractorNeuron(n_units)
    assert n.bump_position() == position
    u = n.get_state()["u"]
    assert u.dtype == np.float64 and u.shape == (n_units,) and not u.any()
    # Input 0 keeps u at 0: f(0) is 0, so no unit drives another.
    assert [n.step(0.0) for _ in range(20)] == [0] * 20
    assert same_bits(n.get_state()["u"], np.zeros(n_units))


def test_attractor_state_is_a_copy():
    n = sc.NativeContinuousAttractorNeuron(4)
    n.step(0.5)
    u = n.get_state()["u"]
    kept = u.copy()
    n.step(0.5)
    assert same_bits(u, kept)
    u[:] = 99.0
    assert not (n.get_state()["u"] == 99.0).any()
    assert n.get_state()["u"] is not n.get_state()["u"]


@pytest.mark.parametrize("n_units", [16, 7, 3])
def test_attractor_bump_position_follows_the_reference(n_units):
    # The units see the same input, so they differ only by the rounding of their own sums;
    # the position reads those differences, its ties and its NaNs exactly.
    obj, ref = sc.NativeContinuousAttractorNeuron(n_units), RefContinuousAttractor(n_units)
    inputs = [0.3] * 40 + [1.0] * 40 + [-0.7] * 40 + [0.9] * 40 + [NAN] * 3
    for x in inputs:
        assert obj.step(x) == ref.step(x)
        assert obj.bump_position() == ref.bump_position()
    assert obj.bump_position() == n_units - 1  # all NaN: each entry is taken in turn


@pytest.mark.failing_allocation
def test_attractor_weights_beyond_memory():
    with pytest.raises(MemoryError):
        sc.NativeContinuousAttractorNeuron(2**28)


def test_attractor_without_units():
    n = sc.NativeContinuousAttractorNeuron(n_units=0)
    assert [n.step(x) for x in (5.0, NAN, -1.0)] == [0, 0, 0]
    assert n.get_state()["u"].shape == (0,)
    assert n.reset() is None and n.bump_position() == 0


def test_attractor_sizes():
    # n_units^2 weights: a product that wraps or whose bytes cannot be represented stops the
    # call; one that no memory can hold is a failed allocation.
    for n in (2**32, 2**31, 2**30 + 1, 2**64 - 1):
        assert str(panic_of(sc.NativeContinuousAttractorNeuron, n)) == "capacity overflow"
    with pytest.raises(OverflowError):
        sc.NativeContinuousAttractorNeuron(-1)
    with pytest.raises(TypeError):
        sc.NativeContinuousAttractorNeuron(2.0)


def test_bump_position_takes_the_borrow():
    assert sc.NativeContinuousAttractorNeuron.bump_position.__text_signature__ == "($self)"
    n = sc.NativeContinuousAttractorNeuron(3)
    with pytest.raises(RuntimeError) as info:
        n.step(Hook(n.bump_position, 0.5))
    assert str(info.value) == "Already mutably borrowed"
    assert n.bump_position() == 2 and not n.get_state()["u"].any()


# ---------------------------------------------------------------- the Arcane neuron

def test_arcane_first_steps():
    n = sc.ArcaneNeuron()
    assert n.step(0.0) == 0
    assert n.get_state() == {"v_fast": 0.0, "v_work": 0.0, "v_deep": 0.0}
    # Nothing of the first step shows but its surprise, in the novelty that gates the next
    # input: 1 - (s + 19 * 0.5) / 20 with s = 1 / (1 + e^0.5).
    surprise = 1.0 / (1.0 + math.exp(0.5))
    novelty = 1.0 - (surprise + 9.5) / 20.0
    assert n.step(1.0) == 0
    assert n.get_state()["v_fast"] == pytest.approx(sigmoid(0.8 + 0.05 * novelty) / 5.0, rel=1e-14)


def test_arcane_fires_on_every_second_step_under_a_constant_input():
    n = sc.ArcaneNeuron()
    v_work = 0.0
    for k in range(40):
        before = n.get_state()
        spike = n.step(3.0)
        assert spike == k % 2
        after = n.get_state()
        if spike:
            assert after["v_fast"] == 0.0
            # The spike's share of v_fast raised v_work before its decay.
            assert after["v_work"] > before["v_work"] * (1.0 - 1.0 / 200.0)
            v_work = after["v_work"]
        else:
            assert after["v_fast"] > 0.0 and after["v_work"] == pytest.approx(v_work * 0.995, rel=1e-14)
            v_work = after["v_work"]
    assert after["v_deep"] > 0.0


def learned(history):
    """A reference put through the history."""
    ref = RefArcane()
    for x in history:
        ref.step(x)
    return ref


def test_arcane_reset_keeps_what_it_learned():
    history = [3.0] * 150 + [0.2 * (k % 11) for k in range(150)]
    obj, fresh = sc.ArcaneNeuron(), sc.ArcaneNeuron()
    for x in history:
        obj.step(x)
    before = obj.get_state()
    assert obj.reset() is None
    assert obj.get_state() == {"v_fast": 0.0, "v_work": 0.0, "v_deep": before["v_deep"]}
    assert before["v_deep"] > 0.0
    # A fresh reference that holds the kept state (v_deep, weights, surprises and their count)
    # and nothing else of the history is what the reset neuron goes on as.
    old = learned(history)
    kept = RefArcane()
    for k in ("v_deep", "w_fast", "w_work", "w_deep", "surprise_pos"):
        setattr(kept, k, getattr(old, k))
    kept.surprise_ring = list(old.surprise_ring)
    probe = [3.0] * 30 + [1.5] * 30
    got = [(obj.step(x), obj.get_state()) for x in probe]
    want = [(kept.step(x), {k: getattr(kept, k) for k in RefArcane.keys}) for x in probe]
    assert same_bits(got, want)
    # A fresh neuron starts without that knowledge and differs.
    assert not same_bits(got, [(fresh.step(x), fresh.get_state()) for x in probe])


def test_arcane_nan_input_is_never_forgotten():
    # The NaN reaches the surprises, v_deep and the weights, which reset keeps.
    n = sc.ArcaneNeuron()
    n.step(3.0)
    n.step(NAN)
    n.reset()
    state = n.get_state()
    assert state["v_fast"] == 0.0 and math.isnan(state["v_deep"])
    assert [n.step(3.0) for _ in range(10)] == [0] * 10
    assert math.isnan(n.get_state()["v_fast"])


# ---------------------------------------------------------------- determinism

@pytest.mark.parametrize("model", ROWS, ids=[r.name for r in ROWS])
def test_equal_inputs_give_equal_results(model):
    a, b = model.cls(), model.cls()
    inputs = [((k * 37) % 23) / 5.0 - 1.0 for k in range(400)]
    got_a = [(a.step(x), a.get_state()) for x in inputs]
    got_b = [(b.step(x), b.get_state()) for x in inputs]
    assert same_bits(got_a, got_b)

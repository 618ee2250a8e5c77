"""Pure-Python references of the fixed-point LIF neuron and of the two networks.

Written from the update rules alone, with Python integers (exact, then wrapped) and
Python floats (IEEE doubles, evaluated in the same order).
"""
import math

from bitref import Xoshiro, uniform


def wrap(x, k):
    """Low k bits of x read as a signed k-bit number."""
    x &= (1 << k) - 1
    return x - (1 << k) if x >> (k - 1) else x


class Lif:
    """FixedPointLif, written with Python's unbounded ints and floor shifts."""

    keys = ("v", "refractory_counter")

    def __init__(self, data_width=16, fraction=8, v_rest=0, v_reset=0, v_threshold=256,
                 refractory_period=2):
        self.refractory_counter = 0
        self.W, self.F = data_width, fraction
        self.refractory_period = refractory_period
        self.v_rest, self.v_reset, self.v_threshold = v_rest, v_reset, v_threshold
        self.v = v_rest

    def step(self, leak_k, gain_k, i_t, noise_in=0):
        W = self.W
        if self.refractory_counter > 0:
            self.refractory_counter -= 1
            self.v = self.v_rest
            return (0, wrap(self.v_rest, W))
        assert 1 <= 2 * W <= 32
        d = wrap(wrap(self.v_rest - self.v, 2 * W), 16)
        sh = self.F % 32
        leak = wrap((d * leak_k) >> sh, W)  # Python's >> rounds toward minus infinity
        inp = wrap((i_t * gain_k) >> sh, W)
        v_new = wrap(self.v + noise_in + inp + leak, W)
        if v_new >= self.v_threshold:
            self.v = self.v_reset
            self.refractory_counter = self.refractory_period
            return (1, wrap(self.v_reset, W))
        self.v = v_new
        return (0, v_new)

    def reset(self):
        self.v = self.v_rest
        self.refractory_counter = 0


def lif_run(currents, noises, leak_k, gain_k, **params):
    """(spikes, voltages) of one neuron stepped with currents[t] and noises[t]."""
    lif = Lif(**params)
    out = [lif.step(leak_k, gain_k, i, n) for i, n in zip(currents, noises)]
    return [s for s, _ in out], [v for _, v in out]


class Poisson:
    """Knuth's product of uniforms for a mean up to 700 (or infinite); transformed rejection
    with squeeze above, each trial taking two uniforms, the count saturating at 2^64 - 1."""

    def __init__(self, mean):
        self.large = mean > 700 and math.isfinite(mean)
        if not self.large:
            self.limit = math.exp(-mean)
            return
        self.mean, self.log_mean = mean, math.log(mean)
        self.b = 0.931 + 2.53 * math.sqrt(mean)
        self.a = -0.059 + 0.02483 * self.b
        self.log_inv_alpha = math.log(1.1239 + 1.1328 / (self.b - 3.4))
        self.v_r = 0.9277 - 3.6224 / (self.b - 2.0)

    def log_probability(self, k, d):
        mu = self.mean
        if k < 16:
            log_factorial, i = 0.0, 2.0
            while i <= k:
                log_factorial += math.log(i)
                i += 1.0
            return -mu + k * self.log_mean - log_factorial
        inv = 1.0 / k
        inv2 = inv * inv
        stirling = inv * (1.0 / 12.0 - inv2 * (1.0 / 360.0 - inv2 * (1.0 / 1260.0)))
        return d - k * math.log1p(d / mu) - 0.5 * math.log(6.283185307179586 * k) - stirling

    def draw(self, g):
        if self.large:
            # floor(mean) plus a small offset j, so that large means keep their low digits.
            whole = math.floor(self.mean)
            frac = self.mean - whole
            while True:
                u = uniform(g) - 0.5
                v = uniform(g)
                us = 0.5 - abs(u)
                j = math.floor((2.0 * self.a / us + self.b) * u + frac + 0.43)
                count = min(max(whole + j, 0), 2**64 - 1)
                if us >= 0.07 and v <= self.v_r:
                    return count
                if j < -whole or (us < 0.013 and v > us):
                    continue
                lhs = (math.log(v) if v > 0 else -math.inf) + self.log_inv_alpha - math.log(self.a / (us * us) + self.b)
                if lhs <= self.log_probability(float(whole) + float(j), j - frac):
                    return count
        k, p = -1, 1.0
        while True:
            p = p * uniform(g)
            k += 1
            if p <= self.limit:
                return k


def brunel_counts(n, indptr, indices, data, leak_k, gain_k, ext_lambda, ext_weight_fp, n_steps,
                  data_width=16, fraction=8, v_rest=0, v_reset=0, v_threshold=256,
                  refractory_period=2, seed=42):
    neurons = [Lif(data_width, fraction, v_rest, v_reset, v_threshold, refractory_period)
               for _ in range(n)]
    spikes = [False] * n
    g = Xoshiro(seed)
    drive = Poisson(ext_lambda) if ext_lambda > 0 else None
    counts = []
    for _ in range(n_steps):
        syn = [0] * n
        for i in range(n):
            if spikes[i]:
                for j in range(indptr[i], indptr[i + 1]):
                    syn[indices[j]] = wrap(syn[indices[j]] + data[j], 32)
        for i in range(n):
            k = drive.draw(g) if drive else 0
            x = wrap(wrap(syn[i] + k * ext_weight_fp, 32), data_width)
            s, _ = neurons[i].step(leak_k, gain_k, wrap(x, 16), 0)
            spikes[i] = s > 0
        counts.append(sum(spikes))
    return counts


def simulate_ei(n_exc=80, n_inh=20, w_ee=0.1, w_ei=0.4, w_ie=0.1, w_ii=0.4, p_conn=0.2,
                ext_rate=5.0, duration=200.0, dt=0.1, seed=42):
    """The dict of the E/I network, with lists where the engine returns arrays."""
    q = duration / dt
    n_steps = 0 if not q > 0 else min(int(q) if math.isfinite(q) else 50000, 50000)
    n = n_exc + n_inh
    g = Xoshiro(seed)
    rows = []
    for i in range(n):
        row = []
        for j in range(n):
            if j == i:
                continue
            if not uniform(g) >= p_conn:
                if i < n_exc:
                    w = w_ee if j < n_exc else w_ie
                else:
                    w = -w_ei if j < n_exc else -w_ii
                row.append((j, w))
        rows.append(row)
    bin_steps = max(n_steps // 100, 1)
    n_bins = n_steps // bin_steps
    bin_time = max(dt * bin_steps / 1000, 0.001)
    lam = ext_rate * dt / 1000
    lam = 0.0 if math.isnan(lam) else max(lam, 0.0)
    drive = Poisson(lam)
    v = [-65.0] * n
    refr = [0.0] * n
    fired = [False] * n
    times, neurons = [], []
    exc_rates, inh_rates = [0.0] * n_bins, [0.0] * n_bins
    counts = [0, 0]
    for t in range(n_steps):
        refr = [max(r - dt, 0.0) for r in refr]
        syn = [0.0] * n
        for i in range(n):
            if fired[i]:
                for j, w in rows[i]:
                    syn[j] += w
        for i in range(n):
            if not refr[i] > 0:
                k = drive.draw(g)
                v[i] = ((5.0 * k + (v[i] + 65.0) / -20.0) + syn[i]) * dt + v[i]
        fired = [False] * n
        for i in range(n):
            if not refr[i] > 0 and v[i] >= -50.0:
                v[i] = -65.0
                refr[i] = 2.0
                fired[i] = True
                times.append(t * dt)
                neurons.append(i)
                counts[0 if i < n_exc else 1] += 1
        if (t + 1) % bin_steps == 0:
            b = t // bin_steps
            exc_rates[b] = counts[0] / max(n_exc, 1) / bin_time
            inh_rates[b] = counts[1] / max(n_inh, 1) / bin_time
            counts = [0, 0]

    def mean(rates):
        active = [r for r in rates if r > 0]
        if not active:
            return 0.0
        x = sum(active) / len(active) * 10  # sum() adds left to right
        r = math.floor(x)
        return (r + 1 if x - r >= 0.5 else r) / 10  # halves away from zero (x > 0)

    return {
        "spike_times": times, "spike_neurons": neurons, "n_exc": n_exc, "n_inh": n_inh,
        "n_total": n, "n_spikes": len(times),
        "rate_time": [b * bin_steps * dt for b in range(n_bins)],
        "exc_rates": exc_rates, "inh_rates": inh_rates, "duration": duration, "dt": dt,
        "mean_exc_rate": mean(exc_rates), "mean_inh_rate": mean(inh_rates),
    }

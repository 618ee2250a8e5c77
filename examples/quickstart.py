"""A short tour of sc_dravik_engine."""
import numpy as np

import sc_dravik_engine as sc

print(sc.__doc__, sc.__version__, "| SIMD tier:", sc.simd_tier())

# Numbers as bitstreams: the density of ones is the value, AND multiplies.
a = sc.batch_encode_numpy(np.array([0.5, 0.8]), length=4096, seed=1)
print("0.5 * 0.8 ~", sc.popcount_numpy(a[0] & a[1]) / 4096)

# A 16-bit LFSR comparator encoder and a sliding-window decoder.
enc = sc.BitstreamEncoder(seed=0xACE1)
avg = sc.BitstreamAverager(window=1024)
for _ in range(1024):
    avg.push(enc.step(16384))  # 16384 / 65536 = 0.25
print("encoded 0.25, decoded", avg.estimate())

# Hyperdimensional computing: bind, bundle, compare.
x, y = sc.BitStreamTensor(10000, seed=1), sc.BitStreamTensor(10000, seed=2)
bound = x.xor(y)
print("distance(x, x^y) =", round(x.hamming_distance(bound), 3), "| distance(y, (x^y)^x) =", bound.xor(x).hamming_distance(y))

# A stochastic dense layer: outputs are sums of AND-popcounts over the stream length.
layer = sc.DenseLayer(n_inputs=16, n_neurons=4, length=1024)
print("dense outputs:", layer.forward_numpy(np.linspace(0, 1, 16)))

# Neuron models step one time step per call.
neuron = sc.Izhikevich()
spikes = [neuron.step(10.0) for _ in range(100)]
print("Izhikevich spikes in 100 steps:", sum(spikes), neuron.get_state())

# A network: 200 neurons that fire on their own drive 1000 Izhikevich neurons through a
# random sparse projection, two steps late.
rng = np.random.default_rng(0)
net = sc.NetworkRunner()
drivers, cells = net.add_population("GalvesLocherbach", 200), net.add_population("Izhikevich", 1000)
targets = [rng.choice(1000, 20, replace=False) for _ in range(200)]
offsets = np.concatenate([[0], np.cumsum([len(t) for t in targets])])
net.add_projection(drivers, cells, offsets.tolist(), np.concatenate(targets).tolist(), [15.0] * int(offsets[-1]), 2)
out = net.run(200)
print("network spikes per population in 200 steps:", out["spike_counts"].tolist())

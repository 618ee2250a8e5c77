"""A short tour of sc_dravik_engine."""
import sc_dravik_engine as sc

print(sc.__doc__, sc.__version__)

# A 16-bit LFSR and the comparator encoder built on it: x_value / 65536 is the probability of a 1.
lfsr = sc.Lfsr16(seed=0xACE1)
print("LFSR steps:", [lfsr.step() for _ in range(4)])

enc = sc.BitstreamEncoder(seed=0xACE1)
avg = sc.BitstreamAverager(window=1024)
for _ in range(1024):
    avg.push(enc.step(16384))  # 16384 / 65536 = 0.25
print("encoded 0.25, decoded", avg.estimate())

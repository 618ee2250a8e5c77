"""Pure-Python reference of the generators, the Bernoulli encoders and packing.

Written from the algorithm descriptions alone, so the tests compare the engine with an
independent reading of the rules rather than with itself.  Slow, meant for short streams.
"""
import math

M64 = (1 << 64) - 1
M32 = (1 << 32) - 1


def rotl64(x, r):
    return ((x << r) | (x >> (64 - r))) & M64


def rotl32(x, r):
    return ((x << r) | (x >> (32 - r))) & M32


def rotr32(x, r):
    r %= 32
    return ((x >> r) | (x << (32 - r))) & M32 if r else x


def splitmix64_state(seed):
    out = []
    for k in range(1, 5):
        z = (seed + k * 0x9E3779B97F4A7C15) & M64
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & M64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & M64
        out.append(z ^ (z >> 31))
    return out


class Xoshiro:
    def __init__(self, seed):
        self.s = splitmix64_state(seed & M64)
        if not any(self.s):
            self.s = splitmix64_state(0)
        self.draws = 0

    def next_u64(self):
        s0, s1, s2, s3 = self.s
        result = (rotl64((s0 + s3) & M64, 23) + s0) & M64
        t = (s1 << 17) & M64
        s2 ^= s0
        s3 ^= s1
        s1 ^= s2
        s0 ^= s3
        s2 ^= t
        s3 = rotl64(s3, 45)
        self.s = [s0, s1, s2, s3]
        self.draws += 1
        return result

    def fill_bytes(self, n):
        out = bytearray()
        while len(out) + 8 <= n:
            out += self.next_u64().to_bytes(8, "little")
        r = n - len(out)
        if r:
            out += self.next_u64().to_bytes(8, "little")[:r]
        return bytes(out)


SIGMA = [0x61707865, 0x3320646E, 0x79622D32, 0x6B206574]  # "expand 32-byte k"


def chacha_block(state, double_rounds):
    """The ChaCha core on a 16-word input: the rounds, then the input added back."""
    x = list(state)

    def qr(a, b, c, d):
        x[a] = (x[a] + x[b]) & M32
        x[d] = rotl32(x[d] ^ x[a], 16)
        x[c] = (x[c] + x[d]) & M32
        x[b] = rotl32(x[b] ^ x[c], 12)
        x[a] = (x[a] + x[b]) & M32
        x[d] = rotl32(x[d] ^ x[a], 8)
        x[c] = (x[c] + x[d]) & M32
        x[b] = rotl32(x[b] ^ x[c], 7)

    for _ in range(double_rounds):
        qr(0, 4, 8, 12)
        qr(1, 5, 9, 13)
        qr(2, 6, 10, 14)
        qr(3, 7, 11, 15)
        qr(0, 5, 10, 15)
        qr(1, 6, 11, 12)
        qr(2, 7, 8, 13)
        qr(3, 4, 9, 14)
    return [(a + b) & M32 for a, b in zip(x, state)]


def pcg32_key(seed):
    x = seed & M64
    key = []
    for _ in range(8):
        x = (x * 6364136223846793005 + 11634580027462260723) & M64
        w = (((x >> 18) ^ x) >> 27) & M32
        key.append(rotr32(w, x >> 59))
    return key


class ChaCha8:
    def __init__(self, seed):
        self.key = pcg32_key(seed)
        self.counter = 0
        self.buf = [0] * 64
        self.pos = 64

    def refill(self):
        words = []
        for b in range(4):
            c = (self.counter + b) & M64
            words += chacha_block(SIGMA + self.key + [c & M32, c >> 32, 0, 0], 4)
        self.buf = words
        self.counter = (self.counter + 4) & M64
        self.pos = 0

    def next_u32(self):
        if self.pos == 64:
            self.refill()
        w = self.buf[self.pos]
        self.pos += 1
        return w

    def next_u64(self):
        lo = self.next_u32()
        hi = self.next_u32()
        return lo | (hi << 32)

    def fill_bytes(self, n):
        out = bytearray()
        while len(out) + 4 <= n:
            out += self.next_u32().to_bytes(4, "little")
        r = n - len(out)
        if r:
            out += self.next_u32().to_bytes(4, "little")[:r]
        return bytes(out)


def uniform(g):
    return (g.next_u64() >> 11) * 2.0**-53


def words_for(length):
    return length // 64 + (length % 64 != 0)


def float_form(p, length, g):
    """One uniform per bit; the bit is set when the clamped p exceeds it."""
    if not math.isnan(p):
        p = min(max(p, 0.0), 1.0)
    words = [0] * words_for(length)
    for i in range(length):
        if p > uniform(g):
            words[i // 64] |= 1 << (i % 64)
    return words


def byte_threshold(p):
    if math.isnan(p):
        return 0
    q = min(max(p, 0.0), 1.0) * 256.0
    q = min(max(q, 0.0), 255.0)
    return int(q)


def byte_form(p, length, g):
    """64 drawn bytes per full word (rest bytes for the last), bit j set when byte j < t."""
    full, rest = divmod(length, 64)
    if p >= 1.0:
        return [M64] * full + ([(1 << rest) - 1] if rest else [])
    t = byte_threshold(p)
    words = []
    for n in [64] * full + ([rest] if rest else []):
        w = 0
        for j, b in enumerate(g.fill_bytes(n)):
            if b < t:
                w |= 1 << j
        words.append(w)
    return words


def pack(bits):
    words = [0] * words_for(len(bits))
    for i, b in enumerate(bits):
        if b:
            words[i // 64] |= 1 << (i % 64)
    return words


def unpack(words, length):
    return bytes((words[i // 64] >> (i % 64)) & 1 for i in range(length))


def popcount(words):
    return sum(bin(w).count("1") for w in words)


def and_count(a, b):
    """Set bits of the AND of two streams of words: their product's count."""
    return popcount([x & y for x, y in zip(a, b)])


def lfsr16_step(r):
    """The 16-bit LFSR's next register: taps 16, 14, 13 and 11, shifted in at bit 0."""
    f = ((r >> 15) ^ (r >> 13) ^ (r >> 12) ^ (r >> 10)) & 1
    return ((r << 1) | f) & 0xFFFF

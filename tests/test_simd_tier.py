"""simd_tier names the best processor tier that this machine offers."""
import pytest

import sc_dravik_engine as sc

# Best first: the first flag present decides the tier.
TIERS = [
    ("avx512_vpopcntdq", "avx512-vpopcntdq"),
    ("avx512bw", "avx512bw"),
    ("avx512f", "avx512f"),
    ("avx2", "avx2"),
    ("popcnt", "popcnt"),
]


def cpu_flags():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return None


def test_signature_and_doc():
    assert sc.simd_tier.__text_signature__ == "()"
    assert sc.simd_tier.__doc__ == "Returns the highest SIMD tier available on this CPU."


def test_tier_agrees_with_cpuinfo():
    flags = cpu_flags()
    if flags is None:
        pytest.skip("no /proc/cpuinfo flags on this machine")
    expected = next((tier for flag, tier in TIERS if flag in flags), "portable")
    assert sc.simd_tier() == expected


def test_tier_is_stable_and_known():
    tier = sc.simd_tier()
    assert type(tier) is str
    assert tier in [t for _, t in TIERS] + ["portable"]
    assert all(sc.simd_tier() == tier for _ in range(3))
    with pytest.raises(TypeError):
        sc.simd_tier(1)

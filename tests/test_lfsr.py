import pytest

import sc_dravik_engine as sc


def test_lfsr_first_step_and_period():
    l = sc.Lfsr16()
    assert l.step() == 22979
    for _ in range(65534):
        l.step()
    assert l.reg == 44257
    assert l.width == 16


def test_lfsr_reset_rules():
    l = sc.Lfsr16(1234)
    for _ in range(10):
        l.step()
    before = l.reg
    with pytest.raises(ValueError, match="^LFSR seed must be non-zero.$"):
        l.reset(0)
    assert l.reg == before
    l.reset()
    assert l.reg == 1234
    l.reset(seed=77)
    l.step()
    l.reset()
    assert l.reg == 77


@pytest.mark.parametrize("x, ones", [(0, 0), (1, 0), (2, 1), (40000, 39999), (65535, 65534)])
def test_encoder_counts_over_a_period(x, ones):
    e = sc.BitstreamEncoder(data_width=8, seed=999)
    assert sum(e.step(x) for _ in range(65535)) == ones
    assert e.reg == 999 and e.data_width == 8


def test_encoder_reset_keeps_data_width():
    e = sc.BitstreamEncoder(data_width=12, seed=5)
    e.step(3)
    e.reset()
    assert e.reg == 5 and e.data_width == 12
    with pytest.raises(ValueError, match="^LFSR seed must be non-zero.$"):
        e.reset(0)


def test_averager_window():
    a = sc.BitstreamAverager(4)
    assert a.estimate() == 0.0
    for b in (1, 1):
        a.push(b)
    assert a.estimate() == 1.0
    for b in (0, 0, 1):
        a.push(b)
    assert a.estimate() == 0.5
    a.reset()
    assert a.estimate() == 0.0 and a.window == 4
    a.push(2)
    assert a.estimate() == 2.0


def test_averager_zero_window_panics():
    with pytest.raises(BaseException) as info:
        sc.BitstreamAverager(0)
    assert str(info.value) == "window must be > 0"
    assert not isinstance(info.value, Exception)

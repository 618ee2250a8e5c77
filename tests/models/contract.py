"""The contract every model class keeps, run over each family's rows.

A family's test file lists one Row per class and imports these tests (`from contract import *`);
conftest.py parametrizes them by the file's ROWS. Each row carries an independent reference
of the class's update, written from its equations in the order the engine evaluates them:
Python floats are IEEE doubles and the engine neither contracts nor reassociates, so every
comparison is exact.
"""
import math
import random
from dataclasses import dataclass, field

import numpy as np
import pytest

import sc_dravik_engine as sc
from sc_testing import Hook, same_bits

NAN = float("nan")
INF = float("inf")


@dataclass
class Row:
    """One model class: what to build, how to step it, and its reference."""
    name: str
    ref: type                        # __init__(**ctor), step(*args), reset(), keys
    cases: list                      # [(constructor kwargs, trace(rng, n) -> [step args])]
    signature: str = "()"            # the class's text signature
    step_keys: tuple = ("current",)  # step's parameter names, in order
    step_signature: str = None       # step's text signature when not "($self, " + step_keys + ")"
    sample: tuple = (25.0,)          # one step that moves the state away from its start
    aliases: tuple = ()              # other names of reset
    ctor: dict = field(default_factory=dict)  # non-default constructor arguments, in order
    spikes: bool = True              # step returns an int spike code (else a rate, tuple, ...)
    stochastic: bool = False         # draws from its own generator, seeded by `seed`
    nan_propagates: bool = True      # a NaN input makes a NaN state that never spikes
    step_kinds: tuple = ()           # kind of each step argument, by position: "float" (also for
                                     # every position not listed), "bool" or "seq" (floats)
    shared_step: bool = False        # step only reads the record, under the shared borrow
    nan_key: str = None              # the get_state key that shows that NaN (default: the first)
    reset_is_fresh: bool = True      # reset returns to the constructor's state (else: to the reference's)

    @property
    def cls(self):
        return getattr(sc, self.name)

    @property
    def step_text(self):
        return self.step_signature or "($self, " + ", ".join(self.step_keys) + ")"

    def kind(self, pos):
        return self.step_kinds[pos] if pos < len(self.step_kinds) else "float"

    def floats(self, *values):
        """The sample with its float positions replaced by values, in turn (the last one
        repeating); positions of other kinds keep the sample's value."""
        out = list(self.sample)
        k = 0
        for pos in range(len(out)):
            if self.kind(pos) == "float":
                out[pos] = values[min(k, len(values) - 1)]
                k += 1
        return tuple(out)

    @property
    def has_state(self):
        return self.ref.keys is not None

    @property
    def has_reset(self):
        return hasattr(self.ref, "reset")

    @property
    def required_steps(self):
        return [k for k in self.step_text[len("($self, "):-1].split(", ") if "=" not in k]


def rows_where(keep):
    """Runs the decorated contract test only over the rows that keep(row) accepts."""
    def mark(test):
        test.rows_where = keep
        return test
    return mark


def ref_state(ref):
    # keys is get_state's dict keys, or one attribute name when get_state returns that array.
    if isinstance(ref.keys, str):
        return np.array(getattr(ref, ref.keys), dtype=np.float64)
    return {k: getattr(ref, k) for k in ref.keys}


def state_of(row, obj):
    return obj.get_state() if row.has_state else None


def assert_same_future(row, a, b, steps=30):
    """a and b are in the same state: they agree now and on every later step."""
    if row.has_state:
        assert_state(a.get_state(), b.get_state())
    for _ in range(steps):
        assert same_bits(a.step(*row.sample), b.step(*row.sample))
        if row.has_state:
            assert_state(a.get_state(), b.get_state())


def is_nan_state(value):
    """A NaN number, or a non-empty array or list whose every entry is NaN."""
    if isinstance(value, (np.ndarray, list)):
        return len(value) > 0 and all(math.isnan(v) for v in value)
    return math.isnan(value)


def assert_state(got, want, where=""):
    if isinstance(want, np.ndarray):
        assert type(got) is np.ndarray and same_bits(got, want), f"{where}: got {got!r}, want {want!r}"
        return
    assert list(got) == list(want), where
    for k in want:
        assert same_bits(got[k], want[k]), f"{where} {k}: got {got[k]!r}, want {want[k]!r}"


def const_then_uniform(value, lo, hi):
    """A trace that holds a constant drive for a third of the steps, then draws uniformly."""
    def trace(rng, n):
        return [(value,)] * (n // 3) + [(rng.uniform(lo, hi),) for _ in range(n - n // 3)]
    return trace


# ---------------------------------------------------------------- agreement with the reference

def test_steps_match_reference(case):
    row, kwargs, trace = case
    rng = random.Random(row.name + repr(sorted(kwargs.items())))
    inputs = trace(rng, 3000)
    obj, ref = row.cls(**kwargs), row.ref(**kwargs)
    if row.has_state:
        assert_state(obj.get_state(), ref_state(ref), "initial")
    spikes = 0
    for i, args in enumerate(inputs):
        if i == 2000 and row.has_reset:  # reset part-way, then keep stepping
            assert obj.reset() is None
            ref.reset()
            if row.has_state:
                assert_state(obj.get_state(), ref_state(ref), "after reset")
        want = ref.step(*args)
        got = obj.step(*args)
        assert type(got) is type(want) and same_bits(got, want), f"step {i} {args}: got {got}, want {want}"
        if row.has_state:
            assert_state(obj.get_state(), ref_state(ref), f"step {i} {args}")
        if row.spikes:
            if isinstance(want, list):  # one spike code per unit
                spikes += any(want)
            else:
                spikes += (want[0] if isinstance(want, tuple) else want) != 0
    # The inputs must reach both branches, or the comparison proves little.
    assert not row.spikes or 0 < spikes < len(inputs)


@rows_where(lambda row: isinstance(row.sample[0], float) and row.has_state and row.spikes and row.nan_propagates)
def test_non_finite_inputs_propagate(row):
    drive = row.sample
    obj, ref = row.cls(), row.ref()
    seq = [drive, row.floats(NAN), drive, drive, row.floats(INF, 0.0), drive, (-INF,), drive]
    seq += [(NAN,) + drive[1:]] + [drive] * 20
    nan_seen = False
    for args in seq:
        want = ref.step(*args)
        got = obj.step(*args)
        assert got == want
        state = obj.get_state()
        assert_state(state, ref_state(ref), f"{args}")
        first = state[row.nan_key] if row.nan_key else next(iter(state.values()))
        nan_seen |= is_nan_state(first)
        if nan_seen:
            # A NaN state never spikes and is never reset.
            assert got == 0 and is_nan_state(first)
    assert nan_seen


@rows_where(lambda row: bool(row.ctor))
def test_constructor_arguments_by_position_and_keyword(row):
    names, values = list(row.ctor), list(row.ctor.values())
    by_pos, by_kw, ref = row.cls(*values), row.cls(**row.ctor), row.ref(*values)
    for _ in range(30):
        want = ref.step(*row.sample)
        assert same_bits(by_pos.step(*row.sample), want) and same_bits(by_kw.step(*row.sample), want)
        if row.has_state:
            assert_state(by_pos.get_state(), ref_state(ref))
            assert_state(by_kw.get_state(), ref_state(ref))
    # Every constructor parameter is exercised by keyword.
    assert names == [p.split("=")[0] for p in row.signature[1:-1].split(", ")]


# ---------------------------------------------------------------- the class's shape

def test_signatures(row):
    cls = row.cls
    assert cls.__text_signature__ == row.signature
    assert cls.step.__text_signature__ == row.step_text
    assert hasattr(cls, "reset") == row.has_reset
    assert hasattr(cls, "get_state") == row.has_state
    if row.has_reset:
        assert cls.reset.__text_signature__ == "($self)"
    if row.has_state:
        assert cls.get_state.__text_signature__ == "($self)"
    for alias in ("reset_state",):
        assert hasattr(cls, alias) == (alias in row.aliases)


def test_aliases_are_reset(row):
    for alias in row.aliases:
        a, b = row.cls(), row.cls()
        for obj in (a, b):
            for _ in range(7):
                obj.step(*row.sample)
        assert getattr(a, alias)() is None
        b.reset()
        assert_same_future(row, a, b)


@rows_where(lambda row: row.has_state)
def test_get_state_returns_fresh_copies(row):
    obj = row.cls()
    obj.step(*row.sample)
    a, b = obj.get_state(), obj.get_state()
    want = ref_state(row.ref())
    if isinstance(want, np.ndarray):
        # The array itself: a one-dimensional float64 copy that shares nothing with the model.
        assert type(a) is np.ndarray and a.dtype == np.float64 and a.ndim == 1
        assert same_bits(a, b) and a is not b and not np.shares_memory(a, b)
        before = a.copy()
        a[...] = 12345.0
        assert same_bits(obj.get_state(), before)
        return
    assert list(a) == list(row.ref.keys)
    assert [type(v) for v in a.values()] == [type(v) for v in want.values()]
    assert same_bits(a, b) and a is not b
    before = dict(a)
    for k in a:
        a[k] = 12345
    a["extra"] = 1
    assert same_bits(obj.get_state(), before)


@rows_where(lambda row: row.has_reset and row.reset_is_fresh)
def test_reset_restores_a_fresh_object(row):
    fresh, used = row.cls(), row.cls()
    for _ in range(50):
        used.step(*row.sample)
    if row.has_state:
        assert not same_bits(used.get_state(), fresh.get_state())
    assert used.reset() is None
    if row.has_state:
        assert_state(used.get_state(), fresh.get_state())
    if row.stochastic:
        # The generator is not rewound: the reset object draws other numbers than a fresh one.
        assert [used.step(*row.sample) for _ in range(200)] != [fresh.step(*row.sample) for _ in range(200)]
    else:
        # Parameters survive the reset: both objects go on identically.
        assert_same_future(row, used, fresh, steps=50)


@rows_where(lambda row: row.has_reset and not row.reset_is_fresh)
def test_reset_keeps_what_the_reference_keeps(row):
    """A reset that keeps learned state: the object goes on as its reference after the same
    history and reset, and not as a fresh object."""
    used, ref, fresh = row.cls(), row.ref(), row.cls()
    for _ in range(50):
        assert same_bits(used.step(*row.sample), ref.step(*row.sample))
    assert used.reset() is None
    ref.reset()
    if row.has_state:
        assert_state(used.get_state(), ref_state(ref), "after reset")
    differs = False
    for i in range(50):
        got, want, other = used.step(*row.sample), ref.step(*row.sample), fresh.step(*row.sample)
        assert same_bits(got, want), f"step {i}"
        differs |= not same_bits(got, other)
        if row.has_state:
            assert_state(used.get_state(), ref_state(ref), f"step {i}")
            differs |= not same_bits(used.get_state(), fresh.get_state())
    assert differs


@rows_where(lambda row: row.stochastic)
def test_seeded_generator(row):
    a, b, other = row.cls(seed=7), row.cls(seed=7), row.cls(seed=8)
    seq = [a.step(*row.sample) for _ in range(200)]
    assert seq == [b.step(*row.sample) for _ in range(200)]
    assert seq != [other.step(*row.sample) for _ in range(200)]
    assert_same_future(row, row.cls(), row.cls(seed=42))
    with pytest.raises(OverflowError):
        row.cls(seed=-1)


@rows_where(lambda row: row.signature == "()")
def test_no_argument_constructors_refuse_arguments(row):
    with pytest.raises(TypeError) as info:
        row.cls(1.0)
    assert str(info.value) == f"{row.name}.__new__() takes 0 positional arguments but 1 was given"
    with pytest.raises(TypeError) as info:
        row.cls(dt=1.0)
    assert str(info.value) == f"{row.name}.__new__() got an unexpected keyword argument 'dt'"


@rows_where(lambda row: bool(row.required_steps))
def test_step_requires_its_input(row):
    obj, twin = row.cls(), row.cls()
    with pytest.raises(TypeError) as info:
        obj.step()
    missing = row.required_steps
    names = " and ".join(f"'{k}'" for k in missing) if len(missing) < 3 else \
        ", ".join(f"'{k}'" for k in missing[:-1]) + f", and '{missing[-1]}'"
    word = "argument" if len(missing) == 1 else "arguments"
    assert str(info.value) == f"{row.name}.step() missing {len(missing)} required positional {word}: {names}"
    assert_same_future(row, obj, twin)


def test_step_by_keyword_equals_positional(row):
    kw = dict(zip(row.step_keys, row.sample))
    a, b = row.cls(), row.cls()
    for _ in range(20):
        assert same_bits(a.step(*row.sample), b.step(**kw))
        if row.has_state:
            assert_state(a.get_state(), b.get_state())
    if isinstance(row.sample[0], float):
        # An int converts to the same double.
        c, d = row.cls(), row.cls()
        c.step(*row.floats(3.0))
        d.step(*row.floats(3))
        assert_same_future(row, c, d)


@pytest.mark.parametrize("bad", ["0.5", None, [1.0]])
def test_unconvertible_argument_leaves_state(row, bad):
    obj, twin = row.cls(), row.cls()
    for _ in range(5):
        obj.step(*row.sample)
        twin.step(*row.sample)
    # Every argument position in turn, so that earlier conversions that succeed change nothing either.
    for pos in range(len(row.sample)):
        args = list(row.sample)
        # A sequence takes a list: one with an item that does not convert is its bad list.
        args[pos] = [1.0, "x"] if row.kind(pos) == "seq" and isinstance(bad, list) else bad
        with pytest.raises(TypeError) as info:
            obj.step(*args)
        assert str(info.value).startswith(f"argument '{row.step_keys[pos]}': ")
        assert isinstance(info.value.__cause__, TypeError)
    assert_same_future(row, obj, twin)


# ---------------------------------------------------------------- borrow before convert

BORROW_ACTIONS = {
    "get_state": (lambda o, row: o.get_state(), "Already mutably borrowed"),
    "step": (lambda o, row: o.step(*row.sample), "Already borrowed"),
    # The borrow comes before conversion, so a bad argument still meets the borrow error.
    "step-bad-arg": (lambda o, row: o.step("x", *row.sample[1:]), "Already borrowed"),
    "reset": (lambda o, row: o.reset(), "Already borrowed"),
}


def _borrow_actions(row):
    if row.shared_step:
        return []  # see test_shared_step_runs_inside_its_own_conversion
    return [a for a in BORROW_ACTIONS
            if not (a == "get_state" and not row.has_state) and not (a == "reset" and not row.has_reset)]


def _hooked(row, fn):
    """The sample with its first argument replaced by one whose conversion runs fn()."""
    args = list(row.sample)
    hook = Hook(fn, 1)
    args[0] = [hook] if row.kind(0) == "seq" else hook
    return args


def test_argument_conversion_runs_under_the_borrow(row_and):
    row, action = row_and
    act, text = BORROW_ACTIONS[action]
    obj, twin = row.cls(), row.cls()
    obj.step(*row.sample)
    twin.step(*row.sample)
    # The argument's conversion calls back into the object being stepped.
    args = _hooked(row, lambda: act(obj, row))
    with pytest.raises(RuntimeError) as info:
        obj.step(*args)
    assert type(info.value) is RuntimeError
    assert str(info.value) == text
    # The borrow is released and nothing was written.
    assert_same_future(row, obj, twin)


test_argument_conversion_runs_under_the_borrow.row_and = _borrow_actions


@rows_where(lambda row: row.shared_step)
def test_shared_step_runs_inside_its_own_conversion(row):
    # A step that only reads takes the shared borrow, so a second step may run while the first
    # one converts its argument; each gives what a lone call gives.
    obj, ref = row.cls(**row.ctor), row.ref(**row.ctor)
    inner = []
    args = _hooked(row, lambda: inner.append(obj.step(*row.sample)))
    got = obj.step(*args)
    plain = list(row.sample)
    plain[0] = [1.0] if row.kind(0) == "seq" else 1.0  # the hook's value
    assert inner and same_bits(inner[0], ref.step(*row.sample))
    assert same_bits(got, ref.step(*plain))

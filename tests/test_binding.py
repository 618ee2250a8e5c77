"""Argument matching, conversion and borrow rules, shown through the LFSR classes."""
import inspect

import numpy as np
import pytest

import sc_dravik_engine as sc
from sc_testing import Hook, panic_type




@pytest.mark.parametrize(
    "call, exc, text",
    [
        (lambda: sc.Lfsr16(1, 2), TypeError,
         "Lfsr16.__new__() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda: sc.BitstreamAverager(1, 2, 3), TypeError,
         "BitstreamAverager.__new__() takes from 0 to 1 positional arguments but 3 were given"),
        (lambda: sc.Lfsr16(seed=1, other=2), TypeError,
         "Lfsr16.__new__() got an unexpected keyword argument 'other'"),
        (lambda: sc.Lfsr16(**{"a\0b": 2}), TypeError,
         "Lfsr16.__new__() got an unexpected keyword argument 'a\0b'"),
        (lambda: sc.Lfsr16(**{"\ud800": 2}), TypeError,
         "Lfsr16.__new__() got an unexpected keyword argument '\ud800'"),
        (lambda: sc.BitstreamEncoder().step(**{"x\0": 1}), TypeError,
         "BitstreamEncoder.step() got an unexpected keyword argument 'x\0'"),
        (lambda: sc.BitstreamEncoder(8, data_width=8), TypeError,
         "BitstreamEncoder.__new__() got multiple values for argument 'data_width'"),
        (lambda: sc.BitstreamEncoder().step(), TypeError,
         "BitstreamEncoder.step() missing 1 required positional argument: 'x_value'"),
        (lambda: sc.BitstreamEncoder().step(1, 2), TypeError,
         "BitstreamEncoder.step() takes 1 positional arguments but 2 were given"),
        (lambda: sc.BitstreamEncoder().step(x=1), TypeError,
         "BitstreamEncoder.step() got an unexpected keyword argument 'x'"),
        (lambda: sc.Lfsr16(70000), OverflowError, "out of range integral type conversion attempted"),
        (lambda: sc.Lfsr16(-1), OverflowError, "out of range integral type conversion attempted"),
        (lambda: sc.BitstreamAverager().push(256), OverflowError,
         "out of range integral type conversion attempted"),
        (lambda: sc.BitstreamEncoder(data_width=2**32), OverflowError,
         "out of range integral type conversion attempted"),
        (lambda: sc.Lfsr16(0), ValueError, "LFSR seed must be non-zero."),
        (lambda: sc.BitstreamEncoder(seed=0), ValueError, "LFSR seed must be non-zero."),
    ],
)
def test_matching_and_conversion_errors(call, exc, text):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    assert str(info.value) == text


@pytest.mark.parametrize("value", ["7", 1.5, None, [1]])
def test_wrapped_type_errors_keep_their_cause(value):
    with pytest.raises(TypeError) as info:
        sc.Lfsr16(value)
    assert str(info.value).startswith("argument 'seed': ")
    assert isinstance(info.value.__cause__, TypeError)
    assert str(info.value) == "argument 'seed': " + str(info.value.__cause__)


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: sc.BitstreamEncoder().step(),
         "BitstreamEncoder.step() missing 1 required positional argument: 'x_value'"),
        (lambda: sc.DenseLayer(),
         "DenseLayer.__new__() missing 2 required positional arguments: 'n_inputs' and 'n_neurons'"),
        # Three names and more take the serial comma.
        (lambda: sc.FixedPointLif().step(),
         "FixedPointLif.step() missing 3 required positional arguments: 'leak_k', 'gain_k', and 'i_t'"),
        (lambda: sc.FixedPointLif().step(gain_k=1),
         "FixedPointLif.step() missing 2 required positional arguments: 'leak_k' and 'i_t'"),
    ],
)
def test_missing_names_are_listed(call, text):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == text


def test_index_conversion_and_keywords():
    class Idx:
        def __index__(self):
            return 5

    assert sc.Lfsr16(Idx()).reg == 5
    assert sc.Lfsr16(np.uint16(9)).reg == 9
    assert sc.Lfsr16(seed=3).reg == 3
    assert sc.BitstreamEncoder(seed=3, data_width=8).data_width == 8
    assert sc.BitstreamAverager(window=np.int64(3)).window == 3


def test_none_only_where_optional():
    l = sc.Lfsr16(5)
    l.step()
    l.reset(None)
    assert l.reg == 5
    with pytest.raises(TypeError):
        sc.BitstreamAverager(None)


def test_borrow_before_conversion():
    enc = sc.BitstreamEncoder()
    # A shared borrow while step holds the exclusive one.
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        enc.step(Hook(lambda: enc.reg, 1))
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        enc.step(Hook(lambda: enc.step(1), 1))
    # The object stays usable once the call is over.
    assert enc.step(0) == 0


def test_panic_exception_kind():
    P = panic_type()
    assert issubclass(P, BaseException) and not issubclass(P, Exception)
    with pytest.raises(BaseException) as info:
        try:
            sc.BitstreamAverager(0)
        except Exception:  # must not catch it
            pytest.fail("PanicException caught as Exception")
    assert str(info.value) == "window must be > 0"
    assert type(info.value) is P


def test_panic_reports_on_stderr(capfd):
    with pytest.raises(BaseException):
        sc.BitstreamAverager(0)
    err = capfd.readouterr().err
    assert "window must be > 0" in err and err.count("\n") == 1


@pytest.mark.parametrize(
    "obj, text",
    [
        (sc.Lfsr16, "Lfsr16(seed=44257)\n--\n\n"),
        (sc.Lfsr16.step, "step($self)\n--\n\n"),
        (sc.Lfsr16.reset, "reset($self, seed=None)\n--\n\n"),
        (sc.BitstreamEncoder, "BitstreamEncoder(data_width=16, seed=44257)\n--\n\n"),
        (sc.BitstreamEncoder.step, "step($self, x_value)\n--\n\n"),
        (sc.BitstreamAverager, "BitstreamAverager(window=1024)\n--\n\n"),
        (sc.BitstreamAverager.push, "push($self, bit)\n--\n\n"),
        (sc.BitstreamAverager.estimate, "estimate($self)\n--\n\n"),
    ],
)
def test_text_signatures(obj, text):
    name, rest = text.split("(", 1)
    assert obj.__text_signature__ == "(" + rest.split("\n--")[0]
    inspect.signature(obj)


def test_text_parameters_by_reference_are_text():
    # A builder method taking its name by const reference still converts a str.
    b = sc.ScGraphBuilder("g")
    assert b.input("x", "rate") == 0
    with pytest.raises(TypeError, match="^argument 'name': "):
        b.input(5, "rate")

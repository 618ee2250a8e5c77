"""Declarations that cannot be right are refused when they are built, naming where and why.

The cases are built by a test-only module over the same binding framework; importing the
real module builds every one of its own declarations under the same checks.
"""
import pytest

import _sc_frame_check as frame


@pytest.mark.parametrize(
    "case, text",
    [
        ("fewer_names", "Rec.take(): the declaration names 0 parameters but the callable takes 1"),
        ("more_names", "Rec.take(): the declaration names 2 parameters but the callable takes 1"),
        ("names_for_no_parameters", "Rec.get(): the declaration names 1 parameter but the callable takes 0"),
        ("constructor_names", "Rec.__new__(): the declaration names 0 parameters but the callable takes 1"),
        ("function_names", "add(): the declaration names 1 parameter but the callable takes 2"),
        ("declared_twice", "Rec.add(): its callable is already declared as Rec.take()"),
        ("unsigned_default", "draw(): the default of 'seed' does not convert to its parameter's type"),
        ("float_default_for_int", "shift(): the default of 'k' does not convert to its parameter's type"),
        ("narrow_default", "byte(): the default of 'k' does not convert to its parameter's type"),
        ("none_default", "value(): the default of 'x' does not convert to its parameter's type"),
        ("no_empty_value", "read(): the default of 'r' has no empty value"),
        ("state_keys", "Rec.get_state(): 2 keys for 1 fields"),
    ],
)
def test_bad_declarations_are_refused(case, text):
    with pytest.raises(SystemError) as info:
        frame.declare(case)
    assert str(info.value) == text


def test_a_sound_declaration_builds_and_calls():
    f = frame.declare("accepted")
    assert f.__text_signature__ == "(seed=7, x=0.5)"
    assert f() == 7.5 and f(1, x=2.0) == 3.0


def test_a_declaration_may_be_built_again_in_a_new_run():
    # Each declare() is a run of its own, as a re-import of the module is.
    for _ in range(2):
        assert frame.declare("accepted")(0) == 0.5

"""Helpers shared by the tests."""
import sc_dravik_engine as sc


def panic_type():
    """The engine's PanicException type, which the module does not export."""
    try:
        sc.BitstreamAverager(0)
    except BaseException as e:  # noqa: B036 - the panic type is not importable
        return type(e)
    raise AssertionError("no panic")

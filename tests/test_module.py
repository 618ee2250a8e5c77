import inspect

import pytest

import sc_dravik_engine as sc


def test_module_identity():
    assert sc.__doc__ == "SC-Dravik \u2500 High-Performance Native Engine"
    assert sc.__version__ == "3.14.0"
    assert sc.__all__[0] == "__version__"
    assert len(sc.__all__) == len(set(sc.__all__))
    for name in sc.__all__:
        assert hasattr(sc, name), name
    assert not hasattr(sc, "PanicException")


def _classes():
    return [getattr(sc, n) for n in sc.__all__ if isinstance(getattr(sc, n), type)]


def test_class_properties():
    for cls in _classes():
        assert cls.__module__ == "sc_dravik_engine.sc_dravik_engine"
        assert cls.__bases__ == (object,)
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
        assert "__dict__" not in dir(cls)
        assert cls.__weakrefoffset__ == 0
        assert cls.__dictoffset__ == 0


def test_every_callable_has_a_signature():
    for name in sc.__all__[1:]:
        obj = getattr(sc, name)
        if isinstance(obj, type):
            for attr, member in vars(obj).items():
                if callable(member) and not attr.startswith("__"):
                    inspect.signature(getattr(obj, attr))
            if obj.__text_signature__ is not None:
                inspect.signature(obj)
        else:
            inspect.signature(obj)


def test_setting_unknown_attribute_fails():
    with pytest.raises(AttributeError):
        sc.Lfsr16().anything = 1


def _readelf(*args):
    import shutil
    import subprocess

    if not shutil.which("readelf"):
        pytest.skip("readelf is not installed")
    return subprocess.run(["readelf", *args, sc.__file__], capture_output=True, text=True, check=True).stdout


def test_only_the_init_function_is_exported():
    exported = [
        line.split()[-1]
        for line in _readelf("--dyn-syms", "-W").splitlines()
        if " GLOBAL " in line and " UND " not in line
    ]
    assert exported == ["PyInit_sc_dravik_engine"]


def test_needs_only_the_c_runtime():
    needed = [line.split("[")[1].rstrip("]") for line in _readelf("-d").splitlines() if "(NEEDED)" in line]
    assert needed, "no dynamic dependencies listed"
    for lib in needed:
        assert lib.split(".so")[0] in {"libc", "libm", "libgcc_s", "ld-linux-x86-64"}, lib

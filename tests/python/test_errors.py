"""Internal faults reach Python as vessik_runtime.PanicException."""

import json

import pytest

import ostrelin._veldra_core as core

PANIC_DOC = (
    "\nThe exception raised when Native code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n"
)


def test_panic_exception_class(panic_type):
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__module__ == "vessik_runtime"
    assert panic_type.__mro__[1:] == (BaseException, object)
    assert panic_type.__doc__ == PANIC_DOC


def test_panic_is_made_once(panic_type):
    for _ in range(3):
        with pytest.raises(BaseException) as info:
            core.py_get_constant("")
        assert type(info.value) is panic_type
        assert info.value.args == ("py_get_constant: name must be non-empty",)


def test_except_exception_does_not_catch_a_panic(panic_type):
    caught = None
    try:
        try:
            core.py_get_constant("")
        except Exception:  # noqa: BLE001 - must not match
            caught = "Exception"
    except BaseException as exc:  # noqa: BLE001
        caught = type(exc)
    assert caught is panic_type
    with pytest.raises(panic_type):
        try:
            core.py_get_constant("")
        except LookupError:
            pass


def test_fault_is_reported_on_standard_error(capfd):
    with pytest.raises(BaseException):
        core.py_get_constant("")
    err = capfd.readouterr().err
    assert "py_get_constant: name must be non-empty" in err
    # Named from the project root, whatever directory the extension was built in.
    assert " at src/core_module/module_functions.cpp:" in err


def test_panic_through_python_code_is_resumed(monkeypatch, capfd, panic_type):
    def loads(text):
        return core.py_get_constant("")  # panics inside Python code called by the module

    monkeypatch.setattr(json, "loads", loads)
    with pytest.raises(panic_type) as info:
        core.py_get_constant("b3")
    assert info.value.args == ("py_get_constant: name must be non-empty",)
    err = capfd.readouterr().err
    assert "--- Vessik is resuming a panic after fetching a PanicException from Python. ---\n" in err
    assert "Python stack trace below:\n" in err
    assert "in loads" in err  # the printed traceback of the first panic


def test_resumed_panic_with_unprintable_message(monkeypatch, capfd, panic_type):
    class Unprintable(panic_type):
        def __str__(self):
            raise RuntimeError("no text")

    def loads(text):
        raise Unprintable("ignored")

    monkeypatch.setattr(json, "loads", loads)
    with pytest.raises(panic_type) as info:
        core.py_get_constant("b3")
    assert type(info.value) is panic_type
    assert info.value.args == ("Unwrapped panic from Python code",)
    capfd.readouterr()


def test_a_failed_lookup_leaves_the_registry_usable():
    r = core.PyFormulasRegistry()
    with pytest.raises(KeyError):
        r.get("nope")
    assert len(r) == 17

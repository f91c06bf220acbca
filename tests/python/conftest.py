import functools
import importlib
import subprocess
import sys

import pytest

import ostrelin
import ostrelin._veldra_core as core
from ostrelin._builtin_entries import CONSTANTS


@pytest.fixture(scope="session")
def panic_type():
    """The PanicException class, caught from a call that always raises it."""
    try:
        core.py_get_constant("")
    except BaseException as exc:  # noqa: BLE001 - that is the point
        return type(exc)
    raise AssertionError("py_get_constant('') did not raise")


def run_python(code, *args, env=None):
    """Runs `code` in a fresh interpreter of the same venv; returns the process."""
    return subprocess.run(
        [sys.executable, *args, "-c", code], capture_output=True, text=True, env=env, timeout=120
    )


def run_module(module, *args):
    """Runs `python -m module args…` in the same venv; returns the process."""
    return subprocess.run(
        [sys.executable, "-m", module, *args], capture_output=True, text=True, timeout=120
    )


# name: (value, units, status, expression, dependencies), from the package's
# one copy of the data; test_twins checks that copy against the core.
CATALOGUE = {c.name: (c.value, c.units, c.status, c.expression, list(c.dependencies)) for c in CONSTANTS}

NATIVE_MODULES = ("ostrelin._veldra_core", "ostrelin._veldra_catalogue")


def _package_modules():
    return [name for name in sys.modules if name == "ostrelin" or name.startswith("ostrelin.")]


@functools.cache
def python_package():
    """`ostrelin` imported afresh, every Python module of it new, with both
    native modules blocked as on a machine without the extensions.

    sys.modules is put back as it was, so other tests keep their `ostrelin`.
    """
    saved = {name: sys.modules[name] for name in _package_modules()}
    try:
        for name in saved:
            del sys.modules[name]
        for native in NATIVE_MODULES:
            sys.modules[native] = None
        return importlib.import_module("ostrelin")
    finally:
        for name in _package_modules():
            del sys.modules[name]
        sys.modules.update(saved)


@pytest.fixture(scope="session", params=["native", "python"])
def api(request):
    """The package, answering through the core or in pure Python."""
    package = ostrelin if request.param == "native" else python_package()
    assert package.implementation == request.param
    return package

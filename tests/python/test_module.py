"""The module object: entry point, contents, listing, interpreters."""

import importlib
import os
import sys

import pytest

import ostrelin._veldra_core as core
from conftest import CATALOGUE, run_python

ALL = [
    "PyFormulasRegistry",
    "PyQuarkRegistry",
    "PyCKMMatrix",
    "py_list_constants",
    "py_list_quarks",
    "py_get_constant",
    "__version__",
]

SORTED_NAMES = [
    "b3", "chi_eff", "gamma_em", "h0_central", "jc_constant", "logic_closure", "m_tau_mev", "n_gen",
    "n_gen_sq", "phi", "roots_total", "sterile_check", "sterile_sector", "topo_gen_check",
    "v_higgs_mev", "visible_sector", "w0_central",
]


def test_module_identity_and_contents():
    assert core.__name__ == "ostrelin._veldra_core"
    assert core.__doc__ == "Vessik module entry point. Wired as `ostrelin._veldra_core`."
    assert core.__all__ == ALL
    assert core.__version__ == "2.3.0"
    assert not hasattr(core, "version")
    for name in ALL:
        assert hasattr(core, name)


@pytest.mark.parametrize(
    "function, signature, doc",
    [
        (core.py_list_constants, "()",
         "Native-accelerated twin of `ostrelin.list_constants`.\n\n"
         "Returns all known constant names from the FormulasRegistry."),
        (core.py_list_quarks, "()",
         "Native-accelerated twin of `ostrelin.list_quarks`.\n\n"
         "Returns all SM quark names from the QuarkRegistry."),
        (core.py_get_constant, "(name)",
         "Native-accelerated twin of `ostrelin.Get` for the constants branch.\n\n"
         "Returns a JSON-serialised dict with `name`, `value`, `units`,\n"
         "`uncertainty`, and `status` fields \u2014 matching the Python constant\n"
         "datasheet schema so callers don't need to branch.\n\n"
         "Raises `PyKeyError` when `name` is not in the registry."),
    ],
    ids=lambda v: getattr(v, "__name__", None),
)
def test_function_records(function, signature, doc):
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc
    assert function.__module__ == "ostrelin._veldra_core"
    assert function.__self__ is core


def test_listing_is_the_catalogue_in_byte_order():
    names = core.py_list_constants()
    assert names == SORTED_NAMES
    assert names == sorted(CATALOGUE, key=lambda n: n.encode())
    assert names.index("n_gen") < names.index("n_gen_sq")
    assert names.index("sterile_check") < names.index("sterile_sector")


def test_listings_are_fresh_lists():
    for listing in (core.py_list_constants, core.py_list_quarks):
        first, second = listing(), listing()
        assert first == second and first is not second
        expected = list(first)
        first.append("x")
        first[0] = "changed"
        assert listing() == expected
        assert all(type(name) is str for name in second)


@pytest.mark.parametrize("function", [core.py_list_constants, core.py_list_quarks])
@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1})])
def test_listings_take_no_arguments(function, args, kwargs):
    with pytest.raises(TypeError):
        function(*args, **kwargs)


def test_reimport_returns_the_same_module_and_classes():
    classes = (core.PyFormulasRegistry, core.PyQuarkRegistry, core.PyCKMMatrix)
    del sys.modules["ostrelin._veldra_core"]
    again = importlib.import_module("ostrelin._veldra_core")
    assert again is core
    assert (again.PyFormulasRegistry, again.PyQuarkRegistry, again.PyCKMMatrix) == classes
    assert sys.modules["ostrelin._veldra_core"] is core


def test_import_is_silent_under_warnings_as_errors():
    proc = run_python("import ostrelin._veldra_core as m; print(m.PyCKMMatrix.__module__)", "-W", "error")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "ostrelin._veldra_core\n"
    assert proc.stderr == ""


def test_second_interpreter_is_refused_and_first_keeps_working(tmp_path):
    out = tmp_path / "sub.txt"
    code = f"""
import _testcapi
import ostrelin, ostrelin._veldra_core
sub = '''
try:
    import ostrelin._veldra_core
    result = "imported"
except ImportError as exc:
    result = "ImportError: " + str(exc)
with open({str(out)!r}, "w") as f:
    f.write(result)
'''
_testcapi.run_in_subinterp(sub)
print(ostrelin._veldra_core.py_list_quarks()[0], ostrelin.loads(ostrelin.constants.dumps())["b3"].value)
"""
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "bottom 24.0\n"
    assert out.read_text().startswith("ImportError: Vessik modules do not yet support subinterpreters, see ")


# What each interpreter finds: the catalogue answered natively by its own
# module (its Catalogue, its package's exception classes), the core refused.
IN_SUBINTERPRETER = """
import ostrelin, ostrelin._veldra_catalogue as native
found = [ostrelin.implementation, type(ostrelin.constants).__mro__[1] is native.Catalogue]
cat = ostrelin.loads(ostrelin.constants.dumps())
found.append(cat["b3"].value == 24.0 and cat.derive("b3") == 24.0 and len(ostrelin.codata) == 355)
try:
    ostrelin.loads('{"format": "x"}')
except ostrelin.CatalogueError as exc:
    found.append(type(exc) is ostrelin.CatalogueError)
try:
    import ostrelin._veldra_core
except ImportError:
    found.append("core refused")
with open(OUT + "/" + str(id(found)) + ".txt", "w") as f:
    f.write(repr(found))
"""


def test_catalogue_module_answers_in_interpreters_with_their_own_gil(tmp_path):
    # Each interpreter has its own GIL, so they run at once, beside the main
    # one: the module must keep nothing Python across interpreters.
    sub = f"OUT = {str(tmp_path)!r}\n{IN_SUBINTERPRETER}"
    code = f"""
import sys, threading
if sys.version_info >= (3, 13):
    import _interpreters as interpreters
    assert interpreters.new_config("isolated").gil == "own"
else:
    import _xxsubinterpreters as interpreters  # its interpreters are isolated, each with its own GIL
import ostrelin
def run():
    i = interpreters.create()
    try:
        interpreters.run_string(i, {sub!r})
    finally:
        interpreters.destroy(i)
threads = [threading.Thread(target=run) for _ in range(3)]
for t in threads:
    t.start()
for _ in range(20):
    assert ostrelin.loads(ostrelin.constants.dumps())["b3"].value == 24.0
for t in threads:
    t.join()
print(ostrelin.implementation, type(ostrelin.constants).__mro__[1].__module__)
"""
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "native ostrelin._veldra_catalogue\n"
    found = sorted(path.read_text() for path in tmp_path.glob("*.txt"))
    assert found == ["['native', True, True, True, 'core refused']"] * 3


@pytest.mark.skipif(not hasattr(os, "sched_setaffinity"), reason="needs affinity control")
def test_listing_is_the_same_on_one_cpu():
    code = (
        "import os; os.sched_setaffinity(0, {min(os.sched_getaffinity(0))});"
        "import ostrelin._veldra_core as m; print(m.py_list_constants()); print(len(m.PyFormulasRegistry()))"
    )
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == f"{SORTED_NAMES}\n17\n"

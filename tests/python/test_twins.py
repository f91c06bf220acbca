"""The package answering through the core against the package in pure Python,
and the package's one copy of the data against the core."""

import dataclasses
import importlib.metadata
import json

import pytest
from hypothesis import given
from hypothesis import strategies as st

import ostrelin
import ostrelin._veldra_core as core
from conftest import python_package, run_python
from ostrelin import _builtin_entries, _lookup, _pyostrelin


def test_catalogue_data_is_what_the_core_holds():
    registry = core.PyFormulasRegistry()
    assert sorted(c.name for c in _builtin_entries.CONSTANTS) == core.py_list_constants()
    assert len(_builtin_entries.CONSTANTS) == len(registry)
    for record in _builtin_entries.CONSTANTS:
        ours, theirs = _pyostrelin.datasheet(record), core.py_get_constant(record.name)
        assert list(ours.items()) == list(theirs.items())
        assert [type(v) for v in ours.values()] == [type(v) for v in theirs.values()]
        assert record.value == registry.get(record.name)
    assert sorted(q.name for q in _builtin_entries.QUARKS) == core.py_list_quarks()
    assert not {c.name for c in _builtin_entries.CONSTANTS} & {q.name for q in _builtin_entries.QUARKS}


def test_one_version_everywhere():
    versions = {
        importlib.metadata.version("ostrelin"), ostrelin.__version__, python_package().__version__,
        core.__version__, core.PyFormulasRegistry.version(),
    }
    assert versions == {"2.3.0"}


WRONG_NAMES = [
    "B3", "b3 ", " b3", "\tb3", "\t\tb3", " \nphi\n ", "Top", " top ", "tpo", "b4", "sterile_chek", "n_gen_s",
    "p", "b", "b3\x00", "\u00b5", "\u00b5\u00b5\u00b5", "nothing_like_it", "constant", "\ud800", "b3\udfff", "",
    3, 2.5, None, b"b3", ["b3"],
]
FUNCTIONS = ["Get", "constant", "quark", "derive"]


def outcome(call, *args):
    """What a call gives, in terms that compare across the two package copies."""
    try:
        result = call(*args)
    except Exception as exc:  # noqa: BLE001 - the exception is the outcome
        return ("raised", type(exc), exc.args, getattr(exc, "__notes__", None), exc.__cause__)
    if dataclasses.is_dataclass(result):
        return ("record", type(result).__name__, dataclasses.astuple(result))
    if isinstance(result, dict):
        return ("dict", list(result.items()), [type(v) for v in result.values()])
    return ("value", type(result), result)


@pytest.mark.parametrize("function", FUNCTIONS)
def test_native_and_pure_python_answer_alike(function):
    pure = python_package()
    assert (ostrelin.implementation, pure.implementation) == ("native", "python")
    names = [*core.py_list_constants(), *core.py_list_quarks(), *WRONG_NAMES]
    for name in names:
        assert outcome(getattr(ostrelin, function), name) == outcome(getattr(pure, function), name), repr(name)
    for listing in ("list_constants", "list_quarks"):
        assert outcome(getattr(ostrelin, listing)) == outcome(getattr(pure, listing))
    for mapping in ("constants", "quarks"):
        assert [(n, dataclasses.astuple(r)) for n, r in getattr(ostrelin, mapping).items()] == [
            (n, dataclasses.astuple(r)) for n, r in getattr(pure, mapping).items()
        ]


def test_errors_are_the_cores_own():
    # constant() hints over catalogue names only, as the core does.
    for name in WRONG_NAMES:
        if name != "":
            assert outcome(ostrelin.constant, name) == outcome(core.py_get_constant, name), repr(name)
            assert outcome(python_package().constant, name) == outcome(core.py_get_constant, name), repr(name)


def edited(name, edits):
    """`name` with each (position, action, char) edit applied in turn."""
    for position, action, char in edits:
        at = position % (len(name) + 1)
        if action == "insert":
            name = name[:at] + char + name[at:]
        elif action == "delete":
            name = name[:at] + name[at + 1 :]
        else:
            name = name[:at] + char + name[at + 1 :]
    return name


NEAR_MISSES = st.builds(
    edited,
    st.sampled_from(core.py_list_constants()),
    st.lists(
        st.tuples(st.integers(0, 20), st.sampled_from(["insert", "delete", "replace"]),
                  st.sampled_from("abegn_3 \t\nBEGN\u00b5\x00")),
        max_size=3,
    ),
)


@given(st.one_of(NEAR_MISSES, st.text(min_size=1, max_size=6)).filter(lambda n: n and n not in ostrelin.constants))
def test_hint_rule_is_the_cores(name):
    """The pure-Python hint over catalogue names is the one the core attaches."""
    with pytest.raises(KeyError) as info:
        core.py_get_constant(name)
    suggestion = _lookup.suggest(name.encode(), core.py_list_constants())
    assert getattr(info.value, "__notes__", None) == (None if suggestion is None else [f"did you mean '{suggestion}'?"])


SNAPSHOT = """
import dataclasses, json, sys
import ostrelin as o
names = o.list_constants() + o.list_quarks()
print(json.dumps({
    "implementation": o.implementation,
    "version": o.__version__,
    "Get": [o.Get(n) for n in names],
    "records": [dataclasses.astuple(r) for r in [*o.constants.values(), *o.quarks.values()]],
    "lookups": [o.constant(n) == o.constants[n] for n in o.constants] + [o.quark(n) == o.quarks[n] for n in o.quarks],
    "derived": [o.derive(n) for n in o.constants],
    "types": [o.Constant.__name__, o.Quark.__name__, o.DerivationError.__mro__[1].__name__],
    "native catalogue loaded": sys.modules.get("ostrelin._veldra_catalogue") is not None,
}))
"""


def test_a_fresh_interpreter_without_the_core_gives_the_same_answers():
    native = run_python(SNAPSHOT)
    blocked = run_python(
        'import sys; sys.modules["ostrelin._veldra_core"] = sys.modules["ostrelin._veldra_catalogue"] = None' + SNAPSHOT
    )
    assert native.returncode == blocked.returncode == 0, native.stderr + blocked.stderr
    native, blocked = json.loads(native.stdout), json.loads(blocked.stdout)
    assert (native.pop("implementation"), native.pop("native catalogue loaded")) == ("native", True)
    assert (blocked.pop("implementation"), blocked.pop("native catalogue loaded")) == ("python", False)
    assert native == blocked

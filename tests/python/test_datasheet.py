"""py_get_constant: the datasheet dict, made by json.loads from native text."""

import json
import sys

import pytest

import ostrelin._veldra_core as core
from conftest import CATALOGUE

KEYS = ["name", "status", "uncertainty", "units", "value"]


def expected_sheet(name):
    value, units, status, _, _ = CATALOGUE[name]
    return {"name": name, "status": status, "uncertainty": None, "units": units, "value": value}


@pytest.mark.parametrize("name", sorted(CATALOGUE))
def test_every_entry_has_its_datasheet(name):
    sheet = core.py_get_constant(name)
    assert sheet == expected_sheet(name)
    assert list(sheet) == KEYS
    assert type(sheet["value"]) is float
    assert sheet["name"] == name


def test_b3_datasheet_exactly():
    assert core.py_get_constant("b3") == {
        "name": "b3", "status": "Seed", "uncertainty": None, "units": "dimensionless", "value": 24.0,
    }
    assert core.py_get_constant(name="b3") == core.py_get_constant("b3")


@pytest.mark.parametrize("name", sorted(CATALOGUE))
def test_loads_receives_the_compact_sorted_text(monkeypatch, name):
    seen = []
    sentinel = object()

    def loads(*args, **kwargs):
        seen.append((args, kwargs))
        return sentinel

    monkeypatch.setattr(json, "loads", loads)
    assert core.py_get_constant(name) is sentinel
    [(args, kwargs)] = seen
    assert kwargs == {}
    assert len(args) == 1 and type(args[0]) is str
    # For these values Python's own compact, key-sorted dump writes the same text.
    assert args[0] == json.dumps(expected_sheet(name), separators=(",", ":"), sort_keys=True)
    assert 79 <= len(args[0].encode()) <= 105


def test_json_is_imported_on_every_call(monkeypatch):
    class FakeJson:
        @staticmethod
        def loads(text):
            return ("fake", text)

    monkeypatch.setitem(sys.modules, "json", FakeJson)
    assert core.py_get_constant("n_gen") == (
        "fake", '{"name":"n_gen","status":"Seed","uncertainty":null,"units":"count","value":3.0}'
    )
    monkeypatch.setitem(sys.modules, "json", None)
    with pytest.raises(ImportError):
        core.py_get_constant("n_gen")


def test_a_replaced_import_is_called_on_every_call(monkeypatch):
    import builtins

    real_import = builtins.__import__
    seen = []

    def recording_import(name, *args, **kwargs):
        seen.append(name)
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", recording_import)
    for _ in range(3):
        assert core.py_get_constant("b3")["value"] == 24.0
    assert seen == ["json"] * 3

    def refusing_import(name, *args, **kwargs):
        raise ImportError(f"no {name} today")

    monkeypatch.setattr(builtins, "__import__", refusing_import)
    with pytest.raises(ImportError, match="no json today"):
        core.py_get_constant("b3")
    monkeypatch.undo()
    assert core.py_get_constant("b3")["value"] == 24.0


def test_exceptions_from_loads_pass_through_unchanged(monkeypatch):
    error = ValueError("from loads")

    def loads(text):
        raise error

    monkeypatch.setattr(json, "loads", loads)
    with pytest.raises(ValueError) as info:
        core.py_get_constant("b3")
    assert info.value is error


def test_missing_json_loads_attribute(monkeypatch):
    monkeypatch.delattr(json, "loads")
    with pytest.raises(AttributeError):
        core.py_get_constant("b3")


@pytest.mark.parametrize("name", ["B3", " b3", "b3 ", "no_such_name", "sterile", "`"])
def test_missing_names_raise_key_error(name):
    with pytest.raises(KeyError) as info:
        core.py_get_constant(name)
    assert info.value.args == (f"constant `{name}` not found in registry",)


def test_empty_name_panics_before_anything_else(monkeypatch, panic_type):
    monkeypatch.setitem(sys.modules, "json", None)  # would fail if reached
    with pytest.raises(panic_type) as info:
        core.py_get_constant("")
    assert info.value.args == ("py_get_constant: name must be non-empty",)
    with pytest.raises(panic_type):
        core.py_get_constant(name="")


def test_results_are_fresh_dicts():
    first = core.py_get_constant("phi")
    first["value"] = 0
    first["extra"] = 1
    second = core.py_get_constant("phi")
    assert second == expected_sheet("phi")
    assert second is not core.py_get_constant("phi")

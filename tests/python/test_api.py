"""The public package, run once answering through the core and once in pure Python.

Every test takes the `api` fixture (conftest), so each runs in both modes;
the core itself serves as the oracle wherever it can answer.
"""

import dataclasses
import math
from decimal import Decimal, getcontext

import pytest

import ostrelin._veldra_core as core

PUBLIC = {
    "Catalogue", "CatalogueError", "Constant", "DerivationError", "Evaluation", "Get", "Quark", "__version__", "constant",
    "codata", "constants", "derive", "implementation", "list_constants", "list_quarks", "load", "loads", "quark",
    "quarks", "Status", "UnitError", "Units", "convert", "parse_units",
}
SHEET_KEYS = ["name", "status", "uncertainty", "units", "value"]
QUARK_KEYS = ["generation", "mass_mev", "mass_ratio", "name", "phi_exponent"]


def test_public_names(api):
    assert set(api.__all__) == PUBLIC
    assert all(hasattr(api, name) for name in api.__all__)
    assert issubclass(api.DerivationError, ValueError) and issubclass(api.UnitError, ValueError)


@pytest.mark.parametrize(
    "listing, oracle", [("list_constants", core.py_list_constants), ("list_quarks", core.py_list_quarks)]
)
def test_listings_equal_the_cores_as_new_lists(api, listing, oracle):
    first, second = getattr(api, listing)(), getattr(api, listing)()
    assert first == second == oracle()
    assert type(first) is list and first is not second
    first.clear()
    assert getattr(api, listing)() == oracle()


def test_get_on_the_catalogue_is_the_cores_datasheet(api):
    for name in core.py_list_constants():
        sheet, expected = api.Get(name), core.py_get_constant(name)
        assert list(sheet.items()) == list(expected.items())
        assert [type(v) for v in sheet.values()] == [type(v) for v in expected.values()]
        assert list(sheet) == SHEET_KEYS
    api.Get("b3")["value"] = -1.0
    assert api.Get("b3")["value"] == 24.0


def test_get_on_a_quark_is_its_record(api):
    for name in core.py_list_quarks():
        sheet = api.Get(name)
        assert list(sheet) == QUARK_KEYS
        assert [type(v) for v in sheet.values()] == [int, float, float, str, int]
        assert sheet == {field: getattr(api.quark(name), field) for field in QUARK_KEYS}


def test_quark_table_follows_from_phi_and_the_higgs_vev(api):
    getcontext().prec = 60
    phi = (1 + Decimal(5).sqrt()) / 2
    by_mass = sorted(api.quarks.values(), key=lambda q: q.mass_mev)
    assert [q.name for q in by_mass] == ["up", "down", "strange", "charm", "bottom", "top"]
    assert [q.generation for q in by_mass] == [1, 1, 2, 2, 3, 3]
    for q in by_mass:
        nearest = float(phi ** -q.phi_exponent)
        # Stored a few units in the last place below the nearest float, never above.
        assert 0 <= (nearest - q.mass_ratio) / math.ulp(nearest) <= 4, q.name
        assert q.mass_mev == api.derive("v_higgs_mev") * q.mass_ratio
    assert api.quark("top").mass_ratio == 1.0


def test_records_are_frozen_slotted_and_match_the_core(api):
    registry = core.PyFormulasRegistry()
    for name in core.py_list_constants():
        record = api.constant(name)
        sheet = core.py_get_constant(name)
        assert (record.name, record.value, record.units, record.uncertainty, record.status) == (
            sheet["name"], registry.get(name), sheet["units"], sheet["uncertainty"], sheet["status"]
        )
        assert type(record.dependencies) is tuple
        assert (record.expression is None) == (record.status == "Seed")
        assert set(record.dependencies) <= set(api.constants)
    for record in (api.constant("b3"), api.quark("up")):
        assert dataclasses.is_dataclass(record) and not hasattr(record, "__dict__")
        with pytest.raises(dataclasses.FrozenInstanceError):
            record.name = "x"
    assert api.constant("topo_gen_check").dependencies == ("chi_eff", "b3")
    assert api.constant("w0_central").expression == "-1"


@pytest.mark.parametrize(
    "mapping, listing, lookup",
    [("constants", "list_constants", "constant"), ("quarks", "list_quarks", "quark")],
)
def test_mappings_are_read_only_and_in_listing_order(api, mapping, listing, lookup):
    view = getattr(api, mapping)
    assert list(view) == getattr(api, listing)()
    assert all(view[name] is getattr(api, lookup)(name) for name in view)
    name = next(iter(view))
    with pytest.raises(TypeError):
        view[name] = None
    with pytest.raises(TypeError):
        del view[name]
    assert list(view) == getattr(api, listing)()


@pytest.mark.parametrize(
    "name, value",
    [("n_gen_sq", 9.0), ("sterile_check", 163.0), ("topo_gen_check", 3.0), ("v_higgs_mev", 246220.0),
     ("w0_central", -1.0), ("h0_central", 70.0), ("m_tau_mev", 1776.86)],
)
def test_derive_evaluates_formulas_and_leaves_stored_values(api, name, value):
    assert api.derive(name) == value
    assert type(api.derive(name)) is float
    assert api.Get(name)["value"] == api.constant(name).value == 0.0


def test_derive_of_a_seed_is_its_value(api):
    for record in api.constants.values():
        if record.expression is None:
            assert api.derive(record.name) == record.value


# name, then the note expected from Get (catalogue and quark names), from
# constant() and derive() (catalogue names), from quark() (quark names).
MISSES = [
    ("B3", "b3", "b3", None),
    (" b3 ", "b3", "b3", None),
    ("TOP", "top", None, "top"),
    ("Up ", "up", None, "up"),
    ("tp", "top", None, "top"),  # as near to "up": the first in byte order wins
    ("p", "up", "phi", "up"),
    ("tpo", "top", None, "top"),
    ("sterile_chek", "sterile_check", "sterile_check", None),
    ("n_gen_s", "n_gen_sq", "n_gen_sq", None),
    ("b3\x00", "b3", "b3", None),
    ("b", "b3", "b3", None),
    ("\u00b5", None, None, None),
    ("nothing_like_it", None, None, None),
]


@pytest.mark.parametrize("name, get_note, constant_note, quark_note", MISSES, ids=[repr(m[0]) for m in MISSES])
def test_unknown_names_raise_keyerror_with_a_hint_from_their_own_names(
    api, name, get_note, constant_note, quark_note
):
    expected = [(api.Get, get_note, "constant"), (api.constant, constant_note, "constant"),
                (api.derive, constant_note, "constant"), (api.quark, quark_note, "quark")]
    for function, note, kind in expected:
        with pytest.raises(KeyError) as info:
            function(name)
        assert type(info.value) is KeyError
        assert info.value.args == (f"{kind} `{name}` not found in registry",)
        assert getattr(info.value, "__notes__", None) == ([f"did you mean '{note}'?"] if note else None)


@pytest.mark.parametrize("function", ["Get", "constant", "quark", "derive"])
def test_names_that_are_not_names(api, function):
    call = getattr(api, function)
    with pytest.raises(ValueError, match="^name must be non-empty$") as info:
        call("")
    assert type(info.value) is ValueError
    for wrong in (3, None, b"b3", ["b3"]):
        with pytest.raises(TypeError) as info:
            call(wrong)
        message = f"argument 'name': '{type(wrong).__name__}' object cannot be converted to 'PyString'"
        assert info.value.args == (message,)
    for surrogate in ("\ud800", "b3\udfff"):
        with pytest.raises(UnicodeEncodeError) as info:
            call(surrogate)
        with pytest.raises(UnicodeEncodeError) as plain:
            surrogate.encode("utf-8")
        assert info.value.args == plain.value.args


def test_a_str_subclass_is_read_by_its_text(api):
    class Name(str):
        def __eq__(self, other):
            return False

        def __len__(self):
            return 0

        __hash__ = str.__hash__

    class Impostor:
        __class__ = property(lambda self: str)

    assert api.Get(Name("b3")) == api.Get("b3")
    with pytest.raises(ValueError):
        api.Get(Name(""))
    with pytest.raises(TypeError) as info:
        api.Get(Impostor())
    assert info.value.args == ("argument 'name': 'Impostor' object cannot be converted to 'PyString'",)
    assert api.constant(Name("topo_gen_check")) is api.constant("topo_gen_check")
    assert api.quark(Name("up")) is api.quark("up")
    assert api.derive(Name("n_gen_sq")) == 9.0

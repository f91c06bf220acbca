"""Symbols: an entry's second, short name (format version 2), read wherever a name is, in both twins."""

import ast
import json
import math
from pathlib import Path

import pytest

import ostrelin


def text(entries, version=2):
    return json.dumps({"format": "ostrelin-catalogue", "version": version, "constants": entries})


LAB = [
    {"name": "distance", "symbol": "d", "units": "m", "value": 10.0, "uncertainty": 0.02},
    {"name": "duration", "symbol": "t", "units": "s", "value": 4.0, "uncertainty": 0.004},
    {"name": "speed", "symbol": "v", "units": "m/s", "expression": "d / t"},
    {"name": "double_speed", "units": "m/s", "expression": "2 * speed + 0 * v"},
]


def test_a_symbol_is_read_wherever_a_name_is(api):
    lab = api.loads(text(LAB))
    assert lab["d"] is lab["distance"] or lab["d"] == lab["distance"]
    assert lab["d"].name == "distance" and lab["d"].symbol == "d" and lab["double_speed"].symbol is None
    assert "t" in lab and lab.get("v").name == "speed" and lab.get("x", 7) == 7
    # A mapping of names: symbols are not iterated, counted or listed.
    assert len(lab) == 4 and lab.names() == ["distance", "double_speed", "duration", "speed"]
    assert lab.derive("v") == lab.derive("speed") == 2.5
    assert lab.derived("v").uncertainty == pytest.approx(2.5 * math.hypot(0.002, 0.001), rel=1e-12)
    assert lab.budget("v") == lab.budget("speed")
    assert lab.dimension("v") == "m s^-1" and lab.datasheet("d") == lab.datasheet("distance")
    # A formula's dependencies name the entries, however its text spells them.
    assert lab["speed"].dependencies == ("distance", "duration")
    assert lab["double_speed"].dependencies == ("speed", "speed")
    assert lab.derive("double_speed") == 5.0
    assert lab.derived("double_speed").uncertainty == pytest.approx(2 * lab.derived("v").uncertainty, rel=1e-12)


def test_symbols_round_trip_and_build_from_records(api):
    listed = [*LAB[:2], {"name": "ratio", "units": "s/m", "expression": "t / distance", "dependencies": ["distance", "t"]}]
    lab = api.loads(text(listed))
    assert lab["ratio"].dependencies == ("distance", "duration")
    again = api.loads(lab.dumps())
    assert again == lab and again["ratio"].dependencies == ("distance", "duration")
    assert '"dependencies": ["distance", "t"]' in lab.dumps()
    records = [api.Constant("distance", 10.0, "m", 0.02, symbol="d"), api.Constant("twice", 0.0, "m", expression="2 * d")]
    built = api.Catalogue(records, version=2)
    assert built.derive("twice") == 20.0 and built["d"].symbol == "d"
    over = api.loads(text([{"name": "area", "units": "m^2", "expression": "d ** 2"}]), base=built)
    assert over.derive("area") == 100.0 and over["d"].name == "distance"
    assert api.loads(over.dumps(base=False), base=built) == over


# (entries, version, the error's note)
REFUSED = [
    ([{"name": "a", "symbol": "b", "units": "", "value": 1.0}], 1, "entry 0 (`a`): `symbol` needs version 2"),
    ([{"name": "a", "symbol": "1b", "units": "", "value": 1.0}], 2,
     "entry 0 (`a`): `symbol` must be a name a formula can use, not `1b`"),
    ([{"name": "a", "symbol": "pi", "units": "", "value": 1.0}], 2,
     "entry 0 (`a`): `symbol` must be a name a formula can use, not `pi`"),
    ([{"name": "a", "symbol": "x y", "units": "", "value": 1.0}], 2,
     "entry 0 (`a`): `symbol` must be a name a formula can use, not `x y`"),
    ([{"name": "a", "symbol": 3, "units": "", "value": 1.0}], 2, "entry 0 (`a`): `symbol` must be a string, not a number"),
    ([{"name": "a", "symbol": "a", "units": "", "value": 1.0}], 2, "entry 0 (`a`): symbol `a` is the name of entry 0"),
    ([{"name": "a", "symbol": "b", "units": "", "value": 1.0}, {"name": "b", "units": "", "value": 2.0}], 2,
     "entry 0 (`a`): symbol `b` is the name of entry 1"),
    ([{"name": "a", "symbol": "s", "units": "", "value": 1.0}, {"name": "b", "symbol": "s", "units": "", "value": 2.0}], 2,
     "entry 1 (`b`): symbol `s` is taken, first at entry 0"),
    ([{"name": "a", "units": "", "value": 1.0}, {"name": "a", "symbol": "s", "units": "", "value": 2.0}], 2,
     "entry 1 (`a`): duplicate name, first at entry 0"),
]


@pytest.mark.parametrize(("entries", "version", "note"), REFUSED)
def test_symbols_that_cannot_be_are_refused(api, entries, version, note):
    with pytest.raises(api.CatalogueError) as caught:
        api.loads(text(entries, version))
    assert caught.value.__notes__ == [note]


# Over a base holding `distance` (symbol d): (entries, the note, or None when it loads)
OVER_BASE = [
    ([{"name": "x", "symbol": "distance", "units": "", "value": 1.0}],
     "entry 0 (`x`): symbol `distance` is the name of an entry in the base catalogue"),
    ([{"name": "x", "symbol": "d", "units": "", "value": 1.0}], "entry 0 (`x`): symbol `d` is taken in the base catalogue"),
    # A name may take a base's symbol, and hides it: files written before their base had symbols load.
    ([{"name": "d", "units": "m", "value": 3.0}, {"name": "y", "units": "m", "expression": "2 * d"}], None),
]


@pytest.mark.parametrize(("entries", "note"), OVER_BASE)
def test_a_symbol_over_a_base(api, entries, note):
    base = api.loads(text(LAB[:2]))
    if note is None:
        over = api.loads(text(entries), base=base)
        assert over["d"].value == 3.0 and over.derive("y") == 6.0 and over["distance"].symbol == "d"
        return
    with pytest.raises(api.CatalogueError) as caught:
        api.loads(text(entries), base=base)
    assert caught.value.__notes__ == [note]


@pytest.mark.parametrize(("asked", "suggested"), [("D", "d"), ("distanc", "distance"), ("V ", "v")])
def test_suggestions_cover_symbols(api, asked, suggested):
    lab = api.loads(text(LAB))
    with pytest.raises(KeyError) as caught:
        lab[asked]
    assert caught.value.__notes__ == [f"did you mean '{suggested}'?"]
    with pytest.raises(api.CatalogueError) as formula:
        api.loads(text([{"name": "f", "units": "", "expression": f"{asked} * 0"}]), base=lab)
    assert formula.value.__notes__ == [f"did you mean '{suggested}'?"]


def test_codata_symbols_match_scipy_and_the_symbols_module(api):
    scipy_constants = pytest.importorskip("scipy.constants")
    import ostrelin.symbols as symbols

    codata = api.codata
    named = {record.symbol: record for record in codata.values() if record.symbol is not None}
    assert set(named) == set(symbols.__all__)
    # Where scipy.constants has the same short name, it means the same value.
    shared = {s for s in named if hasattr(scipy_constants, s) and isinstance(getattr(scipy_constants, s), float)}
    assert {"c", "h", "hbar", "e", "k", "N_A", "G", "g", "m_e", "m_p", "m_n", "m_u", "alpha", "R", "sigma"} <= shared
    for symbol in shared:
        # scipy computes its exact derived values in doubles; the table's, kept here, to the nearest one.
        assert math.isclose(float(named[symbol]), getattr(scipy_constants, symbol), rel_tol=4e-16), symbol
        assert codata[symbol] is named[symbol] or codata[symbol] == named[symbol]
    # The module answers from the package's own codata, whichever twin that is.
    assert symbols.m_e == ostrelin.codata["electron_mass"] and symbols.m_e.name == "electron_mass"
    assert float(symbols.hbar) == scipy_constants.hbar
    with pytest.raises(AttributeError):
        symbols.not_a_symbol  # noqa: B018
    # The typed declarations list the same symbols.
    tree = ast.parse(Path(symbols.__file__).read_text(encoding="utf-8"))
    declared = {node.target.id for node in ast.walk(tree) if isinstance(node, ast.AnnAssign)}
    assert declared == set(symbols.__all__)
    over = api.loads(text([{"name": "E0", "units": "MeV", "expression": "m_e * c ** 2"}]), base=codata)
    assert over.derive("E0") == pytest.approx(codata["electron_mass_energy_equivalent_in_mev"].value, rel=1e-10)


def test_a_name_hiding_a_base_symbol_round_trips(api):
    # Over codata, an entry named `c` hides the symbol of the speed of light; one text written with the
    # base leaves that symbol out, so that it loads again and means the same.
    over = api.loads(text([{"name": "c", "units": "m", "value": 1.0}, {"name": "twice", "units": "m",
                                                                         "expression": "2 * c"}]), base=api.codata)
    assert over.derive("twice") == 2.0 and over["c"].name == "c"
    again = api.loads(over.dumps())
    assert again.derive("twice") == 2.0 and again["speed_of_light_in_vacuum"].symbol is None
    assert again["m_e"].symbol == "m_e" and api.loads(over.dumps(base=False), base=api.codata) == over


def test_an_entry_spelled_two_ways_is_written_back_in_the_texts_order(api):
    lab = api.loads(text([{"name": "a", "symbol": "A", "units": "", "value": 2.0, "uncertainty": 0.1},
                          {"name": "sq", "units": "", "expression": "a * A", "dependencies": ["A", "a"]}]))
    assert lab["sq"].dependencies == ("a", "a") and lab.derive("sq") == 4.0
    assert '"dependencies": ["a", "A"]' in lab.dumps() and api.loads(lab.dumps()) == lab

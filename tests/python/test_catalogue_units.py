"""Catalogues of format version 2: units parsed and every formula's dimension checked at load, values
converted through coherent SI; version 1 unchanged. Every test runs against both twins; pint is the
oracle of the conversions."""

import json
import math

import pytest

pint = pytest.importorskip("pint")
UREG = pint.UnitRegistry()


def text(entries, version=2, **top):
    return json.dumps({"format": "ostrelin-catalogue", "version": version, **top, "constants": entries})


def seed(name, value, units, uncertainty=None):
    return {"name": name, "value": value, "units": units, "uncertainty": uncertainty}


def formula(name, units, expression):
    return {"name": name, "units": units, "expression": expression}


LAB = [
    seed("m", 0.51099895069, "MeV/c^2", 1.6e-10),
    seed("c0", 299792458.0, "m/s"),
    seed("r", 2.5, "nm", 0.01),
    seed("n", 3.0, ""),
    formula("E", "J", "m * c0 ** 2"),
    formula("E_MeV", "MeV", "m * c0 ** 2"),
    formula("area", "Å^2", "pi * r ** 2"),
    formula("root", "m^(1/2)", "sqrt(r) + r ** 0.5 - r ** (1/2)"),
    formula("growth", "1", "exp(n) * log10(n / 2)"),
]


def test_values_are_converted_through_coherent_si(api):
    lab = api.loads(text(LAB))
    assert lab.version == 2
    energy = UREG.Quantity(0.51099895069, "MeV/c^2") * UREG.Quantity(299792458.0, "m/s") ** 2
    assert math.isclose(lab.derive("E"), energy.to("J").magnitude, rel_tol=1e-12)
    assert math.isclose(lab.derive("E_MeV"), 0.51099895069, rel_tol=1e-12)
    r = UREG.Quantity(2.5, "nm")
    assert math.isclose(lab.derive("area"), (math.pi * r**2).to("angstrom**2").magnitude, rel_tol=1e-12)
    assert math.isclose(lab.derive("root"), math.sqrt(2.5e-9), rel_tol=1e-12)
    # The uncertainty is converted with the value: σ(E) = c0² σ(m) in the formula's own units.
    assert math.isclose(lab.derived("E_MeV").uncertainty, 1.6e-10, rel_tol=1e-9)
    sigma = 2 * math.pi * r * UREG.Quantity(0.01, "nm")
    assert math.isclose(lab.derived("area").uncertainty, sigma.to("angstrom**2").magnitude, rel_tol=1e-9)
    assert lab.dimension("E") == "kg m^2 s^-2" and lab.dimension("n") == "1" and lab.dimension("root") == "m^(1/2)"


def test_coherent_si_costs_nothing_and_version_1_keeps_its_meaning(api):
    coherent = [seed("a", 1.5, "m", 0.1), seed("t", 2.0, "s", 0.2), formula("v", "m s^-1", "a / t * 3")]
    one, two = api.loads(text(coherent, version=1)), api.loads(text(coherent))
    assert one.derive("v") == two.derive("v") and one.derived("v") == two.derived("v")
    # Version 1: units are text, nothing is converted, nothing is checked.
    loose = api.loads(text([seed("m", 2.0, "MeV/c^2"), formula("E", "furlong", "m * 3")], version=1))
    assert loose.version == 1 and loose.derive("E") == 6.0
    assert '"version": 1,' in loose.dumps() and '"version": 2,' in two.dumps()
    assert api.loads(two.dumps()) == two and api.loads(two.dumps()).version == 2


def test_a_version_1_catalogue_over_a_version_2_base_reads_values_as_stored(api):
    base = api.loads(text(LAB))
    over = api.loads(text([formula("twice", "MeV/c^2", "m * 2")], version=1), base=base)
    assert over.derive("twice") == 0.51099895069 * 2


def test_records_take_a_version(api):
    lab = api.loads(text(LAB))
    again = api.Catalogue(lab.values(), version=2)
    assert again == lab and again.version == 2 and api.Catalogue(lab.values()).version == 1
    for wrong in (3, 0, True, 2.0, "2"):
        with pytest.raises(ValueError, match=f"^version must be 1 or 2, not {wrong!r}$".replace("(", r"\(")):
            api.Catalogue(lab.values(), version=wrong)


DIMENSION_ERRORS = [
    # formula's units, expression, the note's detail (the entry is `f`, entry 4)
    ("J", "m * c0", "the expression gives kg m s^-1, its units `J` are kg m^2 s^-2"),  # E = m c
    ("MeV", "m", "the expression gives kg, its units `MeV` are kg m^2 s^-2"),  # a missing c²
    ("m^3 kg^-1 s^-2", "c0 ** 2 * r / m ** 2", "the expression gives kg^-2 m^3 s^-2, its units `m^3 kg^-1 s^-2` are "
     "kg^-1 m^3 s^-2"),  # a wrong power in G's units
    ("1", "log(r)", "`log` needs a dimensionless argument, not m"),
    ("1", "sin(c0)", "`sin` needs a dimensionless argument, not m s^-1"),
    ("J", "m + c0", "`+` joins kg and m s^-1"),
    ("J", "m * c0 ** 2 - c0", "`-` joins kg m^2 s^-2 and m s^-1"),
    ("m", "r ** n", "`**` raises m to an exponent that is not a constant number"),
    ("1", "2 ** r", "`**` needs a dimensionless exponent, not m"),
    ("m", "r ** 0.1234", "`**` raises m to 0.1234, which is no fraction with a denominator up to 1000"),
    ("m", "r ** 0.123", "the expression gives m^(123/1000), its units `m` are m"),  # 123/1000 is a fraction
    ("m", "r ** pi", "`**` raises m to 3.141592653589793, which is no fraction with a denominator up to 1000"),
    ("m", "r ** 1001", "`**` raises m to 1001.0, which gives an exponent beyond 1000"),
]


@pytest.mark.parametrize("units, expression, detail", DIMENSION_ERRORS)
def test_wrong_formulas_are_refused_with_both_dimensions(api, units, expression, detail):
    entries = [seed("m", 1.0, "kg"), seed("c0", 1.0, "m/s"), seed("r", 1.0, "m"), seed("n", 2.0, ""),
               formula("f", units, expression)]
    if detail is None:
        assert api.loads(text(entries))["f"].units == units
        return
    with pytest.raises(api.CatalogueError) as raised:
        api.loads(text(entries))
    assert str(raised.value) == "dimension error in `f`"
    assert raised.value.__notes__ == [f"entry 4 (`f`): {detail}"]
    # The same file as version 1 loads: its units are text.
    assert api.loads(text(entries, version=1))["f"].units == units


def test_units_problems_come_first_then_formulas_in_file_order(api):
    entries = [seed("r", 1.0, "m"), formula("bad", "J", "log(r)"), seed("x", 1.0, "furlong"),
               seed("y", 1.0, "°C")]
    with pytest.raises(api.CatalogueError) as raised:
        api.loads(text(entries))
    assert str(raised.value) == "invalid units in `<string>`"
    assert raised.value.__notes__ == ["entry 2 (`x`): invalid units `furlong`: unknown unit `furlong` at offset 0"]
    with pytest.raises(api.CatalogueError) as raised:
        api.loads(text([*entries[:2], formula("worse", "m", "r + r * r")]))
    assert str(raised.value) == "dimension error in `bad`"


def test_orders_of_what_is_refused(api):
    # A version-1 base is refused before the records are read (reading them runs the caller's code).
    with pytest.raises(api.CatalogueError, match="^invalid JSON schema in `<records>`"):
        api.Catalogue(42, base=api.Catalogue([]), version=2)
    # The entry's own units are read before the target text is.
    with pytest.raises(api.DerivationError, match="^cannot express `a` in `\ud800`: invalid units `furlongs`"):
        api.Catalogue([api.Constant("a", 1.0, "furlongs")]).derive("a", "\ud800")
    with pytest.raises(UnicodeEncodeError):
        api.Catalogue([api.Constant("a", 1.0, "m")]).derive("a", "\ud800")


def test_the_version_and_the_base(api):
    with pytest.raises(api.CatalogueError) as raised:
        api.loads(text([seed("x", 1.0, "m")], version=3))
    assert raised.value.__notes__ == ["`version` must be 1 or 2"]
    with pytest.raises(api.CatalogueError) as raised:
        api.loads(text([seed("x", 1.0, "m")]), base=api.constants)
    assert str(raised.value) == "invalid JSON schema in `<string>`"
    assert raised.value.__notes__ == ["a version 2 catalogue cannot be built over a version 1 base, whose units are "
                                      "free text"]


def test_derive_and_derived_in_other_units(api):
    lab = api.loads(text(LAB))
    assert math.isclose(lab.derive("E", units="MeV"), 0.51099895069, rel_tol=1e-12)
    assert math.isclose(lab.derive("m", "kg"), UREG.Quantity(0.51099895069, "MeV/c^2").to("kg").magnitude,
                        rel_tol=1e-12)
    converted = lab.derived("E_MeV", units="keV")
    assert converted.units == "keV" and converted.status == "Cached"
    assert math.isclose(converted.value, 510.99895069, rel_tol=1e-12)
    assert math.isclose(converted.uncertainty, 1.6e-7, rel_tol=1e-9)
    held = lab.derived("r", units="Å")
    assert (held.value, held.units, held.status) == (25.0, "Å", "Seed") and math.isclose(held.uncertainty, 0.1)
    assert lab.derive("E", None) == lab.derive("E")
    with pytest.raises(api.DerivationError) as raised:
        lab.derive("E", units="kg")
    assert str(raised.value) == "cannot express `E` in `kg`: its units `J` are kg m^2 s^-2, `kg` is kg"
    with pytest.raises(api.UnitError, match="^invalid units `furlong`"):
        lab.derived("E", units="furlong")
    with pytest.raises(TypeError, match="^units must be a str, not int$"):
        lab.derive("E", units=3)
    # A version 1 entry converts when its text reads as units, and says why when it does not.
    assert api.constants.derive("m_tau_mev", "GeV") == api.constants.derive("m_tau_mev") / 1000
    with pytest.raises(api.DerivationError) as raised:
        api.constants.derive("b3", "1")
    assert str(raised.value) == ("cannot express `b3` in `1`: invalid units `dimensionless`: unknown unit "
                                 "`dimensionless` at offset 0")


# What Catalogue() refuses first, with a version: (arguments, the error type, its message).
RECORD_ORDER = [
    (dict(entries=[1], source=3, version=3), TypeError, "source must be a str, not int"),
    (dict(entries=[1], base=3, version=3), TypeError, "base must be a Catalogue, not int"),
    (dict(entries=[1], version=3), ValueError, "version must be 1 or 2, not 3"),
    (dict(entries=[1], version=None), ValueError, "version must be 1 or 2, not None"),
    (dict(entries=[1], base="constants", version=2), "CatalogueError",
     "a version 2 catalogue cannot be built over a version 1 base, whose units are free text"),
    (dict(entries=[1], base="constants", version=1), "CatalogueError", "entry 0: must be a Constant, not a number"),
]


@pytest.mark.parametrize("arguments, error, words", RECORD_ORDER)
def test_records_check_the_version_after_source_and_base_and_the_base_before_entries(api, arguments, error, words):
    arguments = dict(arguments)
    if arguments.get("base") == "constants":
        arguments["base"] = api.constants
    entries = arguments.pop("entries")
    with pytest.raises(api.CatalogueError if error == "CatalogueError" else error) as raised:
        api.Catalogue(iter(entries), **arguments)
    assert words in [str(raised.value), *getattr(raised.value, "__notes__", [])]


def test_a_version_2_base_lends_its_units(api):
    base = api.loads(text(LAB))
    over = api.loads(text([formula("E_keV", "keV", "m * c0 ** 2"), seed("t", 2.0, "fs"),
                           formula("d", "pm", "c0 * t")]), base=base)
    assert over.version == 2 and over.dimension("m") == "kg"
    assert math.isclose(over.derive("E_keV"), 510.99895069, rel_tol=1e-12)
    assert math.isclose(over.derive("d"), 299792458.0 * 2e-15 / 1e-12, rel_tol=1e-12)
    with pytest.raises(api.CatalogueError) as raised:
        api.loads(text([formula("bad", "s", "m * c0")]), base=base)
    assert raised.value.__notes__ == ["entry 0 (`bad`): the expression gives kg m s^-1, its units `s` are s"]
    # Over a version 2 base, a version 2 catalogue reads the base as a version 1 catalogue over it cannot.
    loose = api.loads(text([formula("twice", "furlong", "m * 2")], version=1), base=base)
    with pytest.raises(api.CatalogueError, match="^invalid JSON schema"):
        api.loads(text([]), base=loose)


def test_values_in_units_the_grammar_scales(api):
    # Prefixes and decimal units move the exponent alone: these conversions are exact.
    cat = api.loads(text([seed("g", 1500.0, "mg", 3.0), formula("kg", "kg", "g"), formula("ug", "µg", "g * 1"),
                          seed("p", 2.0, "bar"), formula("pa", "hPa", "p")]))
    assert (cat.derive("kg"), cat.derive("ug"), cat.derive("pa")) == (1.5e-3, 1.5e6, 2000.0)
    assert cat.derived("kg").uncertainty == 3e-6
    (source, share), = cat.budget("ug")  # the derivative 1e-6 / 1e-9 takes two roundings
    assert source == "g" and math.isclose(share, 3000.0, rel_tol=1e-15)
    assert cat.derive("g", "kg") == 1.5e-3
    assert cat.derived("g", "g") == api.Constant("g", 1.5, "g", 3e-3, "Seed", None, ())


def test_a_value_and_its_errors_come_before_the_units(api):
    cat = api.loads(text([seed("z", 0.0, "m"), formula("f", "1/m", "1 / z")]))
    for units in ("m^-1", "furlong", 3):
        for call in (cat.derive, cat.derived):
            with pytest.raises(api.DerivationError, match=r"^division by zero in the expression of `f`$"):
                call("f", units)
    with pytest.raises(KeyError):
        cat.derive("nothing", units=3)


DIMENSIONS = [
    # units, its dimension text or the UnitError's words
    ("", "1"), ("1", "1"), ("%", "1"), ("MeV/c^2", "kg"), ("ohm", "kg m^2 s^-3 A^-2"), ("Hz^(1/2)", "s^(-1/2)"),
    ("mol/L", "m^-3 mol"), ("cd sr", "cd"),
    ("furlong", "invalid units `furlong`: unknown unit `furlong` at offset 0"),
    ("m^(1/0)", "invalid units `m^(1/0)`: exponent denominator must be positive at offset 5"),
]


@pytest.mark.parametrize("units, dimension", DIMENSIONS)
def test_the_dimension_of_an_entry_in_either_version(api, units, dimension):
    for version in (1, 2):
        if version == 2 and dimension.startswith("invalid units"):
            continue
        cat = api.loads(text([seed("x", 1.0, units)], version=version))
        if dimension.startswith("invalid units"):
            with pytest.raises(api.UnitError) as raised:
                cat.dimension("x")
            assert str(raised.value) == dimension
        else:
            assert cat.dimension("x") == dimension == api.parse_units(units).dimension


DECLARED = {"furlong": "201.168 m", "fortnight": "14 d", "count": None, "rate": "count/s", "dozen": "12 count"}


def test_declared_units_convert_and_make_dimensions_of_their_own(api):
    lab = api.loads(text([seed("track", 8.0, "furlong", 0.5), seed("hits", 120.0, "count"),
                          formula("speed", "furlong/fortnight", "track / (2 * t)"), seed("t", 1.0, "fortnight"),
                          formula("hit_rate", "rate", "hits / t"), formula("boxes", "dozen", "hits")],
                         units=DECLARED))
    assert math.isclose(lab.derive("track", "m"), 8 * 201.168, rel_tol=1e-15)
    assert math.isclose(lab.derive("speed", "m/s"), 4 * 201.168 / (14 * 86400), rel_tol=1e-12)
    assert lab.dimension("hit_rate") == "s^-1 count" and lab.dimension("boxes") == "count"
    assert math.isclose(lab.derive("hit_rate", "count/min"), 120 / 14 / 1440, rel_tol=1e-12)
    assert lab.derive("boxes") == 10.0
    with pytest.raises(api.DerivationError) as raised:
        lab.derive("hits", "m")
    assert str(raised.value) == "cannot express `hits` in `m`: its units `count` are count, `m` is m"
    # The declarations are written back, and a catalogue built over this one may use them.
    again = api.loads(lab.dumps())
    assert again == lab and again.derive("speed") == lab.derive("speed")
    over = api.loads(text([formula("half", "furlong", "track / 2")]), base=lab)
    assert over.derive("half") == 4.0 and over.derive("track", "furlong") == 8.0
    records = api.Catalogue(lab.values(), version=2, units=DECLARED)
    assert records == lab and api.loads(records.dumps()) == lab


DECLARATION_ERRORS = [
    # the top-level units object, the version, str() and note of the CatalogueError
    ({"m": "100 cm"}, 2, "invalid units in `<string>`", "unit `m`: the name is a unit already"),
    ({"ms": None}, 2, "invalid units in `<string>`", "unit `ms`: the name is a unit already"),
    ({"x y": None}, 2, "invalid units in `<string>`", "unit `x y`: a name is a letter or `_`, then letters, digits "
     "or `_`"),
    ({"rod": "5.0292 metre"}, 2, "invalid units in `<string>`", "unit `rod`: invalid units ` metre`: unknown unit "
     "`metre` at offset 1"),
    ({"nope": "-3 m"}, 2, "invalid units in `<string>`", "unit `nope`: invalid units `-3 m`: unknown unit `-3` at "
     "offset 0"),
    ({"big": "1e999 m"}, 2, "invalid units in `<string>`", "unit `big`: `1e999` is no positive number a double "
     "holds"),
    ({"zero": "0 m"}, 2, "invalid units in `<string>`", "unit `zero`: `0` is no positive number a double holds"),
    ({"huge": "1e300 c^2"}, 2, "invalid units in `<string>`", "unit `huge`: scale beyond a double"),
    ({f"b{i}": None for i in range(10)}, 2, "invalid units in `<string>`", "unit `b9`: more than 9 new base "
     "dimensions"),
    ({"pole": 5}, 2, "invalid JSON schema in `<string>`", "unit `pole` must be a units text or null, not a number"),
    ({"count": None}, 1, "invalid JSON schema in `<string>`", "top-level field `units` needs version 2"),
    ([], 2, "invalid JSON schema in `<string>`", "`units` must be an object, not an array"),
    (None, 2, "invalid JSON schema in `<string>`", "`units` must be an object, not null"),
    ({"Mm": None}, 2, "invalid units in `<string>`", "unit `Mm`: the name is a unit already"),
    ({"count": None, "kilocount": "1e3 kcount"}, 2, "invalid units in `<string>`", "unit `kilocount`: invalid units "
     "` kcount`: unknown unit `kcount` at offset 1"),
    ({"dozen": "12 count", "count": None}, 2, "invalid units in `<string>`", "unit `dozen`: invalid units ` count`: "
     "unknown unit `count` at offset 1"),
    ({"tiny": "1e-400 m"}, 2, "invalid units in `<string>`", "unit `tiny`: `1e-400` is no positive number a double "
     "holds"),
    # A declared scale that underflows to 0 or overflows is refused where it is declared.
    ({"z": "5e-324 c^-1", "zz": "m/z"}, 2, "invalid units in `<string>`", "unit `z`: scale beyond a double"),
    ({"w": "1e-300 fm^2"}, 2, "invalid units in `<string>`", "unit `w`: scale beyond a double"),
    ({"v": "fm^20 pm^5"}, 2, "invalid units in `<string>`", "unit `v`: invalid units `fm^20 pm^5`: scale beyond a "
     "double at offset 10"),
]


@pytest.mark.parametrize("units, version, message, note", DECLARATION_ERRORS)
def test_declarations_refused(api, units, version, message, note):
    with pytest.raises(api.CatalogueError) as raised:
        api.loads(text([seed("x", 1.0, "")], version=version, units=units))
    assert str(raised.value) == message and raised.value.__notes__ == [note]


def test_exponents_past_1000_on_the_way_are_refused(api):
    # A product of two roots whose exponent no units text can name is refused, even if it comes back.
    for expression in ("a * b / b", "sqrt(sqrt(sqrt(sqrt(sqrt(sqrt(sqrt(sqrt(sqrt(sqrt(a)))))))))) ** 1024"):
        with pytest.raises(api.CatalogueError) as raised:
            api.loads(text([seed("a", 2.0, "m^(1/999)"), seed("b", 3.0, "m^(1/997)"),
                            formula("f", "m^(1/999)", expression)]))
        assert raised.value.__notes__ == ["entry 2 (`f`): the expression gives an exponent beyond 1000"]
    cat = api.loads(text([seed("a", 2.0, "m^(1/999)"), formula("g", "m^(1/999)", "sqrt(a * a)")]))
    assert cat.derive("g") == 2.0 and cat.dimension("g") == "m^(1/999)"


def test_a_version_1_catalogue_over_declared_units_converts_with_them(api):
    lab = api.loads(text([seed("hits", 3.0, "count")], units={"count": None, "furlong": "201.168 m"}))
    over = api.loads(text([seed("x", 2.0, "count"), seed("d", 1.0, "furlong")], version=1), base=lab)
    assert (over.dimension("hits"), over.dimension("x"), over.derive("d", "m")) == ("count", "count", 201.168)
    # One text cannot hold both: its formulas would read units as text, or the base's would not convert.
    with pytest.raises(ValueError, match="version 1 catalogue over a version 2 base is no one text"):
        over.dumps()
    mine = over.dumps(base=False)
    assert '"units": {' not in mine and api.loads(mine, base=lab) == over and api.loads(mine, base=lab).version == 1

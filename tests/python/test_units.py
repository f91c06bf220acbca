"""Units texts: their scale and dimension against pint (and astropy where it reads them), conversions,
and the errors of a text that means no units. Every test runs against both twins."""

import json
import math
from fractions import Fraction
from importlib import resources

import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import ostrelin
from ostrelin import _units

pint = pytest.importorskip("pint")
UREG = pint.UnitRegistry()
PINT_DIMENSIONS = {
    "[mass]": "kg", "[length]": "m", "[time]": "s", "[current]": "A", "[temperature]": "K",
    "[substance]": "mol", "[luminosity]": "cd",
}  # fmt: skip

CODATA_UNITS = sorted(
    {
        entry["units"]
        for entry in json.loads(resources.files(ostrelin).joinpath("data/codata-2022.json").read_text("utf-8"))[
            "constants"
        ]
    }
)


def exponents(dimension_text):
    """{'kg': Fraction(1), ...} from a dimension text such as 'kg m^2 s^(-1/2)'."""
    found = {}
    if dimension_text == "1":
        return found
    for part in dimension_text.split(" "):
        symbol, _, power = part.partition("^")
        found[symbol] = Fraction(power.strip("()")) if power else Fraction(1)
    return found


def pint_units(text):
    """(scale, exponents) of `text` as pint reads it."""
    quantity = UREG.Quantity(1.0, text).to_base_units()
    dimension = {
        PINT_DIMENSIONS[name]: Fraction(power).limit_denominator(1000)
        for name, power in quantity.dimensionality.items()
        if power != 0
    }
    return quantity.magnitude, dimension


def assert_agrees_with_pint(api, text):
    units = api.parse_units(text)
    scale, dimension = pint_units(text)
    assert exponents(units.dimension) == dimension, text
    assert math.isclose(units.scale, scale, rel_tol=1e-12), (text, units.scale, scale)


def test_every_codata_units_text_is_pints(api):
    assert len(CODATA_UNITS) == 76
    for text in CODATA_UNITS:
        assert_agrees_with_pint(api, text)


def test_codata_units_agree_with_astropy_where_it_reads_them(api):
    astropy_units = pytest.importorskip("astropy.units")
    read = 0
    for text in CODATA_UNITS:
        try:
            theirs = astropy_units.Unit(text.replace("ohm", "Ohm"), format="generic").decompose()
        except ValueError:
            continue
        read += 1
        ours = api.parse_units(text)
        assert math.isclose(ours.scale, theirs.scale, rel_tol=1e-12), text
        # astropy keeps the radian as a unit of its own, where SI has it dimensionless.
        decomposed = {
            str(b): Fraction(p).limit_denominator(1000) for b, p in zip(theirs.bases, theirs.powers) if str(b) != "rad"
        }
        assert exponents(ours.dimension) == decomposed, text
    assert read >= 70


# Symbols pint spells as we do; a prefix is drawn only for a unit that takes one. Left out: `%`,
# which pint's parser reads as an operator inside a product; the ohm and angstrom signs and a
# prefixed Ω, which pint lacks; what pint reads more than one way (`hbar` is ħ or hectobar, `mcd`
# millicandela or microday: the grammar reads the first of each); and powers of 0, which pint
# refuses.
PLAIN = [s for s in _units.SYMBOLS if s not in ("%", "\u2126", "\u212b")]
PREFIXABLE = [s for s, (_, _, _, prefixed) in _units.SYMBOLS.items() if prefixed and s in PLAIN and s != "\u03a9"]
token = st.one_of(
    st.sampled_from(PLAIN),
    st.builds(lambda p, s: p + s, st.sampled_from(list(_units.PREFIXES)), st.sampled_from(PREFIXABLE)).filter(
        lambda t: len(UREG.parse_unit_name(t)) == 1
    ),
)
factor = st.builds(
    lambda t, power: t if power is None else f"{t}^{power}",
    token,
    st.one_of(st.none(), st.integers(-4, 4).filter(bool).map(str), st.sampled_from(["(1/2)", "(-3/2)", "(2/3)"])),
)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.tuples(st.sampled_from([" ", "*", "/", " / "]), factor), min_size=0, max_size=4), factor)
def test_random_products_agree_with_pint(api, rest, first):
    text = first + "".join(op + f for op, f in rest)
    try:
        scale, _ = pint_units(text)
    except OverflowError:  # pint multiplies out the powers of ten, which a double may not hold
        assume(False)
    if not 1e-300 < scale < 1e300:
        # Past a double's normal range the grammar refuses what pint reads as a subnormal or infinity.
        with pytest.raises(api.UnitError, match="scale beyond a double"):
            api.parse_units(text)
        return
    assert_agrees_with_pint(api, text)


CONVERSIONS = [
    # value, from, to
    (1.0, "MeV/c^2", "kg"),
    (0.51099895069, "MeV", "J"),
    (1.0, "E_h", "eV"),
    (656.279, "nm", "Å"),
    (1.0, "u", "MeV/c^2"),
    (2.5, "bar", "kPa"),
    (1.0, "d", "min"),
    (3.0, "mL", "m^3"),
    (197.3269804, "MeV fm", "J m"),
    (7.0, "µs", "ns"),
    (7.0, "us", "ms"),
    (1.0, "Hz^(1/2)", "s^(-1/2)"),
    (5.0, "%", "ppm"),
    (1.0, "kWb", "T m^2"),
]


@pytest.mark.parametrize("value, source, target", CONVERSIONS)
def test_conversions_agree_with_pint(api, value, source, target):
    expected = UREG.Quantity(value, source).to(target).magnitude
    assert math.isclose(api.convert(value, source, target), expected, rel_tol=1e-12)


def test_units_far_apart_convert_or_say_why(api):
    # Mantissas too far apart to divide are brought near 1 first; the exact factor is (c s/m)^72 10^-600.
    exact = Fraction(299792458) ** 72 / Fraction(10) ** 600
    got = api.convert(1.0, "c^36 s^36 m^-36 qm^10", "c^-36 s^-36 m^36 Qm^10")
    assert math.isclose(got, float(exact), rel_tol=1e-12)
    with pytest.raises(api.UnitError) as raised:
        api.convert(1.0, "Qm^10", "qm^10")
    assert str(raised.value) == "cannot convert `Qm^10` to `qm^10`: the factor between them is beyond a double"
    # A step whose scale leaves the normal doubles would lose digits: refused where it is.
    with pytest.raises(api.UnitError, match=r"^invalid units `c\^-37 Qm\^14`: scale beyond a double at offset 5$"):
        api.parse_units("c^-37 Qm^14")
    # Both texts are checked to be str before either is read, then each is read in turn.
    for args, raised_type in [((1.0, "\ud800", 5), TypeError), ((1.0, "m^", "\ud800"), api.UnitError),
                              ((1.0, "\ud800", "m"), UnicodeEncodeError)]:
        with pytest.raises(raised_type):
            api.convert(*args)


def test_decimal_units_convert_as_their_literals_read(api):
    # Prefixes move a power of ten, so a change of prefix is the literal's own double.
    for value, source, target, expected in [
        (1.0, "mg", "g", 1e-3), (1.0, "g", "kg", 1e-3), (1.0, "km", "mm", 1e6), (3.0, "nm", "Å", 30.0),
        (1.0, "hPa", "bar", 1e-3), (1.0, "GeV", "MeV", 1e3), (1.0, "J", "J", 1.0),
    ]:  # fmt: skip
        assert api.convert(value, source, target) == expected, (source, target)


ERRORS = [
    # text, str() of the UnitError
    ("furlong", "invalid units `furlong`: unknown unit `furlong` at offset 0"),
    ("kg m furlong^2", "invalid units `kg m furlong^2`: unknown unit `furlong` at offset 5"),
    ("Eh", "invalid units `Eh`: unknown unit `Eh` at offset 0"),
    ("MkHz", "invalid units `MkHz`: unknown unit `MkHz` at offset 0"),
    ("km2", "invalid units `km2`: unknown unit `km2` at offset 0"),
    ("ÅÅ m^", "invalid units `ÅÅ m^`: unknown unit `ÅÅ` at offset 0"),
    ("Å m^", "invalid units `Å m^`: expected an exponent at offset 4"),
    ("°C", "invalid units `°C`: `°C` is a temperature on a shifted scale, which no factor converts (use K) at offset 0"),
    ("J degC^-1", "invalid units `J degC^-1`: `degC` is a temperature on a shifted scale, which no factor converts "
     "(use K) at offset 2"),
    ("m**2", "invalid units `m**2`: expected a unit at offset 2"),
    ("m/", "invalid units `m/`: expected a unit at offset 2"),
    ("(m s", "invalid units `(m s`: expected `)` at offset 4"),
    ("m s)", "invalid units `m s)`: unbalanced `)` at offset 3"),
    ("m(s)", "invalid units `m(s)`: expected `*`, `/` or a space at offset 1"),
    ("m^2s", "invalid units `m^2s`: expected `*`, `/` or a space at offset 3"),
    ("m^(1/0)", "invalid units `m^(1/0)`: exponent denominator must be positive at offset 5"),
    ("m^(1/2", "invalid units `m^(1/2`: expected `)` at offset 6"),
    ("m^1001", "invalid units `m^1001`: exponent beyond 1000 at offset 2"),
    ("(m^1000)^2", "invalid units `(m^1000)^2`: exponent beyond 1000 at offset 10"),
    ("m^1000 m", "invalid units `m^1000 m`: exponent beyond 1000 at offset 8"),
    ("c^1000", "invalid units `c^1000`: scale beyond a double at offset 6"),
    ("qm^-400", "invalid units `qm^-400`: scale beyond a double at offset 7"),
    ("fm^20 pm^5", "invalid units `fm^20 pm^5`: scale beyond a double at offset 10"),
    ("eV^1000", "invalid units `eV^1000`: exponent beyond 1000 at offset 7"),
    ("m^-600 m^-600", "invalid units `m^-600 m^-600`: exponent beyond 1000 at offset 13"),
    ("(" * 17 + "m" + ")" * 17, "invalid units `" + "(" * 17 + "m" + ")" * 17 + "`: parentheses nested deeper than 16 "
     "at offset 16"),
]


@pytest.mark.parametrize("text, message", ERRORS)
def test_texts_that_mean_no_units(api, text, message):
    with pytest.raises(api.UnitError) as raised:
        api.parse_units(text)
    assert str(raised.value) == message
    assert isinstance(raised.value, ValueError)
    with pytest.raises(api.UnitError, match="^invalid units"):
        api.convert(1.0, "m", text)


def test_conversions_refused(api):
    for source, target, message in [
        ("MeV", "kg", "cannot convert `MeV` (kg m^2 s^-2) to `kg` (kg)"),
        ("Hz^(1/2)", "s", "cannot convert `Hz^(1/2)` (s^(-1/2)) to `s` (s)"),
        ("", "m", "cannot convert `` (1) to `m` (m)"),
    ]:
        with pytest.raises(api.UnitError) as raised:
            api.convert(1.0, source, target)
        assert str(raised.value) == message
    with pytest.raises(TypeError, match="^to_units must be a str, not int$"):
        api.convert(1.0, "m", 3)
    with pytest.raises(TypeError, match="^units must be a str, not bytes$"):
        api.parse_units(b"m")
    with pytest.raises(UnicodeEncodeError):
        api.parse_units("m\udc80")


def test_units_are_read_as_written(api):
    # One precedence, left to right: a / b * c is a c / b.
    assert api.parse_units("J / s * m") == api.parse_units("J m / s")
    assert api.parse_units("kg m s^-1") == api.parse_units("kg*m/s") == api.parse_units("kg  *  m / s")
    assert api.parse_units("") == api.parse_units("1") == api.parse_units("  ") == ostrelin.Units(1.0, "1")
    assert api.parse_units("1/s").dimension == "s^-1"
    assert api.parse_units("rad sr").dimension == "1"
    assert api.parse_units("ohm") == api.parse_units("Ω") == api.parse_units("\u2126")
    assert api.parse_units("µm") == api.parse_units("μm") == api.parse_units("um")
    assert api.parse_units("u") == api.parse_units("Da") != api.parse_units("us")
    assert api.parse_units("cd").dimension == "cd" and api.parse_units("min").scale == 60.0
    assert api.parse_units("dam").scale == 10.0 and api.parse_units("d").scale == 86400.0
    # numpy arrays and any number a float multiplies go through convert
    assert api.convert(2, "km", "m") == 2000.0


def outcome(api, call, *args):
    try:
        return ("ok", call(api)(*args))
    except Exception as exc:  # noqa: BLE001 - the outcome compared is any exception
        return (type(exc).__name__, str(exc))


# Texts built from the grammar's own pieces, valid or not, so that most reach deep into the parser.
pieces = st.sampled_from([*_units.SYMBOLS, *_units.PREFIXES, "1", "2", "-", "/", "*", " ", "^", "(", ")", "°C", "x"])


@settings(max_examples=500, deadline=None)
@given(st.lists(pieces, max_size=10).map("".join), st.lists(pieces, max_size=6).map("".join))
def test_the_twins_read_every_text_alike(text, other):
    from conftest import python_package  # noqa: PLC0415 - the pure package is made on first need

    pure = python_package()
    if ostrelin.implementation != "native":
        pytest.skip("needs the native twin")
    assert outcome(ostrelin, lambda a: a.parse_units, text) == outcome(pure, lambda a: a.parse_units, text)
    assert outcome(ostrelin, lambda a: a.convert, 1.5, text, other) == outcome(pure, lambda a: a.convert, 1.5, text, other)

"""Catalogue texts that must fail, each with what it must raise: one table for the API tests and the
differential test. The expected texts are those of the README's table of errors at load."""

import json

SCHEMA = "invalid JSON schema in `<string>`"
UNITS = "invalid units in `<string>`"


def doc(*entries, **top):
    """A catalogue file text holding `entries`; keyword arguments replace or add top-level fields."""
    fields = {"format": "ostrelin-catalogue", "version": 1, "constants": list(entries), **top}
    return json.dumps({k: v for k, v in fields.items() if v is not ...})


def seed(name, value=1.0, **fields):
    return {"name": name, "units": "m", "value": value, **fields}


def formula(name, expression, **fields):
    return {"name": name, "units": "m", "expression": expression, **fields}


def members(*pairs):
    """An object text with repeated keys, which json.dumps cannot write."""
    return "{" + ", ".join(f"{json.dumps(k)}: {v}" for k, v in pairs) + "}"


TOP = '"format": "ostrelin-catalogue", "version": 1'
SYNTAX = "<a text that is not JSON: each reader says where and how in its own words>"

# (label, text, str(), note) for CatalogueError; note SYNTAX asks for one note, whatever it says.
CASES = [
    ("not UTF-8", b"\xff{}", SCHEMA, "line 1, column 1: invalid UTF-8"),
    ("truncated UTF-8", b'{"a":\n "\xc3\xa9\xe2\x82"}', SCHEMA, "line 2, column 4: invalid UTF-8"),
    ("UTF-8 before syntax", b'{\xe0\x80\x80', SCHEMA, "line 1, column 2: invalid UTF-8"),
    ("a million brackets", "[" * 10**6, SCHEMA, "line 1, column 65: nesting deeper than 64 levels"),
    ("deep inside", '{"a":\n' + "[" * 80 + "]" * 80 + "}", SCHEMA, "line 2, column 64: nesting deeper than 64 levels"),
    ("deep beats shape", doc(seed("a", units=1), x=[[[[[[[[[]]]]]]]]]).replace(
        "[[[[[[[[[", "[" * 70).replace("]]]]]]]]]", "]" * 70), SCHEMA, "line 1, column 172: nesting deeper than 64 levels"),
    ("half a surrogate", '{"a": "x\\ud800"}', SCHEMA, "line 1, column 9: a \\u escape names half a surrogate pair"),
    ("half a surrogate in a string cut short", '"\\ud84dpd', SCHEMA,
     "line 1, column 2: a \\u escape names half a surrogate pair"),
    ("half a surrogate before a syntax error", '{"a": "\\udc00", }', SCHEMA,
     "line 1, column 8: a \\u escape names half a surrogate pair"),
    ("brackets in a string cut short", '{"a": "' + "[" * 70, SCHEMA, SYNTAX),
    ("syntax before deep nesting", "{," + "[" * 70, SCHEMA, SYNTAX),
    ("syntax before half a surrogate", '[1 "\\udc00"]', SCHEMA, SYNTAX),
    ("two byte-order marks", "\ufeff\ufeff" + doc(), SCHEMA, SYNTAX),
    ("unclosed", '{"format": ', SCHEMA, SYNTAX),
    ("NaN", f'{{{TOP}, "constants": [{{"name": "a", "units": "", "value": NaN}}]}}', SCHEMA, SYNTAX),
    ("trailing comma", f'{{{TOP}, "constants": [],}}', SCHEMA, SYNTAX),
    ("empty", "", SCHEMA, SYNTAX),
    ("top level an array", "[]", SCHEMA, "the top level must be an object, not an array"),
    ("no constants", doc(constants=...), SCHEMA, "missing top-level field `constants`"),
    ("no format", doc(format=...), SCHEMA, "missing top-level field `format`"),
    ("other format", doc(format="json"), SCHEMA, '`format` must be "ostrelin-catalogue"'),
    ("version 3", doc(version=3), SCHEMA, "`version` must be 1 or 2"),
    ("version 0", doc(version=0), SCHEMA, "`version` must be 1 or 2"),
    ("version 1.5", doc(version=1.5), SCHEMA, "`version` must be 1 or 2"),
    ("version true", doc(version=True), SCHEMA, "`version` must be 1 or 2"),
    ("version a string", doc(version="2"), SCHEMA, "`version` must be 1 or 2"),
    ("unknown top field", doc(extra=1), SCHEMA, "unknown top-level field `extra`"),
    ("repeated top field", members(("format", '"ostrelin-catalogue"'), ("version", 1), ("version", 1)), SCHEMA,
     "top-level field `version` is repeated"),
    ("constants an object", doc(constants={}), SCHEMA, "`constants` must be an array, not an object"),
    ("description a number", doc(description=3), SCHEMA, "`description` must be a string, not a number"),
    ("entry a number", doc(1), SCHEMA, "entry 0: must be an object, not a number"),
    ("no name", doc({"units": "m", "value": 1}), SCHEMA, "entry 0: missing field `name`"),
    ("no units", doc({"name": "a", "value": 1}), SCHEMA, "entry 0 (`a`): missing field `units`"),
    ("empty name", doc(seed("")), SCHEMA, "entry 0: `name` must not be empty"),
    ("name a number", doc(seed(7)), SCHEMA, "entry 0: `name` must be a string, not a number"),
    ("unknown field", doc(seed("a"), seed("b", valeu=2)), SCHEMA, "entry 1 (`b`): unknown field `valeu`"),
    ("repeated field", doc().replace("[]", "[" + members(("name", '"a"'), ("units", '""'), ("value", 1),
                                                         ("value", 2)) + "]"),
     SCHEMA, "entry 0 (`a`): field `value` is repeated"),
    ("value a string", doc(seed("a", "1.5")), SCHEMA, "entry 0 (`a`): `value` must be a number, not a string"),
    ("value a boolean", doc(seed("a", True)), SCHEMA, "entry 0 (`a`): `value` must be a number, not a boolean"),
    ("value too large", doc(seed("a", 1.0)).replace("1.0", "1e400"), SCHEMA,
     "entry 0 (`a`): `value` is too large for a double"),
    ("huge integer", doc(seed("a", 1.0)).replace("1.0", "9" * 400), SCHEMA,
     "entry 0 (`a`): `value` is too large for a double"),
    ("negative uncertainty", doc(seed("a", uncertainty=-1)), SCHEMA,
     "entry 0 (`a`): `uncertainty` must not be negative"),
    ("uncertainty a string", doc(seed("a", uncertainty="1")), SCHEMA,
     "entry 0 (`a`): `uncertainty` must be a number or null, not a string"),
    ("unknown status", doc(seed("a", status="Fixed")), SCHEMA,
     "entry 0 (`a`): `status` must be Seed, Cached, Pending or External, not `Fixed`"),
    ("seed with expression", doc(seed("a"), seed("b", status="Seed", expression="a")), SCHEMA,
     "entry 1 (`b`): a `Seed` entry takes no `expression`"),
    ("pending with value", doc(seed("a"), seed("b", expression="a")), SCHEMA,
     "entry 1 (`b`): a `Pending` entry takes no `value`"),
    ("cached without value", doc(seed("a"), formula("b", "a", status="Cached")), SCHEMA,
     "entry 1 (`b`): missing field `value`"),
    ("external without value", doc({"name": "a", "units": "m", "status": "External"}), SCHEMA,
     "entry 0 (`a`): missing field `value`"),
    ("seed with dependencies", doc(seed("a"), seed("b", dependencies=["a"])), SCHEMA,
     "entry 1 (`b`): a `Seed` entry takes no `dependencies`"),
    ("dependencies a string", doc(seed("a"), formula("b", "a", dependencies="a")), SCHEMA,
     "entry 1 (`b`): `dependencies` must be an array of strings, not a string"),
    ("dependency a number", doc(seed("a"), formula("b", "a", dependencies=["a", 2])), SCHEMA,
     "entry 1 (`b`): item 1 of `dependencies` must be a string, not a number"),
    ("duplicate name", doc(seed("x"), seed("mu"), seed("y"), seed("mu", 2.0)), SCHEMA,
     "entry 3 (`mu`): duplicate name, first at entry 1"),
    ("duplicate before a bad shape", doc(seed("a"), seed("a"), seed("b", units=3)), SCHEMA,
     "entry 1 (`a`): duplicate name, first at entry 0"),
    ("bad formula before a bad shape", doc(formula("f", "1 +"), seed("b", units=3)),
     "expression parse error in `f`: expected a number, a name or `(` but found the end", None),
    ("unparsable", doc(seed("a"), formula("f", "a * (2 + a")),
     "expression parse error in `f`: expected `)` but found the end", None),
    ("not a dependency", doc(seed("a"), seed("b"), formula("f", "a + b", dependencies=["a"])),
     "expression parse error in `f`: `b` at offset 4 is not a dependency of `f`", None),
    ("listed twice", doc(seed("a"), formula("f", "a", dependencies=["a", "a"])),
     "expression parse error in `f`: dependency `a` is listed twice", None),
    ("listed unused", doc(seed("a"), formula("f", "2 * a", dependencies=["a", "b"])),
     "expression parse error in `f`: dependency `b` is not used by the expression", None),
    ("not in the catalogue", doc(seed("a"), formula("f", "a * µ0 + g"), formula("g", "h")),
     "expression parse error in `f`: `µ0` at offset 4 is not in the catalogue", None),
    ("too deeply nested", doc(formula("f", "(" * 257 + "1" + ")" * 257)),
     "expression parse error in `f`: nesting deeper than 256 levels at offset 256", None),
    ("a cycle", doc(seed("a"), formula("h", "f + a"), formula("f", "g * 2"), formula("g", "a + f")),
     "cyclic derivation involving `f`", "f -> g -> f"),
    ("depends on itself", doc(formula("f", "f + 1")), "cyclic derivation involving `f`", "f -> f"),
    ("shortest way back", doc(formula("a", "b + c"), formula("b", "c"), formula("c", "a")),
     "cyclic derivation involving `a`", "a -> c -> a"),
    # Version 2: units are read once every other check has passed, then each formula's dimension.
    ("unknown unit", doc(seed("a"), seed("b", units="furlong"), version=2), UNITS,
     "entry 1 (`b`): invalid units `furlong`: unknown unit `furlong` at offset 0"),
    ("a formula's units", doc(seed("a"), formula("f", "a", units="m^"), version=2), UNITS,
     "entry 1 (`f`): invalid units `m^`: expected an exponent at offset 2"),
    ("a shifted temperature", doc(seed("T", units="°C"), version=2), UNITS,
     "entry 0 (`T`): invalid units `°C`: `°C` is a temperature on a shifted scale, which no factor converts (use K) "
     "at offset 0"),
    ("units after shapes", doc(seed("a", units="furlong"), seed("b", units=3), version=2), SCHEMA,
     "entry 1 (`b`): `units` must be a string, not a number"),
    ("units after formulas", doc(seed("a", units="furlong"), formula("f", "a +"), version=2),
     "expression parse error in `f`: expected a number, a name or `(` but found the end", None),
    ("units after cycles", doc(seed("a", units="furlong"), formula("f", "f + a"), version=2),
     "cyclic derivation involving `f`", "f -> f"),
    ("every entry's units before any dimension", doc(formula("f", "a + t"), seed("a"), seed("t", units="s"),
                                                       seed("x", units="m s^"), version=2), UNITS,
     "entry 3 (`x`): invalid units `m s^`: expected an exponent at offset 4"),
    ("a sum of two dimensions", doc(seed("a"), seed("t", units="s"), formula("f", "a + t"), version=2),
     "dimension error in `f`", "entry 2 (`f`): `+` joins m and s"),
    ("the first formula in file order", doc(seed("a"), formula("g", "a * a"), formula("f", "log(a)", units=""),
                                           version=2),
     "dimension error in `g`", "entry 1 (`g`): the expression gives m^2, its units `m` are m"),
    ("a sum of units of one dimension", doc(seed("a", units="km"), seed("b", units="Å"),
                                            formula("f", "a - b", units="s"), version=2),
     "dimension error in `f`", "entry 2 (`f`): the expression gives m, its units `s` are s"),
    ("a power of a power", doc(seed("a"), formula("f", "a ** (2 ** 2)", units="m^4"), version=2),
     "dimension error in `f`", "entry 1 (`f`): `**` raises m to an exponent that is not a constant number"),
    ("an exponent of a sum", doc(seed("a"), formula("f", "a ** (1 - 1/3 - -1/3 * 2 / 1)", units="m"), version=2),
     "dimension error in `f`", "entry 1 (`f`): the expression gives m^(4/3), its units `m` are m"),
    ("division by a constant zero", doc(seed("a"), formula("f", "a ** (1 / 0)"), version=2),
     "dimension error in `f`", "entry 1 (`f`): `**` raises m to an exponent that is not a constant number"),
    ("an infinite exponent", doc(seed("a"), formula("f", "a ** (1e308 * 10)"), version=2),
     "dimension error in `f`",
     "entry 1 (`f`): `**` raises m to inf, which is no fraction with a denominator up to 1000"),
    ("a huge exponent", doc(seed("a"), formula("f", "a ** 1e300"), version=2),
     "dimension error in `f`", "entry 1 (`f`): `**` raises m to 1e+300, which gives an exponent beyond 1000"),
    ("exponents past 1000 by powers", doc(seed("a", units="m^(1/999)"), formula("f", "a ** (1/997)", units=""),
                                         version=2),
     "dimension error in `f`", "entry 1 (`f`): `**` raises m^(1/999) to 0.0010030090270812437, which gives an exponent "
     "beyond 1000"),
    # Exponents past 1000 are refused wherever they arise, as no units text can name them.
    ("a root past 1000", doc(seed("a", units="m^(1/999)"), formula("f", "sqrt(a)", units="m"), version=2),
     "dimension error in `f`", "entry 1 (`f`): the expression gives an exponent beyond 1000"),
    ("a quotient past 1000", doc(seed("a", units="m^(1/999)"), seed("b", units="m^(1/997)"),
                                 formula("f", "a / b", units="m"), version=2),
     "dimension error in `f`", "entry 2 (`f`): the expression gives an exponent beyond 1000"),
    ("a dimensionless function", doc(seed("a"), seed("b", units="km"), formula("f", "sqrt(a) * exp(a / b) * cos(b)",
                                                                                units="m^(1/2)"), version=2),
     "dimension error in `f`", "entry 2 (`f`): `cos` needs a dimensionless argument, not m"),
    ("a length and an area", doc(seed("a"), formula("f", "a * 2 + a ** 2", units="m"), version=2),
     "dimension error in `f`", "entry 1 (`f`): `+` joins m and m^2"),
]

# Texts that load: bytes, a byte-order mark, numbers past 64 bits, units of version 2, every field and status
# (last).
VALID = [
    doc(),
    "\ufeff" + doc(seed("a")),
    b"\xef\xbb\xbf" + doc(seed("a")).encode(),
    doc(seed("avogadro", 1.0)).replace("1.0", "602214076000000000000000"),
    doc(seed("tiny", 1.0)).replace("1.0", "-1e-400"),
    doc(seed("zero", 1.0)).replace("1.0", "-0"),
    doc(version=2.0),
    doc(seed("m", 0.51099895069, units="MeV/c^2", uncertainty=1.6e-10), seed("c0", 299792458.0, units="m/s"),
        seed("r", 2.5, units="nm", uncertainty=0.01), seed("n", 3.0, units=""), formula("E", "m * c0 ** 2", units="J"),
        formula("E_keV", "m * c0 ** 2", units="keV", status="Cached", value=511.0),
        formula("area", "pi * r ** 2", units="Å^2"),
        formula("root", "sqrt(r) + r ** 0.5 - r ** (1/2)", units="m^(1/2)"),
        formula("growth", "exp(n) * log10(n / 2) + n ** r ** 0", units="%"), formula("period", "r / c0", units="as"),
        formula("p", "m * c0 * (E / E_keV) ** (-1/2 * -2)", units="(GeV/c^2)^-1 kg GeV/c",
                dependencies=["E", "E_keV", "c0", "m"]),
        version=2, description="units"),
    doc(seed("a", 2.0, uncertainty=0.1, description="A thing"), seed("b", 3.0, uncertainty=None),
        seed("c", 5.0, status="External", uncertainty=0.0),
        formula("f", "a ** 2 / sqrt(b) - -c", description="F of a, b, c"),
        formula("g", "f * pi + a", status="Cached", value=1.5),
        formula("pi_user", "2 * pi"), seed("pi", 3.0),
        formula("h", "pi * a", dependencies=["pi", "a"]), formula("ε₀", "1 / (4 * f)"),
        description="every field"),
]

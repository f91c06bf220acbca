"""The differential test: the native catalogue and its pure-Python reference on the same inputs,
compared result for result, exception type, str() and notes. Only where a text is not JSON may a note
differ, and only when one of the two says where the text stops being JSON: each reader places and
words that its own way."""

import dataclasses
from importlib import resources

import numpy
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from catalogue_cases import CASES, SCHEMA, VALID, doc, formula, members, seed
from conftest import python_package
from twin_contract import is_not_json, notes_may_differ
from test_catalogue import RECORD_CASES

import ostrelin
from ostrelin._expression import FUNCTIONS
from ostrelin._units import PREFIXES, SYMBOLS

PURE = python_package()
# Problems of a text that both readers report at the same place in the same words, JSON or not.
def raised(exc):
    # Each package copy has its own classes: compare them by name.
    return ("raised", f"{type(exc).__module__}.{type(exc).__qualname__}", str(exc), getattr(exc, "__notes__", None))


def comparable(native, pure, data):
    """The two outcomes as they must be equal: whole, but for the notes of a text that is not JSON
    when either note says where the reader found it not JSON (it is then neither a problem both
    readers check the text for before its syntax nor, as the text has no value, a schema problem)."""
    if data is None or not is_not_json(data) or native[0] != "raised" or pure[0] != "raised":
        return native, pure
    notes = (native[3], pure[3])
    if not all(isinstance(n, list) and len(n) == 1 for n in notes):
        return native, pure  # each must give one note: compared whole, they differ unless both do alike
    if not notes_may_differ(data, notes):
        return native, pure
    return native[:3], pure[:3]


def attempt(call, *args):
    try:
        return ("ok", call(*args))
    except Exception as exc:  # noqa: BLE001 - the exception is the outcome
        return raised(exc)


# Units each value is asked in, besides its own dimension in SI base units; the last two name no units
# but where a catalogue declares them.
TARGETS = ["", "kg", "eV", "furlong", "count"]


class SameBits:
    """An array, equal to another of the same shape whose NaNs are in the same places and whose other elements
    have the same bits: both twins call libm's functions, in the same order."""

    def __init__(self, array):
        self.array = None if array is None else numpy.array(array, copy=True)

    def __eq__(self, other):
        a, b = self.array, other.array
        if a is None or b is None:
            return a is b
        if a.shape != b.shape or not numpy.array_equal(numpy.isnan(a), numpy.isnan(b)):
            return False
        return bool(numpy.array_equal(a[~numpy.isnan(a)].view(numpy.int64), b[~numpy.isnan(b)].view(numpy.int64)))

    def __repr__(self):
        return repr(self.array)


# Each seed's values over an evaluation: its own scaled, and zero (where formulas divide by it).
SCALES = numpy.array([1.0, 0.5, 2.0, -1.0, 0.0])


def evaluated(cat, name):
    """`name` over arrays of every seed it reaches, half of them with uncertainties (one of them zero), each
    element NaN where it cannot be computed; or what it raises."""
    reached, todo = [], [name]
    while todo:
        record = cat[todo.pop()]
        if record.expression is None and record.name not in reached:
            reached.append(record.name)
        todo.extend(record.dependencies)
    with numpy.errstate(over="ignore"):
        values = {seed: cat[seed].value * SCALES for seed in reached}
        spreads = {seed: abs(values[seed]) * 0.01 for seed in reached[::2]}
    result = cat.evaluate(name, values, uncertainties=spreads, errors="nan")
    return SameBits(result.value), SameBits(result.uncertainty)


def described(outcome):
    """An outcome in terms that compare across the twins, floats by their bits."""
    if outcome[0] != "ok":
        return outcome
    cat = outcome[1]
    names = cat.names()
    entries = [repr(dataclasses.astuple(cat[n])) for n in names]
    derived = [repr(attempt(call, n)) for call in (cat.derive, cat.derived, cat.budget) for n in names]
    dimensions = [attempt(cat.dimension, n) for n in names]
    in_units = [
        repr(attempt(call, n, units))
        for n, dimension in zip(names, dimensions)
        for units in TARGETS + ([dimension[1]] if dimension[0] == "ok" else [])
        for call in (cat.derive, cat.derived)
    ]
    by_symbol = [repr(attempt(lambda s: dataclasses.astuple(cat[s]), s)) for s in ("x", "y", "X", "z ")]
    # Covariances by their bits: every pair of the first few entries, then the whole matrix.
    few = names[:5]
    covariances = [repr(attempt(call, a, b)) for call in (cat.covariance, cat.correlation) for a in few for b in few]
    covariances.append(repr(attempt(cat.covariance_matrix, few)))
    written = [attempt(cat.dumps), attempt(lambda: cat.dumps(base=False))]  # version 1 over 2: no one text holds both
    over_arrays = [attempt(evaluated, cat, n) for n in few]
    return ("ok", names, entries, derived, dimensions, in_units, written, cat.version, cat.source, cat.description,
            cat.find("a"), len(cat), by_symbol, covariances, over_arrays)


def assert_twins_agree(make, data=None):
    """`make(package)` builds a catalogue with one package copy or the other, from `data` if given."""
    native, pure = comparable(described(attempt(make, ostrelin)), described(attempt(make, PURE)), data)
    assert native == pure


def test_the_twins_answer_every_table_input_alike():
    assert (ostrelin.implementation, PURE.implementation) == ("native", "python")
    for text in [case[1] for case in CASES] + VALID:
        assert_twins_agree(lambda package: package.loads(text), text)
    for entries, _ in RECORD_CASES:
        assert_twins_agree(lambda package: package.Catalogue(entries(package.Constant)))
    derivations = resources.files("ostrelin").joinpath("data/codata-2022-derivations.json").read_bytes()
    assert_twins_agree(lambda package: package.loads(derivations, base=package.codata))


class Label(str):
    def __format__(self, spec):
        return "formatted"


# Calls on a catalogue of `a` whose arguments Python binds (or whose strings it encodes) for the
# pure twin: the native twin must word the same error, or give the same answer.
CALLS = [
    lambda package, cat: cat.get("a", None, 3, x=1),  # a bad keyword before too many positionals
    lambda package, cat: cat.get("a", None, 3, name="a"),
    lambda package, cat: cat.find(self="a"),
    lambda package, cat: package.Catalogue([], None, base=None),
    lambda package, cat: package.Catalogue([], **{1: 1, "x": 2}),
    lambda package, cat: cat.find("\ud800"),
    lambda package, cat: package.load("/nonexistent/\udcff.json"),
    lambda package, cat: [type(c.source) for c in (package.loads(doc(), source=Label("s")),
                                                   package.Catalogue([], source=Label("s")))],
    lambda package, cat: package.loads(doc(seed("a"), seed("a")), source=Label("s")),
    # A version: checked after the source and the base, before the entries; a version 1 base refused first.
    lambda package, cat: package.Catalogue(iter([1]), source=3, version=3),
    lambda package, cat: package.Catalogue(iter([1]), base=3, version=3),
    lambda package, cat: package.Catalogue(iter([1]), version=2.0),
    lambda package, cat: package.Catalogue(cat.values(), version=True),
    lambda package, cat: package.Catalogue(iter([1]), base=cat, version=2),
    lambda package, cat: package.Catalogue(cat.values(), version=2).dumps(),
    lambda package, cat: package.loads(doc(seed("b", units="km"), formula("f", "a / b", units=""), version=2),
                                       base=package.Catalogue(cat.values(), version=2)).derive("f"),
    # Units of a value: its own errors first, then the argument, its own units, the units asked for.
    lambda package, cat: cat.derive("zz", units=3),
    lambda package, cat: cat.derive("a", units=b"m"),
    lambda package, cat: dataclasses.astuple(cat.derived("a", units=None)),
    lambda package, cat: [(dataclasses.astuple(c), type(c.units)) for c in [cat.derived("a", units=Label("km"))]],
    lambda package, cat: cat.derive("a", units="\ud800"),
    lambda package, cat: cat.derive("a", "mm"),
    lambda package, cat: cat.derive("a", "m", "x"),
    # A keyword far from every parameter: CPython 3.13 adds "Did you mean ...?" to a near miss of a def's own.
    lambda package, cat: cat.derived("a", per="m"),
    lambda package, cat: package.loads(doc(seed("x", units="furlong"))).derived("x", "m"),
    lambda package, cat: package.loads(doc(seed("x", units="furlong"))).dimension("x"),
    lambda package, cat: cat.dimension(3),
    # Declared units: a dict, checked after the version; the version, then each name and text in order.
    lambda package, cat: package.Catalogue(cat.values(), version=2, units={"count": None, "dozen": "12 count"}).dumps(),
    lambda package, cat: package.Catalogue(cat.values(), version=2, units={Label("count"): Label("1e3 m")}).dumps(),
    lambda package, cat: package.Catalogue(cat.values(), version=2, units={"count": None}).derive("a", "count"),
    lambda package, cat: package.Catalogue(iter([1]), version=3, units=[]),
    lambda package, cat: package.Catalogue(iter([1]), version=2, units=[("count", None)]),
    lambda package, cat: package.Catalogue(iter([1]), version=1, units={"count": 3}),
    lambda package, cat: package.Catalogue(iter([1]), version=1, units={}).dumps(),
    lambda package, cat: package.Catalogue(iter([1]), version=2, units={"count": b"x"}),
    lambda package, cat: package.Catalogue(iter([1]), version=2, units={"count": None, 1: None}),
    lambda package, cat: package.Catalogue(iter([1]), version=2, units={"m": None, 1: None}),
    lambda package, cat: package.Catalogue(iter([1]), version=2, units={"\ud800": None}),
    lambda package, cat: package.Catalogue(iter([1]), version=2, units={"a": "\ud800"}),
    lambda package, cat: package.Catalogue(iter([1]), base=cat, version=2, units={"m": None}),
    lambda package, cat: package.Catalogue(iter([1]), base=cat, version=2, units={"count": None}),
    # A declared scale that underflowed to 0 converts to itself by a factor that is not a number.
    lambda package, cat: repr([package.Catalogue([package.Constant("x", 2.0, units)], version=2, units={"z": "5e-324 c^-1"})
                               .derive("x", to) for units, to in [("z", "z"), ("z", "s/m"), ("s/m", "z")]]),
]


def test_the_twins_bind_arguments_and_take_odd_strings_alike():
    for call in CALLS:
        native, pure = (attempt(call, package, package.loads(doc(seed("a")))) for package in (ostrelin, PURE))
        assert native == pure


NAMES = st.sampled_from(["a", "b", "c_1", "µ0", "ε₀", "x"])
NUMBERS = st.one_of(
    st.floats(allow_nan=False, allow_infinity=False), st.integers(-(10**30), 10**30),
    st.sampled_from([0.0, -0.0, 1e-320, 5e-324, 1.7976931348623157e308, 0.1, 1e16, 1e-5]),
)
LEAVES = st.one_of(NAMES, st.sampled_from(["2", "0.5", "1e3", "pi", "0", "3.25e-2"]))


def combine(children):
    return st.one_of(
        st.tuples(children, st.sampled_from([" + ", " - ", " * ", " / ", " ** ", "*", ""]), children).map("".join),
        st.tuples(st.sampled_from(["-", "(", *(f"{name}(" for name in FUNCTIONS)]), children).map(
            lambda t: t[0] + t[1] + (")" if t[0] != "-" else "")),
    )


EXPRESSIONS = st.recursive(LEAVES, combine, max_leaves=8)


@st.composite
def catalogues(draw):
    """A catalogue text: seeds and formulas over the names, with some fields awry now and then."""
    entries = []
    for name in draw(st.lists(NAMES, min_size=1, max_size=6)):
        if draw(st.booleans()):
            uncertainty = draw(st.one_of(st.none(), st.floats(0, 1e3), st.just(-1.0)))
            entries.append(seed(name, draw(NUMBERS), uncertainty=uncertainty))
        else:
            entries.append(formula(name, draw(EXPRESSIONS)))
    text = doc(*entries)
    if draw(st.integers(0, 9)) == 0:  # a byte changed: text problems of every kind
        at = draw(st.integers(0, len(text) - 1))
        text = text[:at] + draw(st.sampled_from(["[", "]", "{", '"', "\\", ",", "\ud83d", "1e999"])) + text[at + 1:]
    return text


@settings(max_examples=400, deadline=None)
@given(catalogues())
def test_the_twins_agree_on_generated_catalogues(text):
    data = text.encode("utf-8", "surrogatepass")
    assert_twins_agree(lambda package: package.loads(data), data)


# Units a base declares, and a text over it: a new base dimension, then multiples of what is known (the
# base's own, where it declares them all).
BASE_DECLARED = [("count", None), ("furlong", "201.168 m"), ("dozen", "12 count"), ("rate", ".5e1count / min")]
OVER_DECLARED = [("pixel", None), ("chain", "20.1168 m"), ("px_rate", "60 pixel/min")]
OVER_THE_BASE = {"chain": "0.1 furlong", "px_rate": "pixel rate^-1 count^-1"}
# Declarations refused, one now and then: a unit of the grammar, a prefixed one, a name, a text, a number;
# and one whose scale underflows to 0, which loads.
ODD_DECLARED = [("m", None), ("kcd", "cd"), ("b x", None), ("rod", "5.0292 metre"), ("big", "1e999 m"), ("pole", 5),
                ("tiny", "5e-324 c^-1")]


@st.composite
def declarations(draw, choices):
    """The first few of `choices`, mostly none; now and then an odd declaration after them."""
    declared = choices[: draw(st.sampled_from([0, 0, 0, 1, 2, len(choices)]))]
    if draw(st.integers(0, 19)) == 0:
        declared = [*declared, draw(st.sampled_from(ODD_DECLARED))]
    return declared


@st.composite
def symbols(draw, declared=()):
    """A unit of the grammar, prefixed now and then when it takes a prefix, or one of the `declared`."""
    if declared and draw(st.booleans()):
        return draw(st.sampled_from(declared))
    symbol = draw(st.sampled_from(sorted(SYMBOLS)))
    if SYMBOLS[symbol][3] and draw(st.booleans()):
        return draw(st.sampled_from(sorted(PREFIXES))) + symbol
    return symbol


@st.composite
def units_texts(draw, declared=()):
    """Units of the grammar and the `declared`: up to three symbols, each maybe raised, joined by spaces,
    `*` or `/`; now and then a text that reads as no units."""
    if draw(st.integers(0, 29)) == 0:
        return draw(st.sampled_from(["furlong", "°C", "m^", "(m", "m)", "kg^1001", "m^(1/0)", "m**2", "1e3 m"]))
    parts = []
    for at in range(draw(st.integers(0, 3))):
        if at:
            parts.append(draw(st.sampled_from([" ", "*", " / ", "/"])))
        parts += [draw(symbols(declared)), draw(st.sampled_from(["", "", "^2", "^-1", "^(1/2)", "^(-3/2)", "^3"]))]
    return "".join(parts)


# A power in a formula and the same power in a units text.
POWERS = [("", ""), (" ** 2", "^2"), (" ** -1", "^-1"), (" ** 0.5", "^(1/2)"), (" ** (1/3)", "^(1/3)"),
          (" ** -1.5", "^(-3/2)"), (" ** (2 - 1)", "")]


@st.composite
def products(draw, known):
    """A formula over the `known` (name, units) and the units it gives, written alike: each factor's
    units in parentheses, raised and joined as the factor is (both read left to right)."""
    expression, units = [], []
    for at in range(draw(st.integers(1, 3))):
        name, text = draw(st.sampled_from(known))
        power, raised = draw(st.sampled_from(POWERS))
        joint = draw(st.sampled_from([" * ", " / "])) if at else ""
        expression.append(f"{joint}{name}{power}")
        units.append(f"{joint}({text or '1'}){raised}")
    expression, units = "".join(expression), "".join(units)
    wrap = draw(st.integers(0, 5))
    if wrap == 1:
        return f"sqrt({expression})", f"({units})^(1/2)"
    if wrap == 2:
        return f"{expression} - 3 * ({expression})", units
    if wrap == 3:
        name = draw(st.sampled_from(known))[0]
        return f"-({expression}) * exp({name} / {name}) * {draw(LEAVES.filter(lambda leaf: leaf[0].isdigit()))}", units
    return expression, units


# Symbols an entry may take: free ones, one a formula cannot read, and names of entries (taken).
ENTRY_SYMBOLS = ["x", "y", "z", "pi", "b0", "o1", "bf0"]


def with_symbol(draw, entry, known):
    """Now and then gives `entry` a symbol, which formulas after it may use when it is free."""
    if draw(st.integers(0, 3)) == 0:
        entry["symbol"] = draw(st.sampled_from(ENTRY_SYMBOLS))
        known.append((entry["symbol"], entry["units"]))
    return entry


@st.composite
def versioned_entries(draw, prefix, known, declared=()):
    """Seeds and formulas named from `prefix`, their formulas over them and `known`, their units of the
    grammar and the `declared`; mostly right by dimension, now and then not (units drawn apart, or a
    product turned into a sum); some with symbols."""
    known = list(known)
    entries = []
    for i in range(draw(st.integers(1, 3))):
        units = draw(units_texts(declared))
        entries.append(with_symbol(draw, seed(f"{prefix}{i}", draw(NUMBERS), units=units,
                                              uncertainty=draw(st.one_of(st.none(), st.floats(0, 1e3)))), known))
        known.append((f"{prefix}{i}", units))
    for i in range(draw(st.integers(0, 4))):
        expression, units = draw(products(known))
        if draw(st.integers(0, 5)) == 0:
            units = draw(units_texts(declared))
        if draw(st.integers(0, 7)) == 0:
            expression = expression.replace(" * ", " + ", 1)
        entries.append(with_symbol(draw, formula(f"{prefix}f{i}", expression, units=units), known))
        known.append((f"{prefix}f{i}", units))
    return draw(st.permutations(entries)), known


@st.composite
def correlations_among(draw, entries):
    """Now and then a correlations list over the entries' names and symbols: mostly between seeds, with
    coefficients that make a covariance or not, a pair twice, a formula or a base's seed."""
    if draw(st.integers(0, 2)):
        return ...
    seeds = [e["name"] for e in entries if "value" in e and e.get("uncertainty") is not None] or ["nowhere"]
    others = [e["name"] for e in entries] + [e["symbol"] for e in entries if "symbol" in e] + ["nowhere"]
    name = st.one_of(st.sampled_from(seeds), st.sampled_from(seeds), st.sampled_from(others))
    pair = st.tuples(name, name, st.sampled_from([0.5, -0.3, 0.9, -1.0, 0.0, 0.99999, 1.5]))
    return [list(item) for item in draw(st.lists(pair, max_size=4))]


@st.composite
def versioned(draw):
    """A base's text and a text over it, each mostly of version 2, each declaring units now and then
    (the text over the base may use the base's)."""
    version = st.sampled_from([2, 2, 2, 1])
    base_declared = draw(declarations(BASE_DECLARED))
    base_names = [name for name, _ in base_declared]
    over_declared = [(name, OVER_THE_BASE.get(name, text) if base_declared[: len(BASE_DECLARED)] == BASE_DECLARED
                      else text) for name, text in draw(declarations(OVER_DECLARED))]
    base, known = draw(versioned_entries("b", [], base_names))
    over, _ = draw(versioned_entries("o", known, base_names + [name for name, _ in over_declared]))
    base_version = draw(version)
    # A version 1 catalogue over a base that declares units is left out: the twins read the base's
    # declared units apart there.
    over_version = 2 if base_declared and base_version == 2 else draw(version)
    return (doc(*base, version=base_version, units=dict(base_declared) if base_declared else ...,
                correlations=draw(correlations_among(base))),
            doc(*over, version=over_version, units=dict(over_declared) if over_declared else ...,
                correlations=draw(correlations_among(over + base))))


@st.composite
def correlated(draw):
    """Dimensionless seeds, each with an uncertainty, formulas over them, and correlations among them that
    mostly make a covariance (a pair or two), now and then not."""
    seeds = [seed(f"s{i}", draw(st.floats(0.5, 3.0)), units="", uncertainty=draw(st.floats(1e-3, 1.0)))
             for i in range(4)]
    names = [entry["name"] for entry in seeds]
    expressions = st.recursive(st.sampled_from([*names, "2", "0.5"]), combine, max_leaves=6)
    formulas = [formula(f"f{i}", draw(expressions), units="") for i in range(3)]
    pairs = draw(st.lists(st.tuples(st.sampled_from(names), st.sampled_from(names), st.floats(-1.0, 1.0)),
                          max_size=draw(st.sampled_from([1, 2, 4]))))
    return doc(*seeds, *formulas, version=2, correlations=[list(pair) for pair in pairs])


@settings(max_examples=300, deadline=None)
@given(correlated())
def test_the_twins_agree_on_correlated_seeds(text):
    assert_twins_agree(lambda package: package.loads(text), text)


@settings(max_examples=300, deadline=None)
@given(versioned())
def test_the_twins_agree_on_generated_units_and_dimensions(texts):
    base, over = texts
    assert_twins_agree(lambda package: package.loads(base), base)
    assert_twins_agree(lambda package: package.loads(over, base=package.loads(base)), over)


NAN = '{"a": NaN}'
# (text, a note, another note, whether the twins may give these two): a note may differ only for a text
# that is not JSON, and only when one of the two notes says where its reader found it not JSON.
NOTE_PAIRS = [
    ("{,", "line 1, column 2: expected a string as an object key",
     "line 1, column 2: Expecting property name enclosed in double quotes", True),
    (NAN, "line 1, column 7: expected a value", "`NaN` is not JSON", True),
    ('{, "\\ud800"}', "line 1, column 2: expected a value", "line 1, column 4: a \\u escape names half a surrogate pair",
     True),
    # Problems both readers look for before the syntax: the same words and place, JSON or not.
    ("[" * 70, "line 1, column 65: nesting deeper than 64 levels", "line 1, column 66: nesting deeper than 64 levels",
     False),
    ('"\\ud800', "line 1, column 2: a \\u escape names half a surrogate pair",
     "line 1, column 3: a \\u escape names half a surrogate pair", False),
    (b"{,\xff", "line 1, column 3: invalid UTF-8", "line 1, column 2: expected a value", False),
    # A text that is JSON: every note word for word.
    ("[" * 70 + "]" * 70, "line 1, column 65: nesting deeper than 64 levels", "line 1, column 1: Expecting value",
     False),
    ('{"a": "\\udc00"}', "line 1, column 8: a \\u escape names half a surrogate pair", "line 1, column 8: bad", False),
    (doc(seed("a", units=1)), "entry 0 (`a`): `units` must be a string, not a number",
     "entry 0 (`a`): `units` must be a string, not an int object", False),
    (doc(format="json"), '`format` must be "ostrelin-catalogue"', "line 1, column 12: expected a value", False),
    (members(("format", 1), ("format", 2)), "top-level field `format` is repeated", '`format` must be "ostrelin-catalogue"',
     False),
    (doc(seed("a"), seed("a")), "entry 1 (`a`): duplicate name, first at entry 0", "entry 1: duplicate name", False),
    ("[" * 10**4 + "]" * 10**4, "line 1, column 65: nesting deeper than 64 levels", "line 1, column 1: Expecting value",
     False),
]


@pytest.mark.parametrize("text, note, other, may_differ", NOTE_PAIRS)
def test_notes_are_compared_word_for_word_but_where_a_text_stops_being_json(text, note, other, may_differ):
    native, pure = (("raised", "ostrelin._errors.CatalogueError", SCHEMA, [n]) for n in (note, other))
    compared = comparable(native, pure, text)
    assert (compared[0] == compared[1]) == may_differ
    # A note missing, or one more, is never allowed, nor a different type or str().
    for changed in (native[:3] + (None,), native[:3] + ([note, note],), ("raised", "builtins.ValueError", SCHEMA, [note]),
                    ("raised", native[1], "invalid JSON schema in `x`", [note])):
        compared = comparable(changed, pure, text)
        assert compared[0] != compared[1]

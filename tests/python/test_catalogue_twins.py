"""The differential test: the native catalogue and its pure-Python reference on the same inputs,
compared result for result, exception type, str() and notes (for a JSON syntax error, each reader
places and words its own, so only the type and str() are compared)."""

import dataclasses
from importlib import resources

from hypothesis import given, settings
from hypothesis import strategies as st

from catalogue_cases import CASES, VALID, doc, formula, seed
from conftest import python_package
from test_catalogue import RECORD_CASES

import ostrelin
from ostrelin._expression import FUNCTIONS

PURE = python_package()
TEXT_PROBLEMS = ("invalid UTF-8", "nesting deeper than", "half a surrogate pair", "longer than 4 GiB")


def is_syntax_note(note):
    return note.startswith("line ") and not any(problem in note for problem in TEXT_PROBLEMS)


def raised(exc):
    notes = getattr(exc, "__notes__", None)
    if notes and is_syntax_note(notes[0]):
        notes = "<a syntax error>"
    # Each package copy has its own classes: compare them by name.
    return ("raised", f"{type(exc).__module__}.{type(exc).__qualname__}", str(exc), notes)


def attempt(call, *args):
    try:
        return ("ok", call(*args))
    except Exception as exc:  # noqa: BLE001 - the exception is the outcome
        return raised(exc)


def described(outcome):
    """An outcome in terms that compare across the twins, floats by their bits."""
    if outcome[0] != "ok":
        return outcome
    cat = outcome[1]
    names = cat.names()
    entries = [repr(dataclasses.astuple(cat[n])) for n in names]
    derived = [repr(attempt(call, n)) for call in (cat.derive, cat.derived, cat.budget) for n in names]
    return ("ok", names, entries, derived, cat.dumps(), cat.source, cat.description, cat.find("a"), len(cat))


def assert_twins_agree(make):
    """`make(package)` builds a catalogue with one package copy or the other."""
    native, pure = described(attempt(make, ostrelin)), described(attempt(make, PURE))
    assert native == pure


def test_the_twins_answer_every_table_input_alike():
    assert (ostrelin.implementation, PURE.implementation) == ("native", "python")
    for text in [case[1] for case in CASES] + VALID:
        assert_twins_agree(lambda package: package.loads(text))
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
    assert_twins_agree(lambda package: package.loads(data))

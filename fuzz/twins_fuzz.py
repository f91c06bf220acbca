"""Differential fuzzing of the catalogue's twins: the same bytes to the pure-Python
reference (ostrelin._pycatalogue) and to the native twin (ostrelin._native).

Both must give the same catalogue (names, records, derive(), derived() and
budget() of every name, datasheet(), dumps(), find(), lookups of near misses, len,
iteration, source, description, repr) or the same exception: type, str() and
notes. Only for a text that is not JSON may the notes differ, and only when one
of them says where its reader found the text not to be JSON: each reader places
and words that its own way, so then each must give one note, whatever it says.
Each catalogue must also read back from its own dumps() as an equal one.
Anything else raises a Finding.

tools/fuzz.sh runs this like surface_fuzz.py, on the instrumented extension
with the sanitizer runtime preloaded; any libFuzzer flag may follow.
"""

import dataclasses
import json
import re
import sys

import atheris

# Python coverage of the reference guides the search as much as the
# native coverage does: a new branch of either reader is worth keeping.
with atheris.instrument_imports(include=["ostrelin"]):
    import ostrelin._native as native
    import ostrelin._pycatalogue as pure
    from ostrelin import Constant
    from ostrelin._input import BOM

FIELDS = [field.name for field in dataclasses.fields(Constant)]
# Problems of a text that both readers report at the same place in the same words, JSON or not.
TEXT_PROBLEM = re.compile(
    r"line \d+, column \d+: (?:invalid UTF-8|nesting deeper than 64 levels"
    r"|a \\u escape names half a surrogate pair|the text is longer than 4 GiB)"
)
# find() texts: case folding beyond ASCII ("ß" folds to "ss", "K" is the Kelvin sign).
FIND_TEXTS = ["", "a", "E", "ss", "ß", "µ", "\u212a", " "]


class Finding(AssertionError):
    """The twins disagree, or a catalogue does not read back from its dumps()."""


class NotJson(Exception):
    pass


def reject(literal):
    raise NotJson(literal)


def is_not_json(data):
    """Whether `data` (one byte-order mark allowed) is UTF-8 whose text is not JSON; NaN and Infinity
    are not. Each twin checks UTF-8 first, so a text that is not UTF-8 is not one."""
    try:
        text = data.removeprefix(BOM).decode("utf-8")
    except UnicodeError:
        return False
    try:
        json.loads(text, parse_constant=reject)
    except (json.JSONDecodeError, NotJson):
        return True
    except RecursionError:  # nested past the json module's own limit: both twins stop at 64 levels first
        return False
    return False


def worded_apart(data, expected, got):
    """Whether the two outcomes are the same error with one note each that may differ: the text is
    not JSON, and one of the notes says where its reader found it not JSON."""
    if not (type(expected) is tuple and type(got) is tuple and expected[:3] == got[:3]):
        return False
    notes = (expected[3], got[3])
    if expected[1] != "CatalogueError" or not all(type(n) is list and len(n) == 1 for n in notes):
        return False
    return is_not_json(data) and not all(TEXT_PROBLEM.fullmatch(n[0]) for n in notes)


def value(result):
    """A result in terms that compare across the twins: exact types, floats by repr (so -0.0 and 0.0 differ)."""
    if type(result) is Constant:
        return ("Constant", [value(getattr(result, f)) for f in FIELDS])
    if type(result) in (list, tuple):
        return (type(result).__name__, [value(item) for item in result])
    if type(result) is dict:
        return ("dict", [(key, value(item)) for key, item in result.items()])
    return (type(result).__name__, repr(result))


def raised(exc):
    return ("raised", type(exc).__name__, str(exc), getattr(exc, "__notes__", None))


def attempt(call, *args):
    try:
        return value(call(*args))
    except Exception as exc:  # noqa: BLE001 - the exception is the outcome
        return raised(exc)


def near_misses(names):
    """Names a lookup should miss, each with the hint the twins must agree on."""
    misses = ["", "zz", "\ud800"]
    for name in names[:3]:
        misses += [name + "x", name[:-1], name.upper(), f" {name}", name[1:] + name[:1]]
    return misses


def described(cat):
    names = cat.names()
    finds = FIND_TEXTS + [name[: 1 + len(name) // 2].upper() for name in names[:2]]
    return [
        ("names", value(names), attempt(list, cat), attempt(len, cat), attempt(repr, cat)),
        ("records", [attempt(cat.__getitem__, name) for name in names]),
        ("derive", [attempt(cat.derive, name) for name in names]),
        ("derived", [attempt(cat.derived, name) for name in names]),
        ("budget", [attempt(cat.budget, name) for name in names]),
        ("datasheet", [attempt(cat.datasheet, name) for name in names[:3]]),
        ("dumps", attempt(cat.dumps)),
        ("find", [attempt(cat.find, text) for text in finds]),
        ("misses", [attempt(cat.__getitem__, name) for name in near_misses(names)]),
        ("about", attempt(lambda: cat.source), attempt(lambda: cat.description)),
    ]


def outcome(twin, data):
    try:
        cat = twin.loads(data)
    except Exception as exc:  # noqa: BLE001
        return None, raised(exc)
    return cat, described(cat)


def differences(a, b):
    if type(a) is list and type(b) is list:  # two catalogues: only the parts that differ
        return [f"  {x[0]}:\n    pure:   {x!r}\n    native: {y!r}" for x, y in zip(a, b) if x != y]
    return [f"  pure:   {a!r}\n  native: {b!r}"]


def read_back(twin, cat):
    text = cat.dumps()
    try:
        again = twin.loads(text)
    except Exception as exc:  # noqa: BLE001
        raise Finding(f"{twin.__name__}: loads(dumps()) raised {raised(exc)!r} for\n{text}") from exc
    if again != cat or again.dumps() != text:
        raise Finding(f"{twin.__name__}: loads(dumps()) is not the catalogue it was written from:\n{text}")


def test_one_input(data):
    pure_cat, expected = outcome(pure, data)
    native_cat, got = outcome(native, data)
    if expected != got and not worded_apart(data, expected, got):
        raise Finding(f"the twins disagree on {data!r}:\n" + "\n".join(differences(expected, got)))
    if pure_cat is not None:
        if not (native_cat == pure_cat and pure_cat == native_cat):
            raise Finding(f"equal catalogues compare unequal across the twins for {data!r}")
        for twin, cat in ((pure, pure_cat), (native, native_cat)):
            read_back(twin, cat)


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()

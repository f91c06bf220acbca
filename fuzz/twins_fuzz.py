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

An input that starts with the byte 0x02 is not a text but the recipe of two:
a catalogue of version 2 (mostly) whose units are drawn from the grammar's
symbols and prefixes, and from units it declares now and then, and whose
formulas mostly give the units they are written with, and a catalogue over
it (which may declare units of its own); each is compared as above, and every
value in other units and every entry's dimension too.

tools/fuzz.sh runs this like surface_fuzz.py, on the instrumented extension
with the sanitizer runtime preloaded; any libFuzzer flag may follow.
"""

import dataclasses
import json
import sys
from pathlib import Path

import atheris

# The rule of which notes may differ is the differential test's own.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))
from twin_contract import notes_may_differ  # noqa: E402

# Python coverage of the reference guides the search as much as the
# native coverage does: a new branch of either reader is worth keeping.
with atheris.instrument_imports(include=["ostrelin"]):
    import ostrelin._native as native
    import ostrelin._pycatalogue as pure
    from ostrelin import Constant
    from ostrelin._input import FORMAT
    from ostrelin._units import PREFIXES, SYMBOLS

FIELDS = [field.name for field in dataclasses.fields(Constant)]
# find() texts: case folding beyond ASCII ("ß" folds to "ss", "K" is the Kelvin sign).
FIND_TEXTS = ["", "a", "E", "ss", "ß", "µ", "\u212a", " "]
# Units every value is asked in, besides its own dimension in SI base units; the last two name no units
# but where a catalogue declares them.
TARGETS = ["", "kg", "eV", "furlong", "count"]

VERSIONED = b"\x02"
SYMBOL_NAMES = sorted(SYMBOLS)
PREFIX_NAMES = sorted(PREFIXES)
BROKEN_UNITS = ["furlong", "°C", "m^", "(m", "m)", "kg^1001", "m^(1/0)", "m**2", "1e3 m", "(" * 17 + "m" + ")" * 17]
RAISED = ["", "", "^2", "^-1", "^(1/2)", "^(-3/2)", "^3", "^(2/7)"]
# A power in a formula and the same power in a units text.
POWERS = [("", ""), (" ** 2", "^2"), (" ** -1", "^-1"), (" ** 0.5", "^(1/2)"), (" ** (1/3)", "^(1/3)"),
          (" ** -1.5", "^(-3/2)"), (" ** (2 - 1)", "")]
# Units a base declares, and a text over it: a new base dimension, then multiples of what is known (the
# base's own, where it declares them all); now and then a declaration refused, or one whose scale
# underflows to 0.
BASE_DECLARED = [("count", None), ("furlong", "201.168 m"), ("dozen", "12 count"), ("rate", ".5e1count / min")]
OVER_DECLARED = [("pixel", None), ("chain", "20.1168 m"), ("px_rate", "60 pixel/min")]
OVER_THE_BASE = {"chain": "0.1 furlong", "px_rate": "pixel rate^-1 count^-1"}
ODD_DECLARED = [("m", None), ("kcd", "cd"), ("b x", None), ("rod", "5.0292 metre"), ("big", "1e999 m"), ("pole", 5),
                ("tiny", "5e-324 c^-1")]


class Finding(AssertionError):
    """The twins disagree, or a catalogue does not read back from its dumps()."""


def worded_apart(data, expected, got):
    """Whether the two outcomes are the same error with one note each that may differ: the text is
    not JSON, and one of the notes says where its reader found it not JSON."""
    if not (type(expected) is tuple and type(got) is tuple and expected[:3] == got[:3]):
        return False
    notes = (expected[3], got[3])
    if expected[1] != "CatalogueError" or not all(type(n) is list and len(n) == 1 for n in notes):
        return False
    return notes_may_differ(data, notes)


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


def in_units(cat, names):
    """Each value in other units: a few fixed ones, and its own dimension, which it always converts to."""
    asked = []
    for name in names:
        try:
            own = [cat.dimension(name)]
        except Exception:  # noqa: BLE001 - "dimension" compares what it raises
            own = []
        for units in TARGETS + own:
            asked += [attempt(cat.derive, name, units), attempt(cat.derived, name, units)]
    return asked


def described(cat):
    names = cat.names()
    finds = FIND_TEXTS + [name[: 1 + len(name) // 2].upper() for name in names[:2]]
    return [
        ("version", attempt(lambda: cat.version)),
        ("dimension", [attempt(cat.dimension, name) for name in names]),
        ("in units", in_units(cat, names[:4])),
        ("names", value(names), attempt(list, cat), attempt(len, cat), attempt(repr, cat)),
        ("records", [attempt(cat.__getitem__, name) for name in names]),
        ("derive", [attempt(cat.derive, name) for name in names]),
        ("derived", [attempt(cat.derived, name) for name in names]),
        ("budget", [attempt(cat.budget, name) for name in names]),
        ("covariance", [attempt(call, a, b) for call in (cat.covariance, cat.correlation)
                        for a in names[:4] for b in names[:4]], attempt(cat.covariance_matrix, names[:4])),
        ("datasheet", [attempt(cat.datasheet, name) for name in names[:3]]),
        ("dumps", attempt(cat.dumps)),
        ("find", [attempt(cat.find, text) for text in finds]),
        ("misses", [attempt(cat.__getitem__, name) for name in near_misses(names)]),
        ("about", attempt(lambda: cat.source), attempt(lambda: cat.description)),
    ]


def outcome(twin, data, base=None):
    try:
        cat = twin.loads(data, base=None if base is None else twin.loads(base))
    except Exception as exc:  # noqa: BLE001
        return None, raised(exc)
    return cat, described(cat)


def differences(a, b):
    if type(a) is list and type(b) is list:  # two catalogues: only the parts that differ
        return [f"  {x[0]}:\n    pure:   {x!r}\n    native: {y!r}" for x, y in zip(a, b) if x != y]
    return [f"  pure:   {a!r}\n  native: {b!r}"]


def read_back(twin, cat):
    try:
        text = cat.dumps()
    except ValueError:  # a version 1 catalogue over a version 2 base: "dumps" compares the refusal
        return
    try:
        again = twin.loads(text)
    except Exception as exc:  # noqa: BLE001
        raise Finding(f"{twin.__name__}: loads(dumps()) raised {raised(exc)!r} for\n{text}") from exc
    if again != cat or again.dumps() != text:
        raise Finding(f"{twin.__name__}: loads(dumps()) is not the catalogue it was written from:\n{text}")


def declarations(fdp, choices):
    """The first few of `choices`, mostly none; now and then an odd declaration after them."""
    declared = choices[: fdp.PickValueInList([0, 0, 0, 1, 2, len(choices)])]
    if fdp.ConsumeIntInRange(0, 19) == 0:
        declared = [*declared, fdp.PickValueInList(ODD_DECLARED)]
    return declared


def units_text(fdp, declared):
    """Units of the grammar and the `declared`: up to three symbols, each maybe prefixed (but the
    declared) and raised; now and then a text that reads as no units."""
    if fdp.ConsumeIntInRange(0, 29) == 0:
        return fdp.PickValueInList(BROKEN_UNITS)
    parts = []
    for at in range(fdp.ConsumeIntInRange(0, 3)):
        if at:
            parts.append(fdp.PickValueInList([" ", "*", " / ", "/"]))
        symbol = fdp.PickValueInList(SYMBOL_NAMES)
        if declared and fdp.ConsumeBool():
            symbol = fdp.PickValueInList(declared)
        elif SYMBOLS[symbol][3] and fdp.ConsumeBool():
            symbol = fdp.PickValueInList(PREFIX_NAMES) + symbol
        parts += [symbol, fdp.PickValueInList(RAISED)]
    return "".join(parts)


def product(fdp, known):
    """A formula over the `known` (name, units) and the units it gives, written alike: each factor's
    units in parentheses, raised and joined as the factor is (both read left to right)."""
    expression, units = "", ""
    for at in range(fdp.ConsumeIntInRange(1, 3)):
        name, text = fdp.PickValueInList(known)
        power, raised_to = fdp.PickValueInList(POWERS)
        joint = fdp.PickValueInList([" * ", " / "]) if at else ""
        expression += f"{joint}{name}{power}"
        units += f"{joint}({text or '1'}){raised_to}"
    wrap = fdp.ConsumeIntInRange(0, 5)
    if wrap == 1:
        return f"sqrt({expression})", f"({units})^(1/2)"
    if wrap == 2:
        return f"{expression} - 3 * ({expression})", units
    if wrap == 3:
        name = fdp.PickValueInList(known)[0]
        return f"-({expression}) * exp({name} / {name}) * 1e3", units
    return expression, units


def entries(fdp, prefix, known, declared):
    """Seeds and formulas named from `prefix`, their formulas over them and `known`, their units of the
    grammar and the `declared`; mostly right by dimension, now and then not (units drawn apart, or a
    product turned into a sum)."""
    known = list(known)
    made = []
    for i in range(fdp.ConsumeIntInRange(1, 3)):
        units = units_text(fdp, declared)
        uncertainty = abs(fdp.ConsumeRegularFloat()) if fdp.ConsumeBool() else None
        made.append({"name": f"{prefix}{i}", "units": units, "value": fdp.ConsumeRegularFloat(),
                     "uncertainty": uncertainty})
        known.append((f"{prefix}{i}", units))
    for i in range(fdp.ConsumeIntInRange(0, 4)):
        expression, units = product(fdp, known)
        if fdp.ConsumeIntInRange(0, 5) == 0:
            units = units_text(fdp, declared)
        if fdp.ConsumeIntInRange(0, 7) == 0:
            expression = expression.replace(" * ", " + ", 1)
        made.append({"name": f"{prefix}f{i}", "units": units, "expression": expression})
        known.append((f"{prefix}f{i}", units))
    # Any order: which problem comes first depends on it.
    for i in range(len(made) - 1, 0, -1):
        j = fdp.ConsumeIntInRange(0, i)
        made[i], made[j] = made[j], made[i]
    return made, known


def correlations(fdp, names):
    """Pairs of the names (mostly seeds; now and then a formula, a base's name or the same twice) with
    coefficients that make a covariance or not."""
    return [[fdp.PickValueInList(names), fdp.PickValueInList(names),
             fdp.PickValueInList([0.5, -0.5, 0.9, 1.0, -1.0, 0.0, 0.99999, 1.5])]
            for _ in range(fdp.ConsumeIntInRange(1, 4))]


def versioned_texts(recipe):
    """A base's text and a text over it, each mostly of version 2, made from the bytes of `recipe`."""
    fdp = atheris.FuzzedDataProvider(recipe)
    base_declared = declarations(fdp, BASE_DECLARED)
    declares_all = base_declared[: len(BASE_DECLARED)] == BASE_DECLARED
    over_declared = [(name, OVER_THE_BASE.get(name, text) if declares_all else text)
                     for name, text in declarations(fdp, OVER_DECLARED)]
    texts = []
    known = []
    names = []
    base_version = 1
    for prefix, declared in (("b", base_declared), ("o", over_declared)):
        names += [name for name, _ in declared]
        made, known = entries(fdp, prefix, known, names)
        version = fdp.PickValueInList([2, 2, 2, 1])
        # A version 1 catalogue over a base that declares units is left out: the twins read the base's
        # declared units apart there.
        if prefix == "o" and base_declared and base_version == 2:
            version = 2
        base_version = version
        top = {"format": FORMAT, "version": version, "constants": made}
        if declared:
            top["units"] = dict(declared)
        if fdp.ConsumeIntInRange(0, 2) == 0:
            top["correlations"] = correlations(fdp, [entry["name"] for entry in made] + names[:1])
        texts.append(json.dumps(top).encode())
    return texts


def compare(data, base=None):
    pure_cat, expected = outcome(pure, data, base)
    native_cat, got = outcome(native, data, base)
    if expected != got and not worded_apart(data, expected, got):
        over = "" if base is None else f" over {base!r}"
        raise Finding(f"the twins disagree on {data!r}{over}:\n" + "\n".join(differences(expected, got)))
    if pure_cat is not None:
        if not (native_cat == pure_cat and pure_cat == native_cat):
            raise Finding(f"equal catalogues compare unequal across the twins for {data!r}")
        for twin, cat in ((pure, pure_cat), (native, native_cat)):
            read_back(twin, cat)


def test_one_input(data):
    if data.startswith(VERSIONED):
        base, over = versioned_texts(data[len(VERSIONED):])
        compare(base)
        compare(over, base)
    else:
        compare(data)


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()

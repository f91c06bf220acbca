"""The catalogue module's part of the surface fuzzer: surface_fuzz.py hands it some of its inputs.

Each input builds a pair of equal catalogues, one per twin (ostrelin._pycatalogue and
ostrelin._native): from a small document, from records, some hostile (subclasses of
str, float, int and list whose hooks lie or raise, records whose attributes raise,
iterables that fail midway or yield no record), or as a chain of catalogues each built
over the last, a few levels deep or a few hundred. Then it spells random calls on both,
on the top of a chain or any level of it, and holds the native outcome to the pure one:
results by value, exceptions by type, str() and notes; an exception a hook raised must
come back as that very object.

Some constructions pull the rug from under the call: the only reference to the base
(and to the source) is in the call's own keyword dict, and a hook that runs mid-call
(the entries' __iter__ or __next__, a record's attribute getter) clears that dict, pops
or replaces its items, empties or reorders the list being read, replaces fields of
records already read, drops every other name for them, uses the base or the catalogue
being built, or collects garbage. Whatever a hook sees mid-call is compared as well.
A twin that keeps only a borrowed reference to what the call was given reads freed
memory there, which the sanitizer reports.

Calls through the native type with a receiver of another type must raise TypeError, and
an instance whose __init__ never ran must refuse every method (and `in`, and len) in
both twins alike. Anything else raises a Finding that lists the input's steps.
"""

import copy
import ctypes
import dataclasses
import gc
import inspect
import json
import math
import os
import tempfile

import atheris
import numpy

import ostrelin._native as native
import ostrelin._pycatalogue as pure
from ostrelin import Constant, Evaluation
from ostrelin import _expression as expression
from ostrelin import _input as inputs
from ostrelin import _lookup as lookup
from ostrelin._veldra_catalogue import Catalogue as Base

FIELDS = [field.name for field in dataclasses.fields(Constant)]
NOT_MADE = "Catalogue object was not made by Catalogue.__init__()"
NAMES = ["a", "b", "µ0", "x_1", "E"]
PARAMS = {"get": ("name", "default"), "find": ("text",), "datasheet": ("name",), "derive": ("name",),
          "derived": ("name",), "budget": ("name",), "names": (), "dumps": ()}
TWINS = (pure, native)


class Finding(AssertionError):
    """The twins disagree, or the native type breaks a promise of its own."""


class Hostile(Exception):
    """What a hook raises: a new object each time, kept in RAISED."""


RAISED, STEPS, EXTRA = [], [], []  # hook exceptions; this input's steps; its instances without a payload
LEVELS = {}  # twin: the catalogues of this input's chain, base first (or only its top)
LOG = {}  # twin: what the hooks of the step in progress saw
CALL = {}  # what the hooks of the call in progress may reach (see "callers that pull the rug")
DEFAULT = object()  # a default for get(), to come back as itself


def hostile(what):
    RAISED.append(Hostile(what))
    raise RAISED[-1]


def hooked(base, **lies):
    """A subclass of `base` whose named hooks answer their lie, or raise when the instance's `raises` is set."""
    def hook(name, lie):
        def method(self, *args):
            if self.raises:
                hostile(f"{type(self).__name__}.{name}")
            return lie() if callable(lie) else lie
        return method
    return type(f"Hooked{base.__name__.title()}", (base,), {name: hook(name, lie) for name, lie in lies.items()})


HookedStr = hooked(str, __eq__=True, __ne__=False, __hash__=0, __len__=0, __bool__=False, __str__="lie",
                   __format__="lie", __iter__=lambda: iter("lie"), casefold="lie", encode=b"lie")
HookedFloat = hooked(float, __float__=0.5, __eq__=True, __hash__=0, __bool__=False, __lt__=True, __repr__="lie")
HookedInt = hooked(int, __float__=0.5, __index__=7, __int__=7, __eq__=True, __hash__=0, __lt__=True, __bool__=False)
HookedList = hooked(list, __iter__=lambda: iter(["lie"]), __len__=9, __getitem__="lie")
Text = type("Text", (str,), {"__doc__": "A str subclass with nothing odd about it."})


def made_hooked(cls, value, raises):
    obj = cls(value)
    obj.raises = raises
    return obj


class Spoof:
    """An object whose __class__ claims another type."""

    def __init__(self, claim):
        self.claim = claim

    __class__ = property(lambda self: self.claim)


class Shifty(Constant):
    """A record whose attribute `field` raises from its read number `after` + 1 on."""

    def __getattribute__(self, attr):
        plan = object.__getattribute__(self, "__dict__")
        if attr == plan.get("field"):
            plan["reads"] += 1
            if plan["reads"] > plan["after"]:
                hostile(f"read {plan['reads']} of {attr}")
        return object.__getattribute__(self, attr)


class Trick(Constant):
    """A record whose read number `at` of attribute `field` first runs hostile actions."""

    def __getattribute__(self, attr):
        plan = object.__getattribute__(self, "__dict__")
        if attr == plan.get("field"):
            plan["reads"] += 1
            if plan["reads"] == plan["at"]:
                fire(plan["actions"], self)
        return object.__getattribute__(self, attr)


class Rug:
    """An iterator over `items` (a list the hooks may change) that runs `actions` in __iter__
    (at -1) or before handing out item number `at`."""

    def __init__(self, items, at, actions):
        self.items, self.at, self.actions, self.index = items, at, actions, 0

    def __iter__(self):
        if self.at < 0:
            fire(self.actions, None)
        return self

    def __next__(self):
        index, self.index = self.index, self.index + 1
        if index == self.at:
            fire(self.actions, None)
        if index >= len(self.items):
            raise StopIteration
        return self.items[index]


def pulled(items, at, actions):
    """A generator over `items` that runs `actions` before yielding item number `at`."""
    index = 0
    while True:
        if index == at:
            fire(actions, None)
        if index >= len(items):
            return
        yield items[index]
        index += 1


def shown(obj):
    try:
        return repr(obj)
    except Exception:  # noqa: BLE001 - an instance without its payload has no repr
        return f"<{type(obj).__name__}>"


def catalogue_kind(kind):
    """The name a catalogue's type goes by across the twins: each twin's own class is "Catalogue"."""
    return "Catalogue" if kind in (pure.Catalogue, native.Catalogue) else kind.__name__


def written(cat):
    """The catalogue's text: with its bases, or its own when no one text holds both (version 1 over 2)."""
    try:
        return cat.dumps()
    except ValueError:
        return cat.dumps(base=False)


def value(result):
    """A result in terms that compare across the twins: exact types, floats by repr."""
    kind = type(result)
    if result is DEFAULT:
        return ("the default",)
    if kind is Constant:
        return ("Constant", [value(object.__getattribute__(result, f)) for f in FIELDS])
    if issubclass(kind, (pure.Catalogue, Base)):
        try:
            names = result.names()
        except TypeError as exc:  # one whose __init__ never ran
            return ("Catalogue", catalogue_kind(kind), "refuses", str(exc))
        return ("Catalogue", catalogue_kind(kind), names, written(result), value(result.source))
    if kind is Evaluation:
        return ("Evaluation", value(result.value), value(result.uncertainty))
    if kind is numpy.ndarray:
        return SameBits(result)
    if kind in (list, tuple):
        return (kind.__name__, [value(item) for item in result])
    if kind is dict:
        return ("dict", [(value(key), value(item)) for key, item in result.items()])
    if kind in (str, Text, float, int, bool, type(None)):
        return (kind.__name__, repr(result))
    return ("object", id(result))  # anything else must be what was passed in


class SameBits:
    """An array result, equal to another of the same dtype and shape whose NaNs are in the same places and whose
    other elements have the same bits: both twins call libm's functions, in the same order."""

    def __init__(self, array):
        self.array = numpy.array(array, copy=True)

    def __eq__(self, other):
        a, b = self.array, getattr(other, "array", None)
        if type(other) is not SameBits or a.dtype != b.dtype or a.shape != b.shape:
            return False
        if not numpy.array_equal(numpy.isnan(a), numpy.isnan(b)):
            return False
        return bool(numpy.array_equal(a[~numpy.isnan(a)].view(numpy.int64), b[~numpy.isnan(b)].view(numpy.int64)))

    def __repr__(self):
        return f"array({self.array.tolist()!r}, shape={self.array.shape})"


def text_of(exc):
    """str() of an exception, which may itself fail: a KeyError's shows its key's repr."""
    try:
        return str(exc)
    except Exception as failed:  # noqa: BLE001 - the failure is part of the outcome
        return f"<str() raised {type(failed).__name__}: {text_of(failed)}>"


def outcome(run):
    try:
        return ("ok", value(run()))
    except Finding:
        raise
    except BaseException as exc:  # noqa: BLE001 - every exception is an outcome to compare
        if type(exc) is Hostile and exc is not RAISED[-1]:
            raise Finding(f"{' / '.join(STEPS)}: a hook's exception came back, but not the newest one") from exc
        return ("raised", type(exc).__name__, text_of(exc), getattr(exc, "__notes__", None))


def compare(label, step, cats):
    """Runs step(twin, cat) for both twins; the outcomes, and what their hooks saw, must agree."""
    STEPS.append(label)
    LOG.clear()
    expected, got = outcome(lambda: step(pure, cats[pure])), outcome(lambda: step(native, cats[native]))
    if expected != got:
        raise Finding(f"{' / '.join(STEPS)}:\n  pure:   {expected!r}\n  native: {got!r}")
    if LOG.get(pure) != LOG.get(native):
        raise Finding(f"{' / '.join(STEPS)}: the hooks saw\n  pure:   {LOG.get(pure)!r}\n  native: {LOG.get(native)!r}")
    return expected


# ------------------------------------------------------------- generation

def pick(fdp, items):
    return items[fdp.ConsumeIntInRange(0, len(items) - 1)]


def make_expression(fdp, depth=0, names=None):
    """A formula over `names` (by default NAMES and pi), now and then one that cannot be computed."""
    form = fdp.ConsumeIntInRange(0, 5 if depth < 3 else 1)
    if form <= 1:
        return pick(fdp, [names or NAMES + ["pi"], ["2", "0", "0.5", "1e308", "1e-320", "3.25e-2"]][form])
    a = make_expression(fdp, depth + 1, names)
    b = "" if form in (3, 4) else make_expression(fdp, depth + 1, names)
    if form == 2:
        return f"({a} {pick(fdp, ['+', '-', '*', '/'])} {b})"
    if form == 3:
        return f"{pick(fdp, ['sqrt', 'log', 'exp', 'asin', 'cosh', 'log10'])}({a})"
    return f"-{a}" if form == 4 else f"{a} ** {b}"


def make_fields(fdp):
    """A plausible record's fields: a seed or a formula."""
    if fdp.ConsumeBool():
        fields = {"value": pick(fdp, [1.0, 0.0, -0.0, 2.5, 3, 10**20, 1e308, 5e-324]),
                  "status": pick(fdp, ["Seed", "External"]), "expression": None}
    elif fdp.ConsumeBool():
        fields = {"value": 0.0, "status": "Pending", "expression": make_expression(fdp)}
    else:
        fields = {"value": 1.5, "status": "Cached", "expression": make_expression(fdp)}
    return {"name": pick(fdp, NAMES), "units": pick(fdp, ["m", "", "kg·m/s²"]),
            "uncertainty": pick(fdp, [None, 0.0, 0.1, 1e-3]), "dependencies": (),
            "description": pick(fdp, ["", "Mass of the µ", "STRASSE", "straße", "Kelvin \u212a"]),
            "symbol": pick(fdp, [None, None, None, "s", "x", NAMES[0], "pi"]), **fields}


def make_document(fdp):
    entries = []
    for _ in range(fdp.ConsumeIntInRange(0, 4)):
        fields = make_fields(fdp)
        # What a file leaves out: the defaults, and now and then more (a shape problem).
        entries.append({key: item for key, item in fields.items() if item not in (None, (), "", "Seed", "Pending")
                        and not (key == "value" and fields["status"] == "Pending") and fdp.ConsumeIntInRange(0, 15)})
    document = {"format": "ostrelin-catalogue", "version": pick(fdp, [1, 1, 2]), "constants": entries}
    if fdp.ConsumeBool():
        document["description"] = "a test"
    if fdp.ConsumeIntInRange(0, 3) == 0:
        document["correlations"] = [[pick(fdp, NAMES), pick(fdp, NAMES), pick(fdp, [0.5, -1.0, 1.0, 2.0, 0.0])]
                                    for _ in range(fdp.ConsumeIntInRange(0, 3))]
    return json.dumps(document, ensure_ascii=fdp.ConsumeBool())


def odd_value(fdp):
    """(label, maker) of a field value that is no plausible one."""
    form = fdp.ConsumeIntInRange(0, 6)
    if form == 0:
        literal = pick(fdp, [None, True, 10**400, -(10**400), 2**53 + 1, math.nan, math.inf, -math.inf, -0.0, "",
                             "\ud800", "a\ud800", "Seed", "Pending", " a", b"a", 1j, ("a",), ["a", 1], object()])
        return shown(literal), lambda: literal
    if form <= 3:
        cls, raises = pick(fdp, [HookedStr, HookedFloat, HookedInt, HookedList]), fdp.ConsumeBool()
        initial = {HookedStr: pick(fdp, NAMES), HookedFloat: 1.5, HookedInt: 3}.get(cls, ["a"])
        return f"{cls.__name__}({initial!r}, raises={raises})", lambda: made_hooked(cls, initial, raises)
    if form == 4:
        text = pick(fdp, NAMES)
        return f"Text({text!r})", lambda: Text(text)
    claim = pick(fdp, [str, float, int, list, tuple, bool])
    return f"Spoof({claim.__name__})", lambda: Spoof(claim)


def make_record(fdp):
    """(label, maker) of one entry: a plausible record with now and then a field awry, or no record at all."""
    form = fdp.ConsumeIntInRange(0, 9)
    if form == 0:
        junk = pick(fdp, ["a", {"name": "a"}, None, Spoof(Constant), Constant])
        return shown(junk), lambda: junk
    fields = make_fields(fdp)
    makers = {field: (repr(given), lambda given=given: given) for field, given in fields.items()}
    for _ in range(fdp.ConsumeIntInRange(0, 2) if fdp.ConsumeBool() else 0):
        field = pick(fdp, FIELDS)
        makers[field] = odd_value(fdp)
    label = ", ".join(f"{field}={makers[field][0]}" for field in FIELDS)
    if form != 1:
        return f"Constant({label})", lambda: Constant(*(makers[field][1]() for field in FIELDS))
    field, after = pick(fdp, FIELDS), fdp.ConsumeIntInRange(0, 1)

    def made_shifty():
        record = Shifty(*(makers[f][1]() for f in FIELDS))
        object.__getattribute__(record, "__dict__").update(field=field, reads=0, after=after)
        return record
    return f"Shifty({label}; {field} raises after {after} reads)", made_shifty


def make_entries(fdp):
    """(label, maker) of what Catalogue() iterates: made afresh for each twin."""
    records = [make_record(fdp) for _ in range(fdp.ConsumeIntInRange(0, 4))]
    labels = "[" + "; ".join(label for label, _ in records) + "]"
    form, at, raises = fdp.ConsumeIntInRange(0, 6), fdp.ConsumeIntInRange(0, len(records)), fdp.ConsumeBool()
    junk = pick(fdp, [3, "a", None, Constant])

    def failing():
        for index, (_, make) in enumerate(records + [(None, None)]):
            if index == at:
                yield hostile("the iterable, midway") if raises else junk
            if make is not None:
                yield make()
    makers = [lambda: [make() for _, make in records], lambda: tuple(make() for _, make in records), failing,
              lambda: made_hooked(HookedList, [make() for _, make in records], raises),
              lambda: {str(i): make() for i, (_, make) in enumerate(records)}, lambda: junk, lambda: junk]
    return f"form {form} (at {at}, raises={raises}, junk={junk!r}) of {labels}", makers[form]


def make_source(fdp):
    source = pick(fdp, ["<records>", "src", "", "line\nbreak", "`tick`", 3, None, b"src", Text("src")]
                  + ["\ud800", "hooked"])
    return made_hooked(HookedStr, "src", fdp.ConsumeBool()) if source == "hooked" else source


def make_argument(fdp, names):
    """A name or text to look up: one in the catalogue, a near miss, or no str at all."""
    form, name = fdp.ConsumeIntInRange(0, 9), pick(fdp, names or NAMES)
    if form <= 2:
        return name
    if form == 3:
        return pick(fdp, [name.upper(), name + " ", " " + name, name[:-1], name + "x", name + "\x00", name * 2])
    if form == 4:
        return pick(fdp, ["", "\ud800", "a\ud800", "ß", "SS", "\u212a", "µ", "Μ", "pi"])
    if form == 5:
        return made_hooked(HookedStr, name, fdp.ConsumeBool()) if fdp.ConsumeBool() else Text(name)
    if form == 6:
        return Spoof(str)
    if form == 7 and EXTRA:
        return pick(fdp, EXTRA)
    return pick(fdp, [1, None, b"a", 1.5, ["a"], object(), True, DEFAULT])


def make_arguments(fdp, method, names):
    """Arguments for `method`: well formed half the time; now and then a keyword name that is no str."""
    params = PARAMS[method]
    if fdp.ConsumeBool():
        args = [make_argument(fdp, names) for _ in params[:1]] + [DEFAULT] * (params[1:] != () and fdp.ConsumeBool())
        args, kwargs = ([], dict(zip(params, args))) if args and fdp.ConsumeBool() else (args, {})
    else:
        args = [make_argument(fdp, names) for _ in range(fdp.ConsumeIntInRange(0, 3))]
        keywords = [*params, "x", "source", "self"]
        kwargs = {pick(fdp, keywords): make_argument(fdp, names) for _ in range(fdp.ConsumeIntInRange(0, 2))}
    if fdp.ConsumeIntInRange(0, 7) == 0:
        kwargs[pick(fdp, [1, None, b"name"])] = 0
    return args, kwargs


# ------------------------------------------------------ chains of bases

CHAIN_STEMS = ["c", "µ", "x_", "E", "ß"]


def chain_document(entries):
    """The file of a chain level: what a file leaves out left out."""
    constants = []
    for entry in entries:
        member = {"name": entry["name"], "units": entry["units"]}
        if entry["status"] != "Pending":
            member["value"] = entry["value"]
        if entry["uncertainty"] is not None:
            member["uncertainty"] = entry["uncertainty"]
        if entry["status"] not in ("Seed", "Pending"):
            member["status"] = entry["status"]
        if entry["expression"] is not None:
            member["expression"] = entry["expression"]
        constants.append(member)
    return json.dumps({"format": "ostrelin-catalogue", "version": 1, "constants": constants}, ensure_ascii=False)


def make_level(fdp, level, earlier, clash=0):
    """(label, maker(twin, base), names) of one level of a chain: a few entries, their formulas over
    the names of the levels below (mostly the nearest). A `clash` refuses the level: 1 takes a name
    from the levels below, 2 takes one twice, 3 has a formula use a name no level has."""
    entries = []
    for index in range(max(fdp.ConsumeIntInRange(0, 2), 2 if clash == 2 else 1 if clash else 0)):
        if clash == 1 and index == 0 and earlier:
            name = pick(fdp, earlier)
        elif clash == 2 and index == 1:
            name = entries[0]["name"]
        else:
            name = f"{pick(fdp, CHAIN_STEMS)}{level}_{index}"
        pool = [entry["name"] for entry in entries] + earlier[-4:]
        if earlier and fdp.ConsumeBool():
            pool.append(pick(fdp, earlier))
        if clash == 3 or pool and fdp.ConsumeBool():
            pending, formula = fdp.ConsumeBool(), make_expression(fdp, 1, pool or None)
            fields = {"value": 0.0 if pending else 1.5, "uncertainty": None, "expression": formula,
                      "status": "Pending" if pending else "Cached"}
            if clash == 3:
                fields["expression"] += " + nowhere"
        else:
            fields = {"value": pick(fdp, [1.0, 2.5, -0.0, 1e308, 5e-324]), "uncertainty": pick(fdp, [None, 0.1, 0.0]),
                      "status": pick(fdp, ["Seed", "External"]), "expression": None}
        entries.append({"name": name, "units": pick(fdp, ["m", "", "kg·m/s²"]), **fields})
    names = [entry["name"] for entry in entries]
    if fdp.ConsumeIntInRange(0, 3) == 3:
        text = chain_document(entries)
        return f"loads({text}, base=…)", \
            lambda twin, base: twin.loads(text, base=base, source=f"level {level}"), names
    records = [(e["name"], e["value"], e["units"], e["uncertainty"], e["status"], e["expression"], ()) for e in entries]
    return f"Catalogue({records}, base=…)", \
        lambda twin, base: twin.Catalogue([Constant(*r) for r in records], base=base), names


def build_chain(fdp, cats):
    """Builds catalogues over the pair `cats`, each over the last, a few levels deep or (now and then) a
    few hundred, comparing the twins at each level; returns the top pair. LEVELS keeps every level,
    or only the top, so that the levels below live on only as bases."""
    depth = fdp.ConsumeIntInRange(8, 320) if fdp.ConsumeIntInRange(0, 15) == 15 else fdp.ConsumeIntInRange(1, 6)
    keep, clash_at, clash = fdp.ConsumeBool(), fdp.ConsumeIntInRange(0, depth - 1), fdp.ConsumeIntInRange(0, 3)
    levels = {twin: [cats[twin]] for twin in TWINS}
    earlier = cats[pure].names()
    STEPS.append(f"a chain of {depth} over it, {'every level' if keep else 'only its top'} kept")
    for level in range(depth):
        label, make, names = make_level(fdp, level, earlier, clash if level == clash_at else 0)
        built = {}

        def build(twin, cat, make=make, built=built):
            built[twin] = make(twin, levels[twin][-1])
            return len(built[twin])
        if compare(f"level {level}: {label}", build, cats)[0] != "ok":
            break
        for twin in TWINS:
            levels[twin].append(built[twin])
        earlier += names
    tops = {twin: levels[twin][-1] for twin in TWINS}
    compare("the top", lambda twin, cat: cat, tops)
    LEVELS.update(levels if keep else {twin: [tops[twin]] for twin in TWINS})
    return tops


# ------------------------------------------------- callers that pull the rug
#
# CALL holds what the hooks of the call in progress may reach, for the twin
# that runs it: "twin"; the call's keyword dict as "kw" when the harness
# passes that dict itself, else "key", a key object by which a hook finds
# the dict the interpreter made for `**` (which nothing but the call holds),
# and "scan", whether it looks through gc.get_referrers(key) or gc.get_objects();
# "items", the list the entries are read from, until a hook forgets it;
# "self", the catalogue being built when the harness made it first, else
# "cls", a class made for the call, whose one instance is that catalogue.

PyObject_Call = ctypes.pythonapi.PyObject_Call
PyObject_Call.argtypes = (ctypes.py_object, ctypes.py_object, ctypes.py_object)
PyObject_Call.restype = ctypes.c_void_p  # a new reference, taken over below: py_object would leak one
Py_DecRef = ctypes.pythonapi.Py_DecRef
Py_DecRef.argtypes = (ctypes.c_void_p,)
Py_DecRef.restype = None


def call_with_dict(cls, args, kwargs):
    """cls(*args, **kwargs) with `kwargs` itself as the call's keyword dict, where Python would pass a copy."""
    address = PyObject_Call(cls, args, kwargs)
    result = ctypes.cast(address, ctypes.py_object).value
    Py_DecRef(address)
    return result


def fresh(item):
    """An equal object that nothing else holds, where the type allows: freeing it is then up to its holder."""
    if type(item) is str and len(item) > 1:
        return "".join([item[:1], item[1:]])
    if type(item) is float:
        return float.fromhex(item.hex())
    if type(item) is tuple and item:
        return tuple(list(item))
    return item


def call_dict():
    """The keyword dict of the call in progress, while a hook can reach it."""
    if "kw" in CALL:
        return CALL["kw"]
    key = CALL.get("key")
    if key is None:
        return None
    for obj in gc.get_referrers(key) if CALL["scan"] else gc.get_objects():
        if type(obj) is dict and any(item is key for item in obj):
            return obj
    return None


def building():
    """The catalogue the call in progress builds."""
    if "self" in CALL:
        return CALL["self"]
    cls = CALL.get("cls")
    return next((obj for obj in gc.get_objects() if type(obj) is cls), None) if cls is not None else None


def fire(actions, record):
    for _, act in actions:
        act(record)


def note(what, run):
    """What a hook saw, for the twins to agree on."""
    LOG.setdefault(CALL.get("twin"), []).append((what, outcome(run)))


def base_in_call():
    kw = call_dict()
    base = kw.get("base") if kw is not None else None
    return base if issubclass(type(base), (pure.Catalogue, Base)) else None


USES = [("names", lambda cat, name: cat.names()), ("len", lambda cat, name: len(cat)),
        ("find", lambda cat, name: cat.find("e")), ("derive", lambda cat, name: cat.derive(name)),
        ("budget", lambda cat, name: cat.budget(name)), ("dumps", lambda cat, name: cat.dumps()),
        ("in", lambda cat, name: name in cat), ("get", lambda cat, name: cat.get(name)),
        ("values", lambda cat, name: list(cat.values())), ("source", lambda cat, name: cat.source)]
SEED = ("s0", 1.0, "m", 0.5, "Seed", None, ())
SELF_USES = USES + [("__init__", lambda cat, name: cat.__init__([Constant(*SEED)])),
                    ("copy", lambda cat, name: copy.copy(cat) is cat)]


def dict_action(fdp, plan):
    op, key = pick(fdp, ["clear", "pop", "replace"]), pick(fdp, ["base", "source"])
    replacement = pick(fdp, ["a catalogue", None, 3, "text"])

    def act(record):
        kw = call_dict()
        if kw is None:
            return
        if op == "clear":
            kw.clear()
        elif op == "pop":
            kw.pop(key, None)
        elif replacement == "a catalogue":
            kw[key] = CALL["twin"].Catalogue([])
        else:
            kw[key] = fresh("text") if replacement == "text" else replacement
    return f"{op} the keyword dict{'' if op == 'clear' else f'[{key!r}]'}" \
        + (f" with {replacement!r}" if op == "replace" else ""), act


def list_action(fdp, plan):
    op, at = pick(fdp, ["clear", "append", "replace", "delete", "reverse", "insert"]), fdp.ConsumeIntInRange(0, 3)
    label, make = make_record(fdp) if op in ("append", "replace", "insert") else ("", None)

    def act(record):
        items = CALL.get("items")
        if items is None:
            return
        if op == "clear":
            items.clear()
        elif op == "append":
            items.append(make())
        elif op == "insert":
            items.insert(at, make())
        elif op == "reverse":
            items.reverse()
        elif items:
            if op == "replace":
                items[at % len(items)] = make()
            else:
                del items[at % len(items)]
    return f"{op} {at} of the list {label}", act


def field_action(fdp, plan):
    field, at = pick(fdp, FIELDS), fdp.ConsumeIntInRange(-1, 3)
    odd_label, odd = odd_value(fdp) if fdp.ConsumeBool() else ("a fresh copy", None)

    def act(record):
        if at >= 0:
            items = CALL.get("items")
            record = items[at % len(items)] if items else None
        if issubclass(type(record), Constant):
            object.__setattr__(record, field, odd() if odd else fresh(object.__getattribute__(record, field)))
    return f"set {field} of {'this record' if at < 0 else f'item {at}'} to {odd_label}", act


def use_action(fdp, plan):
    whose, name = pick(fdp, ["base", "self"]), pick(fdp, NAMES + ["c0_0", "s0"])
    what, use = pick(fdp, SELF_USES if whose == "self" else USES)
    plan["self"] = plan["self"] or whose == "self"

    def act(record):
        target = building() if whose == "self" else base_in_call()
        if target is None:
            note(f"no {whose}", lambda: None)
        else:
            note(f"{whose} {what}", lambda: use(target, name))
    return f"{whose}.{what}({name!r})", act


def plain_action(fdp, plan):
    form = fdp.ConsumeIntInRange(0, 2)
    if form == 0:
        return "gc.collect()", lambda record: gc.collect()
    if form == 1:
        return "forget the list", lambda record: CALL.pop("items", None)
    return "raise", lambda record: hostile("a hook mid-call")


ACTIONS = [dict_action, dict_action, list_action, field_action, use_action, plain_action]


def make_actions(fdp, plan):
    return [pick(fdp, ACTIONS)(fdp, plan) for _ in range(fdp.ConsumeIntInRange(1, 3))]


def shown_actions(actions):
    return "[" + "; ".join(label for label, _ in actions) + "]"


def make_pulled_record(fdp, plan):
    """(label, maker) of an entry: one of make_record's, or a record of texts only it holds
    whose read number `at` of one attribute runs hostile actions."""
    if fdp.ConsumeIntInRange(0, 2) == 0:
        return make_record(fdp)
    fields, field, at = make_fields(fdp), pick(fdp, FIELDS), fdp.ConsumeIntInRange(1, 2)
    actions = make_actions(fdp, plan)

    def made():
        record = Trick(*(fresh(fields[f]) for f in FIELDS))
        object.__getattribute__(record, "__dict__").update(field=field, reads=0, at=at, actions=actions)
        return record
    return f"Trick({fields}; read {at} of {field} runs {shown_actions(actions)})", made


def make_pulled_entries(fdp, plan):
    """(label, maker(twin)) of the entries: a list, an iterator or a generator over a list that
    hooks may change (or a tuple of it), running actions in __iter__ or before an item."""
    records = [make_pulled_record(fdp, plan) for _ in range(fdp.ConsumeIntInRange(0, 4))]
    form, at = fdp.ConsumeIntInRange(0, 3), fdp.ConsumeIntInRange(-1, len(records))
    actions = make_actions(fdp, plan) if form in (1, 2) else []

    def make(twin):
        items = [made() for _, made in records]
        CALL["items"] = items
        if form == 1:
            return Rug(items, at, actions)
        if form == 2:
            return pulled(items, max(at, 0), actions)
        return tuple(items) if form == 3 else items
    shape = ["list", "Rug", "generator", "tuple"][form]
    return f"{shape} (at {at}: {shown_actions(actions)}) of [{'; '.join(label for label, _ in records)}]", make


def make_base(fdp, cats):
    """(label, maker(twin)) of a base, most often one that nothing but the call will hold."""
    form = fdp.ConsumeIntInRange(0, 6)
    if form == 0:
        text = make_document(fdp)
        return f"loads({text})", lambda twin: twin.loads(text)
    if form == 1:
        fields = [make_fields(fdp) for _ in range(fdp.ConsumeIntInRange(0, 3))]
        return f"Catalogue({fields})", lambda twin: twin.Catalogue([Constant(**f) for f in fields])
    if form == 2:
        plans, earlier = [], []
        for level in range(fdp.ConsumeIntInRange(1, 4)):
            label, make, names = make_level(fdp, level, earlier)
            plans.append((label, make))
            earlier += names

        def chain(twin):
            top = None
            for _, make in plans:
                top = make(twin, top)
            return top
        return f"chain [{'; '.join(label for label, _ in plans)}]", chain
    if form == 3:
        return "this input's catalogue", lambda twin: cats[twin]
    if form == 4 and LEVELS:
        at = fdp.ConsumeIntInRange(0, len(LEVELS[pure]) - 1)
        return f"level {at}", lambda twin: LEVELS[twin][at]
    if form == 5:
        fields = make_fields(fdp)
        return f"Extra([{fields}])", lambda twin: SUBCLASSES[twin]["Extra"]([Constant(**fields)], tag=1)
    junk = pick(fdp, [3, None, "a", "the other twin's", "unmade"])
    if junk == "the other twin's":
        return junk, lambda twin: (native if twin is pure else pure).Catalogue([])
    if junk == "unmade":
        return junk, lambda twin: twin.Catalogue.__new__(twin.Catalogue)
    return repr(junk), lambda twin: junk


def make_fresh_source(fdp):
    source = pick(fdp, ["<records>", "src", "", "line\nbreak", "\ud800", 3, None, "hooked", "text"])
    if source == "hooked":
        raises = fdp.ConsumeBool()
        return f"HookedStr('src', raises={raises})", lambda: made_hooked(HookedStr, "src", raises)
    if source == "text":
        return "Text('src')", lambda: Text("src")
    return repr(source), lambda: fresh(source)


CLASS_FORMS = ["Catalogue"] * 4 + ["Extra", "Skips", "Twice"]
SHAPES = ["cls(entries, **{...})", "cls(entries, **kw) with kw itself", "cls.__new__(cls).__init__(entries, **{...})"]


def pulled_step(fdp, cats, names):
    """A construction whose hooks drop, replace or change what the call holds."""
    plan = {"self": False}
    entries_label, entries = make_pulled_entries(fdp, plan)
    base_label, base = make_base(fdp, cats) if fdp.ConsumeIntInRange(0, 3) else ("none", None)
    source_label, source = make_fresh_source(fdp) if fdp.ConsumeBool() else ("none", None)
    shape, scan, kind = fdp.ConsumeIntInRange(0, 2), fdp.ConsumeBool(), pick(fdp, CLASS_FORMS)
    stray = fdp.ConsumeIntInRange(0, 15) == 0  # an unknown keyword: refused before any entry is read

    def step(twin, cat):
        CALL.clear()
        CALL.update(twin=twin, scan=scan)
        cls = twin.Catalogue if kind == "Catalogue" else SUBCLASSES[twin][kind]
        if plan["self"] and shape != 2:
            cls = CALL["cls"] = type("Building", (cls,), {"__slots__": ()})
        # A dict whose keys are all exact strs does not show the collector its keys:
        # gc.get_referrers() finds it by a key only when that key is a str subclass.
        keys = {name: Text(name) if scan else fresh(name) for name in ("base", "source")}
        if kind == "Catalogue":  # a subclass's __init__ gets its own copy of the dict
            CALL["key"] = keys["base" if base is not None else "source"]

        def keywords():
            made = {keys["base"]: base(twin)} if base is not None else {}
            if source is not None:
                made[keys["source"]] = source()
            if stray:
                made["stray"] = 1
            return made
        if shape == 0:
            return cls(entries(twin), **keywords())
        if shape == 1:
            CALL["kw"] = keywords()
            return call_with_dict(cls, (entries(twin),), CALL["kw"])
        CALL["self"] = cls.__new__(cls)
        CALL["self"].__init__(entries(twin), **keywords())
        return CALL["self"]
    return f"{SHAPES[shape]} (scan: {'referrers' if scan else 'objects'}) cls={kind} entries={entries_label} " \
        f"base={base_label} source={source_label} stray={stray}", step


# ------------------------------------------------------------------ steps

def method_step(fdp, cats, names):
    method = pick(fdp, list(PARAMS))
    args, kwargs = make_arguments(fdp, method, names)
    if fdp.ConsumeBool():  # through the class, each twin with its own receiver
        return f"{method} unbound {shown(args)} {shown(kwargs)}", \
            lambda twin, cat: getattr(twin.Catalogue, method)(cat, *args, **kwargs)
    return f"{method} {shown(args)} {shown(kwargs)}", lambda twin, cat: getattr(cat, method)(*args, **kwargs)


SPECIAL = [1.5, 0.0, -2.0, 2.0, 3.25e-2, 1e308, 1e-320, math.nan, math.inf, -math.inf]


def make_array(fdp):
    """(label, maker) of what a caller hands evaluate() for one seed: scalars, lists, arrays of every
    dtype and layout (strided, reversed, broadcast, misaligned, read-only, big-endian, 0-d, empty)."""
    form = fdp.ConsumeIntInRange(0, 11)
    items = [pick(fdp, SPECIAL) for _ in range(fdp.ConsumeIntInRange(0, 6))]
    floats = numpy.array(items, dtype=numpy.float64)
    if form == 0:
        item = items[0] if items else 0.5
        return repr(item), lambda: item
    if form == 1:
        return f"list {items!r}", lambda: list(items)
    if form == 2:
        return f"array {items!r}", lambda: floats
    if form == 3:
        def read_only():
            array = floats.copy()
            array.flags.writeable = False
            return array
        return f"read-only {items!r}", read_only
    if form == 4:
        return f"big-endian {items!r}", lambda: floats.astype(">f8")
    if form == 5:
        dtype = pick(fdp, ["int64", "uint8", "float32", "complex128", "bool", "object", "U3", "m8[s]"])
        whole = [0 if math.isnan(x) or math.isinf(x) else int(max(min(x, 100), 0)) for x in items]
        return f"{dtype} {whole!r}", lambda: numpy.array(whole, dtype=dtype)
    if form == 6:
        def misaligned():
            raw = numpy.zeros(8 * len(items) + 1, dtype=numpy.uint8)
            array = raw[1:].view(numpy.float64)
            array[:] = floats
            return array
        return f"misaligned {items!r}", misaligned
    if form == 7:
        rows = fdp.ConsumeIntInRange(1, 3)
        return f"column of {rows} rows {items!r}", lambda: numpy.resize(floats, rows)[:, None]
    if form == 8:
        return f"reversed, every other {items!r}", lambda: floats[::-2]
    if form == 9:
        return f"0-d {items[:1]!r}", lambda: numpy.float64(items[0] if items else 2.0)
    if form == 10:
        return f"broadcast to (2, {len(items)}) {items!r}", lambda: numpy.broadcast_to(floats, (2, len(items)))
    return pick(fdp, [("None", lambda: None), ("str", lambda: "1.5"), ("dict", lambda: {"a": 1}),
                      ("nested lists", lambda: [[1.0, 2.0], [3.0]])])


# Formulas of every kind over correlated seeds and a base, for evaluate() to reach through.
EVALUATED = json.dumps({"format": "ostrelin-catalogue", "version": 2, "constants": [
    {"name": "a", "units": "1", "value": 1.5, "uncertainty": 0.01, "symbol": "α"},
    {"name": "b", "units": "1", "value": 2.0, "uncertainty": 0.02},
    {"name": "µ0", "units": "1", "value": 0.5},
    {"name": "E", "units": "1", "value": 3.0, "uncertainty": 0.0},
    {"name": "g", "units": "1", "expression": "a * b - µ0 ** 2 / E"},
    {"name": "x_1", "units": "1", "expression": "log(g) + sqrt(b / a) * exp(-µ0 / a) - asin(µ0 / b)"},
    {"name": "h", "units": "1", "expression": "x_1 ** 2 + cosh(x_1) / tan(a / b) + 1 / (b - a)"}],
    "correlations": [["a", "b", 0.5]]})
EVALUATED_CATS = {}


def evaluate_step(fdp, cats, names):
    """evaluate() of a name the catalogue has (or not), with arrays for seeds it reaches (or not)."""
    if fdp.ConsumeBool():
        if not EVALUATED_CATS:
            EVALUATED_CATS.update({twin: twin.loads(EVALUATED) for twin in TWINS})
        cats, names = EVALUATED_CATS, EVALUATED_CATS[pure].names()
        label, step = evaluate_step(fdp, cats, names)
        return f"on the evaluated catalogue: {label}", lambda twin, cat: step(twin, cats[twin])
    name = make_argument(fdp, names) if fdp.ConsumeIntInRange(0, 5) == 0 else pick(fdp, names or NAMES)
    # Mostly the catalogue's own seeds, which a formula may reach.
    seeds = [key for key in names if cats[pure][key].expression is None] or NAMES
    keys = [pick(fdp, seeds if fdp.ConsumeIntInRange(0, 4) else NAMES) for _ in range(fdp.ConsumeIntInRange(0, 3))]
    values = [(key, *make_array(fdp)) for key in keys]
    spreads = [(key, *make_array(fdp)) for key in keys if fdp.ConsumeBool()]
    errors = pick(fdp, ["raise", "nan", "raise", "nan", "ignore"])
    label = f"evaluate({name!r}, {[(k, t) for k, t, _ in values]}, uncertainties={[(k, t) for k, t, _ in spreads]}, " \
        f"errors={errors!r})"
    # One set of arrays for both twins: evaluate() must not change them.
    arguments = {"values": {key: make() for key, _, make in values},
                 "uncertainties": {key: make() for key, _, make in spreads} or None}
    if fdp.ConsumeIntInRange(0, 7) == 0:
        arguments["values"] = pick(fdp, [[1.0], None, "a"])
    return label, lambda twin, cat: cat.evaluate(name, arguments["values"], uncertainties=arguments["uncertainties"],
                                                 errors=errors)


def private_evaluate_step(fdp, cats, names):
    """The native half of evaluate() called directly with what the front end never hands it: it may refuse
    anything, but must not crash (the pure twin is not asked)."""
    shapes = [(), (0,), (3,), (2, 3), (3, 1)]
    out_shape = pick(fdp, shapes)
    outs = [pick(fdp, [lambda: numpy.empty(out_shape), lambda: numpy.empty(out_shape)[::-1] if out_shape else
                       numpy.empty(()), lambda: numpy.empty(out_shape, dtype=numpy.float32), lambda: b"12345678",
                       lambda: numpy.empty(out_shape).view(numpy.int64), lambda: None]) for _ in range(2)]
    arrays = [make_array(fdp)[1] for _ in range(fdp.ConsumeIntInRange(0, 2))]
    keys = tuple(pick(fdp, (names or []) + NAMES) for _ in arrays)
    sigma_keys = keys[:fdp.ConsumeIntInRange(0, len(keys))] if fdp.ConsumeBool() else keys + ("a",)
    name = pick(fdp, names or NAMES)

    def call(twin, cat):
        if twin is pure:
            return None
        given = tuple(make() for make in arrays)
        try:
            cat._evaluate(name, keys, given, sigma_keys, given[:len(sigma_keys)], outs[0](), outs[1](),
                          fdp_bool)
        except Exception:  # noqa: BLE001 - any refusal will do
            pass
        return None
    fdp_bool = fdp.ConsumeBool()
    return f"_evaluate({name!r}, {keys}, sigma {sigma_keys}, out {out_shape})", call


def protocol_step(fdp, cats, names):
    x, records = make_argument(fdp, names), dict(cats[pure].items())
    others = [lambda twin, cat: cats[native if twin is pure else pure], lambda twin, cat: cat,
              lambda twin, cat: records, lambda twin, cat: {"a": 1}, lambda twin, cat: None,
              lambda twin, cat: LEVELS[twin][0] if LEVELS else cat]
    other = pick(fdp, others)
    # list() of what iter() gives: the native twin iterates a tuple of names, the
    # reference a list, so the iterator types differ by design; the items may not.
    label, step = pick(fdp, [
        ("cat[x]", lambda twin, cat: cat[x]), ("x in cat", lambda twin, cat: x in cat),
        ("len", lambda twin, cat: len(cat)), ("iter", lambda twin, cat: list(iter(cat))),
        ("keys", lambda twin, cat: list(cat.keys())), ("items", lambda twin, cat: list(cat.items())),
        ("values", lambda twin, cat: list(cat.values())), ("x in keys", lambda twin, cat: x in cat.keys()),
        ("source", lambda twin, cat: cat.source), ("description", lambda twin, cat: cat.description),
        ("repr", lambda twin, cat: repr(cat)), ("bool", lambda twin, cat: bool(cat)),
        ("hash", lambda twin, cat: hash(cat)), ("reversed", lambda twin, cat: reversed(cat)),
        ("format", lambda twin, cat: format(cat, "x" if x is None else "")),
        ("==", lambda twin, cat: cat == other(twin, cat)), ("!=", lambda twin, cat: cat != other(twin, cat)),
        ("copy is itself", lambda twin, cat: copy.copy(cat) is cat),
        ("deepcopy is itself", lambda twin, cat: copy.deepcopy(cat, {}) is cat),
    ])
    return f"{label} x={shown(x)} other {others.index(other)}", step


def construct_step(fdp, cats=None, names=None):
    label, entries = make_entries(fdp)
    source, form = make_source(fdp), fdp.ConsumeIntInRange(0, 6)
    calls = [lambda c: c(entries(), source=source), lambda c: c(entries()), lambda c: c(entries(), "x"),
             lambda c: c(entries(), source=source, foo=1), lambda c: c(entries=entries(), source=source),
             lambda c: c(entries(), **{1: 2}), lambda c: c()]
    return f"Catalogue({label}) shape {form} source={shown(source)}", lambda twin, cat: calls[form](twin.Catalogue)


def reinit_step(fdp, cats, names):
    """__init__ again on a catalogue: refused, whatever it is given."""
    label, entries = make_entries(fdp)
    form = fdp.ConsumeIntInRange(0, 4)
    calls = [lambda cat: cat.__init__(entries()), lambda cat: cat.__init__(entries(), source="again"),
             lambda cat: type(cat).__init__(cat, entries(), base=cat), lambda cat: cat.__init__(),
             lambda cat: cat.__init__(entries(), 3, foo=1)]
    return f"__init__ again, form {form}, with {label}", lambda twin, cat: (calls[form](cat), cat)


def level_step(fdp, cats, names):
    """A random call on one level of this input's chain (each level is a catalogue of its own)."""
    at = fdp.ConsumeIntInRange(0, len(LEVELS[pure]) - 1)
    pair = {twin: LEVELS[twin][at] for twin in TWINS}
    label, step = pick(fdp, [method_step, protocol_step])(fdp, pair, names)
    return f"level {at}: {label}", lambda twin, cat: step(twin, LEVELS[twin][at])


os.makedirs(os.path.join(tempfile.gettempdir(), "catalogue_surface"), exist_ok=True)
PATH = os.path.join(tempfile.gettempdir(), "catalogue_surface", f"{os.getpid()}.json")  # one file per process


def load_step(fdp, cats, names):
    text = written(cats[pure])
    with open(PATH, "w", encoding="utf-8") as out:
        out.write(text)
    path = pick(fdp, [PATH, os.path.dirname(PATH), PATH + ".missing", "", "a\x00b", "\ud800", 3, b"x",
                          PATH + "\udcff"])
    source, data = make_source(fdp), pick(fdp, [text, text.encode(), bytearray(text.encode()), 3, None])
    at = fdp.ConsumeIntInRange(0, len(LEVELS[pure]) - 1)
    label, step = pick(fdp, [(f"load({path!r})", lambda twin, cat: twin.load(path)),
                             (f"loads(source={shown(source)})", lambda twin, cat: twin.loads(data, source=source)),
                             ("loads(data, source)", lambda twin, cat: twin.loads(data, source)),
                             ("loads()", lambda twin, cat: twin.loads()),
                             (f"load({path!r}, base=level {at})",
                              lambda twin, cat: twin.load(path, base=LEVELS[twin][at])),
                             (f"loads(base=level {at})", lambda twin, cat: twin.loads(data, base=LEVELS[twin][at]))])
    return label, step


# ------------------------------------------------- the native type alone

def refuses(label, run, text=None):
    """run() must raise TypeError (with `text`, if given)."""
    STEPS.append(label)
    try:
        run()
    except TypeError as exc:
        if text is None or str(exc) == text:
            return
        raise Finding(f"{' / '.join(STEPS)}: TypeError {str(exc)!r}, expected {text!r}") from exc
    except BaseException as exc:  # noqa: BLE001
        raise Finding(f"{' / '.join(STEPS)}: {type(exc).__name__}: {exc}, expected TypeError") from exc
    raise Finding(f"{' / '.join(STEPS)}: returned, expected TypeError")


def wrong_receiver_step(fdp, cats, names):
    member = pick(fdp, [*PARAMS, "__getitem__", "__contains__", "__len__", "__iter__", "source", "description"])
    args = [make_argument(fdp, names)] * (member in ("__getitem__", "__contains__") or len(PARAMS.get(member, ())) > 0)
    if member in ("source", "description"):  # (None would ask the property for itself)
        receiver = pick(fdp, [cats[pure], {}, 3, "a", Spoof(Base), Base])
        run = lambda: Base.__dict__[member].__get__(receiver, Base)  # noqa: E731
    else:
        receiver = pick(fdp, [cats[pure], {}, 3, "a", Spoof(Base), Base, None])
        run = lambda: getattr(Base, member)(receiver, *args)  # noqa: E731
    refuses(f"Catalogue.{member}({type(receiver).__name__} receiver)", run)
    refuses("_read/_load", pick(fdp, [lambda: Base._read(b"{}", 3), lambda: Base._read("{}", "s"),
                                      lambda: Base._load(b"x")]))


def _tp_new_cell(cls):
    """The tp_new slot of a type object, seven pointers after its tp_base."""
    words = (ctypes.c_void_p * 64).from_address(id(cls))
    base = next(i for i, word in enumerate(words) if word == id(cls.__base__))
    return ctypes.c_void_p.from_address(id(cls) + (base + 7) * ctypes.sizeof(ctypes.c_void_p))


# Putting the saved __new__ back leaves tp_new at the generic slot function (for
# the type and its subclass), which refuses every call as "not safe"; the native
# pointers are written back as well, as in surface_fuzz.py.
SAVED_NEW = Base.__dict__["__new__"]
NATIVE_NEW = [(cls, _tp_new_cell(cls).value) for cls in (Base, native.Catalogue)]


def make_unmade(cls):
    Base.__new__ = staticmethod(object.__new__)
    try:
        return object.__new__(cls)
    finally:
        Base.__new__ = SAVED_NEW
        for patched, pointer in NATIVE_NEW:
            _tp_new_cell(patched).value = pointer


def subclasses(twin):
    """The subclass idiom over one twin's Catalogue, done right and done wrong."""
    class Extra(twin.Catalogue):
        def __init__(self, entries, tag=None, **keywords):
            super().__init__(entries, **keywords)
            self.tag = tag

    class Skips(twin.Catalogue):
        def __init__(self, *args, **keywords):
            self.tag = None  # and never builds

    class Fails(twin.Catalogue):
        def __init__(self, *args, **keywords):
            try:
                super().__init__(3)
            except TypeError:
                pass

    class Twice(twin.Catalogue):
        def __init__(self, entries, **keywords):
            super().__init__(entries, **keywords)
            super().__init__([], **keywords)
    return {cls.__name__: cls for cls in (Extra, Skips, Fails, Twice)}


SUBCLASSES = {twin: subclasses(twin) for twin in TWINS}
UNMADE_FORMS = ["Catalogue.__new__", "Skips", "Fails", "object.__new__"]


def make_unmade_pair(form):
    """An instance of each twin whose __init__ never ran, or failed."""
    pair = {}
    for twin in TWINS:
        if form == 0:
            pair[twin] = twin.Catalogue.__new__(twin.Catalogue)
        elif form in (1, 2):
            pair[twin] = SUBCLASSES[twin][UNMADE_FORMS[form]]([])
        else:
            pair[twin] = make_unmade(native.Catalogue) if twin is native else object.__new__(pure.Catalogue)
    return pair


def build_unmade_step(fdp, cats, names):
    label, entries = make_entries(fdp)
    return f"Catalogue.__init__(it, {label})", lambda twin, cat: (twin.Catalogue.__init__(cat, entries()), cat)


def unmade_step(fdp, cats, names):
    form = fdp.ConsumeIntInRange(0, 3)
    pair = make_unmade_pair(form)
    if type(native.Catalogue([])) is not native.Catalogue:
        raise Finding("Catalogue() no longer makes catalogues once its __new__ is put back")
    # Well-formed calls on the native one: each must refuse with the one message.
    obj, name = make_unmade(Base) if fdp.ConsumeIntInRange(0, 3) == 0 else pair[native], names[0] if names else "a"
    calls = [("len", lambda: len(obj)), ("[]", lambda: obj[name]), ("iter", lambda: iter(obj)),
             ("in", lambda: name in obj), ("source", lambda: obj.source), ("description", lambda: obj.description)]
    calls += [(m, lambda m=m: getattr(obj, m)(*[name][: len(PARAMS[m])])) for m in PARAMS]
    if isinstance(obj, native.Catalogue):  # what collections.abc.Mapping adds
        calls += [("keys", lambda: list(obj.keys())), ("items", lambda: list(obj.items())),
                  ("values", lambda: list(obj.values())), ("==", lambda: obj == {}), ("repr", lambda: repr(obj))]
    for label, call in calls:
        refuses(f"unmade {type(obj).__name__}: {label}", call, NOT_MADE)
    # Then random calls on each twin's instance, which must agree (one of them may build it).
    for _ in range(fdp.ConsumeIntInRange(1, 3)):
        label, step = pick(fdp, [method_step, protocol_step, build_unmade_step])(fdp, cats, names)
        compare(f"unmade ({UNMADE_FORMS[form]}): {label}", step, pair)
    EXTRA.append(pair[native])


# ------------------------------------------------------------------- input

STEP_KINDS = [method_step] * 3 + [protocol_step] * 3 + [level_step] * 2 + [pulled_step] * 3 + [evaluate_step] * 2 \
    + [construct_step, load_step, wrong_receiver_step, unmade_step, reinit_step, private_evaluate_step]


def usable(cat):
    """Whether `cat` is a catalogue that was built (a subclass's may not be)."""
    try:
        cat.names()
    except TypeError:
        return False
    return True


def build_pair(fdp):
    """The catalogue of each twin (two empty ones when neither could be built)."""
    form = fdp.ConsumeIntInRange(0, 3)
    if form == 0:
        text = make_document(fdp)
        label, build = f"loads({text})", lambda twin, cat: twin.loads(text)
    elif form == 3:
        label, build = pulled_step(fdp, {twin: twin.Catalogue([]) for twin in TWINS}, NAMES)
    else:
        label, build = construct_step(fdp)
    built = {}

    def keep(twin, cat):
        built[twin] = build(twin, cat)
        return built[twin]
    if compare(label, keep, {pure: None, native: None})[0] != "ok" or not all(map(usable, built.values())):
        return {pure: pure.Catalogue([]), native: native.Catalogue([])}
    return built


def test_one_input(fdp):
    RAISED.clear()
    STEPS.clear()
    try:
        cats = build_pair(fdp)
        LEVELS.update({twin: [cats[twin]] for twin in TWINS})
        if fdp.ConsumeIntInRange(0, 2) == 2:
            cats = build_chain(fdp, cats)
        names = cats[pure].names()
        for _ in range(fdp.ConsumeIntInRange(1, 8)):
            step = pick(fdp, STEP_KINDS)(fdp, cats, names)
            if step is not None:
                compare(*step, cats)
    finally:
        # Instances without a payload, and the levels of a chain, are destroyed here.
        EXTRA.clear()
        LEVELS.clear()
        CALL.clear()
        LOG.clear()


def setup():
    """Checks that a replaced __new__ comes undone, and has atheris instrument this
    module and the reference, so that their branches guide the search too."""
    make_unmade(Base)
    if type(native.Catalogue([])) is not native.Catalogue or type(Base([])) is not Base:
        raise RuntimeError("restoring the catalogue's __new__ does not work on this interpreter")
    done = set()
    for module in (globals(), *(vars(m) for m in (pure, expression, lookup, inputs))):
        for item in list(module.values()):
            for member in vars(item).values() if inspect.isclass(item) else [item]:
                if inspect.isfunction(member) and member.__module__.startswith(("ostrelin", __name__)) \
                        and id(member) not in done:
                    done.add(id(member))
                    atheris.instrument_func(member)

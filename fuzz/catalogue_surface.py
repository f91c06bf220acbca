"""The catalogue module's part of the surface fuzzer: surface_fuzz.py hands it some of its inputs.

Each input builds a pair of equal catalogues, one per twin (ostrelin._pycatalogue and
ostrelin._native), from a small document or from records, some hostile (subclasses of
str, float, int and list whose hooks lie or raise, records whose attributes raise,
iterables that fail midway or yield no record), then spells random calls on both and
holds the native outcome to the pure one: results by value, exceptions by type, str()
and notes; an exception a hook raised must come back as that very object. Calls through
the native type with a receiver of another type must raise TypeError, and an instance
made without its payload (while the type's __new__ is object.__new__) must refuse every
method. Anything else raises a Finding that lists the input's steps.
"""

import ctypes
import dataclasses
import inspect
import json
import math
import os
import tempfile

import atheris

import ostrelin._native as native
import ostrelin._pycatalogue as pure
from ostrelin import Constant
from ostrelin import _expression as expression
from ostrelin import _input as inputs
from ostrelin import _lookup as lookup
from ostrelin._veldra_catalogue import Catalogue as Base

FIELDS = [field.name for field in dataclasses.fields(Constant)]
NOT_MADE = "Catalogue object was not made by Catalogue()"
NAMES = ["a", "b", "µ0", "x_1", "E"]
PARAMS = {"get": ("name", "default"), "find": ("text",), "datasheet": ("name",), "derive": ("name",),
          "derived": ("name",), "budget": ("name",), "names": (), "dumps": ()}



class Finding(AssertionError):
    """The twins disagree, or the native type breaks a promise of its own."""


class Hostile(Exception):
    """What a hook raises: a new object each time, kept in RAISED."""


RAISED, STEPS, EXTRA = [], [], []  # hook exceptions; this input's steps; its instances without a payload
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


def shown(obj):
    try:
        return repr(obj)
    except Exception:  # noqa: BLE001 - an instance without its payload has no repr
        return f"<{type(obj).__name__}>"


def value(result):
    """A result in terms that compare across the twins: exact types, floats by repr."""
    kind = type(result)
    if result is DEFAULT:
        return ("the default",)
    if kind is Constant:
        return ("Constant", [value(object.__getattribute__(result, f)) for f in FIELDS])
    if kind in (pure.Catalogue, native.Catalogue):
        return ("Catalogue", result.names(), result.dumps(), value(result.source))
    if kind in (list, tuple):
        return (kind.__name__, [value(item) for item in result])
    if kind is dict:
        return ("dict", [(value(key), value(item)) for key, item in result.items()])
    if kind in (str, Text, float, int, bool, type(None)):
        return (kind.__name__, repr(result))
    return ("object", id(result))  # anything else must be what was passed in


def outcome(run):
    try:
        return ("ok", value(run()))
    except Finding:
        raise
    except BaseException as exc:  # noqa: BLE001 - every exception is an outcome to compare
        if type(exc) is Hostile and exc is not RAISED[-1]:
            raise Finding(f"{' / '.join(STEPS)}: a hook's exception came back, but not the newest one") from exc
        return ("raised", type(exc).__name__, str(exc), getattr(exc, "__notes__", None))


def compare(label, step, cats):
    """Runs step(twin, cat) for both twins; the outcomes must agree."""
    STEPS.append(label)
    expected, got = outcome(lambda: step(pure, cats[pure])), outcome(lambda: step(native, cats[native]))
    if expected != got:
        raise Finding(f"{' / '.join(STEPS)}:\n  pure:   {expected!r}\n  native: {got!r}")
    return expected


# ------------------------------------------------------------- generation

def pick(fdp, items):
    return items[fdp.ConsumeIntInRange(0, len(items) - 1)]


def make_expression(fdp, depth=0):
    form = fdp.ConsumeIntInRange(0, 5 if depth < 3 else 1)
    if form <= 1:
        return pick(fdp, [NAMES + ["pi"], ["2", "0", "0.5", "1e308", "1e-320", "3.25e-2"]][form])
    a, b = make_expression(fdp, depth + 1), "" if form in (3, 4) else make_expression(fdp, depth + 1)
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
            "description": pick(fdp, ["", "Mass of the µ", "STRASSE", "straße", "Kelvin \u212a"]), **fields}


def make_document(fdp):
    entries = []
    for _ in range(fdp.ConsumeIntInRange(0, 4)):
        fields = make_fields(fdp)
        # What a file leaves out: the defaults, and now and then more (a shape problem).
        entries.append({key: item for key, item in fields.items() if item not in (None, (), "", "Seed", "Pending")
                        and not (key == "value" and fields["status"] == "Pending") and fdp.ConsumeIntInRange(0, 15)})
    document = {"format": "ostrelin-catalogue", "version": 1, "constants": entries}
    if fdp.ConsumeBool():
        document["description"] = "a test"
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


# ------------------------------------------------------------------ steps

def method_step(fdp, cats, names):
    method = pick(fdp, list(PARAMS))
    args, kwargs = make_arguments(fdp, method, names)
    if fdp.ConsumeBool():  # through the class, each twin with its own receiver
        return f"{method} unbound {shown(args)} {shown(kwargs)}", \
            lambda twin, cat: getattr(twin.Catalogue, method)(cat, *args, **kwargs)
    return f"{method} {shown(args)} {shown(kwargs)}", lambda twin, cat: getattr(cat, method)(*args, **kwargs)


def protocol_step(fdp, cats, names):
    x, records = make_argument(fdp, names), dict(cats[pure].items())
    others = [lambda twin, cat: cats[native if twin is pure else pure], lambda twin, cat: cat,
              lambda twin, cat: records, lambda twin, cat: {"a": 1}, lambda twin, cat: None]
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
    ])
    return f"{label} x={shown(x)} other {others.index(other)}", step


def construct_step(fdp, cats=None, names=None):
    label, entries = make_entries(fdp)
    source, form = make_source(fdp), fdp.ConsumeIntInRange(0, 6)
    calls = [lambda c: c(entries(), source=source), lambda c: c(entries()), lambda c: c(entries(), "x"),
             lambda c: c(entries(), source=source, foo=1), lambda c: c(entries=entries(), source=source),
             lambda c: c(entries(), **{1: 2}), lambda c: c()]
    return f"Catalogue({label}) shape {form} source={shown(source)}", lambda twin, cat: calls[form](twin.Catalogue)


os.makedirs(os.path.join(tempfile.gettempdir(), "catalogue_surface"), exist_ok=True)
PATH = os.path.join(tempfile.gettempdir(), "catalogue_surface", f"{os.getpid()}.json")  # one file per process


def load_step(fdp, cats, names):
    text = cats[pure].dumps()
    with open(PATH, "w", encoding="utf-8") as out:
        out.write(text)
    path = pick(fdp, [PATH, os.path.dirname(PATH), PATH + ".missing", "", "a\x00b", "\ud800", 3, b"x",
                          PATH + "\udcff"])
    source, data = make_source(fdp), pick(fdp, [text, text.encode(), bytearray(text.encode()), 3, None])
    label, step = pick(fdp, [(f"load({path!r})", lambda twin, cat: twin.load(path)),
                             (f"loads(source={shown(source)})", lambda twin, cat: twin.loads(data, source=source)),
                             ("loads(data, source)", lambda twin, cat: twin.loads(data, source)),
                             ("loads()", lambda twin, cat: twin.loads())])
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


def unmade_step(fdp, cats, names):
    obj = make_unmade(pick(fdp, [Base, native.Catalogue]))
    if type(native.Catalogue([])) is not native.Catalogue:
        raise Finding("Catalogue() no longer makes catalogues once its __new__ is put back")
    name = names[0] if names else "a"
    calls = [("len", lambda: len(obj)), ("[]", lambda: obj[name]), ("iter", lambda: iter(obj)),
             ("source", lambda: obj.source), ("description", lambda: obj.description)]
    calls += [(m, lambda m=m: getattr(obj, m)(*[name][: len(PARAMS[m])])) for m in PARAMS]
    if type(obj) is native.Catalogue:  # what collections.abc.Mapping adds
        calls += [("keys", lambda: list(obj.keys())), ("items", lambda: list(obj.items())),
                  ("values", lambda: list(obj.values())), ("==", lambda: obj == {}), ("repr", lambda: repr(obj))]
    for label, call in calls:
        refuses(f"unmade {type(obj).__name__}: {label}", call, NOT_MADE)
    if name in obj:  # `in` never raises: an instance without its payload holds nothing
        raise Finding("`in` found a name in an instance without its payload")
    EXTRA.append(obj)


# ------------------------------------------------------------------- input

STEP_KINDS = [method_step] * 3 + [protocol_step] * 3 + [construct_step, load_step, wrong_receiver_step, unmade_step]


def build_pair(fdp):
    """The catalogue of each twin (two empty ones when neither could be built)."""
    if fdp.ConsumeBool():
        text = make_document(fdp)
        label, build = f"loads({text})", lambda twin, cat: twin.loads(text)
    else:
        label, build = construct_step(fdp)
    built = {}

    def keep(twin, cat):
        built[twin] = build(twin, cat)
        return built[twin]
    if compare(label, keep, {pure: None, native: None})[0] != "ok":
        return {pure: pure.Catalogue([]), native: native.Catalogue([])}
    return built


def test_one_input(fdp):
    RAISED.clear()
    STEPS.clear()
    cats = build_pair(fdp)
    names = cats[pure].names()
    try:
        for _ in range(fdp.ConsumeIntInRange(1, 8)):
            step = pick(fdp, STEP_KINDS)(fdp, cats, names)
            if step is not None:
                compare(*step, cats)
    finally:
        EXTRA.clear()  # instances without a payload are destroyed here


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

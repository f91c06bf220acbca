"""Coverage-guided fuzzing of every Python entry of ostrelin._veldra_core.

Each input decodes into a short program: calls of every function, method and
constructor, spelled every way Python allows (bound, unbound with any
receiver, through __new__ and object.__new__, by len()), with arguments and
keyword dicts of any type; patches of class attributes, json.loads,
builtins.__import__ and sys.excepthook; and objects whose __float__,
__index__, __str__, __eq__ or __hash__ misbehave, call back into the module
or drop the receiver. Every outcome is checked against what the module
promises: a result, or an exception of one type with one text. Anything else
is raised as a Finding, which atheris reports together with its input.
A quarter of the inputs go to catalogue_surface.py instead, which drives
ostrelin._veldra_catalogue against its pure-Python twin, from hostile callers
too (hooks that drop what a constructor was given mid-call) and over chains of
bases up to a few hundred deep.

tools/fuzz.sh builds the instrumented extension and runs this with the
sanitizer runtime preloaded; any libFuzzer flag may follow the script name.
"""

import builtins
import ctypes
import gc
import inspect
import io
import json
import math
import sys
import warnings

import atheris

import catalogue_surface
import ostrelin._veldra_core as core
from ostrelin._builtin_entries import CONSTANTS
from ostrelin._builtin_entries import QUARKS as QUARK_TABLE

F, Q, C = core.PyFormulasRegistry, core.PyQuarkRegistry, core.PyCKMMatrix
CLASSES = (F, Q, C)

# name: (value, units, status) of the built-in catalogue, from the package's
# one copy of the data (its tests check that copy against the core).
CATALOGUE = {c.name: (c.value, c.units, c.status) for c in CONSTANTS}
NAMES = sorted(CATALOGUE)
QUARKS = sorted(q.name for q in QUARK_TABLE)
VERSION = "2.3.0"
SHEETS = {n: {"name": n, "status": s, "uncertainty": None, "units": u, "value": v}
          for n, (v, u, s) in CATALOGUE.items()}
JSON_TEXTS = {json.dumps(sheet, separators=(",", ":"), sort_keys=True) for sheet in SHEETS.values()}
EMPTY_NAME = "py_get_constant: name must be non-empty"
NO_CONSTRUCTOR = "No constructor defined for PyCKMMatrix"
NOT_MADE = {
    F: "PyFormulasRegistry object was not made by PyFormulasRegistry()",
    Q: "PyQuarkRegistry object was not made by PyQuarkRegistry()",
    C: "PyCKMMatrix object was not made by PyCKMMatrix.from_topology()",
}
OBJECT_NEW_EXCESS = "object.__new__() takes exactly one argument (the type to instantiate)"
DEPRECATED_TAIL = ("The ability to return an instance of a strict subclass of {} is deprecated, "
                   "and may be removed in a future version of Python.")


def _panic_type():
    try:
        core.py_get_constant("")
    except BaseException as exc:  # noqa: BLE001 - the one way to reach the class
        return type(exc)
    raise RuntimeError("py_get_constant('') did not raise")


Panic = _panic_type()
REAL_LOADS, REAL_IMPORT, REAL_EXCEPTHOOK = json.loads, builtins.__import__, sys.excepthook


class Finding(AssertionError):
    """An outcome the module does not promise."""


# ---------------------------------------------------------------- run state

POOL = []       # receivers of this input; a hook may drop one (set None)
SPARES = []     # made instances to pass as arguments (made before any patch)
UNMADE = []     # instances made while a class's __new__ was object.__new__
FINDINGS = []   # kept even when a callback's exception is swallowed
STRAYS = []     # hostile __eq__/__hash__ the module should never have called
ARMED = False   # hostile __eq__/__hash__ misbehave only inside a module call
STATE = {}      # patches in force and per-input switches; see reset()
SINK = io.StringIO()  # sys.stderr while the module runs: panics print there


def reset(fdp):
    POOL[:] = [F(), Q(), C.from_topology()]
    SPARES[:] = [F(), Q(), C.from_topology()]
    UNMADE.clear()
    FINDINGS.clear()
    STRAYS.clear()
    SINK.seek(0)
    SINK.truncate()
    fresh_state(fdp.ConsumeBool())


def fresh_state(warn_error):
    STATE.clear()
    STATE.update(new=set(), attrs={}, loads=None, imports=None, excepthook=None,
                 warn_error=warn_error, recursive=False)


def tp_name(cls):
    """The interpreter's tp_name: dotted for the module's classes."""
    return f"{core.__name__}.{cls.__name__}" if cls in CLASSES else cls.__name__


def is_str(obj):
    # A real type test: isinstance() would consult a hostile __class__.
    return str in type(obj).__mro__


def made(obj):
    return type(obj) in CLASSES and not any(obj is u for u in UNMADE)


# ------------------------------------------------------------- expectations
# An expectation is a function of the outcome ("ok", value) or ("raise",
# exception) that returns None when it is one the module promises, else why not.

def returns(test, what):
    return lambda kind, got: None if kind == "ok" and test(got) else f"expected {what}"


def raises(etype, *args):
    def check(kind, got):
        if kind == "raise" and type(got) is etype and got.args == args:
            return None
        return f"expected {etype.__name__}{args!r}"
    return check


def raises_same(hook):
    """The very exception a callback raised, passed through unchanged."""
    return lambda kind, got: None if kind == "raise" and got is hook.raised \
        else "expected the callback's exception unchanged"


def panics(message):
    def check(kind, got):
        if kind == "raise" and isinstance(got, Panic) and got.args == (message,):
            return None
        return f"expected PanicException({message!r})"
    return check


def either(*checks):
    def check(kind, got):
        reasons = [c(kind, got) for c in checks]
        return None if None in reasons else " or ".join(reasons)
    return check


def key_error(name):
    text = f"constant `{name}` not found in registry"

    def check(kind, got):
        if kind != "raise" or type(got) is not KeyError or got.args != (text,):
            return f"expected KeyError({text!r})"
        notes = getattr(got, "__notes__", None)
        if notes is None or (len(notes) == 1 and any(notes[0] == f"did you mean '{n}'?" for n in NAMES if n != name)):
            return None
        return f"unexpected notes {notes!r}"
    return check


def instance_of(cls, unmade):
    def check(kind, got):
        if kind != "ok" or type(got) is not cls:
            return f"expected a new {cls.__name__}"
        if unmade:
            UNMADE.append(got)
        return None
    return check


# ------------------------------------------------------------ hostile parts

class Hook:
    """What one Python callback does each time the module runs it: its steps
    (calls back into the module, dropping the receiver, re-entering the call
    that runs it), then its act: return a value or raise."""

    def __init__(self, steps, act):
        self.steps, self.act = steps, act
        self.owner = None   # the call whose argument carries this hook
        self.depth = 0
        self.raised = None

    def fire(self):
        self.depth += 1
        try:
            for step in self.steps:
                # Nested calls and re-entry run on the first firing only, so
                # callbacks that call each other stay finite; "forever" is
                # the unbounded re-entry, ended by RecursionError.
                if step[0] == "call" and self.depth == 1:
                    run(step[1])
                elif step[0] == "drop" and self.owner is not None and self.owner.slot is not None:
                    POOL[-1 - self.owner.slot % len(POOL)] = None
                elif step[0] == "again" and self.owner is not None and self.depth == 1:
                    run(self.owner)
                elif step[0] == "forever" and self.owner is not None and self.owner.receiver() is not None:
                    invoke(self.owner)  # (a dropped receiver cannot be re-entered)
            kind, what = self.act
            if kind == "return":
                return what
            if kind == "panic":
                try:
                    core.py_get_constant("")
                except BaseException as exc:  # noqa: BLE001
                    self.raised = exc
                    raise
            self.raised = what()
            raise self.raised
        finally:
            self.depth -= 1


def hook_outcome(hook, when_returned):
    """The expectation for a call whose callback `hook` ran to its act:
    `when_returned(value)` if it returned, its exception (or a panic) if not."""
    kind, what = hook.act
    if kind == "return":
        return when_returned(what)
    if kind == "panic":
        return panics(EMPTY_NAME)
    sample = what()
    if isinstance(sample, Panic):
        return panics(str(sample))
    return raises_same(hook)


class Text(str):
    """A str subclass with nothing odd about it."""


class TrapText(str):
    """A str subclass whose __eq__ and __hash__ misbehave inside a call."""

    def __eq__(self, other):
        return self._trap("__eq__") if ARMED else str.__eq__(self, other)

    def __hash__(self):
        return self._trap("__hash__") if ARMED else str.__hash__(self)

    def _trap(self, what):
        STRAYS.append(f"{what} of TrapText({str.__str__(self)!r})")
        return self.hook.fire()


class Opaque:
    """A non-str keyword name whose __eq__ and __hash__ misbehave inside a call."""

    def __eq__(self, other):
        return self._trap("__eq__") if ARMED else self is other

    def __hash__(self):
        return self._trap("__hash__") if ARMED else id(self) >> 4

    def _trap(self, what):
        STRAYS.append(f"{what} of Opaque")
        return self.hook.fire()


class Real(float):
    pass


class Whole(int):
    pass


class Floaty:
    def __float__(self):
        return self.hook.fire()


class Indexy:
    def __index__(self):
        return self.hook.fire()


class Both:
    """__float__ wins over __index__."""

    def __float__(self):
        return self.hook.fire()

    def __index__(self):
        raise Finding("__index__ called although __float__ exists")


class WholeFloaty(int):
    """An int whose own __float__ is what the conversion must use."""

    def __float__(self):
        return self.hook.fire()


class Loud:
    """The argument of a TypeError raised by a callback: its text is asked for
    when the module rewords that TypeError."""

    def __str__(self):
        return self.hook.fire()


class TypeTrouble(TypeError):
    """Not exactly TypeError: passes through without rewording."""


class Hostile(BaseException):
    pass


class ExitPanic(Panic, SystemExit):
    """A panic that is also a request to end the process."""


FLOAT_HOOKED = (Floaty, Both, WholeFloaty)


def tol_outcome(tol):
    """is_unitary's promise for `tol`, once the receiver has passed."""
    def result(value):
        return returns(lambda got: got is (value >= 0.0), f"{value >= 0.0} for tol {value!r}")

    def non_float_result(got, what, base):
        if type(got) is base:
            return result(float(got)) if base is float else as_double(got)
        if base in type(got).__mro__:
            message = (f"{what} returned non-{base.__name__} (type {tp_name(type(got))}).  "
                       + DEPRECATED_TAIL.format(base.__name__))
            if STATE["warn_error"]:
                return raises(DeprecationWarning, message)
            return result(float(base(got))) if base is float else as_double(base(got))
        return raises(TypeError, f"argument 'tol': {what} returned non-{base.__name__} (type {tp_name(type(got))})")

    def as_double(number):
        try:
            return result(float(number))  # an exact int: the same rounding as the module's
        except OverflowError:
            return raises(OverflowError, "int too large to convert to float")

    kind = type(tol)
    if float in kind.__mro__:
        return result(float.__float__(tol))  # the stored double; no method runs
    if kind in FLOAT_HOOKED:
        hook = tol.hook
        expected = hook_outcome(hook, lambda got: non_float_result(got, f"{kind.__name__}.__float__", float))
        return reworded(hook, expected)
    if kind is Indexy:
        hook = tol.hook
        expected = hook_outcome(hook, lambda got: non_float_result(got, "__index__", int))
        return reworded(hook, expected)
    if int in kind.__mro__:
        return as_double(int(tol))
    return raises(TypeError, f"argument 'tol': must be real number, not {tp_name(kind)}")


def reworded(hook, expected):
    """A TypeError raised by a conversion callback comes back as "argument
    'tol': <its text>", keeping its __cause__."""
    kind, what = hook.act
    if kind != "raise":
        return expected
    sample = what()
    if type(sample) is not TypeError:
        return expected
    if len(sample.args) == 1 and type(sample.args[0]) is Loud:
        loud = sample.args[0].hook
        if loud.act[0] == "return" and not is_str(loud.act[1]):
            return raises(TypeError, f"__str__ returned non-string (type {type(loud.act[1]).__name__})")
        return hook_outcome(loud, lambda text: reworded_as(hook, f"argument 'tol': {str.__str__(text)}"))
    return reworded_as(hook, f"argument 'tol': {sample}")


def reworded_as(hook, text):
    def check(kind, got):
        if kind == "raise" and type(got) is TypeError and got.args == (text,) \
                and got.__cause__ is hook.raised.__cause__:
            return None
        return f"expected TypeError({text!r}) with the callback's cause"
    return check


# ------------------------------------------------------------------ targets
# How each entry is reached and what it promises. A body gets the receiver
# (or None) and the parsed arguments by parameter name.

def body_get(recv, name):
    if not made(recv):
        return raises(TypeError, NOT_MADE[F])
    return text_outcome(name, lambda text: returns(
        lambda got: type(got) is float and got == CATALOGUE[text][0], f"{CATALOGUE[text][0]!r}"))


def body_get_constant(_, name):
    def found(text):
        def loaded():
            if STATE["loads"] is None:
                sheet = SHEETS[text]
                return returns(lambda got: type(got) is dict and list(got.items()) == list(sheet.items()), repr(sheet))
            hook = STATE["loads"]
            return hook_outcome(hook, lambda got: returns(lambda value: value is got, "what json.loads returned"))
        if STATE["imports"] is None:
            return loaded()
        return hook_outcome(STATE["imports"], lambda _: loaded())
    return text_outcome(name, found, empty_panics=True)


def text_outcome(name, found, empty_panics=False):
    if not is_str(name):
        return raises(TypeError, f"argument 'name': '{type(name).__name__}' object cannot be converted to 'PyString'")
    try:
        str.encode(name, "utf-8")
    except UnicodeEncodeError as exc:
        return raises(UnicodeEncodeError, *exc.args)
    text = str.__str__(name)
    if empty_panics and text == "":
        return panics(EMPTY_NAME)
    if text in CATALOGUE:
        return found(text)
    return key_error(text)


def body_is_unitary(recv, tol):
    if not made(recv):
        return raises(TypeError, NOT_MADE[C])
    return tol_outcome(tol)


def body_jarlskog(recv):
    if not made(recv):
        return raises(TypeError, NOT_MADE[C])
    return returns(lambda got: type(got) is float and got == 0.0, "0.0")


def body_from_topology(_):
    return instance_of(C, unmade=False)


def same_list(items):
    return returns(lambda got: type(got) is list and got == items, repr(items))


class Target:
    def __init__(self, name, owner, attr, params, body, forms):
        self.name, self.owner, self.attr = name, owner, attr
        self.params, self.body, self.forms = params, body, forms

    def full_name(self):
        return f"{self.owner.__name__}.{self.attr}()" if self.owner else f"{self.attr}()"


NOARGS = ()
TARGETS = [
    Target("list_constants", None, "py_list_constants", NOARGS, lambda _: same_list(NAMES), ["module"]),
    Target("list_quarks", None, "py_list_quarks", NOARGS, lambda _: same_list(QUARKS), ["module"]),
    Target("get_constant", None, "py_get_constant", ("name",), body_get_constant, ["module"]),
    Target("version", F, "version", NOARGS, lambda _: returns(lambda got: type(got) is str and got == VERSION, VERSION),
           ["static", "bound"]),
    Target("from_topology", C, "from_topology", NOARGS, body_from_topology, ["static", "bound"]),
    Target("jarlskog", C, "jarlskog", NOARGS, body_jarlskog, ["bound", "unbound"]),
    Target("is_unitary", C, "is_unitary", ("tol",), body_is_unitary, ["bound", "unbound"]),
    Target("get", F, "get", ("name",), body_get, ["bound", "unbound"]),
    Target("len", None, "len", (), None, ["len", "slot_len_F", "slot_len_Q"]),
    Target("new_F", F, "__new__", (), None, ["construct", "dunder_new", "object_new"]),
    Target("new_Q", Q, "__new__", (), None, ["construct", "dunder_new", "object_new"]),
    Target("new_C", C, "__new__", (), None, ["construct", "dunder_new", "object_new"]),
    Target("version_attr", None, "__version__", (), None, ["attribute"]),
]
NEW = {t.owner: t for t in TARGETS if t.name.startswith("new_")}


NO_RECEIVER = object()  # `first` of a call with no receiver argument at all


class Call:
    """One call as spelled in Python. `slot` picks the receiver from POOL at
    run time (modulo its length); `first` is an explicit first positional."""

    def __init__(self, target, form, slot, first, args, kwargs):
        self.target, self.form, self.slot, self.first = target, form, slot, first
        self.args, self.kwargs = args, kwargs

    def receiver(self):
        # Counted from the newest: what the previous step made is the
        # likeliest receiver of the next.
        return POOL[-1 - self.slot % len(POOL)] if self.slot is not None else self.first

    def positional(self):
        """The positional arguments as passed: an unbound call, a slot or
        __new__ takes its receiver as the first of them."""
        if self.form in RECEIVER_FIRST and self.receiver() is not NO_RECEIVER:
            return [self.receiver(), *self.args]
        return list(self.args)

    def __repr__(self):
        recv = self.receiver()
        about = "none" if recv is NO_RECEIVER else type(recv).__name__
        if type(recv) in CLASSES:
            about += " (made)" if made(recv) else " (not made)"
        patches = sorted(f"{c.__name__}.{n}:{h}" for (c, n), h in STATE["attrs"].items())
        patches += [f"{c.__name__}.__new__" for c in STATE["new"]]
        patches += [name for name in ("loads", "imports", "excepthook") if STATE[name] is not None]
        return (f"{self.target.name} as {self.form}, receiver {about}, args {self.args!r}, "
                f"kwargs {list(self.kwargs.items())!r}, patched {patches}, "
                f"warnings {'error' if STATE['warn_error'] else 'ignored'}")


RECEIVER_FIRST = ("unbound", "slot_len_F", "slot_len_Q", "dunder_new")


def invoke(call):
    """Makes the call; the hostile __eq__/__hash__ are live only meanwhile."""
    global ARMED
    t, form, pos, kw = call.target, call.form, call.positional(), call.kwargs
    armed, ARMED = ARMED, True
    stderr, sys.stderr = sys.stderr, SINK
    try:
        if form == "module":
            return getattr(core, t.attr)(*pos, **kw)
        if form in ("static", "unbound"):
            return getattr(t.owner, t.attr)(*pos, **kw)
        if form == "bound":
            return getattr(call.receiver(), t.attr)(*pos, **kw)
        if form == "len":
            return len(call.receiver())
        if form.startswith("slot_len"):
            return (F if form.endswith("F") else Q).__len__(*pos, **kw)
        if form == "construct":
            return t.owner(*pos, **kw)
        if form == "dunder_new":
            return t.owner.__new__(*pos, **kw)
        if form == "object_new":
            return object.__new__(t.owner)
        return core.__version__
    finally:
        sys.stderr = stderr
        ARMED = armed


def expect(call):
    """The outcome the module promises for `call` in the present state."""
    t, form, pos, kw = call.target, call.form, call.positional(), call.kwargs
    if form == "attribute":
        return returns(lambda got: got == VERSION and type(got) is str, VERSION)
    if form == "len":
        return len_outcome(call.receiver())
    if form in ("static", "bound", "unbound"):
        if STATE["attrs"].get((t.owner, t.attr)) == "deleted":
            if form == "bound":
                return raises(AttributeError, f"'{tp_name(type(call.receiver()))}' object has no attribute '{t.attr}'")
            return raises(AttributeError, f"type object '{tp_name(t.owner)}' has no attribute '{t.attr}'")
    if form in ("module", "static", "bound", "unbound"):
        return vector_call(call, t, form, pos, kw)
    if form.startswith("slot_len"):
        cls = F if form.endswith("F") else Q
        if not pos:
            return raises(TypeError, f"descriptor '__len__' of '{tp_name(cls)}' object needs an argument")
        if type(pos[0]) is not cls:
            return raises(TypeError, f"descriptor '__len__' requires a '{tp_name(cls)}' object but received a "
                                     f"'{tp_name(type(pos[0]))}'")
        if kw:
            return raises(TypeError, "wrapper __len__() takes no keyword arguments")
        if len(pos) > 1:
            return raises(TypeError, f"expected 0 arguments, got {len(pos) - 1}")
        return native_len(pos[0])
    cls = t.owner
    patched = cls in STATE["new"]
    if form == "object_new":
        return object_new(cls, [], {})
    if form == "dunder_new":
        # Patched, Cls.__new__ is object.__new__ itself.
        owner = "object" if patched else tp_name(cls)
        if not pos:
            return raises(TypeError, f"{owner}.__new__(): not enough arguments")
        first, pos = pos[0], pos[1:]
        if type(first) is not type:
            return raises(TypeError, f"{owner}.__new__(X): X is not a type object ({tp_name(type(first))})")
        if patched:
            return object_new(first, pos, kw)
        if not issubclass(first, cls):
            return raises(TypeError, f"{owner}.__new__({tp_name(first)}): {tp_name(first)} is not a subtype "
                                     f"of {tp_name(cls)}")
    if patched:
        return object_new(cls, pos, kw)
    if cls is C:
        return raises(TypeError, NO_CONSTRUCTOR)
    refused = parse_new(f"{cls.__name__}.__new__()", pos, kw)
    return refused if refused else instance_of(cls, unmade=False)


def vector_call(call, t, form, pos, kw):
    """A function or method entry called through the vector protocol."""
    recv = None
    if form == "bound":
        recv = call.receiver()
        if type(recv) is not t.owner:
            return raises(AttributeError, f"'{tp_name(type(recv))}' object has no attribute '{t.attr}'")
    # The interpreter refuses non-str keyword names before anything else.
    if not all(is_str(k) for k in kw):
        return raises(TypeError, "keywords must be strings")
    if form == "unbound":
        if not pos:
            return raises(TypeError, f"unbound method {t.full_name()} needs an argument")
        recv, pos = pos[0], pos[1:]
        if type(recv) is not t.owner:
            return raises(TypeError, f"descriptor '{t.attr}' for '{tp_name(t.owner)}' objects doesn't apply to a "
                                     f"'{tp_name(type(recv))}' object")
    qual = f"{core.__name__}.{t.attr}" if form == "module" else t.full_name()[:-2]
    if not t.params:  # METH_NOARGS: the interpreter checks the arguments
        if kw:
            return raises(TypeError, f"{qual}() takes no keyword arguments")
        if pos:
            return raises(TypeError, f"{qual}() takes no arguments ({len(pos)} given)")
        return t.body(recv)
    parsed = parse(t.full_name(), t.params, pos, kw)
    return parsed if callable(parsed) else t.body(recv, *parsed)


def object_new(cls, args, kw):
    """object.__new__(cls, *args, **kw). It refuses a class whose own
    __new__ is native ("not safe"); for a class patched to use it, it makes an
    instance without the native payload. PyCKMMatrix may refuse outright
    instead: that class promises instances only from from_topology()."""
    if cls is not object and cls not in STATE["new"]:
        return raises(TypeError, f"object.__new__({tp_name(cls)}) is not safe, use {tp_name(cls)}.__new__()")
    if args or kw:
        return raises(TypeError, "object() takes no arguments" if cls is object else OBJECT_NEW_EXCESS)
    if cls is object:
        return returns(lambda got: type(got) is object, "an object")
    outcome = instance_of(cls, unmade=True)
    return either(outcome, raises(TypeError, NO_CONSTRUCTOR)) if cls is C else outcome


def len_outcome(recv):
    kind = type(recv)
    patch = STATE["attrs"].get((kind, "__len__"))
    if patch == "five":
        return returns(lambda got: got == 5, "5 from the replaced __len__")
    if kind in (F, Q) and patch != "deleted":
        return native_len(recv)
    if kind in (str, tuple):
        return returns(lambda got: got == len(recv), repr(len(recv)))
    return raises(TypeError, f"object of type '{tp_name(kind)}' has no len()")


def native_len(recv):
    if not made(recv):
        return raises(TypeError, NOT_MADE[type(recv)])
    size = len(CATALOGUE) if type(recv) is F else 0
    return returns(lambda got: got == size, repr(size))


def parse(full, params, args, kw):
    """Positional count, then each keyword in order, then what is missing:
    the parsed values, or the expectation of the first error."""
    if len(args) > len(params):
        n = len(args)
        return raises(TypeError, f"{full} takes {len(params)} positional arguments but {n} "
                                 f"{'was' if n == 1 else 'were'} given")
    filled = dict(zip(params, args))
    for key, value in kw.items():
        text = str.__str__(key)
        if text not in params:
            return raises(TypeError, f"{full} got an unexpected keyword argument '{text}'")
        if text in filled:
            return raises(TypeError, f"{full} got multiple values for argument '{text}'")
        filled[text] = value
    missing = [p for p in params if p not in filled]
    if missing:
        return raises(TypeError, f"{full} missing 1 required positional argument: '{missing[0]}'")
    return [filled[p] for p in params]


def parse_new(full, args, kw):
    """The constructors take nothing; their keywords arrive as a dict whose
    names nobody has checked."""
    if args:
        n = len(args)
        return raises(TypeError, f"{full} takes 0 positional arguments but {n} {'was' if n == 1 else 'were'} given")
    for key in kw:
        if not is_str(key):
            return raises(TypeError, "keywords must be strings")
        return raises(TypeError, f"{full} got an unexpected keyword argument '{str.__str__(key)}'")
    return None


def run(call):
    """Makes `call` and checks its outcome; returns the result."""
    global ARMED
    armed, ARMED = ARMED, False
    try:
        for value in [*call.args, *call.kwargs, *call.kwargs.values(), call.first]:
            hook = getattr(value, "hook", None)
            if type(hook) is Hook:
                hook.owner = call
        expected = expect(call)
        try:
            outcome = ("ok", invoke(call))
        except Finding:
            raise
        except BaseException as exc:  # noqa: BLE001 - every exception is an outcome to check
            outcome = ("raise", exc)
        if outcome[0] == "raise" and isinstance(outcome[1], RecursionError) and STATE["recursive"]:
            return None
        why = expected(*outcome)
        if why is not None:
            got = outcome[1] if outcome[0] == "ok" else f"{type(outcome[1]).__name__}{outcome[1].args!r}"
            finding = Finding(f"{call!r}: {why}, got {got!r}")
            FINDINGS.append(finding)
            raise finding
        return outcome[1] if outcome[0] == "ok" else None
    finally:
        ARMED = armed


# ---------------------------------------------------------------- generation

MAX_DEPTH = 2
NEAR_MISSES = ["B3", " b3", "b3 ", "b4", "phi\x00", "n_gen_", "chi-eff", "", "constant", "`b3`", "\u00e9", "b3\ud800"]
SPECIAL_FLOATS = [0.0, -0.0, math.nan, math.inf, -math.inf, 1e-300, -1e-300, 5e-324, 1.0, -1.0]


def make_text(fdp):
    pick = fdp.ConsumeIntInRange(0, 3)
    if pick == 0:
        return fdp.PickValueInList(NAMES)
    if pick == 1:
        return fdp.PickValueInList(NEAR_MISSES)
    if pick == 2:
        return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 12))
    return fdp.PickValueInList(NAMES)[: fdp.ConsumeIntInRange(0, 8)]


def make_exception(fdp, depth):
    """A factory of the exception a callback raises (a fresh one each time)."""
    pick = fdp.ConsumeIntInRange(0, 11)
    cause = ValueError("cause") if fdp.ConsumeBool() else None

    def with_cause(factory):
        def made_exc():
            exc = factory()
            exc.__cause__ = cause
            return exc
        return made_exc
    if pick == 0:
        return with_cause(lambda: TypeError("hostile type"))
    if pick == 1:
        return with_cause(lambda: TypeError())
    if pick == 2:
        return with_cause(lambda: TypeError("a", 1))
    if pick == 3:
        loud = Loud()
        loud.hook = make_hook(fdp, depth, lambda: make_text(fdp) if fdp.ConsumeBool() else fdp.ConsumeIntInRange(0, 9))
        return with_cause(lambda: TypeError(loud))
    if pick == 4:
        return with_cause(lambda: TypeTrouble("subclass"))
    if pick == 5:
        return lambda: ValueError("hostile value")
    if pick == 6:
        return lambda: KeyError("b3")
    if pick == 7:
        return lambda: MemoryError()
    if pick == 8:
        return lambda: Hostile("base")
    if pick == 9:
        return lambda: SystemExit(3)
    if pick == 10:
        return lambda: DeprecationWarning("hostile warning")
    return lambda: ExitPanic("hostile exit")


def make_hook(fdp, depth, make_return):
    steps = []
    for _ in range(fdp.ConsumeIntInRange(0, 2)):
        pick = fdp.ConsumeIntInRange(0, 4)
        if pick == 0 and depth < MAX_DEPTH:
            steps.append(("call", make_call(fdp, depth + 1)))
        elif pick == 1:
            steps.append(("drop",))
        elif pick == 2:
            steps.append(("again",))
        elif pick == 3:
            steps.append(("forever",))
            STATE["recursive"] = True
    act = fdp.ConsumeIntInRange(0, 3)
    if act <= 1:
        return Hook(steps, ("return", make_return()))
    if act == 2:
        return Hook(steps, ("raise", make_exception(fdp, depth)))
    return Hook(steps, ("panic", None))


def float_return(fdp):
    return fdp.PickValueInList([
        lambda: fdp.ConsumeFloat(), lambda: Real(fdp.ConsumeFloat()), lambda: 1, lambda: Whole(2),
        lambda: "1.0", lambda: None, lambda: True])()


def index_return(fdp):
    return fdp.PickValueInList([
        lambda: fdp.ConsumeIntInRange(-5, 5), lambda: 10 ** 400, lambda: -(2 ** 1024), lambda: Whole(7),
        lambda: True, lambda: 1.5, lambda: "3", lambda: None])()


def hooked(cls, make_return):
    def make(fdp, depth):
        obj = cls.__new__(cls) if cls is not WholeFloaty else WholeFloaty(fdp.ConsumeIntInRange(0, 3))
        obj.hook = make_hook(fdp, depth, lambda: make_return(fdp))
        return obj
    return make


def trap_text(fdp, depth):
    text = TrapText(make_text(fdp))
    text.hook = make_hook(fdp, depth, lambda: fdp.ConsumeIntInRange(0, 3) == 0)
    return text


def opaque(fdp, depth):
    obj = Opaque()
    obj.hook = make_hook(fdp, depth, lambda: fdp.ConsumeBool())
    return obj


def any_text(fdp, depth):
    return make_text(fdp)


def text_subclass(fdp, depth):
    return Text(make_text(fdp))


def small_int(fdp, depth):
    return fdp.ConsumeIntInRange(-5, 30)


def any_float(fdp, depth):
    return fdp.ConsumeFloat()


def special_float(fdp, depth):
    return fdp.PickValueInList(SPECIAL_FLOATS)


def real_subclass(fdp, depth):
    return Real(fdp.PickValueInList(SPECIAL_FLOATS))


VALUES = [
    lambda fdp, d: None,
    lambda fdp, d: fdp.ConsumeBool(),
    small_int,
    lambda fdp, d: (-1) ** fdp.ConsumeIntInRange(0, 1) * 10 ** fdp.ConsumeIntInRange(300, 400),
    any_float,
    special_float,
    any_text,
    any_text,
    text_subclass,
    trap_text,
    real_subclass,
    lambda fdp, d: Whole(fdp.ConsumeIntInRange(-3, 3)),
    lambda fdp, d: fdp.ConsumeBytes(3),
    lambda fdp, d: [1, "b3"],
    lambda fdp, d: object(),
    lambda fdp, d: fdp.PickValueInList(SPARES),
    lambda fdp, d: fdp.PickValueInList([F, Q, C, object, int, type]),
    hooked(Floaty, float_return),
    hooked(Indexy, index_return),
    hooked(Both, float_return),
    hooked(WholeFloaty, float_return),
]

PLAUSIBLE = {
    "name": [any_text, text_subclass, trap_text],
    "tol": [small_int, any_float, special_float, real_subclass, hooked(Floaty, float_return),
            hooked(Indexy, index_return), hooked(WholeFloaty, float_return)],
}

KEYS = [
    lambda fdp, d: fdp.PickValueInList(["name", "tol", "x", "self"]),
    lambda fdp, d: make_text(fdp),
    lambda fdp, d: Text(fdp.PickValueInList(["name", "tol", "nam"])),
    trap_text,
    lambda fdp, d: fdp.ConsumeIntInRange(-2, 2),
    lambda fdp, d: fdp.PickValueInList([1.5, math.nan, -0.0]),
    lambda fdp, d: (1, 2),
    lambda fdp, d: None,
    lambda fdp, d: b"name",
    opaque,
]


def make_value(fdp, depth):
    return fdp.PickValueInList(VALUES)(fdp, depth)


def make_call(fdp, depth):
    target = fdp.PickValueInList(TARGETS)
    forms = target.forms
    if target.name == "len":
        # Cls.__len__ replaced by a Python function is the interpreter's
        # business, so the slot is called only while it is the native one,
        # which holds for a top-level call made right away.
        forms = [f for f in forms if f == "len" or depth == 0 and
                 ((F if f.endswith("F") else Q), "__len__") not in STATE["attrs"]]
    form = fdp.PickValueInList(forms)
    slot, first = None, NO_RECEIVER
    if form in ("bound", "len") or (form in ("unbound", "slot_len_F", "slot_len_Q") and fdp.ConsumeBool()):
        slot = fdp.ConsumeIntInRange(0, 3)
    elif form in ("unbound", "slot_len_F", "slot_len_Q", "dunder_new") and fdp.ConsumeBool():
        first = fdp.PickValueInList([target.owner or F, F, Q, C, object, int]) if form == "dunder_new" \
            else make_value(fdp, depth)
    if form == "len" and fdp.ConsumeIntInRange(0, 3) == 0:
        slot, first = None, fdp.PickValueInList([None, 1, "b3", (), object()])
    kwargs = {}
    if fdp.ConsumeBool():
        # Well formed, so that half the calls get past the argument rules:
        # one plausible value per parameter.
        args = [fdp.PickValueInList(PLAUSIBLE[p])(fdp, depth) for p in target.params or ()]
        return Call(target, form, slot, first, args, kwargs)
    args = [make_value(fdp, depth) for _ in range(fdp.ConsumeIntInRange(0, 2))]
    for _ in range(fdp.ConsumeIntInRange(0, 2) if fdp.ConsumeBool() else 0):
        kwargs[fdp.PickValueInList(KEYS)(fdp, depth)] = make_value(fdp, depth)
    return Call(target, form, slot, first, args, kwargs)


# ------------------------------------------------------------------ patches

def _tp_new_cell(cls):
    """The tp_new slot of a type object, which lies seven pointers after
    tp_base in every CPython 3 type object."""
    words = (ctypes.c_void_p * 64).from_address(id(cls))
    base = next(i for i, word in enumerate(words) if word == id(object))
    return ctypes.c_void_p.from_address(id(cls) + (base + 7) * ctypes.sizeof(ctypes.c_void_p))


# Putting the saved __new__ back leaves tp_new pointing at the generic slot
# function, which then refuses every call as "not safe"; the native pointer
# must be written back as well, or one patched input would spoil the rest.
NATIVE_NEW = {cls: (cls.__dict__["__new__"], _tp_new_cell(cls).value) for cls in CLASSES}
SAVED_ATTRS = {(cls, name): value for cls in CLASSES for name, value in vars(cls).items()
               if name in ("get", "version", "__len__", "from_topology", "is_unitary", "jarlskog")}


def patch_new(cls):
    cls.__new__ = staticmethod(object.__new__)
    STATE["new"].add(cls)


def restore_new(cls):
    saved, native = NATIVE_NEW[cls]
    cls.__new__ = saved
    _tp_new_cell(cls).value = native
    STATE["new"].discard(cls)


def patch_attr(cls, name, how):
    if how == "deleted":
        if (cls, name) in SAVED_ATTRS and name in vars(cls):
            delattr(cls, name)
    else:
        setattr(cls, name, lambda self: 5)
    STATE["attrs"][(cls, name)] = how


def restore_attr(cls, name):
    if (cls, name) in SAVED_ATTRS:
        setattr(cls, name, SAVED_ATTRS[(cls, name)])
    elif name in vars(cls):
        delattr(cls, name)
    STATE["attrs"].pop((cls, name), None)


def loads_hook(text):
    if type(text) is not str or text not in JSON_TEXTS:
        FINDINGS.append(Finding(f"json.loads was given {text!r}"))
    return STATE["loads"].fire()


def import_hook(name, *rest):
    hook = STATE["imports"]
    if ARMED and name == "json" and hook is not None and rest[2:] == ([], 0):
        hook.fire()
    return REAL_IMPORT(name, *rest)


def excepthook_hook(*info):
    STATE["excepthook"].fire()


def make_patch(fdp, depth):
    """Applies one patch now (so later steps see it); returns its undo."""
    pick = fdp.ConsumeIntInRange(0, 5)
    cls = fdp.PickValueInList(list(CLASSES))
    if pick == 0:
        # Make one instance right away through the patched class: the next
        # step most likely uses (or drops) the newest receiver.
        patch_new(cls)
        made_now = run(Call(NEW[cls], "construct", None, NO_RECEIVER, [], {}))
        if type(made_now) is cls:
            POOL.append(made_now)
        return lambda: restore_new(cls)
    if pick == 1:
        name = fdp.PickValueInList([n for (c, n) in SAVED_ATTRS if c is cls])
        patch_attr(cls, name, "deleted")
        return lambda: restore_attr(cls, name)
    if pick == 2:
        patch_attr(cls, "__len__", "five")
        return lambda: restore_attr(cls, "__len__")
    if pick == 3:
        STATE["loads"] = make_hook(fdp, depth, lambda: make_value(fdp, depth))
        json.loads = loads_hook
        return lambda: setattr(json, "loads", REAL_LOADS)
    if pick == 4:
        STATE["imports"] = make_hook(fdp, depth, lambda: None)
        builtins.__import__ = import_hook
        return lambda: setattr(builtins, "__import__", REAL_IMPORT)
    # The hook runs only when a panic comes back through Python; whatever it
    # does, exiting included, the call still ends in PanicException.
    steps = [("call", make_call(fdp, depth + 1))] if fdp.ConsumeBool() else []
    STATE["excepthook"] = Hook(steps, fdp.PickValueInList([
        ("raise", lambda: SystemExit(0)), ("raise", lambda: ValueError("hook")), ("return", None)]))
    sys.excepthook = excepthook_hook
    return lambda: setattr(sys, "excepthook", REAL_EXCEPTHOOK)


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    if fdp.ConsumeIntInRange(0, 3) == 0:  # a quarter of the inputs drive the catalogue module
        catalogue_surface.test_one_input(fdp)
        return
    reset(fdp)
    undo = []
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error" if STATE["warn_error"] else "ignore", DeprecationWarning)
            for _ in range(fdp.ConsumeIntInRange(1, 5)):
                if fdp.ConsumeIntInRange(0, 3) == 0:
                    undo.append(make_patch(fdp, 0))
                    continue
                call = make_call(fdp, 0)
                result = run(call)
                if type(result) in CLASSES:
                    POOL.append(result)
                if STRAYS:
                    raise Finding(f"{call!r}: the module called {STRAYS[0]}")
                if FINDINGS:
                    raise FINDINGS[0]
    finally:
        for step in reversed(undo):
            step()
        POOL.clear()
        SPARES.clear()
        UNMADE.clear()  # instances without a payload are destroyed here
    if FINDINGS:
        raise FINDINGS[0]


def instrument_harness():
    """Python coverage of this file guides the search too: without it,
    reaching a state (a patched class, an instance without its payload)
    earns nothing until the call that crashes on it."""
    for value in list(globals().values()):
        if getattr(value, "__module__", None) != __name__:
            continue
        if inspect.isfunction(value):
            atheris.instrument_func(value)
        elif inspect.isclass(value):
            for member in vars(value).values():
                if inspect.isfunction(member):
                    atheris.instrument_func(member)
    for table in (VALUES, KEYS):
        for make in table:
            if inspect.isfunction(make):
                atheris.instrument_func(make)


def main():
    # A patched __new__ must come undone completely, or the first input
    # that patches it would spoil every later one.
    fresh_state(False)
    for cls in (F, Q):
        patch_new(cls)
        restore_new(cls)
    if len(F()) != len(CATALOGUE) or len(Q()) != 0:
        raise RuntimeError("restoring a patched __new__ does not work on this interpreter")
    # Unbounded re-entry should end in RecursionError quickly and well
    # before the C stack of an instrumented build runs out.
    sys.setrecursionlimit(300)
    instrument_harness()
    catalogue_surface.setup()
    atheris.Setup(sys.argv, test_one_input)
    # What exists before the first input goes to the collector's permanent
    # generation: the hooks of catalogue_surface.py that look through the
    # collector's lists for a call's keyword dict then read only what the
    # inputs made, and a gc.collect() of theirs costs as little.
    gc.collect()
    gc.freeze()
    atheris.Fuzz()


if __name__ == "__main__":
    main()

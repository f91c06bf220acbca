"""Hostile but ordinary callers: each shape ends in a documented outcome, never a crash.

Every row runs in a fresh interpreter, so a row that kills the process fails
alone, and patched classes do not leak into other tests.
"""

import json

import pytest

from conftest import run_python

PRELUDE = """
import json, sys, warnings
import ostrelin._veldra_core as core
from ostrelin._veldra_core import PyCKMMatrix, PyFormulasRegistry, PyQuarkRegistry, py_get_constant

try:
    py_get_constant("")
except BaseException as exc:
    Panic = type(exc)
m = PyCKMMatrix.from_topology()
r = PyFormulasRegistry()

class Text(str):
    def __eq__(self, other): raise RuntimeError("__eq__ called")
    def __hash__(self): raise RuntimeError("__hash__ called")

class Name(Text):
    # Hashable, so it can be a dict key, but never equal to anything.
    __hash__ = str.__hash__

class Float:
    def __init__(self, result): self.result = result
    def __float__(self):
        if isinstance(self.result, BaseException): raise self.result
        return self.result() if callable(self.result) else self.result

class Index:
    def __index__(self): return 10**400

def unmade(cls):
    cls.__new__ = staticmethod(object.__new__)
    return cls()

def reenter():
    assert m.is_unitary(0.5) and py_get_constant("b3")["value"] == 24.0
    return 0.5

def raising(exc):
    def loads(text): raise exc
    return loads

class ExitingPanic(Panic, SystemExit): pass
"""

RUN = """
*setup, last = STATEMENT.splitlines()
try:
    exec("\\n".join(setup))
    try:
        expression = compile(last, "<row>", "eval")
    except SyntaxError:
        exec(last)
        result = None
    else:
        result = eval(expression)
    outcome = ["ok", repr(result)]
except BaseException as exc:
    outcome = [type(exc).__name__, [str(a) for a in exc.args]]
print(json.dumps(outcome))
"""

NOT_STRINGS = ["TypeError", ["keywords must be strings"]]
UNMADE_REGISTRY = ["TypeError", ["PyFormulasRegistry object was not made by PyFormulasRegistry()"]]
UNMADE_MATRIX = ["TypeError", ["PyCKMMatrix object was not made by PyCKMMatrix.from_topology()"]]

# (statement, outcome: ["ok", repr] or [exception name, args]; args None: any)
ROWS = [
    # Keyword names: a constructor's dict reaches us unchecked.
    ("PyFormulasRegistry(**{1: 1})", NOT_STRINGS),
    ("PyQuarkRegistry(**{(1, 2): 1})", NOT_STRINGS),
    ("PyFormulasRegistry(**{None: 1})", NOT_STRINGS),
    ("PyQuarkRegistry(**{1.5: 1, 'x': 2})", NOT_STRINGS),
    ("PyQuarkRegistry(**{'x': 2, 1.5: 1})", ["TypeError", ["PyQuarkRegistry.__new__() got an unexpected keyword argument 'x'"]]),
    ("PyFormulasRegistry(1, **{1: 1})", ["TypeError", ["PyFormulasRegistry.__new__() takes 0 positional arguments but 1 was given"]]),
    ("PyCKMMatrix(**{1: 1})", ["TypeError", ["No constructor defined for PyCKMMatrix"]]),
    # str subclasses are names and texts; their own __eq__ and __hash__ are never asked.
    ("PyFormulasRegistry(**{Name('name'): 1})", ["TypeError", ["PyFormulasRegistry.__new__() got an unexpected keyword argument 'name'"]]),
    ("r.get(**{Name('name'): Text('b3')})", ["ok", "24.0"]),
    ("py_get_constant(Text('chi_eff'))['value']", ["ok", "72.0"]),
    ("r.get(Text('B3'))", ["KeyError", ["constant `B3` not found in registry"]]),
    ("m.is_unitary(**{Name('tol'): 0.5})", ["ok", "True"]),
    # Instances whose payload was never made: refused, and destroyed harmlessly.
    ("len(unmade(PyFormulasRegistry))", UNMADE_REGISTRY),
    ("unmade(PyFormulasRegistry).get('b3')", UNMADE_REGISTRY),
    ("unmade(PyFormulasRegistry).get()", ["TypeError", ["PyFormulasRegistry.get() missing 1 required positional argument: 'name'"]]),
    ("len(unmade(PyQuarkRegistry))", ["TypeError", ["PyQuarkRegistry object was not made by PyQuarkRegistry()"]]),
    ("unmade(PyCKMMatrix).jarlskog()", UNMADE_MATRIX),
    ("unmade(PyCKMMatrix).is_unitary(0.5)", UNMADE_MATRIX),
    ("len([unmade(PyFormulasRegistry) for _ in range(50)])", ["ok", "50"]),
    ("r.__class__ = PyQuarkRegistry", ["TypeError", None]),
    # What a conversion returns or raises.
    ("m.is_unitary(Float('x'))", ["TypeError", ["argument 'tol': Float.__float__ returned non-float (type str)"]]),
    ("m.is_unitary(Float(TypeError('bad')))", ["TypeError", ["argument 'tol': bad"]]),
    ("m.is_unitary(Float(ValueError('no')))", ["ValueError", ["no"]]),
    ("m.is_unitary(Index())", ["OverflowError", ["int too large to convert to float"]]),
    ("warnings.simplefilter('error')\nm.is_unitary(Float(type('F', (float,), {})(0.5)))", ["DeprecationWarning", None]),
    # Conversions that call back into the module. (Dropping the receiver's last
    # reference is not possible from Python: a caller owns its arguments for
    # the length of the call.)
    ("m.is_unitary(Float(reenter))", ["ok", "True"]),
    ("sys.setrecursionlimit(200)\nF = Float(None)\nF.result = lambda: m.is_unitary(F)\nm.is_unitary(F)", ["RecursionError", None]),
    # A panic coming back through Python code is raised, even when it could end the process.
    ("json.loads = raising(ExitingPanic('boom'))\npy_get_constant('b3')", ["PanicException", ["boom"]]),
    ("sys.excepthook = lambda *a: sys.exit(3)\njson.loads = raising(Panic('hook'))\npy_get_constant('b3')", ["PanicException", ["hook"]]),
]


@pytest.mark.parametrize("statement, expected", ROWS, ids=[row[0].replace("\n", "; ") for row in ROWS])
def test_hostile_call_ends_in_its_documented_outcome(statement, expected):
    proc = run_python(PRELUDE + f"STATEMENT = {statement!r}\n" + RUN)
    assert proc.returncode == 0, proc.stderr[-2000:]
    outcome = json.loads(proc.stdout.splitlines()[-1])
    if expected[1] is None:
        assert outcome[0] == expected[0], outcome
    else:
        assert outcome == expected


DAEMONS_AT_EXIT = """
import threading, time
import ostrelin._veldra_core as core
m = core.PyCKMMatrix.from_topology()
class Tol:
    def __float__(self):
        return 0.5
class Slow:
    def __del__(self):
        time.sleep(0.0005)  # lets go of the interpreter lock while the module releases it
class BadTol:
    def __float__(self):
        raise TypeError(Slow())  # reworded, so the module drops the original and its Slow
def loop():
    while True:
        core.py_get_constant("b3")
        m.is_unitary(Tol())
def drop_loop():
    while True:
        try:
            m.is_unitary(BadTol())
        except TypeError:
            pass
for target in (loop, loop, drop_loop, drop_loop):
    threading.Thread(target=target, daemon=True).start()
time.sleep(0.2)
"""


def test_daemon_threads_inside_calls_end_quietly_at_exit():
    # The interpreter ends such threads by a forced unwind through our frames,
    # even from inside a __del__ that one of our releases runs; swallowing it,
    # or meeting a noexcept frame, aborted the process in most runs.
    for _ in range(20):
        proc = run_python(DAEMONS_AT_EXIT)
        assert (proc.returncode, proc.stderr) == (0, "")

"""No leaks, no crashes, correct answers under repetition and threads."""

import gc
import json
import os
import sys
import threading

import pytest

import ostrelin
import ostrelin._veldra_catalogue as native_catalogue
import ostrelin._veldra_core as core
from catalogue_cases import CASES, VALID
from conftest import CATALOGUE, run_python

Registry, Quarks, Matrix = core.PyFormulasRegistry, core.PyQuarkRegistry, core.PyCKMMatrix
REGISTRY = Registry()
MATRIX = Matrix.from_topology()
# Valgrind runs set a smaller count; the default is the real check.
REPEAT = int(os.environ.get("OSTRELIN_LEAK_REPEAT", "10000"))


def expect(exc_type, call, *args, **kwargs):
    def run():
        try:
            call(*args, **kwargs)
        except exc_type:
            return
        raise AssertionError(f"{call} did not raise {exc_type}")

    return run


def panics():
    try:
        core.py_get_constant("")
    except BaseException as exc:  # noqa: BLE001
        assert type(exc).__name__ == "PanicException"
        return
    raise AssertionError("no panic")


CALLS = {
    "PyFormulasRegistry()": Registry,
    "PyQuarkRegistry()": Quarks,
    "from_topology()": Matrix.from_topology,
    "get": lambda: REGISTRY.get("phi"),
    "get by keyword": lambda: REGISTRY.get(name="b3"),
    "len(registry)": lambda: len(REGISTRY),
    "len(quarks)": lambda: len(Quarks()),
    "version": Registry.version,
    "jarlskog": MATRIX.jarlskog,
    "is_unitary": lambda: MATRIX.is_unitary(0.5),
    "is_unitary(int)": lambda: MATRIX.is_unitary(tol=1),
    "py_list_constants": core.py_list_constants,
    "py_list_quarks": core.py_list_quarks,
    "py_get_constant": lambda: core.py_get_constant("sterile_check"),
    "KeyError from get": expect(KeyError, REGISTRY.get, "B3"),
    "KeyError from py_get_constant": expect(KeyError, core.py_get_constant, "nope"),
    "TypeError from get": expect(TypeError, REGISTRY.get, 5),
    "TypeError from keywords": expect(TypeError, REGISTRY.get, "b3", name="b3"),
    "TypeError from __new__": expect(TypeError, Registry, x=1),
    "TypeError from PyCKMMatrix()": expect(TypeError, Matrix),
    "TypeError from is_unitary": expect(TypeError, MATRIX.is_unitary, "0.1"),
    "OverflowError from is_unitary": expect(OverflowError, MATRIX.is_unitary, 10**400),
    "UnicodeEncodeError from get": expect(UnicodeEncodeError, REGISTRY.get, "\ud800"),
    "PanicException": panics,
}

CAT = ostrelin.loads(VALID[-1])
TEXTS = {label: text for label, text, _, _ in CASES}
RECORDS = list(CAT.values())
CALLS |= {
    "loads": lambda: ostrelin.loads(VALID[-1]),
    "Catalogue(records)": lambda: ostrelin.Catalogue(RECORDS),
    "cat[name], in, get": lambda: (CAT["f"], "g" in CAT, CAT.get("nope"), len(CAT)),
    "derive, derived": lambda: (CAT.derive("g"), CAT.derived("ε₀")),
    "names, find, datasheet": lambda: (CAT.names(), CAT.find("Ε"), CAT.datasheet("h"), list(CAT)),
    "dumps": CAT.dumps,
    "KeyError with a hint": expect(KeyError, CAT.__getitem__, "pi_usr"),
}
EVALUATED = ostrelin.loads(json.dumps({"format": "ostrelin-catalogue", "version": 1, "constants": [
    {"name": "a", "units": "m", "value": 1.5, "uncertainty": 0.01}, {"name": "b", "units": "m", "value": 2.0},
    {"name": "f", "units": "m", "expression": "sqrt(a) * exp(-b) + a / (b - 2)"}]}))
A, B, SIGMA = [0.5, 1.0, 2.0] * 100, [[1.0], [2.0]], [0.01, 0.0, 0.02] * 100
CALLS |= {
    "evaluate": lambda: EVALUATED.evaluate("f", {"a": A, "b": [[1.0], [3.0]]}, uncertainties={"a": 0.1}),
    "evaluate, errors='nan'": lambda: EVALUATED.evaluate("f", {"a": A, "b": B}, uncertainties={"a": SIGMA},
                                                         errors="nan"),
    "DerivationError from evaluate": expect(ostrelin.DerivationError, EVALUATED.evaluate, "f", {"a": A, "b": B}),
    "ValueError from evaluate": expect(ValueError, EVALUATED.evaluate, "f", {"a": A}, uncertainties={"a": -1.0}),
    "KeyError from evaluate": expect(KeyError, EVALUATED.evaluate, "a", {"b": 1.0}),
}
for label in ["a million brackets", "unclosed", "duplicate name", "not in the catalogue", "a cycle", "value too large"]:
    CALLS[f"CatalogueError: {label}"] = expect(ostrelin.CatalogueError, ostrelin.loads, TEXTS[label])
CALLS["CatalogueError from records"] = expect(ostrelin.CatalogueError, ostrelin.Catalogue, [*RECORDS, RECORDS[0]])
CALLS["FileNotFoundError"] = expect(FileNotFoundError, ostrelin.load, "/nonexistent/catalogue.json")


def counts():
    watched = (Registry, Quarks, Matrix, json, json.loads, core, native_catalogue.Catalogue, ostrelin.Catalogue,
               ostrelin.Constant, ostrelin.CatalogueError, ostrelin.DerivationError)
    return [sys.getrefcount(obj) for obj in watched]


@pytest.mark.parametrize("name", CALLS)
def test_repeated_calls_leak_nothing(name, capfd):
    call = CALLS[name]
    for _ in range(200):  # warm caches, freelists and interned names
        call()
    gc.collect()
    refs_before, blocks_before = counts(), sys.getallocatedblocks()
    for _ in range(REPEAT):
        call()
    gc.collect()
    assert counts() == refs_before
    # Freelists may keep a few dozen blocks; a leak would keep one per call.
    assert sys.getallocatedblocks() - blocks_before < min(100, REPEAT // 3)
    capfd.readouterr()  # internal faults report each panic on stderr


class Lab(ostrelin.Catalogue):
    pass


def test_catalogues_built_over_their_holders_are_collected():
    def build():
        lab = Lab(RECORDS[:2])
        lab.extended = ostrelin.loads(VALID[0], base=lab)  # a cycle only the collector can free

    for _ in range(200):
        build()
    gc.collect()
    blocks_before = sys.getallocatedblocks()
    for _ in range(REPEAT):
        build()
    gc.collect()
    assert [obj for obj in gc.get_objects() if type(obj) is Lab] == []
    # What the collector frees in bulk fills the interpreter's free lists (a
    # few hundred blocks at most); each uncollected pair would keep dozens.
    assert sys.getallocatedblocks() - blocks_before < 1000


@pytest.mark.skipif(bool(os.environ.get("OSTRELIN_SANITIZER")), reason="sanitizer allocators hold freed memory back")
def test_native_memory_stays_flat_over_many_calls():
    code = """
import resource
import numpy
import ostrelin
import ostrelin._veldra_core as core
codata = ostrelin.codata
r = core.PyFormulasRegistry()
m = core.PyCKMMatrix.from_topology()
text = ostrelin.constants.dumps()
def mixed(i):
    if i % 8 == 0:
        c = ostrelin.loads(text)
        c.derived("topo_gen_check"); c.names(); c["b3"]
        try:
            ostrelin.loads(text.replace("b3", "chi_eff"))
        except ostrelin.CatalogueError:
            pass
    core.py_get_constant("b3"); core.py_list_constants(); core.py_list_quarks()
    core.PyFormulasRegistry().get("phi"); r.get("n_gen"); len(core.PyQuarkRegistry())
    m.is_unitary(0.5); core.PyCKMMatrix.from_topology().jarlskog()
    try:
        r.get("missing%d" % (i % 7))
    except KeyError:
        pass
    if i % 64 == 0:  # arrays past one thread's share: the threads' registers are native memory
        x = numpy.linspace(0.5, 2.0, 100_000 + i % 3)
        codata.evaluate("m_e", {"alpha": x * codata["alpha"].value}, uncertainties={"alpha": x * 1e-12})
        try:
            codata.evaluate("m_e", {"alpha": x * 0.0})
        except ostrelin.DerivationError:
            pass
for i in range(2_000):
    mixed(i)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
for i in range(25_000):  # 8 calls each: 200,000 calls
    mixed(i)
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(after - before)
"""
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert int(proc.stdout) < 8 * 1024  # KiB


def test_eight_threads_share_one_registry():
    shared = Registry()
    matrix = Matrix.from_topology()
    errors = []
    barrier = threading.Barrier(8)
    names = sorted(CATALOGUE)

    def work(seed):
        try:
            barrier.wait()
            for i in range(2_000):
                name = names[(seed + i) % len(names)]
                assert shared.get(name) == CATALOGUE[name][0]
                assert len(shared) == 17
                assert core.py_get_constant(name)["status"] == CATALOGUE[name][2]
                if i % 50 == 0:
                    assert core.py_list_constants() == names
                    assert core.py_list_quarks() == ["bottom", "charm", "down", "strange", "top", "up"]
                    assert Registry().get(name) == CATALOGUE[name][0]
                assert matrix.is_unitary(0.0) is True
                try:
                    shared.get(name.upper())
                except KeyError as exc:
                    assert exc.args == (f"constant `{name.upper()}` not found in registry",)
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def test_evaluate_while_another_thread_writes_into_its_input():
    """Unspecified numbers, but never a crash: the input's memory stays where it is while evaluate reads it."""
    import numpy

    cat = ostrelin.codata
    x = numpy.full(300_000, cat["alpha"].value)
    stop = threading.Event()

    def meddle():
        while not stop.is_set():
            x[::7] *= 1.0000001
            x[3::7] = numpy.nan

    thread = threading.Thread(target=meddle)
    thread.start()
    try:
        for _ in range(30):
            result = cat.evaluate("m_e", {"alpha": x}, uncertainties={"alpha": 1e-12}, errors="nan")
            assert result.value.shape == (300_000,)
    finally:
        stop.set()
        thread.join()

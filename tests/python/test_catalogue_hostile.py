"""What hostile callers, deep chains of bases, signals, subclasses and oversized files do to a catalogue, in both
twins: never a crash, a stall or a leak."""

import copy
import errno
import gc
import json
import os
import signal
import subprocess
import sys
import time
import weakref

import pytest

SANITIZED = bool(os.environ.get("OSTRELIN_SANITIZER"))


def doc(*entries):
    return json.dumps({"format": "ostrelin-catalogue", "version": 1, "constants": list(entries)})


def seed(name, value=1.0, uncertainty=None):
    return {"name": name, "units": "m", "value": value, "uncertainty": uncertainty}


def record(api, name, value=1.0):
    return api.Constant(name, value, "m", None, "Seed", None, (), "")


def test_a_base_dropped_while_the_records_are_read_stays_with_the_call(api):
    class DropsTheBase:
        # A `**{...}` display is handed to the constructor as it is: clearing
        # it drops the only reference to the base while the call runs.
        def __iter__(self):
            for obj in gc.get_objects():
                if type(obj) is dict and getattr(obj.get("base"), "source", None) == "victim":
                    obj.clear()
            gc.collect()
            yield record(api, "z", 2.0)

    cat = api.Catalogue(DropsTheBase(), **{"base": api.loads(doc(seed("q", 3.0)), source="victim")})
    assert cat.names() == ["q", "z"]
    assert (cat["q"].value, cat.derive("z"), cat.find("q")) == (3.0, 2.0, ["q"])


def chain(api, depth):
    """A catalogue at the end of `depth` catalogues, each over the one before; level i holds n<i> and, from the
    second level on, a formula f<i> over the level below."""
    cat = None
    for i in range(depth):
        entries = [seed(f"n{i}", float(i), 0.5)]
        if i:
            entries.append({"name": f"f{i}", "units": "m", "expression": f"n{i} + " + (f"f{i - 1}" if i > 1 else "n0")})
        cat = api.loads(doc(*entries), base=cat)
    return cat


def test_a_deep_chain_of_bases_answers_without_recursing(api):
    # The native twin once recursed per level (ASan saw the stack end at
    # 8,000); the pure twin copies its base's table per level, quadratic.
    depth = {"native": 10_000 if SANITIZED else 25_000, "python": 1_200}[api.implementation]
    cat = chain(api, depth)
    names = cat.names()
    assert len(names) == len(cat) == 2 * depth - 1
    assert names == sorted(names) and list(cat) == names
    assert cat.find("n1") == sorted(n for n in names if n.startswith("n1"))
    top = f"f{depth - 1}"
    assert cat.derive(top) == sum(range(depth))
    assert cat.derived("f2").uncertainty == pytest.approx(0.5 * 3**0.5)
    assert cat["n0"].value == 0.0 and "n0" in cat and cat.get(top).expression == f"n{depth - 1} + f{depth - 2}"
    with pytest.raises(KeyError):
        cat["n"]
    assert api.loads(cat.dumps()).names() == names
    level = weakref.ref(cat) if hasattr(cat, "__weakref__") else None
    del cat
    gc.collect()
    assert level is None or level() is None


def test_every_entry_of_a_chain_of_mixed_sizes_is_found_from_every_level(api):
    # Levels of uneven sizes, so that some lookups go through joined levels
    # and some from level to level; each catalogue answers for its own and
    # every lower level's entries, and for none above.
    sizes = [40, 1, 1, 3, 90, 2, 2, 2, 7, 1, 0, 1, 300, 1, 5, 5, 5, 5, 1, 1, 1, 1, 60, 2]
    cats, level_of, total, previous, cat = [], {}, 0.0, None, None
    for level, size in enumerate(sizes):
        entries = [seed(f"L{level}_{i}", float(level * 1000 + i)) for i in range(size)]
        if size:
            total += level * 1000
            expression = f"L{level}_0" + (f" + {previous}" if previous else "")
            previous = f"sum{level}"
            entries.append({"name": previous, "units": "m", "expression": expression})
        cat = api.loads(doc(*entries), base=cat)
        cats.append(cat)
        level_of.update({entry["name"]: level for entry in entries})
    for level, cat in enumerate(cats):
        known = sorted(name for name, at in level_of.items() if at <= level)
        assert list(cat) == sorted(known, key=lambda n: n.encode()) and len(cat) == len(known)
        assert [name for name in level_of if name in cat] == [name for name in level_of if level_of[name] <= level]
        assert [cat[name].name for name in known] == known
        assert cat.get(f"L{level + 1}_0") is None
    assert cats[-1].derive(previous) == total


def test_a_catalogue_over_its_own_holder_is_collected(api):
    class Lab(api.Catalogue):
        pass

    alive = []
    for _ in range(50):
        lab = Lab([record(api, "y")])
        lab.extended = api.loads(doc(seed("x")), base=lab)  # a cycle through the base
        alive.append(weakref.ref(lab))
    del lab
    gc.collect()
    assert [ref for ref in alive if ref() is not None] == []


NOT_MADE = "Catalogue object was not made by Catalogue.__init__()"
BUILT = "Catalogue.__init__() cannot build a catalogue again: catalogues are immutable"


def subclass_cases(api):
    class WithOwner(api.Catalogue):
        def __init__(self, entries, *, owner):
            super().__init__(entries, source="lab")
            self.owner = owner

    class Skips(api.Catalogue):
        def __init__(self, entries):
            self.entries = entries

    made = api.Catalogue([record(api, "a")])
    other = [record(api, "b")]
    owned = WithOwner([record(api, "a")], owner="me")
    skipped = Skips([])
    return [
        ("copy", lambda: copy.copy(made) is made, True),
        ("deepcopy", lambda: copy.deepcopy({"k": made})["k"] is made, True),
        ("__init__ again", lambda: made.__init__(other), TypeError(BUILT)),
        ("__init__ again keeps the entries", lambda: (made.names(), made.source), (["a"], "<records>")),
        ("a subclass with a keyword of its own", lambda: (owned.owner, owned.names(), owned.source), ("me", ["a"], "lab")),
        ("a subclass's copy", lambda: copy.copy(owned) is owned, True),
        ("skipped __init__: len", lambda: len(skipped), TypeError(NOT_MADE)),
        ("skipped __init__: in", lambda: "a" in skipped, TypeError(NOT_MADE)),
        ("skipped __init__: lookup", lambda: skipped["a"], TypeError(NOT_MADE)),
        ("skipped __init__: names", lambda: skipped.names(), TypeError(NOT_MADE)),
        ("skipped __init__: source", lambda: skipped.source, TypeError(NOT_MADE)),
        ("skipped __init__: its own attribute", lambda: skipped.entries, []),
        ("skipped __init__: a missing attribute", lambda: skipped.nothing, AttributeError),
        ("skipped __init__: as a base", lambda: api.Catalogue([], base=skipped), TypeError("base must be a Catalogue, not Skips")),
    ]


@pytest.mark.parametrize("index", range(14))
def test_subclasses_and_copies_keep_a_catalogue_immutable(api, index):
    label, call, expected = subclass_cases(api)[index]
    if isinstance(expected, type) or isinstance(expected, BaseException):
        kind = expected if isinstance(expected, type) else type(expected)
        with pytest.raises(kind) as raised:
            call()
        if isinstance(expected, BaseException):
            assert str(raised.value) == str(expected), label
    else:
        assert call() == expected, label


LIMITED = """
import resource, sys
if sys.argv[1] == "python":
    sys.modules["ostrelin._veldra_catalogue"] = None
import ostrelin
# Room for the interpreter, not for the file: reading it whole would fail.
resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
try:
    ostrelin.load(sys.argv[2])
except BaseException as exc:
    print(type(exc).__name__, str(exc), getattr(exc, "__notes__", []))
"""


@pytest.mark.skipif(SANITIZED, reason="a sanitizer's shadow memory needs more address space than the limit")
def test_a_file_over_4_gib_is_refused_before_it_is_read(api, tmp_path):
    huge = tmp_path / "huge.json"
    with open(huge, "wb") as out:
        out.truncate(5 << 30)  # sparse: nothing is written
    proc = subprocess.run([sys.executable, "-c", LIMITED, api.implementation, str(huge)], capture_output=True,
                          text=True, timeout=120)
    assert proc.stdout == (f"CatalogueError invalid JSON schema in `{huge}` "
                           "['line 1, column 1: the text is longer than 4 GiB']\n"), proc.stderr


# The child loads a FIFO the parent writes; `python` blocks the native modules first.
CHILD = """
import os, signal, sys
if sys.argv[1] == "python":
    sys.modules["ostrelin._veldra_catalogue"] = None
import ostrelin
assert ostrelin.implementation == sys.argv[1]
handled = []
signal.signal(signal.SIGUSR1, lambda *_: handled.append(1))
print("ready", flush=True)
try:
    cat = ostrelin.load(sys.argv[2])
except BaseException as exc:
    print(type(exc).__name__, getattr(exc, "__notes__", []), flush=True)
else:
    print(len(cat), len(handled), flush=True)
"""


def start_child(api, fifo):
    os.mkfifo(fifo)
    child = subprocess.Popen([sys.executable, "-c", CHILD, api.implementation, str(fifo)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "ready\n"
    return child


def open_writer(child, fifo):
    """The FIFO's writing end, once the child opens its end; a child that ends first fails the test."""
    while True:
        try:
            fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)  # blocking, a dead child would hang the test
        except OSError as exc:
            if exc.errno != errno.ENXIO:
                raise
            if child.poll() is not None:
                pytest.fail(f"the child ended first: {child.communicate()}")
            time.sleep(0.01)
            continue
        os.set_blocking(fd, True)
        return os.fdopen(fd, "w")


def test_ctrl_c_ends_a_load_that_waits_on_a_pipe_at_once(api, tmp_path):
    child = start_child(api, tmp_path / "fifo")
    with open_writer(child, tmp_path / "fifo") as writer:  # never finishes the text
        writer.write('{"format": ')
        writer.flush()
        # A signal that comes between two system calls runs its handler only
        # after the next one returns (so it is in CPython's own reads): give
        # the child time to block in read().
        time.sleep(0.5)
        child.send_signal(signal.SIGINT)
        # Waiting on the child while the pipe stays open: a load deaf to the
        # interrupt would never end, and the timeout fails the test.
        out, err = child.communicate(timeout=60)
    assert out == "KeyboardInterrupt []\n", err


def test_a_handled_signal_while_a_fifo_opens_lets_the_load_go_on(api, tmp_path):
    child = start_child(api, tmp_path / "fifo")
    # The child is blocked in open() until a writer comes: interrupt it there first.
    for _ in range(3):
        time.sleep(0.2)
        child.send_signal(signal.SIGUSR1)
    with open_writer(child, tmp_path / "fifo") as writer:
        writer.write(doc(seed("a"), seed("b")))
    out, err = child.communicate(timeout=60)
    assert out == "2 3\n", err


@pytest.mark.parametrize("args", [[b"\xff"], [b"show", b"\xff"], [b"find", b"\xff"]])
def test_the_command_line_reports_an_undecodable_name_in_one_line(args):
    proc = subprocess.run([sys.executable, "-m", "ostrelin", *args], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 1
    assert proc.stdout == "" and proc.stderr.count("\n") == 1 and "Traceback" not in proc.stderr, proc.stderr


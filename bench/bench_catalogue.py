"""The native catalogue against the fastest loaders a user would otherwise pick.

    python bench/bench_catalogue.py [--sizes 10000,100000,1000000] [--runs 3] [--pure-runs 1] [--dir DIR]

For each size a catalogue file is generated (bench/generate_catalogue.py,
seed 0) and kept in the page cache. Every figure is measured in a fresh
process of this interpreter, once per run; a run's ratio is native ÷ floor
within that run, and the table gives the median of each side and of the
ratios, the ratios' range, and the ratio of the medians.

- load: the fastest of up to 10 loads in one process, as many as fit in
  half a second (so one at 10^6 entries), after a warm-up load of a
  20-entry file (imports and first-use set-up are not counted); reading
  the file is included on every side, and garbage collection stays on, as a
  user has it.
- memory: resident set size after the load minus before, the input bytes and
  any temporaries released, gc.collect() and malloc_trim(0) on both sides.
- lookups: both structures in one process, every sampled name used once
  first, then timeit loops of the same shape on both sides, the sides
  alternating, the minimum of the repeats. The sample's strings are copies,
  not the dict's own key objects, as a caller's names would be.
- first derive: the first `derive` of a formula (which computes every value)
  timed once per process after an untimed load.
- twins: below 10^6 entries, each call of the native twin against the same
  statement on the pure twin, both catalogues in one process and timed
  as the lookups are, their values derived first.

The pure twin is slow and needs gigabytes at 10^6 entries: at sizes of 10^6
and above its rows are measured in --pure-runs runs only (default 1).
Nothing here asserts a speed.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import json
import os
import platform
import random
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
from collections.abc import Callable
from typing import Any

import msgspec
import orjson

import ostrelin
from ostrelin import _pycatalogue

from generate_catalogue import write as write_catalogue

SAMPLE = 1000
FORMULAS = 100
REPEATS = 7
LOAD_REPEATS = 10
LARGE = 10**6


class Entry(msgspec.Struct, frozen=True, forbid_unknown_fields=True):
    name: str
    units: str
    value: float | None = None
    uncertainty: float | None = None
    status: str | None = None
    expression: str | None = None
    dependencies: tuple[str, ...] | None = None
    description: str = ""


class Doc(msgspec.Struct, frozen=True, forbid_unknown_fields=True):
    format: str
    version: int
    constants: list[Entry]
    description: str = ""


DECODER = msgspec.json.Decoder(Doc)


def load_msgspec(path: str) -> dict[str, Entry]:
    with open(path, "rb") as file:
        data = file.read()
    return {entry.name: entry for entry in DECODER.decode(data).constants}


def load_orjson(path: str) -> dict[str, Any]:
    with open(path, "rb") as file:
        data = file.read()
    return {entry["name"]: entry for entry in orjson.loads(data)["constants"]}


def load_json(path: str) -> dict[str, Any]:
    with open(path, encoding="utf-8") as file:
        document = json.load(file)
    return {entry["name"]: entry for entry in document["constants"]}


LOADERS: dict[str, Callable[[str], object]] = {
    "native": ostrelin.load, "pure": _pycatalogue.load, "msgspec": load_msgspec, "orjson": load_orjson,
    "json": load_json,
}


# ---------------------------------------------------------------- children: one measurement each


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def release() -> None:
    gc.collect()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)  # hand freed heap back, so RSS shows what is held
    except (OSError, AttributeError):
        pass


def child_load(side: str, path: str, tiny: str) -> float:
    loader = LOADERS[side]
    loader(tiny)
    times: list[float] = []
    # A load of 10^6 entries is timed once; smaller ones again, up to half a second, for a steadier minimum.
    while not times or (sum(times) < 0.5 and len(times) < LOAD_REPEATS):
        start = time.perf_counter()
        loaded = loader(path)
        times.append(time.perf_counter() - start)
        del loaded  # freed outside the timing
    return min(times)


def child_memory(side: str, path: str, tiny: str) -> float:
    loader = LOADERS[side]
    loader(tiny)
    release()
    before = resident_bytes()
    loaded = loader(path)
    release()
    after = resident_bytes()
    del loaded
    return float(after - before)


def first_formula(catalogue: Any) -> str:
    return next(name for name in catalogue if catalogue[name].expression is not None)


def child_first_derive(side: str, path: str, tiny: str) -> float:
    loader = LOADERS[side]
    warm = loader(tiny)
    warm.derive(first_formula(warm))
    catalogue = loader(path)
    name = first_formula(catalogue)
    start = time.perf_counter()
    catalogue.derive(name)
    return time.perf_counter() - start


# (figure, native statement, floor statement, per how many operations)
LOOKUPS = [
    ("getitem", "for n in s: c[n]", "for n in s: d[n]", SAMPLE),
    ("contains", "for n in s: n in c", "for n in s: n in d", SAMPLE),
    ("derive", "for n in s: c.derive(n)", "for n in s: v.get(n)", SAMPLE),
    ("names", "c.names()", "sorted(d)", 1),
    ("find", 'c.find("ab")',
     '[n for n, e in d.items() if "ab" in n.casefold() or "ab" in e.description.casefold()]', 1),
]


def best_pair(native: str, floor: str, namespace: dict[str, Any]) -> tuple[float, float]:
    """Minimum seconds per execution of each statement over alternating repeats."""
    return best_of(timeit.Timer(native, globals=namespace), timeit.Timer(floor, globals=namespace))


def best_of(*timers: timeit.Timer) -> tuple[float, float]:
    number = 1
    while max(timer.timeit(number) for timer in timers) < 0.05:
        number *= 2
    once = max(timer.timeit(number) for timer in timers)
    repeats = REPEATS if once < 0.5 else 3
    best = [float("inf"), float("inf")]
    for i in range(repeats):
        for side in ((0, 1) if i % 2 == 0 else (1, 0)):
            best[side] = min(best[side], timers[side].timeit(number) / number)
    return best[0], best[1]


def child_lookups(path: str) -> dict[str, tuple[float, float]]:
    c = ostrelin.load(path)
    d = load_msgspec(path)
    # Copies, so that the floor's dict cannot answer by identity with its own keys.
    s = [name.encode().decode() for name in random.Random(1).sample(list(d), min(SAMPLE, len(d)))]
    for n in s:
        c[n], d[n]  # noqa: B018 - the warm-up
    v = {name: c.derive(name) for name in d}
    c.names(), c.find("ab")
    namespace = {"c": c, "d": d, "s": s, "v": v}
    return {figure: tuple(t / per for t in best_pair(native, floor, namespace))
            for figure, native, floor, per in LOOKUPS}


# (key, call, statement, per how many operations): the same statement on each twin's catalogue.
TWIN_CALLS = [
    ("getitem", "`cat[name]`", "for n in s: c[n]", SAMPLE),
    ("contains", "`name in cat`", "for n in s: n in c", SAMPLE),
    ("get", "`cat.get(name)`", "for n in s: c.get(n)", SAMPLE),
    ("datasheet", "`cat.datasheet(name)`", "for n in s: c.datasheet(n)", SAMPLE),
    ("derive", "`cat.derive(name)` warm", "for n in s: c.derive(n)", SAMPLE),
    ("derived", "`cat.derived(name)`, formulas", "for n in f: c.derived(n)", FORMULAS),
    ("budget", "`cat.budget(name)`, formulas", "for n in f: c.budget(n)", FORMULAS),
    ("len", "`len(cat)`", "len(c)", 1),
    ("iter", "`list(cat)`", "list(c)", 1),
    ("names", "`names()`", "c.names()", 1),
    ("find", '`find("ab")`', 'c.find("ab")', 1),
    ("dumps", "`dumps()`", "c.dumps()", 1),
    ("eq", "`cat == other`, equal", "c == o", 1),
]


def child_twins(path: str) -> dict[str, tuple[float, float]]:
    with open(path, "rb") as file:
        data = file.read()
    spaces = []
    for module in (ostrelin, _pycatalogue):
        c = module.loads(data)
        names = c.names()
        s = [name.encode().decode() for name in random.Random(1).sample(names, min(SAMPLE, len(names)))]
        f = [name for name in s if c[name].expression is not None][:FORMULAS]
        for n in f:
            c.derived(n)  # the first derive (all values) and the records, outside the timing
        spaces.append({"c": c, "o": module.loads(data), "s": s, "f": f})
    return {key: tuple(t / per for t in best_of(*(timeit.Timer(statement, globals=space) for space in spaces)))
            for key, _, statement, per in TWIN_CALLS}


def child_main(job: list[str]) -> None:
    kind, *args = job
    if kind == "lookups":
        result: object = child_lookups(args[0])
    elif kind == "twins":
        result = child_twins(args[0])
    else:
        result = {"load": child_load, "memory": child_memory, "first_derive": child_first_derive}[kind](*args)
    print(json.dumps(result))


# ---------------------------------------------------------------- the parent


def spawn(*job: str) -> Any:
    done = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", *job],
                          capture_output=True, text=True, check=False)
    if done.returncode != 0:
        sys.exit(f"measurement {job} failed:\n{done.stderr}")
    return json.loads(done.stdout.splitlines()[-1])


def into_page_cache(path: str) -> None:
    with open(path, "rb") as file:
        while file.read(1 << 24):
            pass


# (key, figure, floor, unit, goal): the rows of a table, native first in each pair.
ROWS = [
    ("load:msgspec", "`load(path)`", "read + `msgspec.json` → frozen Structs + dict", "time", 0.25),
    ("load:orjson", "`load(path)`", "read + `orjson.loads` + dict", "time", None),
    ("load:json", "`load(path)`", "`json.load` + dict", "time", None),
    ("load:pure", "`load(path)`", "pure twin `_pycatalogue.load`", "time", 1 / 20),
    ("memory:msgspec", "memory held after load", "msgspec Structs + dict", "bytes", 0.35),
    ("getitem", "`cat[name]` warm", "`d[name]`, msgspec dict", "ns", 2.0),
    ("contains", "`name in cat`", "`name in d`", "ns", 1.5),
    ("derive", "`cat.derive(name)` warm", "`vals.get(name)`, dict of floats", "ns", 2.5),
    ("first_derive:pure", "first `derive` (computes all)", "pure twin's first `derive`", "time", 1 / 30),
    ("names", "`names()`", "`sorted(d)`", "time", None),
    ("find", '`find("ab")`', "list comprehension over `d.items()`, casefold on name and description", "time",
     None),
]


def measure_run(path: str, tiny: str, run: int, with_pure: bool) -> dict[str, tuple[float, float | None]]:
    """One run's (native, floor) figure per row key, each side in a process of its own; the floor is
    None when the pure twin sits this run out."""
    figures: dict[str, tuple[float, float | None]] = {}
    for key, *_ in ROWS:
        kind, _, floor = key.partition(":")
        if not floor:
            continue
        sides = ["native", floor] if run % 2 == 0 else [floor, "native"]
        if floor == "pure" and not with_pure:
            sides.remove(floor)
        got = {side: spawn(kind, side, path, tiny) for side in sides}
        figures[key] = (got["native"], got.get(floor))
    figures.update({key: tuple(pair) for key, pair in spawn("lookups", path).items()})
    return figures


def shown(value: float, unit: str) -> str:
    if unit == "bytes":
        return f"{value / 2**20:.1f} MiB"
    if unit == "ns" or unit == "auto" and value < 1e-6:
        return f"{value * 1e9:.1f} ns"
    if unit == "auto" and value < 1e-3:
        return f"{value * 1e6:.2f} µs"
    return f"{value * 1e3:.2f} ms" if value < 1 else f"{value:.2f} s"


def spread(values: list[float], unit: str) -> str:
    text = shown(statistics.median(values), unit)
    return text if len(values) == 1 else f"{text} [{shown(min(values), unit)}–{shown(max(values), unit)}]"


def table(size: int, runs: list[dict[str, tuple[float, float | None]]]) -> list[str]:
    lines = [f"### {size:,} entries".replace(",", " "), "",
             "| figure | native | floor | floor figure | ratio | range | ratio of medians | goal |",
             "|---|---:|---|---:|---:|---:|---:|---:|"]
    for key, figure, floor, unit, goal in ROWS:
        natives = [run[key][0] for run in runs]
        pairs = [(a, b) for a, b in (run[key] for run in runs) if b is not None]
        floors = [b for _, b in pairs]
        ratios = [a / b for a, b in pairs]
        note = f" ({len(pairs)} run{'s' if len(pairs) > 1 else ''})" if len(pairs) < len(runs) else ""
        goal_text = "–" if goal is None else f"≤ {goal:.2f}" if goal >= 0.1 else f"≤ {goal:.3f} (≥ {1 / goal:.0f}× faster)"
        lines.append(f"| {figure} | {spread(natives, unit)} | {floor}{note} | {spread(floors, unit)} | "
                     f"{statistics.median(ratios):.3f} | {min(ratios):.3f}–{max(ratios):.3f} | "
                     f"{statistics.median(natives) / statistics.median(floors):.3f} | {goal_text} |")
    return lines


def twins_table(size: int, runs: list[dict[str, tuple[float, float]]]) -> list[str]:
    count = f"{size:,}".replace(",", " ")
    lines = [f"Each call of the native twin against the same call of the pure twin, {count} entries:",
             "", "| call | native | pure twin | ratio | range | goal |", "|---|---:|---:|---:|---:|---:|"]
    for key, call, _, _ in TWIN_CALLS:
        natives, pures = [run[key][0] for run in runs], [run[key][1] for run in runs]
        ratios = [a / b for a, b in zip(natives, pures)]
        lines.append(f"| {call} | {spread(natives, 'auto')} | {spread(pures, 'auto')} | {statistics.median(ratios):.3f} | "
                     f"{min(ratios):.3f}–{max(ratios):.3f} | ≤ 1.00 |")
    return lines


def machine() -> str:
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as info:
            cpu = next(line.split(":", 1)[1].strip() for line in info if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    return (f"{cpu}, {os.cpu_count()} CPUs, {memory:.0f} GiB; {platform.system()} {platform.release()}; "
            f"Python {platform.python_version()} ({platform.python_implementation()}); "
            f"ostrelin {ostrelin.__version__} ({ostrelin.implementation}), msgspec {msgspec.__version__}, "
            f"orjson {orjson.__version__}")


def main() -> None:
    if sys.argv[1:2] == ["--child"]:
        child_main(sys.argv[2:])
        return
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--sizes", default="10000,100000,1000000", help="entry counts, comma-separated")
    parser.add_argument("--runs", type=int, default=3, help="runs of every measurement (default 3)")
    parser.add_argument("--pure-runs", type=int, default=1,
                        help=f"runs of the pure twin's rows at {LARGE:,} entries and above (default 1)")
    parser.add_argument("--dir", help="keep the generated files here and reuse them (default: a temporary directory)")
    args = parser.parse_args()
    if ostrelin.implementation != "native":
        sys.exit("the native catalogue did not import; nothing to measure")
    sizes = [int(size) for size in args.sizes.split(",")]

    with tempfile.TemporaryDirectory() as scratch:
        folder = args.dir or scratch
        os.makedirs(folder, exist_ok=True)
        tiny = os.path.join(folder, "catalogue-20.json")
        write_catalogue(20, tiny, seed=1)
        print(f"Machine: {machine()}\n\nRatio: native ÷ floor within each run (below 1, native is faster); "
              "range: of the runs' ratios; figures: median [min–max] of the runs.\n")
        for size in sizes:
            path = os.path.join(folder, f"catalogue-{size}.json")
            if not os.path.exists(path):
                write_catalogue(size, path)
            pure_runs = args.runs if size < LARGE else min(args.pure_runs, args.runs)
            runs = []
            for run in range(args.runs):
                into_page_cache(path)
                runs.append(measure_run(path, tiny, run, with_pure=run < pure_runs))
            print(f"File: {os.path.getsize(path) / 1e6:.1f} MB, {args.runs} run(s)"
                  + (f", the pure twin's rows {pure_runs} (it is slow)" if pure_runs < args.runs else "") + "\n")
            print("\n".join(table(size, runs)) + "\n", flush=True)
            if size < LARGE:  # the pure twin would need minutes per call and gigabytes at 10^6
                twins = [spawn("twins", path) for _ in range(args.runs)]
                print("\n".join(twins_table(size, twins)) + "\n", flush=True)


if __name__ == "__main__":
    main()

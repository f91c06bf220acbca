"""Units texts: ostrelin's parsing and conversion against pint's, in one process, one run at a time.

    python bench/bench_units.py [--runs 5]

Figures per run, each the best of several timeit repeats:
- convert warm: ostrelin.convert(1.0, "MeV/c^2", "kg") against pint's
  Quantity(1.0, "MeV/c^2").to("kg") with pint's caches warm;
- parse fresh: every one of CODATA 2022's 76 units texts parsed once in a new process, where nothing
  has been parsed yet, ostrelin.parse_units against a new pint registry's parse_units.
- load as version 2: the benchmark file written with real units (bench/generate_catalogue.py --units,
  --size entries) loaded as version 2 against the same file as version 1, each load in a new process
  with the file in the page cache; and cat.derive(name) warm on each.
The pure twin's figures are given beside the native ones. A ratio is ostrelin ÷ pint (or version 2 ÷
version 1) within a run; the median over the runs is printed. Nothing here asserts a speed.
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
import timeit
from importlib import resources
from pathlib import Path

import pint

import ostrelin


def python_twin():  # type: ignore[no-untyped-def]
    """The package with its native modules blocked."""
    saved = {name: module for name, module in sys.modules.items() if name.startswith("ostrelin")}
    for name in saved:
        del sys.modules[name]
    sys.modules["ostrelin._veldra_catalogue"] = None  # type: ignore[assignment]
    sys.modules["ostrelin._veldra_core"] = None  # type: ignore[assignment]
    try:
        import ostrelin as pure  # noqa: PLC0415

        return pure
    finally:
        for name in [n for n in sys.modules if n.startswith("ostrelin")]:
            del sys.modules[name]
        sys.modules.update(saved)


def best(statement, number: int) -> float:  # type: ignore[no-untyped-def]
    """Seconds per call, the best of five repeats of `number` calls."""
    return min(timeit.repeat(statement, number=number, repeat=5)) / number


FRESH = """
import json, sys, time
if sys.argv[1] == "pure twin":
    sys.modules["ostrelin._veldra_catalogue"] = None
texts = json.loads(sys.argv[2])
if sys.argv[1] == "pint":
    import pint
    parse = pint.UnitRegistry(cache_folder=None).parse_units
else:
    import ostrelin
    parse = ostrelin.parse_units
start = time.perf_counter()
for text in texts:
    parse(text)
print(time.perf_counter() - start)
"""


def run_once(texts: list[str], pure) -> dict[str, float]:  # type: ignore[no-untyped-def]
    registry = pint.UnitRegistry()
    registry.Quantity(1.0, "MeV/c^2").to("kg")
    figures = {
        "convert warm: ostrelin": best(lambda: ostrelin.convert(1.0, "MeV/c^2", "kg"), 20000),
        "convert warm: pure twin": best(lambda: pure.convert(1.0, "MeV/c^2", "kg"), 20000),
        "convert warm: pint": best(lambda: registry.Quantity(1.0, "MeV/c^2").to("kg"), 500),
    }
    # Fresh: each in a new process, where nothing has parsed a units text yet (ostrelin's threads
    # remember the texts they parsed last; pint's registry caches what it parsed).
    for side in ("ostrelin", "pure twin", "pint"):
        proc = subprocess.run([sys.executable, "-c", FRESH, side, json.dumps(texts)], capture_output=True, text=True,
                              check=True)
        figures[f"parse 76 fresh: {side}"] = float(proc.stdout)
    return figures


LOAD = """
import sys, time, timeit
import ostrelin
path = sys.argv[1]
start = time.perf_counter()
cat = ostrelin.load(path)
seconds = time.perf_counter() - start
name = next(n for n in cat.names() if cat[n].expression is not None and n.isascii())
cat.derive(name)
warm = min(timeit.repeat(lambda: cat.derive(name), number=100000, repeat=5)) / 100000
print(seconds, warm)
"""


def versions_once(paths: dict[int, str]) -> dict[str, float]:
    figures = {}
    for version, path in paths.items():
        with open(path, "rb") as data:  # into the page cache
            while data.read(1 << 24):
                pass
        proc = subprocess.run([sys.executable, "-c", LOAD, path], capture_output=True, text=True, check=True)
        load, warm = (float(x) for x in proc.stdout.split())
        figures[f"load v{version}"] = load
        figures[f"derive warm v{version}"] = warm
    return figures


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--size", type=int, default=1_000_000, help="entries of the version 2 file (0: skip)")
    parser.add_argument("--dir", default="/tmp", help="where the version 2 file and its version 1 copy go")
    args = parser.parse_args()
    data = json.loads(resources.files(ostrelin).joinpath("data/codata-2022.json").read_text("utf-8"))
    texts = sorted({entry["units"] for entry in data["constants"]})
    pure = python_twin()
    print(f"ostrelin {ostrelin.__version__} ({ostrelin.implementation}), pint {pint.__version__}, "
          f"{len(texts)} units texts, {args.runs} runs")
    runs = [run_once(texts, pure) for _ in range(args.runs)]
    for label in runs[0]:
        print(f"{label:28} {statistics.median(r[label] for r in runs) * 1e6:12.3f} µs")
    for what in ("convert warm", "parse 76 fresh"):
        for side in ("ostrelin", "pure twin"):
            ratios = [r[f"{what}: {side}"] / r[f"{what}: pint"] for r in runs]
            print(f"{what}: {side} ÷ pint = {statistics.median(ratios):.4f} "
                  f"(range {min(ratios):.4f}-{max(ratios):.4f})")
    if args.size:
        sys.path.insert(0, str(Path(__file__).parent))
        from generate_catalogue import text as catalogue_text  # noqa: PLC0415

        written = catalogue_text(args.size, seed=0, units=True)
        paths = {2: f"{args.dir}/units-{args.size}-v2.json", 1: f"{args.dir}/units-{args.size}-v1.json"}
        Path(paths[2]).write_text(written, encoding="utf-8")
        Path(paths[1]).write_text(written.replace('"version": 2,', '"version": 1,', 1), encoding="utf-8")
        versions = [versions_once(paths) for _ in range(args.runs)]
        for label in versions[0]:
            print(f"{label:28} {statistics.median(r[label] for r in versions) * 1e6:12.3f} µs")
        for what in ("load", "derive warm"):
            ratios = [r[f"{what} v2"] / r[f"{what} v1"] for r in versions]
            print(f"{what} ({args.size} entries): version 2 ÷ version 1 = {statistics.median(ratios):.3f} "
                  f"(range {min(ratios):.3f}-{max(ratios):.3f})")


if __name__ == "__main__":
    main()

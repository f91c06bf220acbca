"""Units texts: ostrelin's parsing and conversion against pint's, in one process, one run at a time.

    python bench/bench_units.py [--runs 5]

Figures per run, each the best of several timeit repeats:
- convert warm: ostrelin.convert(1.0, "MeV/c^2", "kg") against pint's
  Quantity(1.0, "MeV/c^2").to("kg") with pint's caches warm;
- parse fresh: every one of CODATA 2022's 76 units texts parsed once in a new process, where nothing
  has been parsed yet, ostrelin.parse_units against a new pint registry's parse_units.
The pure twin's figures are given beside the native ones. A ratio is ostrelin ÷ pint within a run; the
median over the runs is printed. Nothing here asserts a speed.
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
import timeit
from importlib import resources

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


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=5)
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


if __name__ == "__main__":
    main()

"""Catalogues at the end of a chain of bases, native twin against the pure one.

    python bench/bench_chains.py [--depths 1000,4000] [--runs 3]

Each level holds a seed and a formula over the level below. For each depth
and run, a fresh process per twin builds the chain (each level loaded over
the previous), then times, once each and in this order: the first names(),
list() of the catalogue, find(), a lookup of the bottom level's seed, the
first derive of the top formula, dumps() and == against itself. A figure is
the median over the runs; the ratio is native ÷ pure within each run, and
its median is given. Nothing here asserts a speed.
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
import time

CHILD = """
import json, sys, time
if sys.argv[1] == "python":
    sys.modules["ostrelin._veldra_catalogue"] = None
import ostrelin
depth = int(sys.argv[2])
times = {}
start = time.perf_counter()
cat = None
for i in range(depth):
    entries = [{"name": f"n{i}", "units": "m", "value": float(i), "uncertainty": 0.5}]
    if i:
        entries.append({"name": f"f{i}", "units": "m", "expression": f"n{i} + " + (f"f{i - 1}" if i > 1 else "n0")})
    cat = ostrelin.loads(json.dumps({"format": "ostrelin-catalogue", "version": 1, "constants": entries}), base=cat)
times["build"] = time.perf_counter() - start
steps = {
    "first names()": lambda: cat.names(),
    "list(cat)": lambda: list(cat),
    "find('n1')": lambda: cat.find("n1"),
    "cat['n0']": lambda: cat["n0"],
    "first derive": lambda: cat.derive(f"f{depth - 1}"),
    "dumps()": lambda: cat.dumps(),
    "cat == cat": lambda: cat == cat,
}
for label, step in steps.items():
    start = time.perf_counter()
    step()
    times[label] = time.perf_counter() - start
print(json.dumps(times))
"""


def measure(side: str, depth: int) -> dict[str, float]:
    proc = subprocess.run([sys.executable, "-c", CHILD, side, str(depth)], capture_output=True, text=True, check=True)
    figures: dict[str, float] = json.loads(proc.stdout)
    return figures


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--depths", default="1000,4000")
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    for depth in (int(d) for d in args.depths.split(",")):
        runs = [(measure("native", depth), measure("python", depth)) for _ in range(args.runs)]
        print(f"\n### {depth} levels ({2 * depth - 1} entries), {args.runs} runs\n")
        print("| step | native | pure | native ÷ pure |")
        print("|---|---:|---:|---:|")
        for label in runs[0][0]:
            native = statistics.median(n[label] for n, _ in runs)
            pure = statistics.median(p[label] for _, p in runs)
            ratio = statistics.median(n[label] / p[label] for n, p in runs)
            print(f"| {label} | {native * 1e3:.2f} ms | {pure * 1e3:.2f} ms | {ratio:.3g} |")


if __name__ == "__main__":
    main()

"""The bundled CODATA catalogue as the adjustment computes it, against the table of seeds it replaced.

    python bench/bench_codata.py [--runs 5] [--before COMMIT]

Figures per run, each the best of several timeit repeats, native and pure twin side by side:
- load: ostrelin.loads of the bundled file (44 seeds, 311 formulas, 378 correlations) against the same
  355 values as seeds alone, the file of COMMIT (default: the last one before formulas came in);
- derived warm: cat.derived(name) over every formula entry of codata, against cat.derive(name) of a seed;
- covariance_matrix: of 100 of the values that are not exact (reported, no floor).
A ratio is within one run; the median over the runs is printed. Nothing here asserts a speed.
"""

from __future__ import annotations

import argparse
import statistics
import subprocess
import sys
import timeit
from importlib import resources
from pathlib import Path

import ostrelin

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_units import python_twin  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
# The last commit whose codata held every value as a seed.
BEFORE = "08a1fb7"


def best(call, number: int) -> float:  # type: ignore[no-untyped-def]
    """Seconds per call: the best of five repeats of `number` calls."""
    return min(timeit.repeat(call, number=number, repeat=5)) / number


def one_run(package, before: bytes) -> dict[str, float]:  # type: ignore[no-untyped-def]
    now = resources.files(package).joinpath("data/codata-2022.json").read_bytes()
    codata = package.loads(now)
    formulas = [name for name in codata.names() if codata[name].expression is not None]
    measured = [name for name in codata.names() if codata[name].uncertainty]
    hundred = measured[:: max(1, len(measured) // 100)][:100]
    for name in formulas:
        codata.derived(name)  # warm: every value computed once
    loads = 20 if package.implementation == "native" else 3
    return {
        "load now": best(lambda: package.loads(now), loads),
        "load before": best(lambda: package.loads(before), loads),
        "derived warm": best(lambda: [codata.derived(name) for name in formulas], 3) / len(formulas),
        "seed derive": best(lambda: codata.derive("rydberg_constant"), 20000),
        "covariance_matrix(100)": best(lambda: codata.covariance_matrix(hundred), 1 if package is not ostrelin else 3),
    }


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--before", default=BEFORE, help="the commit whose codata file is the floor")
    args = parser.parse_args()
    before = subprocess.run(["git", "show", f"{args.before}:python/ostrelin/data/codata-2022.json"], cwd=ROOT,
                            check=True, capture_output=True).stdout
    for package in (ostrelin, python_twin()):
        runs = [one_run(package, before) for _ in range(args.runs)]
        median = {key: statistics.median(run[key] for run in runs) for key in runs[0]}
        load = statistics.median(run["load now"] / run["load before"] for run in runs)
        derived = statistics.median(run["derived warm"] / run["seed derive"] for run in runs)
        print(f"{package.implementation}: load {median['load now'] * 1e6:.0f} µs against {median['load before'] * 1e6:.0f}"
              f" µs before ({load:.2f}×); derived warm {median['derived warm'] * 1e6:.2f} µs against a seed's derive"
              f" {median['seed derive'] * 1e6:.3f} µs ({derived:.2f}×); covariance_matrix of 100 names"
              f" {median['covariance_matrix(100)'] * 1e3:.1f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())

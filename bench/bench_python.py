"""Each native call against its floor, measured side by side in one run.

    python bench/bench_python.py [--seconds S] [--runs N] [--markdown] [--json FILE]

Both sides of a row are timeit statement strings run in the same globals, so
neither pays for a wrapper the other does not (a lambda around each side
adds the same 50-80 ns to both and pulls every ratio towards 1). Each side is
timed seven times, the two alternating back to back, and the row shows the
minimum time per call of each (nanoseconds) and their ratio. With --runs N
the whole table is measured N times and each figure is the median of the
runs, the range of the ratio beside it (the machine's speed drifts between
runs). Rows without a
goal set each twin, native, against the package's pure-Python reference.
Nothing here asserts a speed.
"""

from __future__ import annotations

import argparse
import json
import platform
import sys
import timeit

import ostrelin
import ostrelin._veldra_core as core
from ostrelin import _pyostrelin as pure  # what the package runs when the core is missing
from ostrelin._builtin_entries import CONSTANTS, QUARKS

REPEATS = 7

B3_TEXT = json.dumps(pure.datasheet(pure.constant("b3")), separators=(",", ":"))
# The floors take their inputs in catalogue and table order, as the core
# does: keys that are already sorted would make sorted() cheaper than it is.
DICT17 = {c.name: c.value for c in CONSTANTS}
TUPLE6 = tuple(q.name for q in QUARKS)
# A dict display of the 17 entries as 6-tuples, written out from the data.
DICT_OF_TUPLES = "{%s}" % ", ".join(
    f"{c.name!r}: {(c.name, c.value, c.units, c.uncertainty, c.status, c.expression)!r}" for c in CONSTANTS
)

NAMESPACE = {
    "core": core, "ostrelin": ostrelin, "pure": pure, "r": core.PyFormulasRegistry(),
    "m": core.PyCKMMatrix.from_topology(), "TEXT": B3_TEXT, "d": DICT17, "t": TUPLE6,
}

# (row label, native statement, floor label, floor statement, goal or None)
ROWS = [
    ('py_get_constant("b3")', 'core.py_get_constant("b3")',
     f"import json + json.loads({len(B3_TEXT)}-byte text)", "import json; json.loads(TEXT)", 1.30),
    ('r.get("b3")', 'r.get("b3")', 'dict.get("b3"), 17 entries', 'd.get("b3")', 1.6),
    ("py_list_constants()", "core.py_list_constants()", "sorted(17-key dict)", "sorted(d)", 1.6),
    ("py_list_quarks()", "core.py_list_quarks()", "sorted(6-tuple)", "sorted(t)", 1.2),
    ("PyFormulasRegistry()", "core.PyFormulasRegistry()", "dict of 17 6-tuples", DICT_OF_TUPLES, 1.0),
    ("m.is_unitary(0.5)", "m.is_unitary(0.5)", "(0.5).__ge__(0.0)", "(0.5).__ge__(0.0)", 1.3),
    ('Get("b3")', 'ostrelin.Get("b3")', 'py_get_constant("b3")', 'core.py_get_constant("b3")', 1.10),
    ("list_constants()", "ostrelin.list_constants()", "py_list_constants()", "core.py_list_constants()", 1.10),
    ("list_constants() native", "ostrelin.list_constants()", "pure Python", "pure.list_constants()", None),
    ("list_quarks() native", "ostrelin.list_quarks()", "pure Python", "pure.list_quarks()", None),
    ('Get("b3") native', 'ostrelin.Get("b3")', "pure Python", 'pure.Get("b3")', None),
]


def calibrate(timer: timeit.Timer, seconds: float) -> int:
    """The smallest power of two of calls that takes at least `seconds`."""
    number = 1
    while timer.timeit(number) < seconds:
        number *= 2
    return number


def measure(native: str, floor: str, seconds: float) -> tuple[float, float]:
    """Minimum nanoseconds per call of each statement over REPEATS alternating pairs."""
    timers = [timeit.Timer(native, globals=NAMESPACE), timeit.Timer(floor, globals=NAMESPACE)]
    number = max(calibrate(timer, seconds) for timer in timers)
    best = [float("inf"), float("inf")]
    for i in range(REPEATS):
        order = (0, 1) if i % 2 == 0 else (1, 0)
        for side in order:
            best[side] = min(best[side], timers[side].timeit(number) / number * 1e9)
    return best[0], best[1]


def median(values: list[float]) -> float:
    ordered = sorted(values)
    middle = len(ordered) // 2
    return ordered[middle] if len(ordered) % 2 else (ordered[middle - 1] + ordered[middle]) / 2


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--seconds", type=float, default=0.05, help="least time of one timing (default 0.05)")
    parser.add_argument("--runs", type=int, default=1, help="measure the whole table this many times (default 1)")
    parser.add_argument("--markdown", action="store_true", help="print the table as Markdown")
    parser.add_argument("--json", help="also write the results to this file")
    args = parser.parse_args()
    if ostrelin.implementation != "native":
        sys.exit("the native core did not import; nothing to measure")

    runs = [[measure(native, floor, args.seconds) for _, native, _, floor, _ in ROWS] for _ in range(args.runs)]
    results = []
    for i, (label, native, floor_label, floor, goal) in enumerate(ROWS):
        ratios = [run[i][0] / run[i][1] for run in runs]
        results.append({"call": label, "native": native, "native_ns": median([run[i][0] for run in runs]),
                        "floor": floor_label, "floor_statement": floor,
                        "floor_ns": median([run[i][1] for run in runs]), "ratio": median(ratios),
                        "ratio_range": [min(ratios), max(ratios)], "goal": goal})

    print(f"Python {platform.python_version()} on {platform.machine()}, "
          f"min of {REPEATS} alternating repeats, median of {args.runs} run(s)")
    if args.markdown:
        print("| call | native ns | floor | floor ns | ratio | range | goal |\n|---|---:|---|---:|---:|---:|---:|")
    else:
        print(f"{'call':26} {'native ns':>10} {'floor':38} {'floor ns':>10} {'ratio':>6} {'range':>11} {'goal':>5}")
    for row in results:
        goal = "-" if row["goal"] is None else f"{row['goal']:.2f}"
        low, high = row["ratio_range"]
        if args.markdown:
            print(f"| `{row['call']}` | {row['native_ns']:.1f} | {row['floor']} | {row['floor_ns']:.1f} | "
                  f"{row['ratio']:.2f} | {low:.2f}–{high:.2f} | {goal} |")
        else:
            print(f"{row['call']:26} {row['native_ns']:10.1f} {row['floor']:38} {row['floor_ns']:10.1f} "
                  f"{row['ratio']:6.2f} {low:5.2f}-{high:5.2f} {goal:>5}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"python": sys.version, "repeats": REPEATS, "runs": args.runs, "rows": results}, f, indent=2)


if __name__ == "__main__":
    main()

"""Each native call against its floor, measured side by side in one run.

    python bench/bench_python.py [--rounds N] [--json FILE]

Prints one row per call: the median time per call of the native call and of
its floor (nanoseconds) and the median ratio of the two over rounds in which
both are timed back to back. Nothing here asserts a speed.
"""

from __future__ import annotations

import argparse
import json
import platform
import statistics
import sys
import timeit

import ostrelin._veldra_core as core

TEXT = '{"name":"b3","status":"Seed","uncertainty":null,"units":"dimensionless","value":24.0}'
DICT17 = {name: float(i) for i, name in enumerate(core.py_list_constants())}
TUPLE6 = ("up", "down", "strange", "charm", "bottom", "top")
REGISTRY = core.PyFormulasRegistry()
MATRIX = core.PyCKMMatrix.from_topology()
ENTRIES = [
    (name, 0.0, "count", None, "Seed", None) for name in core.py_list_constants()
]


def build_dict_of_tuples():
    return {
        "b3": ("b3", 24.0, "dimensionless", None, "Seed", None),
        "chi_eff": ("chi_eff", 72.0, "dimensionless", None, "Seed", None),
        "n_gen": ("n_gen", 3.0, "count", None, "Seed", None),
        "roots_total": ("roots_total", 288.0, "count", None, "Seed", None),
        "visible_sector": ("visible_sector", 125.0, "count", None, "Seed", None),
        "sterile_sector": ("sterile_sector", 163.0, "count", None, "Seed", None),
        "phi": ("phi", 1.618033988749895, "dimensionless", None, "Seed", None),
        "gamma_em": ("gamma_em", 0.5772156649015329, "dimensionless", None, "Seed", None),
        "jc_constant": ("jc_constant", 153.0, "count", None, "Seed", None),
        "logic_closure": ("logic_closure", 288.0, "count", None, "Seed", None),
        "v_higgs_mev": ("v_higgs_mev", 0.0, "MeV", None, "Pending", "246220"),
        "sterile_check": ("sterile_check", 0.0, "count", None, "Pending", "roots_total - visible_sector"),
        "n_gen_sq": ("n_gen_sq", 0.0, "count", None, "Pending", "n_gen * n_gen"),
        "h0_central": ("h0_central", 0.0, "km/s/Mpc", None, "Pending", "70"),
        "w0_central": ("w0_central", 0.0, "dimensionless", None, "Pending", "-1"),
        "m_tau_mev": ("m_tau_mev", 0.0, "MeV", None, "Pending", "1776.86"),
        "topo_gen_check": ("topo_gen_check", 0.0, "count", None, "Pending", "chi_eff / b3"),
    }


def import_and_load():
    import json as j  # noqa: PLC0415 - the import is part of what is timed

    return j.loads(TEXT)


# (row label, native callable, floor label, floor callable, goal)
ROWS = [
    ('py_get_constant("b3")', lambda: core.py_get_constant("b3"),
     "import json + json.loads(85-byte text)", import_and_load, 1.20),
    ('r.get("b3")', lambda: REGISTRY.get("b3"), 'dict.get("b3"), 17 entries', lambda: DICT17.get("b3"), 1.5),
    ("py_list_constants()", core.py_list_constants, "sorted(17-key dict)", lambda: sorted(DICT17), 1.2),
    ("py_list_quarks()", core.py_list_quarks, "sorted(6-tuple)", lambda: sorted(TUPLE6), 1.2),
    ("PyFormulasRegistry()", core.PyFormulasRegistry, "dict of 17 6-tuples", build_dict_of_tuples, 1.0),
    ("m.is_unitary(0.5)", lambda: MATRIX.is_unitary(0.5), "(0.5).__ge__(0.0)", lambda: (0.5).__ge__(0.0), 1.3),
]


def paired_runs(native, floor, number, rounds):
    """Per-call times of both sides, timed in adjacent pairs.

    The machine's speed drifts (shared hosts, frequency changes) more over a
    whole run than within a few milliseconds, so each round times both sides
    back to back, alternating which goes first, and the ratio is the median of
    the per-round ratios rather than a ratio of two far-apart medians.
    """
    native_ns, floor_ns, ratios = [], [], []
    for i in range(rounds):
        if i % 2 == 0:
            n = timeit.timeit(native, number=number)
            f = timeit.timeit(floor, number=number)
        else:
            f = timeit.timeit(floor, number=number)
            n = timeit.timeit(native, number=number)
        native_ns.append(n / number * 1e9)
        floor_ns.append(f / number * 1e9)
        ratios.append(n / f)
    return statistics.median(native_ns), statistics.median(floor_ns), statistics.median(ratios)


def calibrate(fn, seconds=0.005):
    # Both sides are called through a lambda or a plain function, so the
    # harness costs the same on each.
    number = 1
    while timeit.timeit(fn, number=number) < seconds:
        number *= 2
    return number


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=61, help="timed pairs per row (default 61)")
    parser.add_argument("--json", help="also write the results to this file")
    args = parser.parse_args()

    results = []
    print(f"Python {platform.python_version()} on {platform.machine()}, {platform.processor() or 'cpu'}")
    print(f"{'native call':24} {'native ns':>10} {'floor':40} {'floor ns':>10} {'ratio':>6} {'goal':>5}")
    for label, native, floor_label, floor, goal in ROWS:
        number = max(calibrate(native), calibrate(floor))
        native_ns, floor_ns, ratio = paired_runs(native, floor, number, args.rounds)
        results.append({"call": label, "native_ns": native_ns, "floor": floor_label, "floor_ns": floor_ns,
                        "ratio": ratio, "goal": goal})
        print(f"{label:24} {native_ns:10.1f} {floor_label:40} {floor_ns:10.1f} {ratio:6.2f} {goal:5.2f}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"python": sys.version, "rows": results}, f, indent=2)


if __name__ == "__main__":
    main()

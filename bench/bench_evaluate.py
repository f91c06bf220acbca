"""Catalogue.evaluate over NumPy arrays, against numexpr, plain NumPy, uncertainties.unumpy and gvar.

    python bench/bench_evaluate.py [--repeat 5] [--quick] [--pure]

Two formulas: codata's m_e = 2 h R∞ / (c α²) over arrays of R∞ and α (h and c exact seeds), and a
formula of 23 operations (sqrt, exp, sin, log) over two seeds x and y, in a small catalogue built here.
At 10^6 and 10^7 elements (--quick: 10^3 and 10^4, for a smoke test):
- values only: ostrelin against numexpr evaluating the same text and against NumPy;
- values and uncertainties (two inputs, each with its own σ per element): against NumPy and numexpr
  with the derivatives written by hand, σ = sqrt((∂f/∂x σx)² + (∂f/∂y σy)²), and against
  uncertainties.unumpy and gvar, which are timed at 10^4 elements (--quick: 10^3) and extrapolated
  linearly, as the table says;
- peak memory above the inputs, against the size of what each side returns: each measurement in a
  fresh process, by the resident set's high-water mark (VmHWM, what ru_maxrss reads, reset through
  /proc/self/clear_refs once the inputs are made), which counts native allocations that tracemalloc
  does not see;
- 10^3 elements, the whole call, against NumPy with derivatives by hand.
Every side's result is checked against ostrelin's (values and σ to 1e-12, relative to the largest
magnitude) before anything is timed, so a wrong answer cannot win. A time is the best of --repeat
calls after a warm-up, the sides alternating, so a ratio (ostrelin ÷ floor) is measured in one run.
numexpr gets two threads (numexpr.set_num_threads(2)); then the whole script runs again in a process
pinned to one processor (os.sched_setaffinity before ostrelin or numexpr is imported) with one numexpr
thread. It measures whichever twin answers (ostrelin.implementation); --pure blocks the native
modules. Prints markdown tables; nothing here asserts a speed.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import subprocess
import sys
import time
from collections.abc import Callable
from typing import Any

# No side calls BLAS, whose idle threads would otherwise spin on the processors both sides time on.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

# The codata formula as numexpr and NumPy read it, and the long one as ostrelin, numexpr and NumPy read it.
SHORT = "2 * h * R / (c * a**2)"
LONG = "sqrt(x*x + y*y) * exp(-x*y/4) + log(1 + x*x) * sin(3*y - x) - sqrt(y) / (2 + sin(x*y))"
# Its partial derivatives, by hand: the terms r E, L S and -q / D, each differentiated.
LONG_DX = ("x/sqrt(x*x + y*y) * exp(-x*y/4) - sqrt(x*x + y*y) * exp(-x*y/4) * y/4 + 2*x/(1 + x*x) * sin(3*y - x)"
           " - log(1 + x*x) * cos(3*y - x) + sqrt(y) * cos(x*y) * y / (2 + sin(x*y))**2")
LONG_DY = ("y/sqrt(x*x + y*y) * exp(-x*y/4) - sqrt(x*x + y*y) * exp(-x*y/4) * x/4 + 3 * log(1 + x*x) * cos(3*y - x)"
           " - 1 / (2 * sqrt(y) * (2 + sin(x*y))) + sqrt(y) * cos(x*y) * x / (2 + sin(x*y))**2")
TOLERANCE = 1e-12
CASES = ("short", "long")
LABELS = {"short": "m_e = 2hR∞/(cα²), codata", "long": "23 operations over x, y"}


def the_catalogue(ostrelin: Any) -> Any:  # noqa: ANN401
    return ostrelin.loads(json.dumps({
        "format": "ostrelin-catalogue", "version": 1, "description": "the benchmark's long formula",
        "constants": [{"name": "x", "units": "", "value": 1.0}, {"name": "y", "units": "", "value": 2.0},
                      {"name": "f", "units": "", "expression": LONG}]}))


class Bench:
    """The packages, imported once the process's processors and threads are set, and every side's call."""

    def __init__(self, threads: int | None, pure: bool) -> None:
        if pure:
            sys.modules["ostrelin._veldra_catalogue"] = None  # type: ignore[assignment]
            sys.modules["ostrelin._veldra_core"] = None  # type: ignore[assignment]
        import numexpr  # noqa: PLC0415 - after the affinity is set
        import numpy  # noqa: PLC0415

        import ostrelin  # noqa: PLC0415

        if threads is not None:
            numexpr.set_num_threads(threads)
        self.np, self.ne, self.ostrelin = numpy, numexpr, ostrelin
        self.codata, self.lab = ostrelin.codata, the_catalogue(ostrelin)
        # The values the catalogue holds, so that every side computes from the same doubles.
        self.h, self.c = self.codata.derive("h"), self.codata.derive("c")
        self.R0, self.a0 = self.codata.derive("R_inf"), self.codata.derive("alpha")

    def versions(self) -> str:
        import gvar  # noqa: PLC0415
        import uncertainties  # noqa: PLC0415

        return (f"ostrelin {self.ostrelin.__version__} ({self.ostrelin.implementation}), NumPy {self.np.__version__}, "
                f"numexpr {self.ne.__version__}, uncertainties {uncertainties.__version__}, gvar {gvar.__version__}")

    def inputs(self, case: str, n: int, seed: int = 0) -> dict[str, Any]:
        """x, y and their σ, each made in place so that making them leaves no peak above them."""
        np = self.np
        rng = np.random.default_rng(seed)
        made = {}
        # (centre, half-width) of x and y, then of their σ
        if case == "short":
            shape = {"x": (self.R0, self.R0 * 1e-6), "y": (self.a0, self.a0 * 1e-6),
                     "sx": (1.2e-5, 0.6e-5), "sy": (1.1e-12, 0.55e-12)}
        else:
            shape = {"x": (1.5, 1.0), "y": (1.5, 1.0), "sx": (0.005, 0.005), "sy": (0.005, 0.005)}
        for key, (centre, half) in shape.items():
            array = np.empty(n)
            rng.random(out=array)
            array *= 2 * half
            array += centre - half
            made[key] = array
        return made

    # Each side takes the inputs and returns (values, σ or None).

    def ostrelin_side(self, case: str, sigma: bool) -> Callable[[dict[str, Any]], tuple[Any, Any]]:
        cat, name, keys = (self.codata, "m_e", ("R_inf", "alpha")) if case == "short" else (self.lab, "f", ("x", "y"))

        def call(v: dict[str, Any]) -> tuple[Any, Any]:
            given = {keys[0]: v["x"], keys[1]: v["y"]}
            result = cat.evaluate(name, given, uncertainties={keys[0]: v["sx"], keys[1]: v["sy"]} if sigma else None)
            return result.value, result.uncertainty

        return call

    def numexpr_side(self, case: str, sigma: bool) -> Callable[[dict[str, Any]], tuple[Any, Any]]:
        ne, h, c = self.ne, self.h, self.c
        if case == "short":
            def call(v: dict[str, Any]) -> tuple[Any, Any]:
                f = ne.evaluate(SHORT, local_dict={"h": h, "c": c, "R": v["x"], "a": v["y"]})
                if not sigma:
                    return f, None
                return f, ne.evaluate("sqrt((f / R * sR)**2 + (2 * f / a * sa)**2)",
                                      local_dict={"f": f, "R": v["x"], "a": v["y"], "sR": v["sx"], "sa": v["sy"]})
            return call

        def call_long(v: dict[str, Any]) -> tuple[Any, Any]:
            f = ne.evaluate(LONG, local_dict={"x": v["x"], "y": v["y"]})
            if not sigma:
                return f, None
            return f, ne.evaluate(f"sqrt(({LONG_DX}) ** 2 * sx**2 + ({LONG_DY}) ** 2 * sy**2)",
                                  local_dict={"x": v["x"], "y": v["y"], "sx": v["sx"], "sy": v["sy"]})
        return call_long

    def numpy_side(self, case: str, sigma: bool) -> Callable[[dict[str, Any]], tuple[Any, Any]]:
        np, h, c = self.np, self.h, self.c
        if case == "short":
            def call(v: dict[str, Any]) -> tuple[Any, Any]:
                R, a = v["x"], v["y"]
                f = 2 * h * R / (c * a**2)
                if not sigma:
                    return f, None
                dR = f / R * v["sx"]
                da = 2 * f / a * v["sy"]
                return f, np.sqrt(dR * dR + da * da)
            return call

        def call_long(v: dict[str, Any]) -> tuple[Any, Any]:
            x, y = v["x"], v["y"]
            if not sigma:
                return (np.sqrt(x*x + y*y) * np.exp(-x*y/4) + np.log(1 + x*x) * np.sin(3*y - x)
                        - np.sqrt(y) / (2 + np.sin(x*y))), None
            r, E = np.sqrt(x*x + y*y), np.exp(-x*y/4)
            u, xy = 3*y - x, x*y
            L, S, C = np.log(1 + x*x), np.sin(u), np.cos(u)
            q, D, Cxy = np.sqrt(y), 2 + np.sin(xy), np.cos(xy)
            f = r*E + L*S - q/D
            dx = (x/r)*E - r*E*(y/4) + 2*x/(1 + x*x)*S - L*C + q*Cxy*y/(D*D)
            dy = (y/r)*E - r*E*(x/4) + 3*L*C - 1/(2*q*D) + q*Cxy*x/(D*D)
            dx *= v["sx"]
            dy *= v["sy"]
            return f, np.sqrt(dx*dx + dy*dy)
        return call_long

    def unumpy_side(self, case: str, sigma: bool) -> Callable[[dict[str, Any]], tuple[Any, Any]]:
        from uncertainties import unumpy as u  # noqa: PLC0415

        h, c = self.h, self.c

        def call(v: dict[str, Any]) -> tuple[Any, Any]:
            x, y = u.uarray(v["x"], v["sx"]), u.uarray(v["y"], v["sy"])
            if case == "short":
                f = 2 * h * x / (c * y**2)
            else:
                f = u.sqrt(x*x + y*y) * u.exp(-x*y/4) + u.log(1 + x*x) * u.sin(3*y - x) - u.sqrt(y) / (2 + u.sin(x*y))
            return u.nominal_values(f), u.std_devs(f)
        return call

    def gvar_side(self, case: str, sigma: bool) -> Callable[[dict[str, Any]], tuple[Any, Any]]:
        import gvar as g  # noqa: PLC0415

        h, c = self.h, self.c

        def call(v: dict[str, Any]) -> tuple[Any, Any]:
            g.switch_gvar()  # a fresh covariance store each call, as if each were the first
            try:
                x, y = g.gvar(v["x"], v["sx"]), g.gvar(v["y"], v["sy"])
                if case == "short":
                    f = 2 * h * x / (c * y**2)
                else:
                    f = (g.sqrt(x*x + y*y) * g.exp(-x*y/4) + g.log(1 + x*x) * g.sin(3*y - x)
                         - g.sqrt(y) / (2 + g.sin(x*y)))
                return g.mean(f), g.sdev(f)
            finally:
                g.restore_gvar()
        return call

    def side(self, which: str, case: str, sigma: bool) -> Callable[[dict[str, Any]], tuple[Any, Any]]:
        return getattr(self, f"{which}_side")(case, sigma)  # type: ignore[no-any-return]

    def check(self, what: str, got: tuple[Any, Any], want: tuple[Any, Any]) -> None:
        """Stops the benchmark when a side disagrees with ostrelin: values, and σ when both give one."""
        np = self.np
        pairs = [("value", got[0], want[0])]
        if got[1] is not None and want[1] is not None:
            pairs.append(("σ", got[1], want[1]))
        for label, a, b in pairs:
            a, b = np.asarray(a, dtype=float), np.asarray(b, dtype=float)
            scale = float(np.max(np.abs(b)))
            worst = float(np.max(np.abs(a - b))) / scale if scale else float(np.max(np.abs(a)))
            if not worst <= TOLERANCE:
                sys.exit(f"{what}: {label} differs from ostrelin's by {worst:.3g} relative, more than {TOLERANCE:g}")


def best(calls: dict[str, Callable[[], object]], repeat: int, number: int = 1) -> dict[str, float]:
    """Seconds per call of each, the best of `repeat` rounds of `number` calls; the sides alternate within
    each round, after one warm-up call each."""
    for call in calls.values():
        call()
    times: dict[str, list[float]] = {key: [] for key in calls}
    for _ in range(repeat):
        for key, call in calls.items():
            start = time.perf_counter()
            for _ in range(number):
                call()
            times[key].append((time.perf_counter() - start) / number)
    return {key: min(values) for key, values in times.items()}


def shown(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds * 1e9:.3g} ns"


def power(n: int) -> str:
    exponent = len(str(n)) - 1
    return f"10^{exponent}" if n == 10**exponent else f"{n:,}"


# (kind of row, side, σ given, floor's label)
ROWS = [
    ("values", "numexpr", False, "numexpr, same text"),
    ("values", "numpy", False, "NumPy"),
    ("values and σ", "numpy", True, "NumPy, derivatives by hand"),
    ("values and σ", "numexpr", True, "numexpr, derivatives by hand"),
    ("values and σ", "unumpy", True, "uncertainties.unumpy"),
    ("values and σ", "gvar", True, "gvar"),
]
SLOW = ("unumpy", "gvar")


def timing_table(bench: Bench, sizes: tuple[int, ...], slow_size: int, repeat: int) -> list[str]:
    heads = " | ".join(f"{power(n)}: ostrelin, floor | ratio" for n in sizes)
    lines = [f"| case | floor | {heads} |", "|---|---|" + "---:|---:|" * len(sizes)]
    for case in CASES:
        for kind, which, sigma, label in ROWS:
            cells = []
            for n in sizes:
                slow = which in SLOW
                m = slow_size if slow else n
                v = bench.inputs(case, m)
                ours, floor = bench.side("ostrelin", case, sigma), bench.side(which, case, sigma)
                bench.check(f"{case}, {kind}, {label}, {power(m)}", floor(v), ours(v))
                if slow:
                    # Linear in the elements: each is objects of its own with a derivative vector of its own.
                    took = {"floor": best({"floor": lambda: floor(v)}, max(2, repeat // 2))["floor"] * n / m,
                            "ours": time_ours(bench, case, sigma, n, repeat)}
                else:
                    took = best({"ours": lambda: ours(v), "floor": lambda: floor(v)}, repeat)
                cells.append(f"{shown(took['ours'])}, {shown(took['floor'])} | {took['ours'] / took['floor']:.3g}")
                del v
            extrapolated = f" (timed at {power(slow_size)}, × n/{power(slow_size)})" if which in SLOW else ""
            lines.append(f"| {kind}, {LABELS[case]} | {label}{extrapolated} | {' | '.join(cells)} |")
    return lines


def time_ours(bench: Bench, case: str, sigma: bool, n: int, repeat: int) -> float:
    """ostrelin's time at n elements, for a floor that was timed at fewer and extrapolated."""
    v = bench.inputs(case, n)
    ours = bench.side("ostrelin", case, sigma)
    return best({"ours": lambda: ours(v)}, repeat)["ours"]


def small_table(bench: Bench, n: int, repeat: int) -> list[str]:
    lines = [f"| {power(n)} elements, whole call, values and σ | ostrelin | NumPy, derivatives by hand | ratio |",
             "|---|---:|---:|---:|"]
    for case in CASES:
        v = bench.inputs(case, n)
        ours, floor = bench.side("ostrelin", case, True), bench.side("numpy", case, True)
        bench.check(f"{case}, {power(n)}", floor(v), ours(v))
        took = best({"ours": lambda: ours(v), "floor": lambda: floor(v)}, repeat, number=200)
        lines.append(f"| {LABELS[case]} | {shown(took['ours'])} | {shown(took['floor'])} | "
                     f"{took['ours'] / took['floor']:.3g} |")
    return lines


def status_bytes(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise LookupError(field)


def memory_once(bench: Bench, case: str, which: str, sigma: bool, n: int) -> dict[str, int]:
    """In a fresh process: the resident set's peak during one call above what it was with the inputs made,
    and the bytes of what the call returns."""
    v = bench.inputs(case, n)
    call = bench.side(which, case, sigma)
    call({key: array[:1000] for key, array in v.items()})  # imports, catalogues and caches, before the baseline
    gc.collect()
    try:
        # The kernel's high-water mark (ru_maxrss) reset to the present, so that the peaks of imports and of
        # making the inputs cannot hide a smaller one of the call.
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")
    except OSError:
        pass
    base = status_bytes("VmRSS")
    stale = status_bytes("VmHWM") - base
    value, sigma_out = call(v)
    peak = status_bytes("VmHWM")
    returned = value.nbytes + (0 if sigma_out is None else sigma_out.nbytes)
    return {"extra": peak - base, "returned": returned, "stale": stale}


def memory_table(script: list[str], n: int) -> list[str]:
    lines = [f"| {power(n)} elements | side | peak above the inputs | returned | ÷ returned |",
             "|---|---|---:|---:|---:|"]
    for case in CASES:
        for kind, sigma in (("values", False), ("values and σ", True)):
            for which in ("ostrelin", "numexpr", "numpy"):
                proc = subprocess.run([*script, "--memory", case, which, str(int(sigma)), str(n)], capture_output=True,
                                      text=True, check=True)
                got = json.loads(proc.stdout)
                # A peak from before the baseline would hide a smaller one: say so rather than mislead.
                stale = " (peak before the call above the baseline)" if got["stale"] > got["returned"] // 100 else ""
                side = {"numpy": "NumPy" + (", by hand" if sigma else ""),
                        "numexpr": "numexpr" + (", by hand" if sigma else ""), "ostrelin": "ostrelin"}[which]
                lines.append(f"| {kind}, {LABELS[case]} | {side}{stale} | {got['extra'] / 2**20:.1f} MiB | "
                             f"{got['returned'] / 2**20:.1f} MiB | {got['extra'] / got['returned']:.2f} |")
    return lines


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=5, help="timed calls per side (best kept)")
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke test")
    parser.add_argument("--pure", action="store_true", help="the pure twin, native modules blocked")
    parser.add_argument("--threads", type=int, choices=(1, 2), default=2,
                        help="2: numexpr's threads, then the one-processor run; 1: that run alone")
    parser.add_argument("--memory", nargs=4, metavar=("CASE", "SIDE", "SIGMA", "N"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.threads == 1:
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
    bench = Bench(args.threads, args.pure)
    if args.memory:
        case, which, sigma, n = args.memory
        print(json.dumps(memory_once(bench, case, which, sigma == "1", int(n))))
        return 0
    sizes = (10**3, 10**4) if args.quick else (10**6, 10**7)
    slow = 10**3 if args.quick else 10**4
    print(f"{bench.versions()}; {args.threads} thread{'s' if args.threads > 1 else ''} "
          f"(numexpr.set_num_threads({args.threads}){', one processor' if args.threads == 1 else ''}); "
          f"best of {args.repeat}\n")
    print("\n".join(timing_table(bench, sizes, slow, args.repeat)))
    if args.threads == 1:
        return 0
    print()
    print("\n".join(small_table(bench, 10**3, args.repeat)))
    script = [sys.executable, os.path.abspath(__file__), *(["--pure"] if args.pure else [])]
    print()
    print("\n".join(memory_table(script, 10**5 if args.quick else 10**7)))
    print()
    sys.stdout.flush()
    return subprocess.run([*script, "--threads", "1", "--repeat", str(args.repeat),
                           *(["--quick"] if args.quick else [])], check=False).returncode


if __name__ == "__main__":
    sys.exit(main())

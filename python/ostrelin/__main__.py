"""The command line: ``python -m ostrelin [NAME]`` and its subcommands show, find, check, table, convert and
evaluate.

Without arguments, prints the built-in catalogue as a table (stored value,
derived value, formula), the quarks, and the CKM matrix's Jarlskog invariant
and unitarity when the native core is there; with NAME, what ``ostrelin.Get``
returns for that entry or quark as indented JSON.

The subcommands take a catalogue as ``builtin``, ``codata`` or the path of a
catalogue file, optionally over a base (``--base codata``); show and find look
in codata unless told otherwise, table in the built-in entries:

    show NAME     the stored record, the derived value ± uncertainty, the budget
    find TEXT     the entries whose name or description contains TEXT
    check FILE    whether a file loads (for a user's CI): its counts and load time
    table         every entry with its stored and derived value
    convert VALUE FROM TO   a number from one unit to another
    evaluate NAME --input CSV   a formula over rows of seed values (and their uncertainties), as CSV

Values print rounded to two significant digits of their uncertainty
(``--digits all`` prints every digit a double holds).

Output is aligned for people, or JSON with ``--json``. Exit status: 0; 1 for
an unknown name or an invalid or unreadable file (the error and its notes on
standard error); 2 for a usage error.
"""

from __future__ import annotations

import argparse
import csv
import json
import math
import os
import re
import sys
import tempfile
import time
from array import array
from collections.abc import Iterator, Sequence
from typing import IO, TYPE_CHECKING, Any

if TYPE_CHECKING:
    from _csv import Reader

    import numpy
    from numpy.typing import NDArray

import ostrelin

UNITARITY_TOLERANCE = 1e-12
# What a line of aligned output may fill, so that it reads in an 80-column terminal.
WIDTH = 80
# Columns after the name; "<" aligns left, ">" right. The expression, which
# holds spaces, comes last.
COLUMNS = (("status", "<"), ("value", ">"), ("derived", ">"), ("units", "<"), ("expression", "<"))
SUBCOMMANDS = ("show", "find", "check", "table", "convert", "evaluate")
# evaluate reads and evaluates this many rows at a time: a row held as Python text weighs about a hundred
# times its floats, so this bounds memory, and evaluate's own cost per call is negligible against it.
CHUNK_ROWS = 1 << 16
# Inputs shorter than this end before a progress bar could tell anyone anything.
PROGRESS_ROWS = 3_000_000
# A column `sigma_X` holds the standard uncertainties of column X.
SIGMA = "sigma_"


class Refused(Exception):
    """What the command cannot do; args[0] is the exception to report."""


def value_text(entry: ostrelin.Constant, every_digit: bool = False, concise: bool = False) -> str:
    """The value, with its uncertainty when it has one: rounded to two digits of it (concise: 1.23(45),
    else 1.23 ± 0.45), or every digit."""
    if entry.uncertainty is None or entry.uncertainty == 0.0 or every_digit:
        shown = repr(entry.value)
        if entry.uncertainty is None:
            return shown
        return shown + (" (exact)" if entry.uncertainty == 0.0 else f" ± {entry.uncertainty!r}")
    return format(entry, "S" if concise else "P")


def derived_text(catalogue: ostrelin.Catalogue, name: str, units: str | None = None, every_digit: bool = False,
                 concise: bool = False) -> str:
    """The derived value (in `units` if given, followed by them) with its uncertainty, or why there is none."""
    try:
        derived = catalogue.derived(name, units)
    except ostrelin.DerivationError as exc:
        return f"({exc})"
    shown = value_text(derived, every_digit, concise)
    return shown if units is None else f"{shown} {units}"


def aligned(rows: Sequence[Sequence[str]], aligns: Sequence[str], rule: bool = True, cut_last: bool = False) -> str:
    """Rows of cells in columns as wide as their widest cell, a rule under the first row; with `cut_last`,
    a last column of free text is cut to what the width leaves it, with an ellipsis."""
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    room = max(WIDTH - sum(w + 2 for w in widths[:-1]), 12)
    if cut_last and widths[-1] > room:
        rows = [(*row[:-1], row[-1] if len(row[-1]) <= room else row[-1][: room - 1] + "…") for row in rows]
        widths[-1] = room
    lines = ["  ".join(f"{cell:{a}{w}}" for cell, a, w in zip(row, aligns, widths)).rstrip() for row in rows]
    if rule:
        lines.insert(1, "  ".join("-" * w for w in widths))
    return "\n".join(lines)


def catalogue_table(catalogue: ostrelin.Catalogue = ostrelin.constants, every_digit: bool = False) -> str:
    header = ("name", *(title for title, _ in COLUMNS))
    rows = [
        (c.name, c.status, repr(c.value), derived_text(catalogue, c.name, None, every_digit, concise=True), c.units,
         c.expression or "")
        for c in catalogue.values()
    ]
    return aligned([header, *rows], ("<", *(align for _, align in COLUMNS)))


def quark_table() -> str:
    return "\n".join(
        f"  {q.name:<8}generation {q.generation}  phi^-{q.phi_exponent:<3}mass {q.mass_mev!r} MeV"
        for q in ostrelin.quarks.values()
    )


def ckm_line() -> str:
    try:
        from ostrelin._veldra_core import PyCKMMatrix  # noqa: PLC0415 - only there with the core
    except ImportError:
        # Not built, or refused in a second interpreter.
        return "CKM matrix: needs the native core"

    matrix = PyCKMMatrix.from_topology()
    return (
        f"CKM matrix from topology: Jarlskog invariant J = {matrix.jarlskog()!r}, "
        f"unitary within {UNITARITY_TOLERANCE:g}: {matrix.is_unitary(UNITARITY_TOLERANCE)}"
    )


def overview() -> str:
    return "\n".join(
        [
            f"ostrelin {ostrelin.__version__} ({ostrelin.implementation}): "
            f"{len(ostrelin.constants)} constants and formulas",
            "",
            catalogue_table(),
            "",
            "quarks: " + ", ".join(ostrelin.list_quarks()),
            quark_table(),
            ckm_line(),
        ]
    )


def report(exc: BaseException) -> int:
    """Prints an error and its notes on standard error; the exit status for it."""
    print(exc.args[0] if isinstance(exc, KeyError) else str(exc), file=sys.stderr)
    for note in getattr(exc, "__notes__", ()):
        print(note, file=sys.stderr)
    return 1


def counted(n: int, one: str, many: str = "") -> str:
    return f"{n} {one if n == 1 else many or one + 's'}"


def open_catalogue(which: str, base: str | None = None) -> ostrelin.Catalogue:
    """The catalogue `which` names: builtin, codata, or a file (over the catalogue `base` names)."""
    over = None if base is None else open_catalogue(base)
    if which in ("builtin", "codata"):
        if over is not None:
            raise Refused(ValueError(f"--base applies to a catalogue file, not to {which}"))
        return ostrelin.constants if which == "builtin" else ostrelin.codata
    try:
        return ostrelin.load(which, base=over)
    except (OSError, ostrelin.CatalogueError) as exc:
        raise Refused(exc) from None


def entry_of(catalogue: ostrelin.Catalogue, name: str) -> ostrelin.Constant:
    try:
        return catalogue[name]
    except (KeyError, ValueError) as exc:
        # show looks in codata unless told: say where a name that is not there is.
        if isinstance(exc, KeyError) and catalogue is not ostrelin.constants and name in ostrelin.constants:
            exc.add_note(f"`{name}` is a built-in entry: add -c builtin")
        raise Refused(exc) from None


def record(entry: ostrelin.Constant) -> dict[str, Any]:
    return {"name": entry.name, "symbol": entry.symbol, "status": entry.status, "value": entry.value, "uncertainty": entry.uncertainty,
            "units": entry.units, "expression": entry.expression, "dependencies": list(entry.dependencies),
            "description": entry.description}


def derivation(catalogue: ostrelin.Catalogue, name: str, units: str | None = None) -> dict[str, Any]:
    """The derived value and uncertainty and the budget (in `units` if given), or the error that stops them."""
    try:
        derived = catalogue.derived(name, units)
        budget = catalogue.budget(name)
        factor = 1.0 if units is None else ostrelin.convert(1.0, catalogue[name].units, units)
    except ostrelin.DerivationError as exc:
        return {"error": str(exc)}
    shares = [[seed, share * factor] for seed, share in budget]
    return {"value": derived.value, "uncertainty": derived.uncertainty, "budget": shares} | (
        {} if units is None else {"units": units}
    )


def show(catalogue: ostrelin.Catalogue, name: str, as_json: bool, units: str | None = None,
         every_digit: bool = False) -> str:
    entry = entry_of(catalogue, name)
    try:
        found = derivation(catalogue, entry.name, units)
    except ostrelin.UnitError as exc:  # units that mean nothing
        raise Refused(exc) from None
    if as_json:
        return json.dumps({"entry": record(entry), "derived": found}, indent=2, ensure_ascii=False)
    fields = [
        ("name", entry.name), *([("symbol", entry.symbol)] if entry.symbol else []),
        ("status", entry.status), ("value", repr(entry.value)),
        ("uncertainty", repr(entry.uncertainty)), ("units", entry.units), ("expression", entry.expression or ""),
        ("dependencies", ", ".join(entry.dependencies)), ("description", entry.description),
        ("derived", f"({found['error']})" if "error" in found else derived_text(catalogue, entry.name, units,
                                                                                 every_digit)),
    ]
    width = max(len(key) for key, _ in fields)
    lines = [f"{key:<{width}}  {text}".rstrip() for key, text in fields]
    budget = found.get("budget") or []
    if budget:
        # The correlations' item (no seed's name) adds its square with its sign: it may take variance away.
        total = sum(math.copysign(share * share, share) for _, share in budget) or 1.0
        rows = [("seed", "contribution", "share of variance")] + [
            (seed or "(correlations)", f"{share:.6g}", f"{100 * math.copysign(share * share, share) / total:.1f} %")
            for seed, share in budget
        ]
        lines += ["", "uncertainty budget:", aligned(rows, ("<", ">", ">"))]
    return "\n".join(lines)


def find(catalogue: ostrelin.Catalogue, text: str, as_json: bool, every_digit: bool = False) -> str:
    try:
        names = catalogue.find(text)
    except ValueError as exc:  # an argument that is not text (undecodable bytes): UnicodeEncodeError
        raise Refused(exc) from None
    if as_json:
        return json.dumps(names, indent=2, ensure_ascii=False)
    if not names:
        return f"nothing matches {text!r}"
    rows = [("name", "value", "units", "description")] + [
        (n, value_text(catalogue[n], every_digit, concise=True), catalogue[n].units, catalogue[n].description)
        for n in names
    ]
    return aligned(rows, ("<", ">", "<", "<"), cut_last=True)


def check(path: str, base: str | None, as_json: bool) -> str:
    over = None if base is None else open_catalogue(base)
    start = time.perf_counter()
    try:
        catalogue = ostrelin.load(path, base=over)
    except (OSError, ostrelin.CatalogueError) as exc:
        raise Refused(exc) from None
    seconds = time.perf_counter() - start
    own = [entry for entry in catalogue.values() if over is None or entry.name not in over]
    formulas = sum(1 for entry in own if entry.expression is not None)
    if as_json:
        return json.dumps({"file": path, "entries": len(own), "seeds": len(own) - formulas, "formulas": formulas,
                           "seconds": seconds}, indent=2)
    counts = f"{counted(len(own), 'entry', 'entries')} ({counted(len(own) - formulas, 'seed')}, " \
        f"{counted(formulas, 'formula')})"
    return f"{path}: {counts}, loaded in {seconds * 1000:.1f} ms"


def convert(value: str, source: str, target: str) -> str:
    """The converted number (its shortest round-trip form) and its units."""
    try:
        number = float(value)
        converted = ostrelin.convert(number, source, target)
    except ValueError as exc:  # a number that does not parse, UnitError, a lone surrogate
        raise Refused(exc) from None
    return f"{converted!r} {target}"


def csv_columns(catalogue: ostrelin.Catalogue, header: Sequence[str]) -> tuple[list[int], list[int], list[str]]:
    """Which columns hold values and which uncertainties, and the seed each names (for an uncertainty
    column, the seed whose uncertainties it holds).

    `sigma_X` holds X's uncertainties when the header has a column for X (by its name or its symbol),
    or when `sigma_X` names no entry (then evaluate says that X has no values); otherwise, as codata's
    `sigma_T` does, it names an entry whose values it holds.
    """
    seen: set[str] = set()
    for column in header:
        if column in seen:
            raise ValueError(f"`{column}` is given twice")
        seen.add(column)

    def entry(key: str) -> str | None:
        return catalogue[key].name if key in catalogue else None

    spelled = {entry(column) for column in header} - {None}
    values: list[int] = []
    sigmas: list[int] = []
    seeds: list[str] = []
    for index, column in enumerate(header):
        seed = column[len(SIGMA) :] if column.startswith(SIGMA) else ""
        if seed and (seed in seen or entry(seed) in spelled or column not in catalogue):
            sigmas.append(index)
        else:
            values.append(index)
            seed = column
        seeds.append(seed)
    return values, sigmas, seeds


def csv_floats(cells: Sequence[str], column: str, lines: Sequence[int], label: str) -> NDArray[numpy.float64]:
    """A column's cells as float64, each read as Python's float() reads it; ValueError naming the first
    cell that is not a number by its line."""
    import numpy  # noqa: PLC0415 - only evaluate needs it, and it is optional

    try:
        return numpy.fromiter(map(float, cells), numpy.float64, len(cells))
    except ValueError:
        for cell, line in zip(cells, lines):
            try:
                float(cell)
            except ValueError:
                raise ValueError(f"{label}, line {line}, column `{column}`: {cell!r} is not a number") from None
        raise


def csv_rows(reader: Reader, width: int, label: str,
             chunk: int) -> Iterator[tuple[list[list[str]], array[int]]]:
    """The rows after the header, `chunk` at a time, with the line each ends on; blank lines skipped.
    ValueError for a row of another width than the header's."""
    rows: list[list[str]] = []
    lines = array("q")
    for row in reader:
        if not row:
            continue
        line = reader.line_num
        if len(row) != width:
            raise ValueError(f"{label}, line {line}: {counted(len(row), 'cell')}, the header has {width}")
        rows.append(row)
        lines.append(line)
        if len(rows) == chunk:
            yield rows, lines
            rows, lines = [], array("q")
    if rows:
        yield rows, lines


def at_line(exc: ValueError, lines: Sequence[int], label: str) -> ValueError:
    """`exc`, raised by evaluate over a chunk, with the chunk's index it names turned into the input's line."""
    found = re.fullmatch(r"(.*) at index (\d+)", str(exc), re.DOTALL)
    if found is None:
        return exc
    located = type(exc)(f"{label}, line {lines[int(found[2])]}: {found[1]}")
    for note in getattr(exc, "__notes__", ()):
        located.add_note(note)
    return located


class Progress:
    """A bar on standard error, once the rows done or `total`, the rows to come if known, reach PROGRESS_ROWS."""

    def __init__(self, name: str, total: int | None) -> None:
        self.name, self.total, self.shown = name, total, False

    def update(self, done: int) -> None:
        if not self.shown and max(done, self.total or 0) < PROGRESS_ROWS:
            return
        if self.total is None:
            text = f"{self.name}: {done:,} rows"
        else:
            fraction = min(done / max(self.total, 1), 1.0)
            bar = "#" * round(30 * fraction)
            text = f"{self.name}: [{bar:<30}] {done:,} of about {self.total:,} rows"
        sys.stderr.write("\r" + text)
        sys.stderr.flush()
        self.shown = True

    def close(self) -> None:
        if self.shown:
            sys.stderr.write("\n")
            sys.stderr.flush()


def progress_for(name: str, path: str) -> Progress | None:
    """A progress bar when standard error is a terminal, else None. A file long enough to want one (each row
    takes two bytes at least) has its line ends counted first, which reads at the disk's speed, so that the
    bar shows a fraction; a pipe's bar shows the rows done."""
    if not sys.stderr.isatty():
        return None
    total = None
    try:
        if path != "-" and os.stat(path).st_size >= 2 * PROGRESS_ROWS:
            with open(path, "rb") as raw:
                total = sum(block.count(b"\n") for block in iter(lambda: raw.read(1 << 24), b"")) - 1
    except OSError:
        pass  # opening it for the rows says why
    return Progress(name, total)


def evaluate_csv(catalogue: ostrelin.Catalogue, name: str, source: IO[str], sink: IO[str], label: str,
                 errors: str = "raise", chunk: int = CHUNK_ROWS, progress: Progress | None = None) -> None:
    """Writes to `sink` the CSV rows of `source` with `name` evaluated over each (and its uncertainty, when it
    has one), `chunk` rows at a time. ValueError (KeyError, ImportError) for what stops it, located in the
    input; the chunks before the one that stops it stay written."""
    try:
        import numpy  # noqa: PLC0415 - optional: only this command needs it
    except ImportError:
        raise ImportError("the evaluate command needs NumPy: pip install ostrelin[numpy]") from None

    reader = csv.reader(source)
    try:
        header = next((row for row in reader if row), None)
        if header is None:
            raise ValueError(f"{label} is empty: it has no header row")
        try:
            values, sigmas, seeds = csv_columns(catalogue, header)
            empty = numpy.empty(0)
            # Names are checked before any row is read; whether the result has an uncertainty does not
            # depend on the values, so the header is written once, now.
            informed = catalogue.evaluate(
                name, {seeds[i]: empty for i in values}, uncertainties={seeds[i]: empty for i in sigmas} or None,
                errors=errors).uncertainty is not None
        except (KeyError, ValueError) as exc:
            exc.add_note(f"in the header of {label}: {', '.join(header)}")
            raise
        writer = csv.writer(sink, lineterminator="\n")
        writer.writerow([*header, name, *([SIGMA + name] if informed else [])])
        done = 0
        try:
            for rows, lines in csv_rows(reader, len(header), label, chunk):
                cells = list(zip(*rows))
                arrays = [csv_floats(cells[i], header[i], lines, label) for i in range(len(header))]
                try:
                    result = catalogue.evaluate(name, {seeds[i]: arrays[i] for i in values},
                                                uncertainties={seeds[i]: arrays[i] for i in sigmas} or None,
                                                errors=errors)
                except ValueError as exc:
                    raise at_line(exc, lines, label) from None
                shown = map(repr, result.value.tolist())
                if result.uncertainty is None:
                    writer.writerows([*row, value] for row, value in zip(rows, shown))
                else:
                    writer.writerows([*row, value, sigma] for row, value, sigma
                                     in zip(rows, shown, map(repr, result.uncertainty.tolist())))
                done += len(rows)
                if progress is not None:
                    progress.update(done)
        finally:
            if progress is not None:
                progress.close()
    except csv.Error as exc:
        raise ValueError(f"{label}, line {reader.line_num}: {exc}") from None
    except UnicodeDecodeError:
        # Decoded a block ahead of the rows read, so no line can be named.
        raise ValueError(f"{label} is not UTF-8 text") from None


def output_file(path: str) -> tuple[IO[str], str]:
    """A new file beside `path`, for writing the output into before it replaces `path` (so that a failed
    run leaves no half-written file, and the input may be the output), and its name."""
    directory = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.", suffix=".tmp", dir=directory)
    umask = os.umask(0)
    os.umask(umask)
    os.fchmod(handle, 0o666 & ~umask)  # mkstemp makes it 0600: give it the mode open() would
    return open(handle, "w", encoding="utf-8", newline=""), temporary


def evaluate(catalogue: ostrelin.Catalogue, name: str, source: str, target: str | None, errors: str) -> None:
    """Runs evaluate_csv from the file `source` to `target` (for either, "-" is the standard stream; no target:
    standard output)."""
    entry_of(catalogue, name)
    label = "<stdin>" if source == "-" else source
    progress = progress_for(name, source)
    try:
        with (open(sys.stdin.fileno(), encoding="utf-8-sig", newline="", closefd=False) if source == "-" else
              open(source, encoding="utf-8-sig", newline="")) as reading:
            if target is None or target == "-":
                evaluate_csv(catalogue, name, reading, sys.stdout, label, errors, progress=progress)
                return
            sink, temporary = output_file(target)
            try:
                with sink:
                    evaluate_csv(catalogue, name, reading, sink, label, errors, progress=progress)
                os.replace(temporary, target)
            except BaseException:
                os.unlink(temporary)
                raise
    except BrokenPipeError:
        raise  # the reader of standard output went away: main ends quietly
    except (OSError, ImportError, KeyError, ValueError) as exc:
        raise Refused(exc) from None


def table(catalogue: ostrelin.Catalogue, as_json: bool, every_digit: bool = False) -> str:
    if not as_json:
        return catalogue_table(catalogue, every_digit)
    rows = [record(entry) | {"derived": derivation(catalogue, entry.name)} for entry in catalogue.values()]
    return json.dumps(rows, indent=2, ensure_ascii=False)


def subcommand_parser() -> argparse.ArgumentParser:
    def which(default: str) -> argparse.ArgumentParser:
        options = argparse.ArgumentParser(add_help=False)
        options.add_argument("--catalogue", "-c", default=default, metavar="CATALOGUE",
                             help=f"builtin, codata, or the path of a catalogue file (default: {default})")
        options.add_argument("--base", metavar="CATALOGUE",
                             help="the catalogue a file's formulas build on (e.g. codata)")
        return options

    def common(default: str) -> argparse.ArgumentParser:
        options = argparse.ArgumentParser(add_help=False, parents=[which(default)])
        options.add_argument("--json", action="store_true", help="print JSON instead of aligned text")
        options.add_argument("--digits", choices=("2", "all"), default="2",
                             help="values to 2 significant digits of their uncertainty (default), or every digit")
        return options

    parser = argparse.ArgumentParser(prog="python -m ostrelin", description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    showing = commands.add_parser("show", parents=[common("codata")],
                                  help="one entry: record, derived value, uncertainty budget",
                                  description="Show one entry: its stored record, its derived value ± uncertainty, "
                                  "and the budget of where the uncertainty comes from.")
    showing.add_argument("name", metavar="NAME")
    showing.add_argument("--units", metavar="UNITS", help="the derived value and budget in these units (e.g. MeV)")
    commands.add_parser("find", parents=[common("codata")], help="entries whose name or description contains TEXT",
                        description="List the entries whose name or description contains TEXT, compared after "
                        "case folding.").add_argument("text", metavar="TEXT")
    checking = commands.add_parser("check", help="validate a catalogue file: exit 0 if it loads, 1 if not",
                                   description="Validate a catalogue file: print its counts and load time and "
                                   "exit 0, or print the error and exit 1.")
    checking.add_argument("file", metavar="FILE")
    checking.add_argument("--base", metavar="CATALOGUE", help="the catalogue the file's formulas build on")
    checking.add_argument("--json", action="store_true", help="print JSON instead of text")
    commands.add_parser("table", parents=[common("builtin")], help="every entry with its stored and derived value",
                        description="Print every entry of the catalogue with its stored and derived value.")
    converting = commands.add_parser("convert", help="a number from one unit to another of the same dimension",
                                     description="Print VALUE in FROM expressed in TO (e.g. convert 1 MeV/c^2 kg), "
                                     "or the reason it cannot be and exit 1.")
    converting.add_argument("value", metavar="VALUE")
    converting.add_argument("source", metavar="FROM")
    converting.add_argument("target", metavar="TO")
    evaluating = commands.add_parser(
        "evaluate", parents=[which("codata")], help="NAME over each row of a CSV file of seed values",
        description="Evaluate NAME over each row of a CSV file whose header names seeds NAME depends on (names or "
        "symbols), with a column sigma_X for the standard uncertainties of column X where they are known. Prints "
        "the rows with NAME's value and, when it has one, its uncertainty sigma_NAME as two more columns, in "
        "NAME's and the seeds' own units, every number in the shortest form that reads back. Exit status 1, "
        "with the line and column, for a cell that is not a number or a row that cannot be evaluated.")
    evaluating.add_argument("name", metavar="NAME")
    evaluating.add_argument("--input", "-i", required=True, metavar="CSV", help="the CSV file to read (- for "
                            "standard input)")
    evaluating.add_argument("--output", "-o", metavar="CSV", help="write here instead of standard output; the "
                            "file is replaced only once every row is written")
    evaluating.add_argument("--errors", choices=("raise", "nan"), default="raise",
                            help="nan: a row whose value cannot be computed gets nan (its uncertainty too), and "
                            "one whose uncertainty cannot be propagated a nan uncertainty, instead of stopping "
                            "(default: raise)")
    return parser


def run_subcommand(argv: list[str]) -> int:
    args = subcommand_parser().parse_args(argv)
    try:
        if args.command == "check":
            text = check(args.file, args.base, args.json)
        elif args.command == "convert":
            text = convert(args.value, args.source, args.target)
        elif args.command == "evaluate":
            evaluate(open_catalogue(args.catalogue, args.base), args.name, args.input, args.output, args.errors)
            return 0
        else:
            catalogue = open_catalogue(args.catalogue, args.base)
            every_digit = args.digits == "all"
            if args.command == "show":
                text = show(catalogue, args.name, args.json, args.units, every_digit)
            elif args.command == "find":
                text = find(catalogue, args.text, args.json, every_digit)
            else:
                text = table(catalogue, args.json, every_digit)
    except Refused as refused:
        return report(refused.args[0])
    print(text)
    return 0


def run_classic(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m ostrelin",
        description="Show the catalogue of constants, or what is known of one constant or quark.",
        epilog=f"Subcommands: {', '.join(SUBCOMMANDS)} (python -m ostrelin COMMAND --help).",
    )
    parser.add_argument("name", nargs="?", metavar="NAME", help="print this constant's or quark's record as JSON")
    parser.add_argument("--catalogue", metavar="FILE", help="show this catalogue file instead, or NAME in it")
    parser.add_argument("--version", action="version", version=f"ostrelin {ostrelin.__version__}")
    args = parser.parse_args(argv)
    if args.name == "":
        parser.error("NAME must not be empty")
    if args.catalogue is not None:
        return run_subcommand(["table" if args.name is None else "show", *([] if args.name is None else [args.name]),
                               "--catalogue", args.catalogue])
    if args.name is None:
        print(overview())
        return 0
    try:
        sheet = ostrelin.Get(args.name)
    except (KeyError, ValueError) as exc:  # ValueError: a name that is not text (undecodable bytes)
        return report(exc)
    if sheet.get("status") == "Pending":
        # The datasheet keeps the stored placeholder; what the formula gives is its derived value.
        sheet = {**sheet, "derived": ostrelin.derive(args.name)}
    print(json.dumps(sheet, indent=2))
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    args = list(sys.argv[1:] if argv is None else argv)
    try:
        return run_subcommand(args) if args[:1] and args[0] in SUBCOMMANDS else run_classic(args)
    except BrokenPipeError:
        # The reader went away (python -m ostrelin | head): say nothing more,
        # and let the interpreter's last flush write into nowhere.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(main())

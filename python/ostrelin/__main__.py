"""The command line: ``python -m ostrelin [NAME]``, ``--catalogue FILE [NAME]``, ``check FILE``.

Without arguments, prints the built-in catalogue as a table (stored value,
derived value, formula), the quarks, and the CKM matrix's Jarlskog invariant
and unitarity when the native core is there. With NAME, prints what
``ostrelin.Get`` returns for that entry or quark as indented JSON. With
``--catalogue FILE``, the same table for a catalogue file, or one of its
entries with its derived value and uncertainty. ``check FILE`` validates a
catalogue file (for a user's CI): its counts and load time, or the error.

Exit status: 0; 1 for an unknown name, an invalid or unreadable file or a
formula that cannot be derived (the error and its notes on standard error);
2 for a usage error.
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from collections.abc import Sequence

import ostrelin

UNITARITY_TOLERANCE = 1e-12
# Columns after the name; "<" aligns left, ">" right. The expression, which
# holds spaces, comes last.
COLUMNS = (("status", "<"), ("value", ">"), ("derived", ">"), ("units", "<"), ("expression", "<"))


def derived_text(catalogue: ostrelin.Catalogue, name: str) -> str:
    """The derived value, with "± uncertainty" when it has one, or why there is none."""
    try:
        derived = catalogue.derived(name)
    except ostrelin.DerivationError as exc:
        return f"({exc})"
    if derived.uncertainty is None:
        return repr(derived.value)
    return f"{derived.value!r} ± {derived.uncertainty!r}"


def catalogue_table(catalogue: ostrelin.Catalogue = ostrelin.constants) -> str:
    header = ("name", *(title for title, _ in COLUMNS))
    rows = [
        (c.name, c.status, repr(c.value), derived_text(catalogue, c.name), c.units, c.expression or "")
        for c in catalogue.values()
    ]
    aligns = ("<", *(align for _, align in COLUMNS))
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(len(header))]
    lines = [
        "  ".join(f"{cell:{align}{width}}" for cell, align, width in zip(row, aligns, widths)).rstrip()
        for row in [header, *rows]
    ]
    lines.insert(1, "  ".join("-" * w for w in widths))
    return "\n".join(lines)


def quark_table() -> str:
    return "\n".join(
        f"  {q.name:<8}generation {q.generation}  phi^-{q.phi_exponent:<3}mass {q.mass_mev!r} MeV"
        for q in ostrelin.quarks.values()
    )


def ckm_line() -> str:
    if ostrelin.implementation != "native":
        return "CKM matrix: needs the native core"
    from ostrelin._veldra_core import PyCKMMatrix  # noqa: PLC0415 - only there with the core

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


def entry_lines(catalogue: ostrelin.Catalogue, name: str) -> str:
    entry = catalogue[name]
    fields = [
        ("name", entry.name), ("status", entry.status), ("value", repr(entry.value)),
        ("uncertainty", repr(entry.uncertainty)), ("units", entry.units), ("expression", entry.expression or ""),
        ("dependencies", ", ".join(entry.dependencies)), ("description", entry.description),
        ("derived", derived_text(catalogue, name)),
    ]
    width = max(len(key) for key, _ in fields)
    return "\n".join(f"{key:<{width}}  {text}".rstrip() for key, text in fields)


def counted(n: int, one: str, many: str = "") -> str:
    return f"{n} {one if n == 1 else many or one + 's'}"


def check(argv: Sequence[str]) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m ostrelin check", description="Validate a catalogue file: exit 0 when it loads, 1 when not."
    )
    parser.add_argument("file", metavar="FILE", help="the catalogue file")
    path = parser.parse_args(argv).file
    start = time.perf_counter()
    try:
        catalogue = ostrelin.load(path)
    except (OSError, ostrelin.CatalogueError) as exc:
        return report(exc)
    seconds = time.perf_counter() - start
    formulas = sum(1 for entry in catalogue.values() if entry.expression is not None)
    counts = f"{counted(len(catalogue), 'entry', 'entries')} ({counted(len(catalogue) - formulas, 'seed')}, " \
        f"{counted(formulas, 'formula')})"
    print(f"{path}: {counts}, loaded in {seconds * 1000:.1f} ms")
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    args_given = list(sys.argv[1:] if argv is None else argv)
    if args_given[:1] == ["check"]:
        return check(args_given[1:])
    parser = argparse.ArgumentParser(
        prog="python -m ostrelin",
        description="Show the catalogue of constants, or what is known of one constant or quark.",
        epilog="python -m ostrelin check FILE validates a catalogue file.",
    )
    parser.add_argument("name", nargs="?", metavar="NAME", help="print this constant's or quark's record as JSON")
    parser.add_argument("--catalogue", metavar="FILE", help="show this catalogue file instead, or NAME in it")
    args = parser.parse_args(args_given)

    if args.name == "":
        parser.error("NAME must not be empty")
    if args.catalogue is not None:
        try:
            catalogue = ostrelin.load(args.catalogue)
            print(catalogue_table(catalogue) if args.name is None else entry_lines(catalogue, args.name))
        except (OSError, KeyError, ostrelin.CatalogueError) as exc:
            return report(exc)
        return 0
    if args.name is None:
        print(overview())
        return 0
    try:
        sheet = ostrelin.Get(args.name)
    except KeyError as exc:
        return report(exc)
    print(json.dumps(sheet, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())

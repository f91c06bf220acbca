"""Demo of the native core: ``python -m ostrelin [NAME]``.

Without NAME, prints the catalogue as a table, the quark names and the CKM
matrix's Jarlskog invariant and unitarity. With NAME, prints that entry's
datasheet as indented JSON.
"""

from __future__ import annotations

import argparse
import json
import sys

from ostrelin import _veldra_core as core

UNITARITY_TOLERANCE = 1e-12


def catalogue_table() -> str:
    sheets = [core.py_get_constant(name) for name in core.py_list_constants()]
    header = ("name", "status", "value", "units")
    rows = [(s["name"], s["status"], repr(s["value"]), s["units"]) for s in sheets]
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(len(header))]
    lines = []
    for row in [header, *rows]:
        cells = [
            row[0].ljust(widths[0]),
            row[1].ljust(widths[1]),
            row[2].rjust(widths[2]),
            row[3],
        ]
        lines.append("  ".join(cells))
    lines.insert(1, "  ".join("-" * w for w in widths))
    return "\n".join(lines)


def overview() -> str:
    matrix = core.PyCKMMatrix.from_topology()
    return "\n".join(
        [
            f"ostrelin {core.__version__}: {len(core.PyFormulasRegistry())} constants and formulas",
            "",
            catalogue_table(),
            "",
            "quarks: " + ", ".join(core.py_list_quarks()),
            f"CKM matrix from topology: Jarlskog invariant J = {matrix.jarlskog()!r}, "
            f"unitary within {UNITARITY_TOLERANCE:g}: {matrix.is_unitary(UNITARITY_TOLERANCE)}",
        ]
    )


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m ostrelin",
        description="Show the catalogue of constants, or the datasheet of one of them.",
    )
    parser.add_argument("name", nargs="?", metavar="NAME", help="print this entry's datasheet as JSON")
    args = parser.parse_args(argv)

    if args.name is None:
        print(overview())
        return 0
    if args.name == "":
        parser.error("NAME must not be empty")
    try:
        sheet = core.py_get_constant(args.name)
    except KeyError as exc:
        print(exc.args[0], file=sys.stderr)
        for note in getattr(exc, "__notes__", ()):
            print(note, file=sys.stderr)
        return 1
    print(json.dumps(sheet, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())

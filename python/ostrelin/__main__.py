"""Demo of the package: ``python -m ostrelin [NAME]``.

Without NAME, prints the catalogue as a table (stored value, derived value,
formula), the quarks, and the CKM matrix's Jarlskog invariant and unitarity
when the native core is there. With NAME, prints what ``ostrelin.Get``
returns for that catalogue entry or quark as indented JSON.
"""

from __future__ import annotations

import argparse
import json
import sys

import ostrelin

UNITARITY_TOLERANCE = 1e-12
# Columns after the name; "<" aligns left, ">" right. The expression, which
# holds spaces, comes last.
COLUMNS = (("status", "<"), ("value", ">"), ("derived", ">"), ("units", "<"), ("expression", "<"))


def catalogue_table() -> str:
    header = ("name", *(title for title, _ in COLUMNS))
    rows = [
        (c.name, c.status, repr(c.value), repr(ostrelin.derive(c.name)), c.units, c.expression or "")
        for c in ostrelin.constants.values()
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


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m ostrelin",
        description="Show the catalogue of constants, or what is known of one constant or quark.",
    )
    parser.add_argument("name", nargs="?", metavar="NAME", help="print this constant's or quark's record as JSON")
    args = parser.parse_args(argv)

    if args.name is None:
        print(overview())
        return 0
    if args.name == "":
        parser.error("NAME must not be empty")
    try:
        sheet = ostrelin.Get(args.name)
    except KeyError as exc:
        print(exc.args[0], file=sys.stderr)
        for note in getattr(exc, "__notes__", ()):
            print(note, file=sys.stderr)
        return 1
    print(json.dumps(sheet, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())

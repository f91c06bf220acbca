"""A user's script touching every public name; `mypy --strict` must accept it."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Literal

import ostrelin
from ostrelin._veldra_core import PyCKMMatrix


def describe(record: ostrelin.Constant) -> str:
    deps: tuple[str, ...] = record.dependencies
    expression: str | None = record.expression
    uncertainty: float | None = record.uncertainty
    return f"{record.name} = {record.value} {record.units} ({record.status}, {expression}, {deps}, {uncertainty})"


def main() -> None:
    version: str = ostrelin.__version__
    answering: Literal["native", "python"] = ostrelin.implementation
    names: list[str] = ostrelin.list_constants()
    quark_names: list[str] = ostrelin.list_quarks()
    sheet: dict[str, object] = ostrelin.Get("b3")
    value: float = ostrelin.Get("b3")["value"]
    top: ostrelin.Quark = ostrelin.quark("top")
    mass: float = top.mass_mev + top.mass_ratio
    generation: int = top.generation + top.phi_exponent
    constants: Mapping[str, ostrelin.Constant] = ostrelin.constants
    quarks: Mapping[str, ostrelin.Quark] = ostrelin.quarks
    derived: float = ostrelin.derive("topo_gen_check")
    try:
        ostrelin.derive("n_gen_sq")
    except ostrelin.DerivationError as exc:
        print(exc.args)
    matrix = PyCKMMatrix.from_topology()
    unitary: bool = matrix.is_unitary(1e-12)
    print(version, answering, names, quark_names, sheet, value, mass, generation, derived, unitary)
    print(describe(ostrelin.constant("b3")), len(constants), len(quarks), matrix.jarlskog())


def refused() -> None:
    # The class cannot be called; with --strict an unneeded ignore is itself an
    # error, so this line fails the check if the stub stops saying so.
    PyCKMMatrix()  # type: ignore[call-arg]


if __name__ == "__main__":
    main()

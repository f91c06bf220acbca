"""A user's script touching every public name; `mypy --strict` must accept it."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Literal

import numpy
from numpy.typing import NDArray

import ostrelin
from ostrelin._veldra_core import PyCKMMatrix
from ostrelin.symbols import c, hbar, m_e


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
    catalogue: ostrelin.Catalogue = ostrelin.loads(ostrelin.constants.dumps(), source="again")
    mine = ostrelin.Catalogue([ostrelin.Constant("g", 9.81, "m/s^2", 0.01, "Seed", None, (), "gravity")])
    found: list[str] = catalogue.find("gen") + mine.names()
    full: ostrelin.Constant = catalogue.derived("topo_gen_check")
    spread: float | None = full.uncertainty
    text: str = catalogue.dumps() + catalogue.source + catalogue.description + full.description
    record: ostrelin.Constant | None = catalogue.get("b3")
    try:
        ostrelin.load("missing.json")
    except (OSError, ostrelin.CatalogueError) as exc:
        print(exc)
    print(found, spread, len(text), record, catalogue.datasheet("b3"), catalogue.derive("b3"), catalogue == mine)
    matrix = PyCKMMatrix.from_topology()
    unitary: bool = matrix.is_unitary(1e-12)
    print(version, answering, names, quark_names, sheet, value, mass, generation, derived, unitary)
    print(describe(ostrelin.constant("b3")), len(constants), len(quarks), matrix.jarlskog())
    energy: float = ostrelin.convert(1.0, "MeV/c^2", "kg")
    units: ostrelin.Units = ostrelin.parse_units("MeV/c^2")
    scale: float = units.scale
    dimension: str = units.dimension
    try:
        ostrelin.convert(1.0, "MeV", "kg")
    except ostrelin.UnitError as exc:
        print(energy, scale, dimension, exc)
    rest: float = float(m_e) * float(c) ** 2
    status: ostrelin.Status = ostrelin.codata.derived("m_e").status
    drafted = ostrelin.Constant("E", 0.0, "J", expression="m_e * c ** 2", description="rest energy", symbol="E0")
    shown: str = f"{hbar:.3e} {m_e:.2S} {drafted.symbol}"
    print(rest, status, shown)
    over: ostrelin.Evaluation = ostrelin.codata.evaluate(
        "m_e", {"alpha": [0.0072973525643, 0.0073], "R_inf": 10973731.568157}, uncertainties={"alpha": [1.1e-12, 0.0]},
        errors="nan",
    )
    masses: NDArray[numpy.float64] = over.value
    spreads: NDArray[numpy.float64] | None = over.uncertainty
    print(masses.shape, None if spreads is None else spreads.max())


def refused() -> None:
    # The class cannot be called; with --strict an unneeded ignore is itself an
    # error, so this line fails the check if the stub stops saying so.
    PyCKMMatrix()  # type: ignore[call-arg]
    # A status that does not exist is a type error.
    ostrelin.Constant("x", 1.0, "m", status="Sed")  # type: ignore[arg-type]


if __name__ == "__main__":
    main()

"""The built-in data, held once: the 17 catalogue entries and the six quarks.

Both tables are in the core's insertion order. Every float is the exact
64-bit value the core compiles in, written as its shortest round-trip
decimal; a test compares this data with what the core returns.
"""

from __future__ import annotations

from typing import Final

from ._records import Constant, Quark


def _seed(name: str, value: float, units: str) -> Constant:
    return Constant(name, value, units, None, "Seed", None, ())


def _formula(name: str, expression: str, units: str, *dependencies: str) -> Constant:
    # Formulas are stored, not evaluated: the core reports 0.0 until derived.
    return Constant(name, 0.0, units, None, "Pending", expression, dependencies)


CONSTANTS: Final[tuple[Constant, ...]] = (
    _seed("b3", 24.0, "dimensionless"),
    _seed("chi_eff", 72.0, "dimensionless"),
    _seed("n_gen", 3.0, "count"),
    _seed("roots_total", 288.0, "count"),
    _seed("visible_sector", 125.0, "count"),
    _seed("sterile_sector", 163.0, "count"),
    _seed("phi", 1.618033988749895, "dimensionless"),
    _seed("gamma_em", 0.5772156649015329, "dimensionless"),
    _seed("jc_constant", 153.0, "count"),
    _seed("logic_closure", 288.0, "count"),
    _formula("v_higgs_mev", "246220", "MeV"),
    _formula("sterile_check", "roots_total - visible_sector", "count", "roots_total", "visible_sector"),
    _formula("n_gen_sq", "n_gen * n_gen", "count", "n_gen"),
    _formula("h0_central", "70", "km/s/Mpc"),
    _formula("w0_central", "-1", "dimensionless"),
    _formula("m_tau_mev", "1776.86", "MeV"),
    _formula("topo_gen_check", "chi_eff / b3", "count", "chi_eff", "b3"),
)

# Stored as literals, not computed: each ratio sits a few units in the last
# place below the nearest float to phi**-n, exactly as the core holds it.
QUARKS: Final[tuple[Quark, ...]] = (
    Quark("up", 1, 12, 0.003105620015141857, 764.665760128228),
    Quark("down", 1, 11, 0.005024998740641489, 1237.2551899207474),
    Quark("strange", 2, 8, 0.02128623625220818, 5241.0970900186985),
    Quark("charm", 2, 5, 0.09016994374947422, 22201.643549995544),
    Quark("bottom", 3, 4, 0.14589803375031543, 35923.013870002665),
    Quark("top", 3, 0, 1.0, 246220.0),
)

"""The records the package hands out: one catalogue entry, one quark."""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True, slots=True)
class Constant:
    """One catalogue entry: a seed constant, or a formula kept as text.

    A pending formula's ``value`` is its stored placeholder 0.0;
    ``Catalogue.derive`` evaluates its ``expression`` over its ``dependencies``.
    """

    name: str
    value: float
    units: str
    uncertainty: float | None
    status: str
    expression: str | None
    dependencies: tuple[str, ...]
    description: str = ""


@dataclass(frozen=True, slots=True)
class Quark:
    """One Standard-Model quark: mass_ratio is phi**-phi_exponent, mass_mev is 246220 MeV times it."""

    name: str
    generation: int
    phi_exponent: int
    mass_ratio: float
    mass_mev: float

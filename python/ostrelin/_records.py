"""The records the package hands out: one catalogue entry, one quark."""

from __future__ import annotations

import html
import math
import re
from dataclasses import dataclass, fields
from typing import Literal, Protocol

from ._format import with_uncertainty


Status = Literal["Seed", "Cached", "Pending", "External"]
"""An entry's status: a seed given by value ("Seed", "External"), or a formula whose stored value is
its derived one ("Cached") or a placeholder 0.0 ("Pending")."""


class _Printer(Protocol):
    def text(self, text: str) -> object: ...


@dataclass(frozen=True, slots=True, init=False)
class Constant:
    """One catalogue entry: a seed constant, or a formula kept as text.

    A pending formula's ``value`` is its stored placeholder 0.0;
    ``Catalogue.derive`` evaluates its ``expression`` over its ``dependencies``.

    A Constant is a value, not a number to compute with: ``float(c)`` is its value, and ``format``
    takes any float format spec for it, or ``S`` for the value with its uncertainty in the concise
    form (``9.1093837139(28)e-31``) and ``P`` for the ± form, each with the uncertainty's significant
    digits as precision (``.1S``; 2 by default). ``str(c)`` is the concise form with the units.
    Values combine, uncertainties and correlations and all, in a catalogue's formulas.
    """

    name: str
    value: float
    units: str
    uncertainty: float | None
    status: Status
    expression: str | None
    dependencies: tuple[str, ...]
    description: str
    symbol: str | None

    def __init__(
        self,
        name: str,
        value: float,
        units: str,
        uncertainty: float | None = None,
        status: Status | None = None,
        expression: str | None = None,
        dependencies: tuple[str, ...] = (),
        description: str = "",
        symbol: str | None = None,
    ) -> None:
        # As the file format has it: an entry with an expression is pending unless told otherwise.
        if status is None:
            status = "Seed" if expression is None else "Pending"
        # Field by field, as a frozen dataclass's own __init__ does: records are made by the million.
        setattr_ = object.__setattr__
        setattr_(self, "name", name)
        setattr_(self, "value", value)
        setattr_(self, "units", units)
        setattr_(self, "uncertainty", uncertainty)
        setattr_(self, "status", status)
        setattr_(self, "expression", expression)
        setattr_(self, "dependencies", dependencies)
        setattr_(self, "description", description)
        setattr_(self, "symbol", symbol)

    def __repr__(self) -> str:
        # The fields a reader needs, the defaults left out, in a form that builds the same record.
        shown = [repr(self.name), repr(self.value), repr(self.units)]
        defaults = Constant(self.name, self.value, self.units, expression=self.expression)
        for field in _FIELDS[3:]:
            given = getattr(self, field)
            if given != getattr(defaults, field) or (field == "expression" and given is not None):
                shown.append(f"{field}={given!r}")
        return f"Constant({', '.join(shown)})"

    def __float__(self) -> float:
        if self.status == "Pending":
            raise ValueError(
                f"`{self.name}` is a pending formula: its value 0.0 is a placeholder; "
                f"catalogue.derived({self.name!r}).value computes it"
            )
        return float(self.value)

    def __format__(self, spec: str) -> str:
        if not spec:
            return str(self)
        if spec[-1] not in "SP":
            return format(float(self), spec)
        precision = spec[1:-1]
        digits = 2 if len(spec) == 1 else int(precision) if spec[0] == "." and precision.isdigit() else 0
        if not 1 <= digits <= 17:  # a double holds no more
            raise ValueError(f"Invalid format specifier {spec!r} for a Constant: S, P, .NS or .NP with N from 1 to 17")
        return self._with_uncertainty(digits, plus_minus=spec[-1] == "P")

    def _with_uncertainty(self, digits: int = 2, plus_minus: bool = False) -> str:
        value = float(self)
        if self.uncertainty is None:
            return repr(value)
        if self.uncertainty == 0.0:
            return f"{value!r} (exact)"
        if not (math.isfinite(value) and 0.0 < self.uncertainty < math.inf):
            # Only a record made by hand holds these: shown as they are, not rounded.
            return f"{value!r} ± {self.uncertainty!r}"
        return with_uncertainty(value, self.uncertainty, digits, plus_minus)

    def __str__(self) -> str:
        if self.status == "Pending":
            return f"{self.name} = {self.expression} (pending{', ' + self.units if self.units else ''})"
        text = self._with_uncertainty()
        return f"{text} {self.units}" if self.units else text

    def _labelled(self) -> str:
        # A pending formula's text names it already.
        return str(self) if self.status == "Pending" else f"{self.name} = {self}"

    def _repr_pretty_(self, printer: _Printer, cycle: bool) -> None:
        printer.text(self._labelled())

    def _repr_html_(self) -> str:
        text = html.escape(self._labelled())
        if self.status != "Pending":
            # The value's exponent as a power of ten: "e-31" closes the number, before the units.
            text = _EXPONENT.sub(lambda m: f" × 10<sup>{int(m.group(1))}</sup>", text, count=1)
        name, _, rest = text.partition(" = ")
        return f"<b>{name}</b> = {rest}" if rest else text


_FIELDS: tuple[str, ...] = tuple(field.name for field in fields(Constant))
_EXPONENT = re.compile(r"(?<=[\d)])e([+-]\d+)(?=\s|$)")


@dataclass(frozen=True, slots=True)
class Quark:
    """One Standard-Model quark: mass_ratio is phi**-phi_exponent, mass_mev is 246220 MeV times it."""

    name: str
    generation: int
    phi_exponent: int
    mass_ratio: float
    mass_mev: float

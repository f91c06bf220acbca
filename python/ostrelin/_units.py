"""Units as dimensions, in pure Python: the readable reference of the native unit library.

A units text is ``""`` or ``"1"`` (dimensionless), or factors joined by spaces, ``*`` or ``/``, read
left to right with one precedence (``a / b * c`` is a c / b); a factor is a symbol, ``1`` or a
parenthesised product, optionally raised with ``^`` to an integer or a parenthesised fraction
(``m^-1``, ``Hz^(1/2)``, ``(GeV/c^2)^-2``). A symbol is a unit of `SYMBOLS`, or a prefix of
`PREFIXES` followed by a unit that takes one (``MeV``, ``fm``, ``µs``, ``us``).

One of a unit in coherent SI is ``mantissa × 10**exp10``: prefixes and decimal units move only the
exponent, so ``mg`` to ``g`` is 10**-3 exactly as the literal ``1e-3`` reads.

A catalogue may declare units of its own (`DeclaredUnits`): multiples of units known before them, or
new base dimensions (counts, pixels, ADC channels) whose exponents follow the SI ones in a dimension.
"""

from __future__ import annotations

import math
import sys
import re
from dataclasses import dataclass
from fractions import Fraction
from functools import lru_cache
from typing import Final, NamedTuple

from ._errors import UnitError

__all__ = ["BASE_UNITS", "PREFIXES", "SYMBOLS", "Units", "conversion_factor", "convert", "units_of"]

#: The SI base units, in the order dimension texts name them.
BASE_UNITS: Final = ("kg", "m", "s", "A", "K", "mol", "cd")
#: How many new base dimensions a catalogue may declare; dimension texts name them after the SI ones.
MAX_DECLARED_BASES: Final = 9

_NONE: Final = (0, 0, 0, 0, 0, 0, 0)
_LENGTH: Final = (0, 1, 0, 0, 0, 0, 0)
_MASS: Final = (1, 0, 0, 0, 0, 0, 0)
_TIME: Final = (0, 0, 1, 0, 0, 0, 0)
_ENERGY: Final = (1, 2, -2, 0, 0, 0, 0)
_PRESSURE: Final = (1, -1, -2, 0, 0, 0, 0)
_RESISTANCE: Final = (1, 2, -3, -2, 0, 0, 0)

#: symbol: (mantissa, exp10, exponents of kg m s A K mol cd, takes a prefix). The values of eV, u
#: (Da) and E_h are CODATA 2022's: eV exact since 2019, the other two taken as exact for converting.
SYMBOLS: Final[dict[str, tuple[float, int, tuple[int, ...], bool]]] = {
    # The SI base units, with the gram for prefixing.
    "m": (1.0, 0, _LENGTH, True),
    "kg": (1.0, 0, _MASS, False),
    "g": (1.0, -3, _MASS, True),
    "s": (1.0, 0, _TIME, True),
    "A": (1.0, 0, (0, 0, 0, 1, 0, 0, 0), True),
    "K": (1.0, 0, (0, 0, 0, 0, 1, 0, 0), True),
    "mol": (1.0, 0, (0, 0, 0, 0, 0, 1, 0), True),
    "cd": (1.0, 0, (0, 0, 0, 0, 0, 0, 1), True),
    # The derived units with special names (SI has rad and sr dimensionless).
    "rad": (1.0, 0, _NONE, True),
    "sr": (1.0, 0, _NONE, True),
    "Hz": (1.0, 0, (0, 0, -1, 0, 0, 0, 0), True),
    "N": (1.0, 0, (1, 1, -2, 0, 0, 0, 0), True),
    "Pa": (1.0, 0, _PRESSURE, True),
    "J": (1.0, 0, _ENERGY, True),
    "W": (1.0, 0, (1, 2, -3, 0, 0, 0, 0), True),
    "C": (1.0, 0, (0, 0, 1, 1, 0, 0, 0), True),
    "V": (1.0, 0, (1, 2, -3, -1, 0, 0, 0), True),
    "F": (1.0, 0, (-1, -2, 4, 2, 0, 0, 0), True),
    "ohm": (1.0, 0, _RESISTANCE, True),
    "\u03a9": (1.0, 0, _RESISTANCE, True),  # Greek capital omega
    "\u2126": (1.0, 0, _RESISTANCE, True),  # the ohm sign
    "S": (1.0, 0, (-1, -2, 3, 2, 0, 0, 0), True),
    "Wb": (1.0, 0, (1, 2, -2, -1, 0, 0, 0), True),
    "T": (1.0, 0, (1, 0, -2, -1, 0, 0, 0), True),
    "H": (1.0, 0, (1, 2, -2, -2, 0, 0, 0), True),
    "lm": (1.0, 0, (0, 0, 0, 0, 0, 0, 1), True),
    "lx": (1.0, 0, (0, -2, 0, 0, 0, 0, 1), True),
    "Bq": (1.0, 0, (0, 0, -1, 0, 0, 0, 0), True),
    "Gy": (1.0, 0, (0, 2, -2, 0, 0, 0, 0), True),
    "Sv": (1.0, 0, (0, 2, -2, 0, 0, 0, 0), True),
    "kat": (1.0, 0, (0, 0, -1, 0, 0, 1, 0), True),
    # Units physicists use with constants.
    "eV": (1.602176634, -19, _ENERGY, True),
    "u": (1.66053906892, -27, _MASS, False),
    "Da": (1.66053906892, -27, _MASS, True),
    "E_h": (4.3597447222060, -18, _ENERGY, False),
    "c": (299792458.0, 0, (0, 1, -1, 0, 0, 0, 0), False),
    "min": (60.0, 0, _TIME, False),
    "h": (3600.0, 0, _TIME, False),
    "d": (86400.0, 0, _TIME, False),
    "L": (1.0, -3, (0, 3, 0, 0, 0, 0, 0), True),
    "\u00c5": (1.0, -10, _LENGTH, False),  # Å, the letter
    "\u212b": (1.0, -10, _LENGTH, False),  # Å, the angstrom sign
    "bar": (1.0, 5, _PRESSURE, True),
    "%": (1.0, -2, _NONE, False),
    "ppm": (1.0, -6, _NONE, False),
}

#: prefix: its power of ten; longer spellings first, so that ``da`` is tried before ``d``.
PREFIXES: Final[dict[str, int]] = {
    "da": 1, "\u00b5": -6, "\u03bc": -6, "q": -30, "r": -27, "y": -24, "z": -21, "a": -18, "f": -15,
    "p": -12, "n": -9, "u": -6, "m": -3, "c": -2, "d": -1, "h": 2, "k": 3, "M": 6, "G": 9, "T": 12,
    "P": 15, "E": 18, "Z": 21, "Y": 24, "R": 27, "Q": 30,
}  # fmt: skip

# Temperatures on a shifted scale: a factor cannot convert them.
_AFFINE: Final = ("\u00b0C", "\u2103", "degC", "\u00b0F", "degF")

MAX_EXPONENT: Final = 1000
MAX_NESTING: Final = 16
# Decimal exponents stay far inside a double's range.
_MAX_DECADES: Final = 100000
_STOPS: Final = " */()^"


class Units(NamedTuple):
    """What a units text means: one of it is `scale` in coherent SI, of `dimension` in SI base units
    (``"kg m^2 s^-2"``, ``"s^(1/2)"``, ``"1"`` when dimensionless)."""

    scale: float
    dimension: str


@dataclass(frozen=True, slots=True)
class _Parsed:
    """One of the units is ``mantissa * 10**exp10`` in coherent SI; `dimension` holds the exponents
    of kg m s A K mol cd, then of the base dimensions declared by the time it was read."""

    mantissa: float
    exp10: int
    dimension: tuple[Fraction, ...]

    @property
    def scale(self) -> float:
        """One of these units in coherent SI (the parser refuses a text whose scale is no normal double)."""
        return self.mantissa * power_of_ten(self.exp10)

    @property
    def dimension_text(self) -> str:
        """The dimension in SI base units: ``"kg m^2 s^-2"``, ``"s^(1/2)"``, ``"1"`` when dimensionless."""
        return dimension_text(self.dimension)


def dimension_text(dimension: tuple[Fraction, ...], declared: DeclaredUnits | None = None) -> str:
    """Exponents of kg m s A K mol cd, then of the `declared` base dimensions, in words: ``"kg m^2 s^-2"``,
    ``"s^(1/2)"``, ``"s^-1 count"``, ``"1"`` when all are 0."""
    names = BASE_UNITS if declared is None else (*BASE_UNITS, *declared.bases)
    parts = []
    for symbol, e in zip(names, dimension, strict=True):
        if e == 0:
            continue
        if e.denominator != 1:
            parts.append(f"{symbol}^({e.numerator}/{e.denominator})")
        elif e != 1:
            parts.append(f"{symbol}^{e.numerator}")
        else:
            parts.append(symbol)
    return " ".join(parts) or "1"


_ONE: Final = _Parsed(1.0, 0, (Fraction(0),) * len(BASE_UNITS))
DIMENSIONLESS: Final = _ONE.dimension


def widened(unit: _Parsed, width: int) -> _Parsed:
    """`unit` with room for `width` exponents: base dimensions declared after it was read are absent from it."""
    missing = width - len(unit.dimension)
    if missing == 0:
        return unit
    return _Parsed(unit.mantissa, unit.exp10, unit.dimension + (Fraction(0),) * missing)


def dimensionless(width: int) -> tuple[Fraction, ...]:
    """The dimension of a number, with room for `width` exponents."""
    return widened(_ONE, width).dimension


def width_of(declared: DeclaredUnits | None) -> int:
    """How many exponents a dimension read with `declared` units holds."""
    return len(BASE_UNITS) + (0 if declared is None else len(declared.bases))


def nearest_fraction(x: float) -> Fraction | None:
    """The fraction with the smallest denominator up to MAX_EXPONENT that `x` rounds from (within 1e-9,
    relative past 1), or None: how a formula's constant exponent is read as a rational power."""
    tolerance = 1e-9 * max(1.0, abs(x))
    for den in range(1, MAX_EXPONENT + 1):
        scaled = x * den + 0.5
        if not math.isfinite(scaled):  # an infinite or NaN exponent is near no fraction
            return None
        num = float(math.floor(scaled))
        if abs(num / den - x) <= tolerance:
            return Fraction(int(num), den)
    return None


def power_of_ten(k: int) -> float:
    """10**k as the literal ``1eK`` reads (0 or infinity beyond a double's range)."""
    if k > 400:
        return math.inf
    if k < -400:
        return 0.0
    return float(f"1e{k}")


class _Failed(Exception):
    def __init__(self, what: str, at: int) -> None:
        self.what = what
        self.at = at


def normal(x: float) -> bool:
    """Whether `x` is a normal double: finite and not zero, nor so small that digits are lost."""
    return math.isfinite(x) and abs(x) >= sys.float_info.min


def _checked(mantissa: float, exp10: int, dimension: tuple[Fraction, ...], at: int) -> _Parsed:
    # A mantissa that leaves the normal doubles loses digits or all meaning, whatever the power of ten.
    if not normal(mantissa) or abs(exp10) > _MAX_DECADES:
        raise _Failed("scale beyond a double", at)
    for e in dimension:
        if abs(e.numerator) > MAX_EXPONENT or e.denominator > MAX_EXPONENT:
            raise _Failed("exponent beyond 1000", at)
    return _Parsed(mantissa, exp10, dimension)


class _Parser:
    def __init__(self, text: str, declared: DeclaredUnits | None) -> None:
        self.text = text
        self.pos = 0
        self.declared = declared
        self.width = width_of(declared)

    def at(self, chars: str) -> bool:
        return self.pos < len(self.text) and self.text[self.pos] in chars

    def skip_spaces(self) -> None:
        while self.at(" "):
            self.pos += 1

    def product(self, depth: int) -> _Parsed:
        result = self.factor(depth)
        while True:
            before = self.pos
            self.skip_spaces()
            if self.pos == len(self.text) or self.at(")"):
                return result
            divide = False
            if self.at("*/"):
                divide = self.at("/")
                self.pos += 1
                self.skip_spaces()
            elif self.pos == before:
                raise _Failed("expected `*`, `/` or a space", self.pos)
            right = self.factor(depth)
            if divide:
                mantissa, exp10 = result.mantissa / right.mantissa, result.exp10 - right.exp10
                dimension = tuple(a - b for a, b in zip(result.dimension, right.dimension, strict=True))
            else:
                mantissa, exp10 = result.mantissa * right.mantissa, result.exp10 + right.exp10
                dimension = tuple(a + b for a, b in zip(result.dimension, right.dimension, strict=True))
            result = _checked(mantissa, exp10, dimension, self.pos)

    def factor(self, depth: int) -> _Parsed:
        if self.pos == len(self.text):
            raise _Failed("expected a unit", self.pos)
        if self.at("("):
            if depth + 1 > MAX_NESTING:
                raise _Failed("parentheses nested deeper than 16", self.pos)
            self.pos += 1
            self.skip_spaces()
            base = self.product(depth + 1)
            if not self.at(")"):
                raise _Failed("expected `)`", self.pos)
            self.pos += 1
        else:
            base = self.symbol()
        if not self.at("^"):
            return base
        self.pos += 1
        return self.power(base, self.exponent())

    def symbol(self) -> _Parsed:
        start = self.pos
        while self.pos < len(self.text) and self.text[self.pos] not in _STOPS:
            self.pos += 1
        word = self.text[start : self.pos]
        if not word:
            raise _Failed("expected a unit", self.pos)
        # Every factor has room for all the base dimensions declared, so that any two combine.
        return widened(self.unit_named(word, start), self.width)

    def unit_named(self, word: str, start: int) -> _Parsed:
        if word == "1":
            return _ONE
        if word in _AFFINE:
            raise _Failed(f"`{word}` is a temperature on a shifted scale, which no factor converts (use K)", start)
        if word in SYMBOLS:
            return _unit_of(word, 0)
        # A declared unit takes no prefix: `kcount` stays free for a catalogue to declare.
        if self.declared is not None and word in self.declared.units:
            return self.declared.units[word]
        for prefix, exp10 in PREFIXES.items():
            rest = word[len(prefix) :]
            if word.startswith(prefix) and rest and rest in SYMBOLS and SYMBOLS[rest][3]:
                return _unit_of(rest, exp10)
        raise _Failed(f"unknown unit `{word}`", start)

    def integer(self) -> int:
        negative = False
        if self.at("-+"):
            negative = self.at("-")
            self.pos += 1
        start = self.pos
        value = 0
        while self.at("0123456789"):
            value = value * 10 + int(self.text[self.pos])
            self.pos += 1
            if value > MAX_EXPONENT:
                raise _Failed("exponent beyond 1000", start)
        if self.pos == start:
            raise _Failed("expected an exponent", self.pos)
        return -value if negative else value

    def exponent(self) -> Fraction:
        if not self.at("("):
            return Fraction(self.integer())
        self.pos += 1
        num = self.integer()
        den = 1
        if self.at("/"):
            self.pos += 1
            at = self.pos
            den = self.integer()
            if den <= 0:
                raise _Failed("exponent denominator must be positive", at)
        if not self.at(")"):
            raise _Failed("expected `)`", self.pos)
        self.pos += 1
        return Fraction(num, den)

    def power(self, base: _Parsed, power: Fraction) -> _Parsed:
        # The decimal exponent keeps its whole part; a fraction of a decade joins the mantissa.
        whole, rest = divmod(base.exp10 * power.numerator, power.denominator)
        try:
            mantissa = base.mantissa ** (power.numerator / power.denominator)
        except (OverflowError, ZeroDivisionError):  # past a double, or a declared scale of 0 raised below 0
            raise _Failed("scale beyond a double", self.pos) from None
        if rest:
            mantissa *= 10.0 ** (rest / power.denominator)
        return _checked(mantissa, whole, tuple(e * power for e in base.dimension), self.pos)


def _unit_of(symbol: str, prefix_exp10: int) -> _Parsed:
    mantissa, exp10, exponents, _ = SYMBOLS[symbol]
    return _Parsed(mantissa, exp10 + prefix_exp10, tuple(Fraction(e) for e in exponents))


@lru_cache(maxsize=1024)
def _parsed(text: str) -> _Parsed:
    """The units `text` means in the grammar alone: remembered, as the texts a program converts between
    come back again and again."""
    return _parse(text, None)


def parsed_with(text: str, declared: DeclaredUnits | None) -> _Parsed:
    """The units `text` means where the `declared` units are symbols too; UnitError says why it means none."""
    return _parsed(text) if declared is None else _parse(text, declared)


def _parse(text: str, declared: DeclaredUnits | None) -> _Parsed:
    text.encode("utf-8")  # a lone surrogate names no unit: UnicodeEncodeError, as for any text passed on
    parser = _Parser(text, declared)
    try:
        parser.skip_spaces()
        if parser.pos == len(text):
            return widened(_ONE, parser.width)
        result = parser.product(0)
        if parser.pos != len(text):
            raise _Failed("unbalanced `)`" if parser.at(")") else "expected `*`, `/` or a space", parser.pos)
        if not normal(result.scale):  # a step on the way may hold it; a value cannot
            raise _Failed("scale beyond a double", parser.pos)
    except _Failed as failed:
        raise UnitError(f"invalid units `{text}`: {failed.what} at offset {failed.at}") from None
    return result


# A declared unit's name: what the grammar reads as one symbol, and a JSON key needs no escape for.
_NAME: Final = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
# The decimal number a definition may start with; an `e` without digits after it is the units' own.
_NUMBER: Final = re.compile(r"(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")


class DeclarationRefused(Exception):
    """A unit a catalogue cannot declare: args[0] says which and why."""


class DeclaredUnits:
    """Units a catalogue declares beyond the grammar's symbols, in order: each a multiple of units known
    before it (``"201.168 m"``, ``"12 count"``), or, declared as None, a new base dimension whose exponent
    follows the SI ones and which dimension texts name by the unit. Read-only once its catalogue is built."""

    __slots__ = ("bases", "definitions", "units")

    def __init__(self, inherited: DeclaredUnits | None = None) -> None:
        #: Every declaration as given, in order: a catalogue writes them back.
        self.definitions: dict[str, str | None] = {}
        #: What each declared unit is, its dimension as wide as the bases declared before it.
        self.units: dict[str, _Parsed] = {}
        #: The names of the new base dimensions, in order.
        self.bases: list[str] = []
        if inherited is not None:
            self.definitions.update(inherited.definitions)
            self.units.update(inherited.units)
            self.bases.extend(inherited.bases)

    def declare(self, name: str, definition: str | None) -> None:
        """Declares `name` as `definition` (an optional positive decimal number, then a units text over
        the units known so far), or as a new base dimension when it is None. DeclarationRefused says why not."""

        def refused(why: str) -> DeclarationRefused:
            return DeclarationRefused(f"unit `{name}`: {why}")

        if not _NAME.fullmatch(name):
            raise refused("a name is a letter or `_`, then letters, digits or `_`")
        try:
            _parse(name, self)
        except UnitError:
            pass
        else:
            raise refused("the name is a unit already")
        if definition is None:
            if len(self.bases) == MAX_DECLARED_BASES:
                raise refused(f"more than {MAX_DECLARED_BASES} new base dimensions")
            self.bases.append(name)
            unit = _Parsed(1.0, 0, (Fraction(0),) * (width_of(self) - 1) + (Fraction(1),))
        else:
            number = _NUMBER.match(definition)
            factor = 1.0
            if number is not None:
                factor = float(number.group())
                if not (math.isfinite(factor) and factor > 0.0):
                    raise refused(f"`{number.group()}` is no positive number a double holds")
            try:
                rest = _parse(definition[number.end() if number else 0 :], self)
            except UnitError as problem:
                raise refused(str(problem)) from None
            unit = _Parsed(factor * rest.mantissa, rest.exp10, rest.dimension)
            if not (normal(unit.mantissa) and normal(unit.scale)):
                raise refused("scale beyond a double")
        self.definitions[name] = definition
        self.units[name] = unit


def units_of(text: str) -> Units:
    """What the units `text` mean; UnitError (a ValueError) says why it means none, and where."""
    parsed = _parsed(_text(text, "units"))
    return Units(parsed.scale, parsed.dimension_text)


def conversion_factor(from_units: str, to_units: str) -> float:
    """What takes a value in `from_units` to `to_units`: UnitError (a ValueError) for a units text that
    means nothing or for units of different dimensions."""
    from_text, to_text = _text(from_units, "from_units"), _text(to_units, "to_units")
    source, target = _parsed(from_text), _parsed(to_text)
    if source.dimension != target.dimension:
        raise UnitError(
            f"cannot convert `{from_text}` ({source.dimension_text}) to `{to_text}` ({target.dimension_text})"
        )
    found = factor(source, target)
    if found is None:
        raise UnitError(f"cannot convert `{from_text}` to `{to_text}`: {FACTOR_BEYOND}")
    return found


FACTOR_BEYOND: Final = "the factor between them is beyond a double"  # too large, or too small to be normal


def factor(source: _Parsed, target: _Parsed) -> float | None:
    """What takes a value in `source` units to `target` units of the same dimension: mantissas apart
    from the powers of ten, so that ``mg`` to ``g`` is exactly 1e-3. None when it is no normal double."""
    decades = source.exp10 - target.exp10
    ratio = source.mantissa / target.mantissa
    found = ratio * power_of_ten(decades)
    if not (normal(ratio) and normal(found)):
        # Mantissas far apart: each brought near 1 by its own power of ten first, so that their ratio
        # holds and only the result may not.
        from_decade = math.floor(math.log10(source.mantissa))
        to_decade = math.floor(math.log10(target.mantissa))
        near = (source.mantissa / power_of_ten(from_decade)) / (target.mantissa / power_of_ten(to_decade))
        found = near * power_of_ten(decades + from_decade - to_decade)
    return found if normal(found) else None


def convert(value: float, from_units: str, to_units: str) -> float:
    """`value` in `from_units` expressed in `to_units` (``convert(1.0, "MeV/c^2", "kg")``). UnitError (a
    ValueError) for a text that means no units or for units of different dimensions."""
    return value * conversion_factor(from_units, to_units)


def _text(value: object, parameter: str) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{parameter} must be a str, not {type(value).__name__}")
    return str.__str__(value)

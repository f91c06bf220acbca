"""A seeded, synthetic catalogue file of N entries for the catalogue benchmark.

    python bench/generate_catalogue.py N PATH [--seed S]

About 70 % seeds (most with an uncertainty) and 30 % formulas over one to
four earlier entries, so there is no cycle. Every formula is evaluated here
with the operations in the order the package runs them, and a candidate
that would divide by zero, leave a function's domain or stray outside
1e-100..1e100 is drawn again, so every entry derives. A few per cent of the
names are not ASCII. The same N and seed give the same bytes; 10^6 entries
make about 165 MB.

With --units, every entry's units are real ones and every formula is right
by dimension (a formula's units are its dimension in SI base units; a seed's
are drawn from UNITS, eV, MeV, µm and fm among them), so the file loads as
format version 2 as well as 1: `text(n, seed, units=True)` has version 2.
"""

from __future__ import annotations

import argparse
import json
import math
import random
from collections.abc import Callable, Iterator
from fractions import Fraction
from typing import Any

from ostrelin import _units

STEMS = (
    "electron_mass", "proton_mass", "neutron_mass", "muon_mass", "tau_mass", "bohr_radius", "bohr_magneton",
    "nuclear_magneton", "rydberg", "hartree_energy", "fine_structure", "compton_wavelength", "planck_length",
    "planck_time", "boltzmann", "avogadro", "faraday", "gas_constant", "stefan_boltzmann", "wien_displacement",
    "gyromagnetic_ratio", "g_factor", "magnetic_moment", "lamb_shift", "hyperfine_splitting", "absorption_coeff",
    "lab_frame_offset", "cross_section", "decay_width", "lifetime", "mixing_angle", "coupling", "form_factor",
    "scattering_length", "binding_energy", "polarizability", "thermal_expansion", "heat_capacity",
    "refractive_index", "lattice_spacing", "debye_temperature", "fermi_energy", "work_function", "susceptibility",
    "conductivity", "viscosity", "density", "sound_speed", "baryon_fraction", "hubble_rate",
)
WIDE_STEMS = ("µ0", "ε0", "α_em", "Δν_Cs", "λ_C", "σ_e", "τ_μ", "Ω_b", "γ_p", "ħc", "θ_W", "ρ_crit", "η_B", "κ_T")
UNITS = (
    "", "m", "kg", "s", "K", "A", "mol", "J", "J s", "eV", "MeV", "GeV", "Hz", "T", "C", "V", "W", "Ω", "Pa",
    "m s^-1", "m s^-2", "kg m^-3", "J K^-1", "J T^-1", "mol^-1", "C mol^-1", "J mol^-1 K^-1", "F m^-1",
    "N A^-2", "W m^-2 K^-4", "m K", "s^-1 T^-1", "m^3 kg^-1 s^-2", "m^-1", "m^2", "µm", "fm", "Pa s",
)
ADJECTIVES = ("measured", "adjusted", "recommended", "derived", "shielded", "effective", "reduced", "bare",
              "dressed", "corrected", "provisional", "averaged")
SUBJECTS = ("electron", "proton", "neutron", "muon", "deuteron", "helion", "triton", "alpha particle",
            "hydrogen atom", "caesium clock", "silicon lattice", "laboratory sample", "reference cell", "beam")
METHODS = ("from a least-squares adjustment", "by Penning-trap spectroscopy", "by atom interferometry",
           "from the tabulated data", "by a watt-balance measurement", "from lattice QCD", "by X-ray diffraction",
           "from an absorption spectrum", "by Monte Carlo simulation", "from the probability model")
SOURCES = ("CODATA 2018", "CODATA 2022", "PDG 2024", "NIST SRD", "IUPAC table", "lab notebook", "internal run")

Formula = tuple[str, Callable[..., float], int, tuple[str, ...]]  # text, value, arity, which operands are "pos"/"div"
Dims = tuple[Fraction, ...]
# Each formula's value is computed with the package's operation order; "pos" marks an operand that must be
# positive (sqrt, log), "div" one that is a divisor, "any" one without a constraint.
FORMULAS: tuple[Formula, ...] = (
    ("2 * pi * {0}", lambda a: 2 * math.pi * a, 1, ("any",)),
    ("sqrt({0})", lambda a: math.sqrt(a), 1, ("pos",)),
    ("{0} ** 2", lambda a: math.pow(a, 2.0), 1, ("any",)),
    ("log({0}) + 1", lambda a: math.log(a) + 1, 1, ("pos",)),
    ("-{0} / 3", lambda a: -a / 3, 1, ("any",)),
    ("tanh({0}) * 1.5e3", lambda a: math.tanh(a) * 1.5e3, 1, ("any",)),
    ("{0} * {1}", lambda a, b: a * b, 2, ("any", "any")),
    ("{0} / {1}", lambda a, b: a / b, 2, ("any", "div")),
    ("({0} + {1}) / 2", lambda a, b: (a + b) / 2, 2, ("any", "any")),
    ("{0} * sqrt({1})", lambda a, b: a * math.sqrt(b), 2, ("any", "pos")),
    ("{0} ** 2 / {1}", lambda a, b: math.pow(a, 2.0) / b, 2, ("any", "div")),
    ("log10({0}) * {1}", lambda a, b: math.log10(a) * b, 2, ("pos", "any")),
    ("atan({0} / {1})", lambda a, b: math.atan(a / b), 2, ("any", "div")),
    ("{0} * {1} / {2}", lambda a, b, c: a * b / c, 3, ("any", "any", "div")),
    ("({0} - {1}) * {2}", lambda a, b, c: (a - b) * c, 3, ("any", "any", "any")),
    ("{0} * exp(-{1} / {2})", lambda a, b, c: a * math.exp(-b / c), 3, ("any", "pos", "div")),
    ("{0} * {1} / ({2} * {3})", lambda a, b, c, d: a * b / (c * d), 4, ("any", "any", "div", "div")),
    ("({0} + {1}) * ({2} - {3})", lambda a, b, c, d: (a + b) * (c - d), 4, ("any", "any", "any", "any")),
    ("sqrt({0} ** 2 + {1} ** 2) * {2} / {3}",
     lambda a, b, c, d: math.sqrt(math.pow(a, 2.0) + math.pow(b, 2.0)) * c / d, 4, ("any", "any", "any", "div")),
)
SANE = 1e100


def _same(*dims: Dims) -> bool:
    return all(d == dims[0] for d in dims)


def _add(*terms: tuple[int, Dims]) -> Dims:
    return tuple(sum((Fraction(k) * d[i] for k, d in terms), Fraction(0)) for i in range(len(terms[0][1])))


def _none(d: Dims) -> bool:
    return not any(d)


# Each formula's dimension from its operands', or None where the formula is wrong by dimension.
DIMENSIONS: tuple[Callable[..., Dims | None], ...] = (
    lambda a: a,
    lambda a: tuple(x / 2 for x in a),
    lambda a: _add((2, a)),
    lambda a: a if _none(a) else None,
    lambda a: a,
    lambda a: a if _none(a) else None,
    lambda a, b: _add((1, a), (1, b)),
    lambda a, b: _add((1, a), (-1, b)),
    lambda a, b: a if _same(a, b) else None,
    lambda a, b: tuple(x + y / 2 for x, y in zip(a, b)),
    lambda a, b: _add((2, a), (-1, b)),
    lambda a, b: b if _none(a) else None,
    lambda a, b: _add((0, a)) if _same(a, b) else None,
    lambda a, b, c: _add((1, a), (1, b), (-1, c)),
    lambda a, b, c: _add((1, a), (1, c)) if _same(a, b) else None,
    lambda a, b, c: a if _same(b, c) else None,
    lambda a, b, c, d: _add((1, a), (1, b), (-1, c), (-1, d)),
    lambda a, b, c, d: _add((1, a), (1, c)) if _same(a, b) and _same(c, d) else None,
    lambda a, b, c, d: _add((1, a), (1, c), (-1, d)) if _same(a, b) else None,
)
assert len(DIMENSIONS) == len(FORMULAS)


def _sane(value: float) -> bool:
    return math.isfinite(value) and (value == 0.0 or 1 / SANE < abs(value) < SANE)


class _Generator:
    def __init__(self, seed: int, units: bool = False) -> None:
        self.rng = random.Random(seed)
        # With units: each entry's dimension, and the entries of each dimension.
        self.units = units
        self.dims: list[Dims] = []
        self.by_dims: dict[Dims, list[int]] = {}
        self.names: list[str] = []
        self.values: list[float] = []
        # Seeds safe as a divisor (non-zero) and under sqrt or log (positive), by index.
        self.divisors: list[int] = []
        self.positives: list[int] = []

    def name(self, index: int) -> str:
        rng = self.rng
        stem = rng.choice(WIDE_STEMS) if rng.random() < 0.04 else rng.choice(STEMS)
        return f"{stem}_{index}"

    def description(self, index: int) -> str:
        rng = self.rng
        if rng.random() < 0.12:
            return ""
        text = f"{rng.choice(ADJECTIVES).capitalize()} {rng.choice(STEMS).replace('_', ' ')}"
        if rng.random() < 0.4:
            text += f" of the {rng.choice(SUBJECTS)}"
        if rng.random() < 0.1:
            text += " " + rng.choice(METHODS)
        return f"{text} ({rng.choice(SOURCES)})"

    def seed_entry(self, index: int, name: str) -> dict[str, Any]:
        rng = self.rng
        if rng.random() < 0.03:
            value: float = float(rng.randrange(1, 10**9))
            literal: float | int = int(value)
        else:
            # A decimal literal, as tables print them: 4 to 12 significant digits.
            value = float(f"{rng.uniform(1.0, 10.0):.{rng.randrange(3, 12)}f}e{rng.randrange(-35, 36)}")
            if rng.random() < 0.1:
                value = -value
            literal = value
        entry: dict[str, Any] = {"name": name, "units": rng.choice(UNITS), "value": literal}
        self.note_dims(index, _units._parsed(entry["units"]).dimension)
        draw = rng.random()
        if draw < 0.85:
            entry["uncertainty"] = float(f"{abs(value) * 10.0 ** rng.uniform(-12, -3):.2g}")
        elif draw < 0.90:
            entry["uncertainty"] = None
        elif draw < 0.92:
            entry["uncertainty"] = 0.0
        if rng.random() < 0.02:
            entry["status"] = "External"
        self.values.append(float(literal))
        self.divisors.append(index)
        if value > 0:
            self.positives.append(index)
        return entry

    def operand(self, kind: str, index: int) -> int:
        rng = self.rng
        pool = self.positives if kind == "pos" else self.divisors if kind == "div" else None
        if pool is None:
            # Half the time a recent entry: real catalogues derive from their neighbours.
            return rng.randrange(max(0, index - 50), index) if rng.random() < 0.5 else rng.randrange(index)
        return pool[rng.randrange(len(pool))]

    def note_dims(self, index: int, dims: Dims) -> None:
        if self.units:
            self.dims.append(dims)
            self.by_dims.setdefault(dims, []).append(index)

    def formula_entry(self, index: int, name: str) -> dict[str, Any] | None:
        rng = self.rng
        choice = rng.randrange(len(FORMULAS))
        text, function, arity, kinds = FORMULAS[choice]
        picked = [self.operand(kind, index) for kind in kinds]
        if self.units and arity > 1 and rng.random() < 0.7:
            # Operands of one dimension, as sums and ratios under a function need.
            alike = self.by_dims[self.dims[picked[0]]]
            picked[1:] = [alike[rng.randrange(len(alike))] if i < 2 or rng.random() < 0.5 else p
                          for i, p in enumerate(picked[1:], start=1)]
        if len(set(picked)) < arity:
            return None
        dims = DIMENSIONS[choice](*(self.dims[i] for i in picked)) if self.units else None
        if self.units and dims is None:
            return None
        try:
            value = function(*(self.values[i] for i in picked))
        except (ValueError, OverflowError, ZeroDivisionError):
            return None
        if not _sane(value):
            return None
        names = [self.names[i] for i in picked]
        units = _units._Parsed(1.0, 0, dims).dimension_text if dims is not None else rng.choice(UNITS)
        if units == "1":
            units = ""
        entry: dict[str, Any] = {"name": name, "units": units, "expression": text.format(*names)}
        if dims is not None:
            self.note_dims(index, dims)
        if rng.random() < 0.2:
            entry["dependencies"] = names
        if rng.random() < 0.03:
            entry["status"] = "Cached"
            entry["value"] = value
        self.values.append(value)
        return entry

    def entries(self, n: int) -> Iterator[dict[str, Any]]:
        rng = self.rng
        for index in range(n):
            name = self.name(index)
            entry = None
            # A formula needs seeds to stand on: the first ten entries are seeds.
            if index >= 10 and rng.random() < 0.3:
                for _ in range(32 if self.units else 8):
                    entry = self.formula_entry(index, name)
                    if entry is not None:
                        break
            if entry is None:
                entry = self.seed_entry(index, name)
            description = self.description(index)
            if description:
                entry["description"] = description
            self.names.append(name)
            yield entry


def entries(n: int, seed: int = 0, units: bool = False) -> Iterator[dict[str, Any]]:
    """The `n` entries of the catalogue of `seed`, in file order, as JSON-ready dicts."""
    return _Generator(seed, units).entries(n)


def text(n: int, seed: int = 0, units: bool = False) -> str:
    """The catalogue file of `n` entries for `seed`, one entry a line; with `units`, of version 2."""
    lines = ",\n".join("    " + json.dumps(entry, ensure_ascii=False) for entry in entries(n, seed, units))
    head = f'{{\n  "format": "ostrelin-catalogue",\n  "version": {2 if units else 1},\n' \
           f'  "description": "Synthetic benchmark catalogue: {n} entries, seed {seed}",\n  "constants": [\n'
    return head + lines + "\n  ]\n}\n"


def write(n: int, path: str, seed: int = 0, units: bool = False) -> None:
    with open(path, "w", encoding="utf-8") as out:
        out.write(text(n, seed, units))


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("n", type=int, help="number of entries")
    parser.add_argument("path", help="file to write")
    parser.add_argument("--seed", type=int, default=0, help="random seed (default 0)")
    parser.add_argument("--units", action="store_true", help="real units, formulas right by dimension: version 2")
    args = parser.parse_args()
    write(args.n, args.path, args.seed, args.units)


if __name__ == "__main__":
    main()

"""Writes ostrelin's CODATA catalogue from NIST's fixed-width ASCII table of the recommended values.

    python tools/codata_convert.py [--table FILE] [--facts FILE] [--out PATH]

--table is the table as NIST publishes it (allascii.txt: a header, a line of
dashes, then one quantity a line: name, value, uncertainty, unit in fixed
columns). Without it the converter reads the copy of the 2022 table that
ships inside SciPy (``scipy.constants._codata.txt2022``). The output is
python/ostrelin/data/codata-2022.json in the catalogue format, written by
ostrelin itself, so the file is what the loader reads back.

Names: the quantity's name in lower case, each run of characters other than
a-z and 0-9 turned into one "_", leading and trailing ones dropped
("mag. flux quantum" → "mag_flux_quantum"); the converter stops if two names
meet or one starts with a digit. Exact values (uncertainty "(exact)") get
uncertainty 0.0. The exact values NIST prints truncated ("1.054 571 817...")
are computed here from the defining constants in 60-digit decimal arithmetic
and rounded once to the nearest double; each must agree with every digit
printed. The constants physicists type every day get a symbol (SYMBOLS).

The catalogue is built as the adjustment computes CODATA (tools/codata_adjustment.py):
its seeds keep their values; every other entry is a formula over them, stored with the
table's value and uncertainty and status "Cached", so that a lookup gives what the table
prints while derived() computes from the seeds. --facts is NIST's correlation
coefficients of the 2022 values (tests/data/codata-2022-correlations.json by default):
the catalogue's "correlations" are those among its seeds.
"""

from __future__ import annotations

import argparse
import json
import re
import sys
from decimal import Decimal, getcontext
from pathlib import Path

getcontext().prec = 60
ROOT = Path(__file__).resolve().parents[1]
OUT = ROOT / "python" / "ostrelin" / "data" / "codata-2022.json"
NAME, VALUE, UNCERTAINTY = slice(0, 60), slice(60, 85), slice(85, 110)
SOURCE = (
    "CODATA 2022 recommended values of the fundamental physical constants, from the NIST table "
    "(physics.nist.gov/constants); exact values printed truncated are computed from the defining constants."
)


def pi() -> Decimal:
    """π to the context's precision (Machin's formula)."""
    def arctan_inverse(n: int) -> Decimal:
        x, total, term, k = Decimal(1) / n, Decimal(0), Decimal(1) / n, 0
        while term != 0:
            total += term / (2 * k + 1) * (-1) ** k
            k += 1
            term *= x * x
        return total
    return 4 * (4 * arctan_inverse(5) - arctan_inverse(239))


def wien(n: int) -> Decimal:
    """The root x > 0 of x = n (1 - e^-x), by Newton's method."""
    x = Decimal(n)
    for _ in range(100):
        step = (x - n * (1 - (-x).exp())) / (1 - n * (-x).exp())
        x -= step
        if abs(step) < Decimal(10) ** -55:
            break
    return x


# The defining constants (exact), and the conventional electrical ones of 1990.
h, e, k, N_A, c = Decimal("6.62607015e-34"), Decimal("1.602176634e-19"), Decimal("1.380649e-23"), \
    Decimal("6.02214076e23"), Decimal(299792458)
K_J90, R_K90 = Decimal("483597.9e9"), Decimal("25812.807")
PI = pi()
HBAR = h / (2 * PI)
K_J, R_K = 2 * e / h, h / e**2
T0 = Decimal("273.15")

EXACT = {
    "atomic unit of action": HBAR, "natural unit of action": HBAR, "reduced Planck constant": HBAR,
    "natural unit of action in eV s": HBAR / e, "reduced Planck constant in eV s": HBAR / e,
    "reduced Planck constant times c in MeV fm": HBAR * c / e * Decimal("1e9"),
    "Boltzmann constant in eV/K": k / e, "Boltzmann constant in Hz/K": k / h,
    "Boltzmann constant in inverse meter per kelvin": k / (h * c),
    "conductance quantum": 2 * e**2 / h, "inverse of conductance quantum": h / (2 * e**2),
    "Josephson constant": K_J, "von Klitzing constant": R_K, "mag. flux quantum": h / (2 * e),
    "conventional value of ampere-90": K_J90 * R_K90 / (K_J * R_K),
    "conventional value of coulomb-90": K_J90 * R_K90 / (K_J * R_K),
    "conventional value of farad-90": R_K90 / R_K, "conventional value of henry-90": R_K / R_K90,
    "conventional value of ohm-90": R_K / R_K90, "conventional value of volt-90": K_J90 / K_J,
    "conventional value of watt-90": (K_J90 / K_J) ** 2 * R_K90 / R_K,
    "electron volt-hertz relationship": e / h, "electron volt-inverse meter relationship": e / (h * c),
    "electron volt-kelvin relationship": e / k, "electron volt-kilogram relationship": e / c**2,
    "elementary charge over h-bar": e / HBAR, "Faraday constant": N_A * e,
    "first radiation constant": 2 * PI * h * c**2, "first radiation constant for spectral radiance": 2 * h * c**2,
    "hertz-electron volt relationship": h / e, "hertz-inverse meter relationship": 1 / c,
    "hertz-kelvin relationship": h / k, "hertz-kilogram relationship": h / c**2,
    "inverse meter-electron volt relationship": h * c / e, "inverse meter-joule relationship": h * c,
    "inverse meter-kelvin relationship": h * c / k, "inverse meter-kilogram relationship": h / c,
    "joule-electron volt relationship": 1 / e, "joule-hertz relationship": 1 / h,
    "joule-inverse meter relationship": 1 / (h * c), "joule-kelvin relationship": 1 / k,
    "joule-kilogram relationship": 1 / c**2,
    "kelvin-electron volt relationship": k / e, "kelvin-hertz relationship": k / h,
    "kelvin-inverse meter relationship": k / (h * c), "kelvin-kilogram relationship": k / c**2,
    "kilogram-electron volt relationship": c**2 / e, "kilogram-hertz relationship": c**2 / h,
    "kilogram-inverse meter relationship": c / h, "kilogram-joule relationship": c**2,
    "kilogram-kelvin relationship": c**2 / k,
    "Loschmidt constant (273.15 K, 100 kPa)": Decimal(100000) / (k * T0),
    "Loschmidt constant (273.15 K, 101.325 kPa)": Decimal(101325) / (k * T0),
    "molar gas constant": N_A * k, "molar Planck constant": N_A * h,
    "molar volume of ideal gas (273.15 K, 100 kPa)": N_A * k * T0 / 100000,
    "molar volume of ideal gas (273.15 K, 101.325 kPa)": N_A * k * T0 / 101325,
    "Planck constant in eV/Hz": h / e, "second radiation constant": h * c / k,
    "Stefan-Boltzmann constant": 2 * PI**5 * k**4 / (15 * h**3 * c**2),
    "Wien frequency displacement law constant": wien(3) * k / h,
    "Wien wavelength displacement law constant": h * c / (wien(5) * k),
}


# The symbols physicists type, as scipy.constants spells them where it has a short name, else as
# astropy.constants does, else in their manner.
SYMBOLS = {
    "speed of light in vacuum": "c", "Planck constant": "h", "reduced Planck constant": "hbar",
    "elementary charge": "e", "Boltzmann constant": "k", "Avogadro constant": "N_A",
    "Newtonian constant of gravitation": "G", "standard acceleration of gravity": "g",
    "standard atmosphere": "atm", "electron mass": "m_e", "proton mass": "m_p", "neutron mass": "m_n",
    "atomic mass constant": "m_u", "muon mass": "m_mu", "tau mass": "m_tau", "deuteron mass": "m_d",
    "fine-structure constant": "alpha", "Rydberg constant": "R_inf", "Bohr radius": "a_0",
    "Bohr magneton": "mu_B", "nuclear magneton": "mu_N", "vacuum mag. permeability": "mu_0",
    "vacuum electric permittivity": "epsilon_0", "Stefan-Boltzmann constant": "sigma",
    "molar gas constant": "R", "Faraday constant": "F", "characteristic impedance of vacuum": "Z_0",
    "mag. flux quantum": "Phi_0", "conductance quantum": "G_0", "Josephson constant": "K_J",
    "von Klitzing constant": "R_K", "classical electron radius": "r_e", "Hartree energy": "E_h",
    "Compton wavelength": "lambda_C", "Thomson cross section": "sigma_T", "Fermi coupling constant": "G_F",
    "electron g factor": "g_e", "electron mag. mom.": "mu_e", "proton mag. mom.": "mu_p",
    "Wien wavelength displacement law constant": "b_wien", "electron volt": "eV",
    "Planck mass": "m_P", "Planck length": "l_P", "Planck time": "t_P",
}


def identifier(quantity: str) -> str:
    return re.sub(r"[^a-z0-9]+", "_", quantity.lower()).strip("_")


def number(text: str) -> str:
    return text.replace(" ", "").replace("...", "")


def rows(table: str) -> list[tuple[str, str, str, str]]:
    """(name, value, uncertainty, unit) of every quantity, as the table prints them."""
    lines = table.splitlines()
    dashes = next((i for i, line in enumerate(lines) if line.startswith("-----")), -1)
    return [(line[NAME].strip(), line[VALUE].strip(), line[UNCERTAINTY].strip(), line[110:].strip())
            for line in lines[dashes + 1:] if line.strip()]


def agrees(computed: Decimal, printed: str) -> bool:
    """Whether the computed value begins with every digit the table prints of it."""
    mantissa, _, exponent = number(printed).partition("e")
    shown = Decimal(mantissa) * Decimal(10) ** int(exponent or 0)
    places = -Decimal(mantissa).as_tuple().exponent + -int(exponent or 0)
    return abs(computed - shown) < Decimal(10) ** -places


def convert(table: str, facts: dict[str, object]) -> str:
    import ostrelin  # noqa: PLC0415 - the package writes its own format
    from codata_adjustment import FORMULAS, seed_correlations  # noqa: PLC0415 - beside this script

    entries, seen, unused, unnamed = [], set(), set(EXACT), set(SYMBOLS)
    for quantity, value, uncertainty, unit in rows(table):
        name = identifier(quantity)
        if name in seen or not name or name[0].isdigit():
            raise SystemExit(f"the naming rule fails for {quantity!r}: {name!r}")
        seen.add(name)
        if "..." in value:
            exact = EXACT[quantity]
            unused.discard(quantity)
            if not agrees(exact, value):
                raise SystemExit(f"{quantity}: computed {exact} disagrees with the table's {value}")
            stored = float(exact)
        else:
            stored = float(number(value))
        spread = 0.0 if uncertainty == "(exact)" else float(number(uncertainty))
        unnamed.discard(quantity)
        formula = FORMULAS.get(name)
        entries.append(ostrelin.Constant(
            name, stored, unit, spread, "Cached" if formula else "Seed", formula.expression if formula else None,
            description=quantity, symbol=SYMBOLS.get(quantity),
        ))
    if unused:
        raise SystemExit(f"exact values the table no longer truncates: {sorted(unused)}")
    if unnamed:
        raise SystemExit(f"symbols for quantities the table lacks: {sorted(unnamed)}")
    seeds = [{"name": e.name, "description": e.description, "uncertainty": e.uncertainty} for e in entries]
    correlations = seed_correlations(facts, seeds)
    catalogue = ostrelin.Catalogue(entries, source="CODATA 2022", version=2, correlations=correlations)
    text = catalogue.dumps()
    # The catalogue's own description names the source.
    return text.replace('"version": 2,\n', f'"version": 2,\n  "description": "{SOURCE}",\n', 1)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--table", type=Path, help="NIST's allascii.txt (default: SciPy's copy of the 2022 table)")
    parser.add_argument("--facts", type=Path, default=ROOT / "tests" / "data" / "codata-2022-correlations.json",
                        help="NIST's correlation coefficients of the 2022 values (JSON)")
    parser.add_argument("--out", type=Path, default=OUT)
    args = parser.parse_args(argv)
    if args.table is not None:
        table = args.table.read_text(encoding="utf-8")
    else:
        from scipy.constants import _codata  # noqa: PLC0415 - only for the default table

        table = _codata.txt2022
    text = convert(table, json.loads(args.facts.read_text(encoding="utf-8")))
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(text, encoding="utf-8")
    print(f"{args.out}: {text.count(chr(10) + '    {')} entries", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""CODATA 2022 as its least-squares adjustment computes it: seeds, and formulas for everything else.

    python tools/codata_adjustment.py --check [--facts FILE] [--catalogue FILE] [--worst N]

CODATA's recommended values come out of one adjustment. Its outputs are a few dozen adjusted
constants (α, R∞, the relative atomic masses, aₑ, a_μ, m_μ/mₑ, the nuclear radii, the measured
magnetic-moment ratios, the shielding corrections, the silicon and x-ray lengths) with one
covariance matrix; the SI's defining constants are exact; a handful of values (G, G_F, sin²θ_W,
m_τ, the α-particle radius) stand alone. Every other recommended value is a function of those.

`SEEDS` names the catalogue entries that stay inputs, `FORMULAS` gives each of the other entries of
the 2022 catalogue as an expression in ostrelin's formula grammar over other entries. A formula reads
each input in coherent SI (value × its units' scale) and its result has the dimension of the entry's
units, to which it is converted; so a formula for an entry in MeV is an energy, one for an entry in
u is a mass.

Two of the catalogue's units carry a measured value as a fixed scale: `u` (m_u) and `E_h` (the
Hartree energy), both at their CODATA 2022 values. A mass in u is therefore "the mass divided by
that fixed kilogram count", not "divided by m_u", so the formulas for entries in u or E_h divide by
the measured m_u or E_h and multiply by the fixed one (`U_FIXED`, `EH_FIXED` below); the value then
carries the uncertainty of the ratio, as the table's does.

`--check` evaluates every formula with gvar, the seeds correlated as NIST publishes, and compares
values, uncertainties and all pairwise correlations with the table (see `check`). It does not use
ostrelin's evaluator; it takes only the units' scales and dimensions from ostrelin's units module.
"""

from __future__ import annotations

import argparse
import ast
import json
import math
import re
import sys
from collections.abc import Callable, Iterable, Mapping, Sequence
from fractions import Fraction
from pathlib import Path
from typing import Any, Final, NamedTuple

ROOT: Final = Path(__file__).resolve().parents[1]
CATALOGUE: Final = ROOT / "python" / "ostrelin" / "data" / "codata-2022.json"
FACTS: Final = ROOT / "tests" / "data" / "codata-2022-correlations.json"

__all__ = ["FORMULAS", "SEEDS", "Formula", "seed_correlations", "check", "main"]


class Formula(NamedTuple):
    """One derived entry: its expression in the formula grammar and where the relation comes from."""

    expression: str
    source: str


# --- Seeds -------------------------------------------------------------------------------------

#: The entries that stay inputs, each with why it cannot be derived from the others.
SEEDS: Final[dict[str, str]] = {
    # The SI's defining constants.
    "hyperfine_transition_frequency_of_cs_133": "defining constant of the SI (ΔνCs fixes the second)",
    "speed_of_light_in_vacuum": "defining constant of the SI (c fixes the metre)",
    "planck_constant": "defining constant of the SI (h fixes the kilogram)",
    "elementary_charge": "defining constant of the SI (e fixes the ampere)",
    "boltzmann_constant": "defining constant of the SI (k fixes the kelvin)",
    "avogadro_constant": "defining constant of the SI (N_A fixes the mole)",
    "luminous_efficacy": "defining constant of the SI (K_cd fixes the candela)",
    # Exact by convention, not by the SI.
    "conventional_value_of_josephson_constant": "K_J-90, fixed by convention in 1990",
    "conventional_value_of_von_klitzing_constant": "R_K-90, fixed by convention in 1990",
    "standard_acceleration_of_gravity": "g_n, fixed by convention (CGPM 1901)",
    "standard_atmosphere": "1 atm = 101 325 Pa by convention",
    "standard_state_pressure": "1 bar, the standard-state pressure by convention",
    # Adjusted constants of the least-squares adjustment.
    "fine_structure_constant": "adjusted: α, from aₑ, h/m(Cs), h/m(Rb) and the hydrogen energy levels",
    "rydberg_constant": "adjusted: R∞, from hydrogen and deuterium transition frequencies",
    "proton_rms_charge_radius": "adjusted: r_p, with R∞ from H transitions and the muonic-H Lamb shift",
    "deuteron_rms_charge_radius": "adjusted: r_d, with R∞ from D transitions and the muonic-D Lamb shift",
    "electron_relative_atomic_mass": "adjusted: Ar(e), from bound-electron g-factors in ¹²C⁵⁺ and ²⁸Si¹³⁺",
    "proton_relative_atomic_mass": "adjusted: Ar(p), from Penning-trap cyclotron-frequency ratios",
    "neutron_relative_atomic_mass": "adjusted: Ar(n), from the deuteron binding energy and Ar(p), Ar(d)",
    "deuteron_relative_atomic_mass": "adjusted: Ar(d), from Penning-trap cyclotron-frequency ratios",
    "triton_relative_atomic_mass": "adjusted: Ar(t), from Penning-trap cyclotron-frequency ratios",
    "helion_relative_atomic_mass": "adjusted: Ar(h), from Penning-trap cyclotron-frequency ratios",
    "alpha_particle_relative_atomic_mass": "adjusted: Ar(α), from Penning-trap cyclotron-frequency ratios",
    "electron_mag_mom_anomaly": "adjusted: aₑ (its QED expression in α plus an adjusted correction δₑ)",
    "muon_mag_mom_anomaly": "adjusted: a_μ, from the measured muon anomaly (BNL, FNAL)",
    "muon_electron_mass_ratio": "adjusted: m_μ/mₑ, from muonium hyperfine and Zeeman transitions",
    "tau_energy_equivalent": "stands alone: m_τc² in MeV as the PDG gives it",
    "electron_proton_mag_mom_ratio": "adjusted: μₑ/μ_p, from the hydrogen-maser Zeeman measurement",
    "deuteron_electron_mag_mom_ratio": "adjusted: μ_d/μₑ, from the deuterium-maser Zeeman measurement",
    "electron_to_shielded_proton_mag_mom_ratio": "adjusted: μₑ/μ'_p, from the electron and proton in H₂O",
    # Not μ'_h/μ'_p, which 2022 derives: its σ is mostly μ'_p/μ_N's, so the helion family would come
    # out of a cancellation that NIST's five-decimal correlations cannot carry.
    "helion_g_factor": "adjusted: the bare helion's g-factor, measured in ³He⁺ (2022)",
    "helion_shielding_shift": "adjusted: σ_h, the helion's shielding in ³He (theory)",
    "neutron_to_shielded_proton_mag_mom_ratio": "adjusted: μ_n/μ'_p, measured against protons in H₂O",
    "triton_to_proton_mag_mom_ratio": "adjusted: μ_t/μ_p, from the HT molecule with σ_tp",
    "shielding_difference_of_d_and_p_in_hd": "adjusted: σ_dp, the shielding difference in HD (theory)",
    "shielding_difference_of_t_and_p_in_ht": "adjusted: σ_tp, the shielding difference in HT (theory)",
    "lattice_spacing_of_ideal_si_220": "adjusted: d₂₂₀ of ideal silicon, from the crystal lattice data",
    "copper_x_unit": "adjusted: xu(CuKα₁), from λ(CuKα₁)/d₂₂₀ measurements",
    "molybdenum_x_unit": "adjusted: xu(MoKα₁), from λ(MoKα₁)/d₂₂₀ measurements",
    "angstrom_star": "adjusted: Å*, from λ(WKα₁)/d₂₂₀ measurements",
    "alpha_particle_rms_charge_radius": "stands alone: r_α from the muonic-helium Lamb shift",
    "newtonian_constant_of_gravitation": "stands alone: G, the weighted mean of its measurements",
    "fermi_coupling_constant": "stands alone: G_F/(ħc)³ from the muon lifetime (PDG)",
    "weak_mixing_angle": "stands alone: sin²θ_W = 1 - (m_W/m_Z)², on-shell, from the PDG",
}


# --- Formulas ----------------------------------------------------------------------------------

# Formulas are written with short names and the SI units spelled as the SI defines them, then
# expanded: a formula must be dimensionally an entry's units, and "273.15 K" or "1 A" have to be
# built from exact entries. The expansion is plain text substitution of whole words.
_UNITS: Final[dict[str, str]] = {
    # The SI's units, each from the defining constants exactly as the 2019 SI states them.
    "HZ": "(dnuCs / 9192631770)",
    "JOULE": "(hertz_joule_relationship / 6.62607015e-34)",
    "KG": "(kilogram_joule_relationship / c**2)",
    "METRE": "(c / (299792458 * HZ))",
    "COULOMB": "(e / 1.602176634e-19)",
    "AMPERE": "(COULOMB * HZ)",
    "VOLT": "(JOULE / COULOMB)",
    "OHM": "(VOLT / AMPERE)",
    "FARAD": "(COULOMB / VOLT)",
    "HENRY": "(OHM / HZ)",
    "WATT": "(JOULE * HZ)",
    "KELVIN": "(kelvin_joule_relationship / k)",
    # What the catalogue's `u` and `E_h` stand for: CODATA 2022's m_u and E_h as fixed scales.
    "U_FIXED": "(1.66053906892e-27 * KG)",
    "EH_FIXED": "(4.3597447222060e-18 * JOULE)",
}

_ALIASES: Final[dict[str, str]] = {
    "c": "speed_of_light_in_vacuum",
    "h": "planck_constant",
    "hbar": "reduced_planck_constant",
    "e": "elementary_charge",
    "k": "boltzmann_constant",
    "NA": "avogadro_constant",
    "dnuCs": "hyperfine_transition_frequency_of_cs_133",
    "alpha": "fine_structure_constant",
    "Rinf": "rydberg_constant",
    "Eh": "hartree_energy",
    "a0": "bohr_radius",
    "eV": "electron_volt",
    "muB": "bohr_magneton",
    "muN": "nuclear_magneton",
    "me": "electron_mass",
    "mu": "atomic_mass_constant",
    "Mu": "molar_mass_constant",
    "mp": "proton_mass",
    "mn": "neutron_mass",
    "md": "deuteron_mass",
    "mt": "triton_mass",
    "mh": "helion_mass",
    "mal": "alpha_particle_mass",
    "mmu": "muon_mass",
    "mtau": "tau_mass",
    "Are": "electron_relative_atomic_mass",
    "Arp": "proton_relative_atomic_mass",
    "Arn": "neutron_relative_atomic_mass",
    "Ard": "deuteron_relative_atomic_mass",
    "Art": "triton_relative_atomic_mass",
    "Arh": "helion_relative_atomic_mass",
    "Aral": "alpha_particle_relative_atomic_mass",
    "mue": "electron_mag_mom",
    "mup": "proton_mag_mom",
    "mupp": "shielded_proton_mag_mom",
    "mun": "neutron_mag_mom",
    "mud": "deuteron_mag_mom",
    "mut": "triton_mag_mom",
    "muh": "helion_mag_mom",
    "muhp": "shielded_helion_mag_mom",
    "mumu": "muon_mag_mom",
    "KJ90": "conventional_value_of_josephson_constant",
    "RK90": "conventional_value_of_von_klitzing_constant",
    "KJ": "josephson_constant",
    "RK": "von_klitzing_constant",
}

_WORD: Final = re.compile(r"(?<![\w.])[A-Za-z_]\w*")


def _expand(text: str) -> str:
    """`text` with the unit words and short names replaced by catalogue names."""
    for _ in range(8):  # units are built from units; a few rounds reach the bottom
        expanded = _WORD.sub(lambda m: _UNITS.get(m.group(), m.group()), text)
        if expanded == text:
            break
        text = expanded
    return _WORD.sub(lambda m: _ALIASES.get(m.group(), m.group()), text)


# How one of each unit of the conversion relationships reads as an energy, and how an energy reads
# in each of them: "X-Y relationship" is the energy of one X expressed in Y.
_AS_ENERGY: Final[dict[str, str]] = {
    "atomic_mass_unit": "atomic_mass_unit_joule_relationship",
    "electron_volt": "eV",
    "hartree": "Eh",
    "hertz": "hertz_joule_relationship",
    "inverse_meter": "inverse_meter_joule_relationship",
    "joule": "JOULE",
    "kelvin": "kelvin_joule_relationship",
    "kilogram": "kilogram_joule_relationship",
}
_FROM_ENERGY: Final[dict[str, str]] = {
    "atomic_mass_unit": "({}) / (mu * c**2) * U_FIXED",
    "electron_volt": "{}",
    "hartree": "({}) / Eh * EH_FIXED",
    "hertz": "({}) / h",
    "inverse_meter": "({}) / (h * c)",
    "joule": "{}",
    "kelvin": "({}) / k",
    "kilogram": "({}) / c**2",
}
# The energies themselves (the joule, kelvin and kilogram of `_UNITS` are read from them), and the
# relationships whose energy cancels against the divisor.
_RELATIONSHIP_SHORTCUTS: Final[dict[tuple[str, str], str]] = {
    ("hertz", "joule"): "h * HZ",
    ("inverse_meter", "joule"): "h * c / METRE",
    ("kelvin", "joule"): "1.380649e-23 * JOULE",
    ("kilogram", "joule"): "299792458**2 * JOULE",
    ("atomic_mass_unit", "joule"): "mu * c**2",
    ("hertz", "inverse_meter"): "HZ / c",
    ("inverse_meter", "hertz"): "c / METRE",
    ("atomic_mass_unit", "kilogram"): "mu",
}


def _relationships() -> dict[str, tuple[str, str]]:
    found: dict[str, tuple[str, str]] = {}
    for source, energy in _AS_ENERGY.items():
        for target, reading in _FROM_ENERGY.items():
            if source == target:
                continue
            text = _RELATIONSHIP_SHORTCUTS.get((source, target), reading.format(energy))
            found[f"{source}_{target}_relationship"] = (text, "definition: E = mc² = hν = hc/λ = kT")
    return found


# The particles whose relative atomic masses are adjusted, and what their formulas are
# written with.
_WITH_AR: Final = (
    # (entry prefix, mass alias, Ar alias)
    ("electron", "me", "Are"),
    ("proton", "mp", "Arp"),
    ("neutron", "mn", "Arn"),
    ("deuteron", "md", "Ard"),
    ("triton", "mt", "Art"),
    ("helion", "mh", "Arh"),
    ("alpha_particle", "mal", "Aral"),
)
_MASSES: Final[dict[str, str]] = {
    "electron": "me", "proton": "mp", "neutron": "mn", "deuteron": "md", "triton": "mt", "helion": "mh",
    "alpha_particle": "mal", "muon": "mmu", "tau": "mtau",
}  # fmt: skip


def _mass_family() -> dict[str, tuple[str, str]]:
    found: dict[str, tuple[str, str]] = {}
    for prefix, mass, ar in _WITH_AR:
        if prefix != "electron":
            found[f"{prefix}_mass"] = (f"{ar} * mu", "m = Ar m_u")
        found[f"{prefix}_mass_in_u"] = (f"{ar} * U_FIXED", "definition: m in u is Ar")
        found[f"{prefix}_molar_mass"] = (f"{ar} * Mu", "M = Ar M_u")
        found[f"{prefix}_mass_energy_equivalent"] = (f"{mass} * c**2", "E = mc²")
        found[f"{prefix}_mass_energy_equivalent_in_mev"] = (f"{mass} * c**2", "E = mc²")
    for prefix in ("muon", "tau"):
        mass = _MASSES[prefix]
        found[f"{prefix}_mass_in_u"] = (f"{mass} / mu * U_FIXED", "definition: m in u is m/m_u")
        found[f"{prefix}_molar_mass"] = (f"{mass} * NA", "M = m N_A")
    found["muon_mass_energy_equivalent"] = ("mmu * c**2", "E = mc²")
    found["muon_mass_energy_equivalent_in_mev"] = ("mmu * c**2", "E = mc²")
    return found


# Every mass ratio the table lists: those between particles with relative atomic masses are ratios
# of those (m_u cancels exactly), the others ratios of masses.
_MASS_RATIOS: Final = (
    ("alpha_particle", "electron"), ("alpha_particle", "proton"), ("deuteron", "electron"),
    ("deuteron", "proton"), ("electron", "deuteron"), ("electron", "helion"), ("electron", "muon"),
    ("electron", "neutron"), ("electron", "proton"), ("electron", "tau"), ("electron", "triton"),
    ("helion", "electron"), ("helion", "proton"), ("muon", "neutron"), ("muon", "proton"),
    ("muon", "tau"), ("neutron", "electron"), ("neutron", "muon"), ("neutron", "proton"),
    ("neutron", "tau"), ("proton", "electron"), ("proton", "muon"), ("proton", "neutron"),
    ("proton", "tau"), ("tau", "electron"), ("tau", "muon"), ("tau", "neutron"), ("tau", "proton"),
    ("triton", "electron"), ("triton", "proton"),
)  # fmt: skip


def _mass_ratios() -> dict[str, tuple[str, str]]:
    ars = {prefix: ar for prefix, _, ar in _WITH_AR}
    found: dict[str, tuple[str, str]] = {}
    for top, bottom in _MASS_RATIOS:
        name = f"{top}_{bottom}_mass_ratio"
        if top in ars and bottom in ars:
            found[name] = (f"{ars[top]} / {ars[bottom]}", "m_x/m_y = Ar(x)/Ar(y)")
        elif top == "muon" and bottom in ars:
            found[name] = (f"muon_electron_mass_ratio * Are / {ars[bottom]}", "m_μ/m_y = (m_μ/mₑ) Ar(e)/Ar(y)")
        else:
            found[name] = (f"{_MASSES[top]} / {_MASSES[bottom]}", "ratio of masses")
    found["electron_to_alpha_particle_mass_ratio"] = ("Are / Aral", "m_x/m_y = Ar(x)/Ar(y)")
    return found


_COMPTON: Final = {
    "compton_wavelength": ("h / (me * c)", "λ_C = h/(mₑc)"),
    "reduced_compton_wavelength": ("hbar / (me * c)", "ƛ_C = ħ/(mₑc)"),
    "muon_compton_wavelength": ("h / (mmu * c)", "λ_C,μ = h/(m_μc)"),
    "reduced_muon_compton_wavelength": ("hbar / (mmu * c)", "ƛ_C,μ = ħ/(m_μc)"),
    "neutron_compton_wavelength": ("h / (mn * c)", "λ_C,n = h/(m_nc)"),
    "reduced_neutron_compton_wavelength": ("hbar / (mn * c)", "ƛ_C,n = ħ/(m_nc)"),
    "proton_compton_wavelength": ("h / (mp * c)", "λ_C,p = h/(m_pc)"),
    "reduced_proton_compton_wavelength": ("hbar / (mp * c)", "ƛ_C,p = ħ/(m_pc)"),
    "tau_compton_wavelength": ("h / (mtau * c)", "λ_C,τ = h/(m_τc)"),
    "reduced_tau_compton_wavelength": ("hbar / (mtau * c)", "ƛ_C,τ = ħ/(m_τc)"),
}

_WRITTEN: Final[dict[str, tuple[str, str]]] = {
    # Exact: from the defining constants.
    "reduced_planck_constant": ("h / (2 * pi)", "definition: ħ = h/2π"),
    "reduced_planck_constant_in_ev_s": ("hbar", "ħ in eV s"),
    "reduced_planck_constant_times_c_in_mev_fm": ("hbar * c", "ħc"),
    "planck_constant_in_ev_hz": ("h", "h in eV/Hz"),
    "atomic_unit_of_action": ("hbar", "definition: ħ"),
    "natural_unit_of_action": ("hbar", "definition: ħ"),
    "natural_unit_of_action_in_ev_s": ("hbar", "definition: ħ"),
    "atomic_unit_of_charge": ("e", "definition: e"),
    "natural_unit_of_velocity": ("c", "definition: c"),
    "electron_volt": ("1.602176634e-19 * JOULE", "definition: 1 eV = e × 1 V"),
    "boltzmann_constant_in_ev_k": ("k", "k in eV/K"),
    "boltzmann_constant_in_hz_k": ("k / h", "k/h"),
    "boltzmann_constant_in_inverse_meter_per_kelvin": ("k / (h * c)", "k/(hc)"),
    "conductance_quantum": ("2 * e**2 / h", "G₀ = 2e²/h"),
    "inverse_of_conductance_quantum": ("h / (2 * e**2)", "G₀⁻¹ = h/2e²"),
    "von_klitzing_constant": ("h / e**2", "R_K = h/e²"),
    "josephson_constant": ("2 * e / h", "K_J = 2e/h"),
    "mag_flux_quantum": ("h / (2 * e)", "Φ₀ = h/2e"),
    "elementary_charge_over_h_bar": ("e / hbar", "e/ħ"),
    "faraday_constant": ("NA * e", "F = N_A e"),
    "molar_gas_constant": ("NA * k", "R = N_A k"),
    "molar_planck_constant": ("NA * h", "N_A h"),
    "first_radiation_constant": ("2 * pi * h * c**2", "c₁ = 2πhc²"),
    "first_radiation_constant_for_spectral_radiance": ("2 * h * c**2", "c₁L = 2hc²/sr"),
    "second_radiation_constant": ("h * c / k", "c₂ = hc/k"),
    "stefan_boltzmann_constant": ("2 * pi**5 * k**4 / (15 * h**3 * c**2)", "σ = 2π⁵k⁴/(15h³c²)"),
    # x = n(1 - e^-x): x₃ for the frequency form, x₅ for the wavelength form of Wien's law.
    "wien_frequency_displacement_law_constant": ("2.821439372122079 * k / h", "b' = x₃k/h, x₃ = 3(1 - e^-x₃)"),
    "wien_wavelength_displacement_law_constant": ("h * c / (4.965114231744276 * k)", "b = hc/(x₅k), x₅ = 5(1 - e^-x₅)"),
    "molar_volume_of_ideal_gas_273_15_k_100_kpa": (
        "273.15 * NA * kelvin_joule_relationship / standard_state_pressure", "V_m = RT/p, T = 273.15 K, p = 100 kPa"),
    "molar_volume_of_ideal_gas_273_15_k_101_325_kpa": (
        "273.15 * NA * kelvin_joule_relationship / standard_atmosphere", "V_m = RT/p, T = 273.15 K, p = 101.325 kPa"),
    "loschmidt_constant_273_15_k_100_kpa": (
        "standard_state_pressure / (273.15 * kelvin_joule_relationship)", "n₀ = p/(kT), T = 273.15 K, p = 100 kPa"),
    "loschmidt_constant_273_15_k_101_325_kpa": (
        "standard_atmosphere / (273.15 * kelvin_joule_relationship)", "n₀ = p/(kT), T = 273.15 K, p = 101.325 kPa"),
    "conventional_value_of_volt_90": ("KJ90 / KJ * VOLT", "V₉₀ = (K_J-90/K_J) V"),
    "conventional_value_of_ohm_90": ("RK / RK90 * OHM", "Ω₉₀ = (R_K/R_K-90) Ω"),
    "conventional_value_of_ampere_90": ("KJ90 * RK90 / (KJ * RK) * AMPERE", "A₉₀ = V₉₀/Ω₉₀"),
    "conventional_value_of_coulomb_90": ("KJ90 * RK90 / (KJ * RK) * COULOMB", "C₉₀ = A₉₀ s"),
    "conventional_value_of_farad_90": ("RK90 / RK * FARAD", "F₉₀ = (R_K-90/R_K) F"),
    "conventional_value_of_henry_90": ("RK / RK90 * HENRY", "H₉₀ = (R_K/R_K-90) H"),
    "conventional_value_of_watt_90": ("KJ90**2 * RK90 / (KJ**2 * RK) * WATT", "W₉₀ = V₉₀²/Ω₉₀"),
    # The electron and atomic units: from α and R∞.
    "inverse_fine_structure_constant": ("1 / alpha", "definition: α⁻¹"),
    "electron_mass": ("2 * h * Rinf / (c * alpha**2)", "mₑ = 2hR∞/(cα²)"),
    "atomic_unit_of_mass": ("me", "definition: mₑ"),
    "natural_unit_of_mass": ("me", "definition: mₑ"),
    "natural_unit_of_energy": ("me * c**2", "definition: mₑc²"),
    "natural_unit_of_energy_in_mev": ("me * c**2", "definition: mₑc²"),
    "natural_unit_of_momentum": ("me * c", "definition: mₑc"),
    "natural_unit_of_momentum_in_mev_c": ("me * c", "definition: mₑc"),
    "natural_unit_of_length": ("hbar / (me * c)", "definition: ƛ_C = ħ/(mₑc)"),
    "natural_unit_of_time": ("hbar / (me * c**2)", "definition: ħ/(mₑc²)"),
    "atomic_mass_constant": ("me / Are", "m_u = mₑ/Ar(e)"),
    "unified_atomic_mass_unit": ("mu", "definition: 1 u = m_u"),
    "atomic_mass_constant_energy_equivalent": ("mu * c**2", "E = m_u c²"),
    "atomic_mass_constant_energy_equivalent_in_mev": ("mu * c**2", "E = m_u c²"),
    "molar_mass_constant": ("NA * mu", "M_u = N_A m_u"),
    "molar_mass_of_carbon_12": ("12 * Mu", "M(¹²C) = 12 M_u"),
    "hartree_energy": ("2 * Rinf * h * c", "E_h = 2R∞hc"),
    "atomic_unit_of_energy": ("Eh", "definition: E_h"),
    "hartree_energy_in_ev": ("Eh", "E_h in eV"),
    "rydberg_constant_times_c_in_hz": ("Rinf * c", "R∞c"),
    "rydberg_constant_times_hc_in_ev": ("Rinf * h * c", "R∞hc"),
    "rydberg_constant_times_hc_in_j": ("Rinf * h * c", "R∞hc"),
    "bohr_radius": ("alpha / (4 * pi * Rinf)", "a₀ = α/(4πR∞)"),
    "atomic_unit_of_length": ("a0", "definition: a₀"),
    "atomic_unit_of_time": ("hbar / Eh", "definition: ħ/E_h"),
    "atomic_unit_of_velocity": ("alpha * c", "definition: a₀E_h/ħ = αc"),
    "atomic_unit_of_momentum": ("hbar / a0", "definition: ħ/a₀"),
    "atomic_unit_of_force": ("Eh / a0", "definition: E_h/a₀"),
    "atomic_unit_of_current": ("e * Eh / hbar", "definition: eE_h/ħ"),
    "atomic_unit_of_charge_density": ("e / a0**3", "definition: e/a₀³"),
    "atomic_unit_of_electric_potential": ("Eh / e", "definition: E_h/e"),
    "atomic_unit_of_electric_field": ("Eh / (e * a0)", "definition: E_h/(ea₀)"),
    "atomic_unit_of_electric_field_gradient": ("Eh / (e * a0**2)", "definition: E_h/(ea₀²)"),
    "atomic_unit_of_electric_dipole_mom": ("e * a0", "definition: ea₀"),
    "atomic_unit_of_electric_quadrupole_mom": ("e * a0**2", "definition: ea₀²"),
    "atomic_unit_of_electric_polarizability": ("e**2 * a0**2 / Eh", "definition: e²a₀²/E_h"),
    "atomic_unit_of_1st_hyperpolarizability": ("e**3 * a0**3 / Eh**2", "definition: e³a₀³/E_h²"),
    "atomic_unit_of_2nd_hyperpolarizability": ("e**4 * a0**4 / Eh**3", "definition: e⁴a₀⁴/E_h³"),
    "atomic_unit_of_mag_dipole_mom": ("hbar * e / me", "definition: ħe/mₑ"),
    "atomic_unit_of_mag_flux_density": ("hbar / (e * a0**2)", "definition: ħ/(ea₀²)"),
    "atomic_unit_of_magnetizability": ("e**2 * a0**2 / me", "definition: e²a₀²/mₑ"),
    "atomic_unit_of_permittivity": ("e**2 / (a0 * Eh)", "definition: e²/(a₀E_h) = 4πε₀"),
    "vacuum_electric_permittivity": ("e**2 / (2 * alpha * h * c)", "ε₀ = e²/(2αhc)"),
    "vacuum_mag_permeability": ("2 * alpha * h / (e**2 * c)", "μ₀ = 2αh/(e²c)"),
    "characteristic_impedance_of_vacuum": ("2 * alpha * h / e**2", "Z₀ = μ₀c = 2αh/e²"),
    "classical_electron_radius": ("alpha**2 * a0", "rₑ = α²a₀"),
    "thomson_cross_section": ("8 * pi / 3 * classical_electron_radius**2", "σₑ = (8π/3)rₑ²"),
    "quantum_of_circulation": ("h / (2 * me)", "h/(2mₑ)"),
    "quantum_of_circulation_times_2": ("h / me", "h/mₑ"),
    "electron_charge_to_mass_quotient": ("-e / me", "-e/mₑ"),
    "proton_charge_to_mass_quotient": ("e / mp", "e/m_p"),
    # Muon and tau masses: from m_μ/mₑ and m_τc².
    "muon_mass": ("muon_electron_mass_ratio * me", "m_μ = (m_μ/mₑ) mₑ"),
    "tau_mass": ("tau_energy_equivalent / c**2", "m_τ = m_τc²/c²"),
    "tau_mass_energy_equivalent": ("tau_energy_equivalent", "m_τc² in J"),
    "neutron_proton_mass_difference": ("mn - mp", "m_n - m_p"),
    "neutron_proton_mass_difference_energy_equivalent": ("(mn - mp) * c**2", "(m_n - m_p)c²"),
    "neutron_proton_mass_difference_energy_equivalent_in_mev": ("(mn - mp) * c**2", "(m_n - m_p)c²"),
    "neutron_proton_mass_difference_in_u": ("(Arn - Arp) * U_FIXED", "Ar(n) - Ar(p)"),
    # Magnetons.
    "bohr_magneton": ("e * hbar / (2 * me)", "μ_B = eħ/(2mₑ)"),
    "bohr_magneton_in_ev_t": ("muB", "μ_B in eV/T"),
    "bohr_magneton_in_hz_t": ("muB / h", "μ_B/h"),
    "bohr_magneton_in_inverse_meter_per_tesla": ("muB / (h * c)", "μ_B/(hc)"),
    "bohr_magneton_in_k_t": ("muB / k", "μ_B/k"),
    "nuclear_magneton": ("e * hbar / (2 * mp)", "μ_N = eħ/(2m_p)"),
    "nuclear_magneton_in_ev_t": ("muN", "μ_N in eV/T"),
    "nuclear_magneton_in_mhz_t": ("muN / h", "μ_N/h"),
    "nuclear_magneton_in_inverse_meter_per_tesla": ("muN / (h * c)", "μ_N/(hc)"),
    "nuclear_magneton_in_k_t": ("muN / k", "μ_N/k"),
    # Electron and muon moments: from their anomalies.
    "electron_g_factor": ("-2 * (1 + electron_mag_mom_anomaly)", "gₑ = -2(1 + aₑ)"),
    "electron_mag_mom_to_bohr_magneton_ratio": ("-(1 + electron_mag_mom_anomaly)", "μₑ/μ_B = gₑ/2"),
    "electron_mag_mom": ("electron_mag_mom_to_bohr_magneton_ratio * muB", "μₑ = (gₑ/2)μ_B"),
    "electron_mag_mom_to_nuclear_magneton_ratio": ("mue / muN", "μₑ/μ_N"),
    "electron_gyromag_ratio": ("-2 * mue / hbar", "γₑ = 2|μₑ|/ħ"),
    "electron_gyromag_ratio_in_mhz_t": ("-2 * mue / hbar / (2 * pi)", "γₑ/2π"),
    "muon_g_factor": ("-2 * (1 + muon_mag_mom_anomaly)", "g_μ = -2(1 + a_μ)"),
    "muon_mag_mom": ("-(1 + muon_mag_mom_anomaly) * e * hbar / (2 * mmu)", "μ_μ = (g_μ/2) eħ/(2m_μ)"),
    "muon_mag_mom_to_bohr_magneton_ratio": ("mumu / muB", "μ_μ/μ_B"),
    "muon_mag_mom_to_nuclear_magneton_ratio": ("mumu / muN", "μ_μ/μ_N"),
    "electron_muon_mag_mom_ratio": ("mue / mumu", "μₑ/μ_μ"),
    "muon_proton_mag_mom_ratio": ("mumu / mup", "μ_μ/μ_p"),
    # Proton and the nuclei: from the measured moment ratios.
    "proton_mag_mom": ("mue / electron_proton_mag_mom_ratio", "μ_p = μₑ/(μₑ/μ_p)"),
    "proton_mag_mom_to_bohr_magneton_ratio": ("mup / muB", "μ_p/μ_B"),
    "proton_mag_mom_to_nuclear_magneton_ratio": ("mup / muN", "μ_p/μ_N"),
    "proton_g_factor": ("2 * mup / muN", "g_p = 2μ_p/μ_N"),
    "proton_gyromag_ratio": ("2 * mup / hbar", "γ_p = 2μ_p/ħ"),
    "proton_gyromag_ratio_in_mhz_t": ("2 * mup / hbar / (2 * pi)", "γ_p/2π"),
    "shielded_proton_mag_mom": ("mue / electron_to_shielded_proton_mag_mom_ratio", "μ'_p = μₑ/(μₑ/μ'_p)"),
    "proton_mag_shielding_correction": ("1 - mupp / mup", "σ'_p = 1 - μ'_p/μ_p"),
    "shielded_proton_mag_mom_to_bohr_magneton_ratio": ("mupp / muB", "μ'_p/μ_B"),
    "shielded_proton_mag_mom_to_nuclear_magneton_ratio": ("mupp / muN", "μ'_p/μ_N"),
    "shielded_proton_gyromag_ratio": ("2 * mupp / hbar", "γ'_p = 2μ'_p/ħ"),
    "shielded_proton_gyromag_ratio_in_mhz_t": ("2 * mupp / hbar / (2 * pi)", "γ'_p/2π"),
    "neutron_mag_mom": ("neutron_to_shielded_proton_mag_mom_ratio * mupp", "μ_n = (μ_n/μ'_p)μ'_p"),
    "neutron_g_factor": ("2 * mun / muN", "g_n = 2μ_n/μ_N"),
    "neutron_mag_mom_to_bohr_magneton_ratio": ("mun / muB", "μ_n/μ_B"),
    "neutron_mag_mom_to_nuclear_magneton_ratio": ("mun / muN", "μ_n/μ_N"),
    "neutron_gyromag_ratio": ("-2 * mun / hbar", "γ_n = 2|μ_n|/ħ"),
    "neutron_gyromag_ratio_in_mhz_t": ("-2 * mun / hbar / (2 * pi)", "γ_n/2π"),
    "neutron_electron_mag_mom_ratio": ("mun / mue", "μ_n/μₑ"),
    "electron_neutron_mag_mom_ratio": ("mue / mun", "μₑ/μ_n"),
    "neutron_proton_mag_mom_ratio": ("mun / mup", "μ_n/μ_p"),
    "proton_neutron_mag_mom_ratio": ("mup / mun", "μ_p/μ_n"),
    "deuteron_mag_mom": ("deuteron_electron_mag_mom_ratio * mue", "μ_d = (μ_d/μₑ)μₑ"),
    "deuteron_g_factor": ("mud / muN", "g_d = μ_d/(μ_N I), I = 1"),
    "deuteron_mag_mom_to_bohr_magneton_ratio": ("mud / muB", "μ_d/μ_B"),
    "deuteron_mag_mom_to_nuclear_magneton_ratio": ("mud / muN", "μ_d/μ_N"),
    "electron_deuteron_mag_mom_ratio": ("mue / mud", "μₑ/μ_d"),
    "deuteron_proton_mag_mom_ratio": ("mud / mup", "μ_d/μ_p"),
    "deuteron_neutron_mag_mom_ratio": ("mud / mun", "μ_d/μ_n"),
    "triton_mag_mom": ("triton_to_proton_mag_mom_ratio * mup", "μ_t = (μ_t/μ_p)μ_p"),
    "triton_g_factor": ("2 * mut / muN", "g_t = 2μ_t/μ_N"),
    "triton_mag_mom_to_bohr_magneton_ratio": ("mut / muB", "μ_t/μ_B"),
    "triton_mag_mom_to_nuclear_magneton_ratio": ("mut / muN", "μ_t/μ_N"),
    "helion_mag_mom": ("helion_g_factor / 2 * muN", "μ_h = (g_h/2)μ_N"),
    "helion_mag_mom_to_bohr_magneton_ratio": ("muh / muB", "μ_h/μ_B"),
    "helion_mag_mom_to_nuclear_magneton_ratio": ("muh / muN", "μ_h/μ_N"),
    "shielded_helion_mag_mom": ("muh * (1 - helion_shielding_shift)", "μ'_h = μ_h(1 - σ_h)"),
    "shielded_helion_mag_mom_to_bohr_magneton_ratio": ("muhp / muB", "μ'_h/μ_B"),
    "shielded_helion_mag_mom_to_nuclear_magneton_ratio": ("muhp / muN", "μ'_h/μ_N"),
    "shielded_helion_gyromag_ratio": ("-2 * muhp / hbar", "γ'_h = 2|μ'_h|/ħ"),
    "shielded_helion_gyromag_ratio_in_mhz_t": ("-2 * muhp / hbar / (2 * pi)", "γ'_h/2π"),
    "shielded_helion_to_proton_mag_mom_ratio": ("muhp / mup", "μ'_h/μ_p"),
    "shielded_helion_to_shielded_proton_mag_mom_ratio": ("muhp / mupp", "μ'_h/μ'_p"),
    "electron_to_shielded_helion_mag_mom_ratio": ("mue / muhp", "μₑ/μ'_h"),
    # Gravitation and the Planck units.
    "newtonian_constant_of_gravitation_over_h_bar_c": ("newtonian_constant_of_gravitation / (hbar * c)", "G/(ħc)"),
    "planck_mass": ("sqrt(hbar * c / newtonian_constant_of_gravitation)", "m_P = (ħc/G)^½"),
    "planck_mass_energy_equivalent_in_gev": ("planck_mass * c**2", "m_Pc²"),
    "planck_temperature": ("planck_mass * c**2 / k", "T_P = m_Pc²/k"),
    "planck_length": ("sqrt(hbar * newtonian_constant_of_gravitation / c**3)", "l_P = (ħG/c³)^½"),
    "planck_time": ("planck_length / c", "t_P = l_P/c"),
    # Electroweak.
    "w_to_z_mass_ratio": ("sqrt(1 - weak_mixing_angle)", "sin²θ_W = 1 - (m_W/m_Z)²"),
    # Silicon.
    "lattice_parameter_of_silicon": ("sqrt(8) * lattice_spacing_of_ideal_si_220", "a = √8 d₂₂₀"),
    "molar_volume_of_silicon": ("NA * lattice_parameter_of_silicon**3 / 8", "V_m(Si) = N_A a³/8"),
    # Thermal: the Sackur-Tetrode constant at T₁ = 1 K.
    "sackur_tetrode_constant_1_k_100_kpa": (
        "5 / 2 + log((mu * kelvin_joule_relationship / (2 * pi * hbar**2))**(3 / 2)"
        " * kelvin_joule_relationship / standard_state_pressure)",
        "S₀/R = 5/2 + ln[(m_u kT₁/2πħ²)^{3/2} kT₁/p₀], p₀ = 100 kPa"),
    "sackur_tetrode_constant_1_k_101_325_kpa": (
        "5 / 2 + log((mu * kelvin_joule_relationship / (2 * pi * hbar**2))**(3 / 2)"
        " * kelvin_joule_relationship / standard_atmosphere)",
        "S₀/R = 5/2 + ln[(m_u kT₁/2πħ²)^{3/2} kT₁/p₀], p₀ = 101.325 kPa"),
}


def _formulas() -> dict[str, Formula]:
    parts = (_relationships(), _mass_family(), _mass_ratios(), _COMPTON, _WRITTEN)
    found: dict[str, Formula] = {}
    for group in parts:
        for name, (text, source) in group.items():
            found[name] = Formula(_expand(text), source)
    for name in SEEDS:
        found.pop(name, None)
    return dict(sorted(found.items()))


#: Every non-seed entry of the 2022 catalogue: its expression over other entries and its source.
FORMULAS: Final[dict[str, Formula]] = _formulas()


# --- The seeds' correlations -------------------------------------------------------------------


def _load(path: Path) -> Any:
    with path.open(encoding="utf-8") as handle:
        return json.load(handle)


def _names_by_quantity(constants: Iterable[Mapping[str, Any]]) -> dict[str, str]:
    """The catalogue name of each NIST quantity (the catalogue keeps NIST's text as description)."""
    return {entry["description"]: entry["name"] for entry in constants}


def _correlation_pairs(facts: Mapping[str, Any], constants: Iterable[Mapping[str, Any]]) -> dict[tuple[str, str], float]:
    """NIST's correlation of every listed pair, keyed by both orders of catalogue names."""
    names = _names_by_quantity(constants)
    quantities = [names[q["quantity"]] for q in facts["quantities"]]
    pairs: dict[tuple[str, str], float] = {}
    for i, j, r in facts["pairs"]:
        pairs[quantities[i], quantities[j]] = pairs[quantities[j], quantities[i]] = float(r)
    return pairs


def seed_correlations(
    facts: Mapping[str, Any], constants: Sequence[Mapping[str, Any]]
) -> list[tuple[str, str, float]]:
    """NIST's nonzero correlations among the seeds that carry an uncertainty, each pair once, in
    catalogue order: what a catalogue of these seeds lists as its correlations."""
    pairs = _correlation_pairs(facts, constants)
    order = [entry["name"] for entry in constants if entry["name"] in SEEDS and entry["uncertainty"] > 0]
    found = []
    for at, a in enumerate(order):
        for b in order[at + 1 :]:
            r = pairs.get((a, b), 0.0)
            if r != 0.0:
                found.append((a, b, r))
    return found


# --- Evaluation --------------------------------------------------------------------------------

_BINARY: Final[dict[type, Callable[[Any, Any], Any]]] = {
    ast.Add: lambda a, b: a + b, ast.Sub: lambda a, b: a - b, ast.Mult: lambda a, b: a * b,
    ast.Div: lambda a, b: a / b, ast.Pow: lambda a, b: a**b,
}  # fmt: skip
_GRAMMAR_FUNCTIONS: Final = (
    "sqrt", "exp", "log", "log10", "sin", "cos", "tan", "asin", "acos", "atan", "sinh", "cosh", "tanh",
)  # fmt: skip


def _names_in(expression: str) -> list[str]:
    tree = ast.parse(expression, mode="eval")
    called = {id(node.func) for node in ast.walk(tree) if isinstance(node, ast.Call)}
    return sorted({node.id for node in ast.walk(tree)
                   if isinstance(node, ast.Name) and node.id != "pi" and id(node) not in called})


def _evaluate(expression: str, load: Callable[[str], Any], functions: Mapping[str, Callable[[Any], Any]],
              pi: Any) -> Any:
    """`expression` (the formula grammar is a subset of Python's expressions) over `load`'s values."""

    def walk(node: ast.AST) -> Any:
        if isinstance(node, ast.Expression):
            return walk(node.body)
        if isinstance(node, ast.Constant) and isinstance(node.value, (int, float)):
            return float(node.value)
        if isinstance(node, ast.Name):
            return pi if node.id == "pi" else load(node.id)
        if isinstance(node, ast.UnaryOp) and isinstance(node.op, ast.USub):
            return -walk(node.operand)
        if isinstance(node, ast.BinOp) and type(node.op) in _BINARY:
            return _BINARY[type(node.op)](walk(node.left), walk(node.right))
        if (isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and node.func.id in functions
                and len(node.args) == 1 and not node.keywords):
            return functions[node.func.id](walk(node.args[0]))
        raise ValueError(f"`{ast.unparse(node)}` is outside the formula grammar")

    return walk(ast.parse(expression, mode="eval"))


class _Dimension:
    """A dimension as exponents of the SI base units, with the value when it is a constant number
    (an exponent must be one)."""

    def __init__(self, exponents: tuple[Fraction, ...], constant: float | None = None) -> None:
        self.exponents = exponents
        self.constant = constant

    @staticmethod
    def _none(width: int) -> tuple[Fraction, ...]:
        return (Fraction(0),) * width

    def _number(self, other: _Dimension | float) -> _Dimension:
        return other if isinstance(other, _Dimension) else _Dimension(self._none(len(self.exponents)), other)

    def _same(self, other: _Dimension | float, sign: str) -> _Dimension:
        o = self._number(other)
        if o.exponents != self.exponents:
            raise ValueError(f"`{sign}` joins different dimensions")
        value = None if self.constant is None or o.constant is None else (
            self.constant + o.constant if sign == "+" else self.constant - o.constant)
        return _Dimension(self.exponents, value)

    def __add__(self, other: _Dimension | float) -> _Dimension:
        return self._same(other, "+")

    def __radd__(self, other: float) -> _Dimension:
        return self._number(other)._same(self, "+")

    def __sub__(self, other: _Dimension | float) -> _Dimension:
        return self._same(other, "-")

    def __rsub__(self, other: float) -> _Dimension:
        return self._number(other)._same(self, "-")

    def _product(self, other: _Dimension | float, power: int) -> _Dimension:
        o = self._number(other)
        exponents = tuple(a + power * b for a, b in zip(self.exponents, o.exponents))
        value = None
        if self.constant is not None and o.constant is not None:
            value = self.constant * o.constant if power == 1 else self.constant / o.constant
        return _Dimension(exponents, value)

    def __mul__(self, other: _Dimension | float) -> _Dimension:
        return self._product(other, 1)

    def __rmul__(self, other: float) -> _Dimension:
        return self._number(other)._product(self, 1)

    def __truediv__(self, other: _Dimension | float) -> _Dimension:
        return self._product(other, -1)

    def __rtruediv__(self, other: float) -> _Dimension:
        return self._number(other)._product(self, -1)

    def __pow__(self, other: _Dimension | float) -> _Dimension:
        o = self._number(other)
        if any(o.exponents) or o.constant is None:
            raise ValueError("`**` needs a constant dimensionless exponent")
        power = Fraction(o.constant).limit_denominator(1000)
        value = None if self.constant is None else self.constant**o.constant
        return _Dimension(tuple(a * power for a in self.exponents), value)

    def __rpow__(self, other: float) -> _Dimension:
        return self._number(other) ** self

    def __neg__(self) -> _Dimension:
        return _Dimension(self.exponents, None if self.constant is None else -self.constant)

    def called(self, function: str) -> _Dimension:
        # As the catalogue reads a call: sqrt halves the exponents, the others need none; neither
        # result counts as a constant.
        if function == "sqrt":
            return _Dimension(tuple(a / 2 for a in self.exponents))
        if any(self.exponents):
            raise ValueError(f"`{function}` needs a dimensionless argument")
        return _Dimension(self.exponents)


class _Units(NamedTuple):
    scale: float
    exponents: tuple[Fraction, ...]


def _units_reader() -> Callable[[str], _Units]:
    # The scales and dimensions are ostrelin's own, so that "reads in coherent SI" means what the
    # catalogue means by it; nothing else of ostrelin is used.
    sys.path.insert(0, str(ROOT / "python"))
    from ostrelin._units import _parsed, units_of  # noqa: PLC0415

    def read(text: str) -> _Units:
        return _Units(units_of(text).scale, tuple(_parsed(text).dimension))

    return read


def _ordered(formulas: Mapping[str, Formula]) -> list[str]:
    """The formula entries, each after every formula it reads (refuses a cycle)."""
    done: dict[str, bool] = {}
    order: list[str] = []

    def visit(name: str, path: tuple[str, ...]) -> None:
        if done.get(name):
            return
        if name in path:
            raise ValueError("formula cycle: " + " → ".join((*path, name)))
        for used in _names_in(formulas[name].expression):
            if used in formulas:
                visit(used, (*path, name))
        done[name] = True
        order.append(name)

    for name in formulas:
        visit(name, ())
    return order


# --- The check ---------------------------------------------------------------------------------


def _ulps(a: float, b: float) -> float:
    return abs(a - b) / math.ulp(b) if b else abs(a) / math.ulp(0.0)


def _rounding(sigma: float) -> float:
    """How far, relatively, the σ that NIST prints to two digits may be from the one it rounds."""
    return 0.05 * 10.0 ** math.floor(math.log10(sigma)) / sigma


def _rounding_reach(
    derived: Any, table_sigma: float, seeded: Sequence[Any], sigma: Any, correlation: Any, seeds: Sequence[str]
) -> tuple[float, float, str]:
    """How far the rounding of the printed σ may move σ derived/σ table: the table's own rounding,
    the seeds' (to first order: ∂ln σ/∂ln σᵢ times each seed's rounding), and the seed that counts most."""
    import numpy as np  # noqa: PLC0415

    contribution = np.asarray(derived.deriv(list(seeded))) * sigma
    variance = contribution @ correlation @ contribution
    share = contribution * (correlation @ contribution) / variance
    reach = np.abs(share) * np.array([_rounding(s) for s in sigma])
    return _rounding(table_sigma), float(reach.sum()), seeds[int(np.argmax(reach))]


def check(facts_path: Path = FACTS, catalogue_path: Path = CATALOGUE, worst: int = 15) -> bool:
    """Prints how the seeds and formulas reproduce the table and NIST's correlations; True when every
    goal holds."""
    import gvar as gv  # type: ignore[import-untyped]  # noqa: PLC0415
    import numpy as np  # noqa: PLC0415

    facts = _load(facts_path)
    constants: list[dict[str, Any]] = _load(catalogue_path)["constants"]
    entries = {entry["name"]: entry for entry in constants}
    ok = True

    # Every entry is exactly one of seed or formula, and formulas read only entries.
    missing = sorted(set(entries) - set(SEEDS) - set(FORMULAS))
    extra = sorted((set(SEEDS) | set(FORMULAS)) - set(entries))
    both = sorted(set(SEEDS) & set(FORMULAS))
    unknown = sorted({u for f in FORMULAS.values() for u in _names_in(f.expression)} - set(entries))
    for label, names in (("neither seed nor formula", missing), ("not in the catalogue", extra),
                         ("both seed and formula", both), ("read but unknown", unknown)):
        if names:
            print(f"{label}: {', '.join(names)}")
            ok = False
    if not ok:
        return False
    order = _ordered(FORMULAS)

    read_units = _units_reader()
    units = {name: read_units(entry["units"]) for name, entry in entries.items()}
    exact = {name for name, entry in entries.items() if entry["uncertainty"] == 0}

    # Dimensions: each formula must give its entry's units' dimension.
    dims: dict[str, _Dimension] = {name: _Dimension(units[name].exponents) for name in SEEDS}
    width = len(next(iter(units.values())).exponents)
    number = _Dimension((Fraction(0),) * width)
    dim_functions = {
        f: (lambda x, f=f: (x if isinstance(x, _Dimension) else number).called(f)) for f in _GRAMMAR_FUNCTIONS
    }
    for name in order:
        got = _evaluate(FORMULAS[name].expression, dims.__getitem__, dim_functions,
                        _Dimension((Fraction(0),) * width, math.pi))
        got = got if isinstance(got, _Dimension) else _Dimension((Fraction(0),) * width, got)
        if got.exponents != units[name].exponents:
            print(f"dimension: {name} gives {got.exponents}, its units `{entries[name]['units']}` are "
                  f"{units[name].exponents}")
            ok = False
        dims[name] = _Dimension(units[name].exponents)

    # The seeds, in coherent SI, correlated as NIST publishes them.
    pairs = _correlation_pairs(facts, constants)
    uncertain_seeds = [name for name in entries if name in SEEDS and name not in exact]
    n = len(uncertain_seeds)
    correlation = np.eye(n)
    for a in range(n):
        for b in range(a + 1, n):
            correlation[a, b] = correlation[b, a] = pairs.get((uncertain_seeds[a], uncertain_seeds[b]), 0.0)
    eigenvalues = np.linalg.eigvalsh(correlation)
    print(f"seeds: {len(SEEDS)} ({n} with an uncertainty, {len(SEEDS) - n} exact)")
    print(f"seed correlation block: {n}x{n}, smallest eigenvalue {eigenvalues.min():.6g} "
          f"({'positive definite' if eigenvalues.min() > 0 else 'NOT positive definite'})")
    if eigenvalues.min() < 0:
        ok = False
    sigma = np.array([entries[s]["uncertainty"] * units[s].scale for s in uncertain_seeds])
    means = [entries[s]["value"] * units[s].scale for s in uncertain_seeds]
    seeded = gv.gvar(means, correlation * np.outer(sigma, sigma))
    values: dict[str, Any] = dict(zip(uncertain_seeds, seeded))
    plain: dict[str, float] = {}
    for name in SEEDS:
        if name in exact:
            values[name] = plain[name] = entries[name]["value"] * units[name].scale
    gv_functions = {f: getattr(gv, f, None) or getattr(np, f) for f in _GRAMMAR_FUNCTIONS}
    float_functions = {f: getattr(math, f) for f in _GRAMMAR_FUNCTIONS}
    for name in order:
        expression = FORMULAS[name].expression
        values[name] = _evaluate(expression, values.__getitem__, gv_functions, math.pi)
        if name in exact:
            # Exact entries in plain doubles, as the catalogue computes them.
            plain[name] = _evaluate(expression, plain.__getitem__, float_functions, math.pi)

    # Exact entries: within 4 ulp of the table.
    print(f"\nexact formula entries: {sum(1 for f in FORMULAS if f in exact)}")
    far, largest = [], (0.0, "")
    for name in FORMULAS:
        if name in exact:
            got = plain[name] / units[name].scale
            ulps = _ulps(got, entries[name]["value"])
            largest = max(largest, (ulps, name))
            if ulps > 4:
                far.append((ulps, name, got))
    print(f"  beyond 4 ulp: {len(far)}; largest {largest[0]:.0f} ulp ({largest[1]})")
    for ulps, name, got in sorted(far, reverse=True):
        print(f"    {name}: {got!r} vs {entries[name]['value']!r} ({ulps:.0f} ulp)")
    ok &= not far

    # Non-exact formula entries: value and uncertainty against the table.
    derived = [name for name in FORMULAS if name not in exact]
    print(f"\nnon-exact formula entries: {len(derived)}")
    deviations, ratios = [], []
    for name in derived:
        got = values[name] / units[name].scale
        table_value, table_sigma = entries[name]["value"], entries[name]["uncertainty"]
        deviations.append((abs(gv.mean(got) - table_value) / table_sigma, name))
        ratios.append((gv.sdev(got) / table_sigma, name))
    dev = np.array([d for d, _ in deviations])
    print(f"  |derived - table|/σ: max {dev.max():.3f}, > 0.1: {(dev > 0.1).sum()}, > 0.2: {(dev > 0.2).sum()}")
    for d, name in sorted(deviations, reverse=True)[:5]:
        print(f"    {d:.3f}  {name}")
    ok &= bool(dev.max() <= 0.2)
    ratio = np.array([r for r, _ in ratios])
    inside = ((ratio >= 0.95) & (ratio <= 1.05)).mean()
    print(f"  σ derived/σ table: {inside:.1%} within [0.95, 1.05], min {ratio.min():.4f}, max {ratio.max():.4f}")
    for r, name in sorted(ratios):
        if not 0.95 <= r <= 1.05:
            table_sigma = entries[name]["uncertainty"]
            own, seeds_part, seed = _rounding_reach(values[name], table_sigma, seeded, sigma, correlation, uncertain_seeds)
            seeds_text = f"the seeds' ±{seeds_part:.1%}, most from {seed}'s"
            why = ("within the two-digit rounding of σ" if abs(r - 1) <= own + seeds_part
                   else "NOT explained by the rounding of σ")
            print(f"    {r:.4f}  {name}: {r * table_sigma:.4g} vs {table_sigma:.2g} — {why}: the table's own "
                  f"±{own:.1%}, {seeds_text}")
    ok &= bool(inside >= 0.9 and ratio.min() >= 0.9 and ratio.max() <= 1.1)

    # Every pair of non-exact values against NIST's correlation.
    uncertain = [name for name in entries if name not in exact]
    matrix = gv.evalcorr([values[name] for name in uncertain])
    published = np.eye(len(uncertain))
    for a in range(len(uncertain)):
        for b in range(a + 1, len(uncertain)):
            published[a, b] = published[b, a] = pairs.get((uncertain[a], uncertain[b]), 0.0)
    upper = np.triu_indices(len(uncertain), 1)
    gap = np.abs(matrix - published)[upper]
    print(f"\ncorrelations: {gap.size} pairs of {len(uncertain)} non-exact values")
    for edge in (1e-5, 1e-4, 1e-3, 5e-3, 1e-2, 2e-2):
        print(f"  |Δr| <= {edge:g}: {(gap <= edge).mean():.4%} ({(gap <= edge).sum()})")
    print(f"  |Δr| > 0.02: {(gap > 0.02).sum()}; max {gap.max():.5f}")
    for at in np.argsort(gap)[::-1][:worst]:
        a, b = upper[0][at], upper[1][at]
        print(f"    {gap[at]:.5f}  {uncertain[a]} ~ {uncertain[b]}: ours {matrix[a, b]:+.5f}, "
              f"NIST {published[a, b]:+.5f}")
    ok &= bool((gap <= 0.01).mean() >= 0.99 and gap.max() <= 0.02)

    # Lyman-α through mₑ: 4/(3R∞) with R∞ = α²mₑc/(2h) keeps R∞'s σ only if mₑ and α correlate right.
    c, h = plain["speed_of_light_in_vacuum"], plain["planck_constant"]
    lyman = 4 / (3 * values["fine_structure_constant"] ** 2 * values["electron_mass"] * c / (2 * h))
    print(f"\nLyman-α 4/(3R∞) through mₑ: {lyman} m, σ {gv.sdev(lyman):.4g} m "
          f"(ratio to 1.33e-19: {gv.sdev(lyman) / 1.33e-19:.4f})")
    ok &= bool(abs(gv.sdev(lyman) / 1.33e-19 - 1) <= 0.05)
    print(f"\nnon-exact seeds: {n}")
    print("every goal met" if ok else "some goal NOT met")
    return ok


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true", help="compare with the table and NIST's correlations")
    parser.add_argument("--facts", type=Path, default=FACTS, help="NIST's correlation coefficients (JSON)")
    parser.add_argument("--catalogue", type=Path, default=CATALOGUE, help="the CODATA catalogue (JSON)")
    parser.add_argument("--worst", type=int, default=15, help="how many of the worst pairs to list")
    args = parser.parse_args(argv)
    if not args.check:
        for name, reason in SEEDS.items():
            print(f"seed    {name}: {reason}")
        for name, formula in FORMULAS.items():
            print(f"formula {name} = {formula.expression}    [{formula.source}]")
        return 0
    return 0 if check(args.facts, args.catalogue, args.worst) else 1


if __name__ == "__main__":
    sys.exit(main())

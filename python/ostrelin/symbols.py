"""The CODATA 2022 constants physicists type every day, by their symbols, as scipy.constants and
astropy.constants users write them: ``from ostrelin.symbols import c, hbar, m_e``.

Each is the `Constant` that ``ostrelin.codata[symbol]`` gives (value, units, uncertainty), read with
`ostrelin.codata` on first use; ``float(m_e)`` is its value. The same symbols work in `ostrelin.codata`'s
lookups and in the formulas of a catalogue built over it.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from ._records import Constant

if TYPE_CHECKING:
    a_0: Constant  # bohr_radius
    alpha: Constant  # fine_structure_constant
    atm: Constant  # standard_atmosphere
    b_wien: Constant  # wien_wavelength_displacement_law_constant
    c: Constant  # speed_of_light_in_vacuum
    e: Constant  # elementary_charge
    E_h: Constant  # hartree_energy
    epsilon_0: Constant  # vacuum_electric_permittivity
    eV: Constant  # electron_volt
    F: Constant  # faraday_constant
    G: Constant  # newtonian_constant_of_gravitation
    g: Constant  # standard_acceleration_of_gravity
    G_0: Constant  # conductance_quantum
    g_e: Constant  # electron_g_factor
    G_F: Constant  # fermi_coupling_constant
    h: Constant  # planck_constant
    hbar: Constant  # reduced_planck_constant
    k: Constant  # boltzmann_constant
    K_J: Constant  # josephson_constant
    l_P: Constant  # planck_length
    lambda_C: Constant  # compton_wavelength
    m_d: Constant  # deuteron_mass
    m_e: Constant  # electron_mass
    m_mu: Constant  # muon_mass
    m_n: Constant  # neutron_mass
    m_P: Constant  # planck_mass
    m_p: Constant  # proton_mass
    m_tau: Constant  # tau_mass
    m_u: Constant  # atomic_mass_constant
    mu_0: Constant  # vacuum_mag_permeability
    mu_B: Constant  # bohr_magneton
    mu_e: Constant  # electron_mag_mom
    mu_N: Constant  # nuclear_magneton
    mu_p: Constant  # proton_mag_mom
    N_A: Constant  # avogadro_constant
    Phi_0: Constant  # mag_flux_quantum
    R: Constant  # molar_gas_constant
    r_e: Constant  # classical_electron_radius
    R_inf: Constant  # rydberg_constant
    R_K: Constant  # von_klitzing_constant
    sigma: Constant  # stefan_boltzmann_constant
    sigma_T: Constant  # thomson_cross_section
    t_P: Constant  # planck_time
    Z_0: Constant  # characteristic_impedance_of_vacuum

__all__ = ["a_0", "alpha", "atm", "b_wien", "c", "e", "E_h", "epsilon_0", "eV", "F", "G", "g", "G_0", "g_e", "G_F", "h", "hbar", "k", "K_J", "l_P", "lambda_C", "m_d", "m_e", "m_mu", "m_n", "m_P", "m_p", "m_tau", "m_u", "mu_0", "mu_B", "mu_e", "mu_N", "mu_p", "N_A", "Phi_0", "R", "r_e", "R_inf", "R_K", "sigma", "sigma_T", "t_P", "Z_0"]


def __getattr__(symbol: str) -> Constant:
    if symbol not in __all__:
        raise AttributeError(f"module 'ostrelin.symbols' has no attribute {symbol!r}")
    from . import codata  # noqa: PLC0415 - read on first use, as the package does

    return codata[symbol]


def __dir__() -> list[str]:
    return list(__all__)

import subprocess
import sys

import pytest

import ostrelin._veldra_core as core


@pytest.fixture(scope="session")
def panic_type():
    """The PanicException class, caught from a call that always raises it."""
    try:
        core.py_get_constant("")
    except BaseException as exc:  # noqa: BLE001 - that is the point
        return type(exc)
    raise AssertionError("py_get_constant('') did not raise")


def run_python(code, *args, env=None):
    """Runs `code` in a fresh interpreter of the same venv; returns the process."""
    return subprocess.run(
        [sys.executable, *args, "-c", code], capture_output=True, text=True, env=env, timeout=120
    )


def run_module(module, *args):
    """Runs `python -m module args…` in the same venv; returns the process."""
    return subprocess.run(
        [sys.executable, "-m", module, *args], capture_output=True, text=True, timeout=120
    )


CATALOGUE = {
    # name: (value, units, status, expression, dependencies)
    "b3": (24.0, "dimensionless", "Seed", None, []),
    "chi_eff": (72.0, "dimensionless", "Seed", None, []),
    "n_gen": (3.0, "count", "Seed", None, []),
    "roots_total": (288.0, "count", "Seed", None, []),
    "visible_sector": (125.0, "count", "Seed", None, []),
    "sterile_sector": (163.0, "count", "Seed", None, []),
    "phi": (1.618033988749895, "dimensionless", "Seed", None, []),
    "gamma_em": (0.5772156649015329, "dimensionless", "Seed", None, []),
    "jc_constant": (153.0, "count", "Seed", None, []),
    "logic_closure": (288.0, "count", "Seed", None, []),
    "v_higgs_mev": (0.0, "MeV", "Pending", "246220", []),
    "sterile_check": (0.0, "count", "Pending", "roots_total - visible_sector", ["roots_total", "visible_sector"]),
    "n_gen_sq": (0.0, "count", "Pending", "n_gen * n_gen", ["n_gen"]),
    "h0_central": (0.0, "km/s/Mpc", "Pending", "70", []),
    "w0_central": (0.0, "dimensionless", "Pending", "-1", []),
    "m_tau_mev": (0.0, "MeV", "Pending", "1776.86", []),
    "topo_gen_check": (0.0, "count", "Pending", "chi_eff / b3", ["chi_eff", "b3"]),
}

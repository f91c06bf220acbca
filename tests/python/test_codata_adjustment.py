"""CODATA 2022 as its least-squares adjustment: 44 seeds and 311 formulas, checked in both twins against
the table, against NIST's published correlation coefficients, and against gvar evaluating the same
formulas over the same correlated seeds."""

import json
import math
import sys
from pathlib import Path

import numpy as np
import pytest

gvar = pytest.importorskip("gvar")

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools"))
import codata_adjustment as adjustment  # noqa: E402

NIST = json.loads((ROOT / "tests" / "data" / "codata-2022-correlations.json").read_text(encoding="utf-8"))


def formulas(codata):
    return [name for name, entry in codata.items() if entry.status == "Cached"]


def uncertain(codata, names=None):
    return [name for name in (names or codata.names()) if codata[name].uncertainty]


def correlation_matrix(codata, names):
    covariance = np.array(codata.covariance_matrix(names))
    sigma = np.sqrt(np.diag(covariance))
    return covariance / np.outer(sigma, sigma)


def test_the_seeds_are_the_adjustments_and_everything_else_is_a_formula(api):
    codata = api.codata
    seeds = {name for name, entry in codata.items() if entry.status == "Seed"}
    assert seeds == set(adjustment.SEEDS) and len(seeds) == 44
    assert len(uncertain(codata, sorted(seeds))) == 32 and len(formulas(codata)) == 311 == len(codata) - 44
    assert all(codata[name].expression for name in formulas(codata))
    assert all(codata[name].expression is None for name in seeds)
    listed = json.loads(codata.dumps()).get("correlations", [])
    assert listed and {name for a, b, _ in listed for name in (a, b)} <= set(uncertain(codata, sorted(seeds)))


def test_every_formula_entry_reproduces_the_table(api):
    codata = api.codata
    far, ratios = [], {}
    for name in formulas(codata):
        table, derived = codata[name], codata.derived(name)
        if table.uncertainty == 0:
            if abs(derived.value - table.value) > 4 * math.ulp(table.value) or derived.uncertainty != 0:
                far.append((name, derived.value, table.value, derived.uncertainty))
            continue
        if abs(derived.value - table.value) > 0.2 * table.uncertainty:
            far.append((name, derived.value, table.value, table.uncertainty))
        ratios[name] = derived.uncertainty / table.uncertainty
    assert not far
    assert len(ratios) == 242
    outside = {name: r for name, r in ratios.items() if not 0.9 <= r <= 1.1}
    assert not outside
    assert sum(0.95 <= r <= 1.05 for r in ratios.values()) >= 0.9 * len(ratios)


def test_correlations_are_nists_published_coefficients(api):
    codata = api.codata
    by_quantity = {entry.description: name for name, entry in codata.items()}
    position = {by_quantity[q["quantity"]]: at for at, q in enumerate(NIST["quantities"])}
    published = np.eye(len(position))
    for i, j, r in NIST["pairs"]:
        published[i, j] = published[j, i] = r
    names = uncertain(codata)
    at = [position[name] for name in names]
    upper = np.triu_indices(len(names), 1)
    gap = np.abs(correlation_matrix(codata, names) - published[np.ix_(at, at)])[upper]
    assert gap.size == 37401
    worst = int(np.argmax(gap))
    assert gap.max() <= 0.02, (names[upper[0][worst]], names[upper[1][worst]], gap.max())
    assert (gap <= 0.01).mean() >= 0.99


def gvar_values(codata, scale):
    """Every entry in coherent SI, the seeds correlated as the catalogue lists, the formulas in gvar."""
    seeds = uncertain(codata, [name for name, entry in codata.items() if entry.status == "Seed"])
    index = {name: i for i, name in enumerate(seeds)}
    sigma = np.array([codata[name].uncertainty * scale(codata[name].units) for name in seeds])
    correlation = np.eye(len(seeds))
    for a, b, r in json.loads(codata.dumps()).get("correlations", []):
        correlation[index[a], index[b]] = correlation[index[b], index[a]] = r
    means = [codata[name].value * scale(codata[name].units) for name in seeds]
    values = dict(zip(seeds, gvar.gvar(means, correlation * np.outer(sigma, sigma))))
    values.update({name: entry.value * scale(entry.units) for name, entry in codata.items()
                   if entry.status == "Seed" and name not in values})
    functions = {f: getattr(gvar, f, None) or getattr(np, f) for f in adjustment._GRAMMAR_FUNCTIONS}
    cached = {name: codata[name] for name in formulas(codata)}
    for name in adjustment._ordered(cached):
        values[name] = adjustment._evaluate(cached[name].expression, values.__getitem__, functions, math.pi)
    return {name: value / scale(codata[name].units) for name, value in values.items()}


def test_propagation_is_gvars(api):
    codata = api.codata
    values = gvar_values(codata, lambda units: api.parse_units(units).scale)
    for name in formulas(codata):
        derived, oracle = codata.derived(name), values[name]
        assert derived.value == pytest.approx(gvar.mean(oracle), rel=1e-13), name
        assert derived.uncertainty == pytest.approx(gvar.sdev(oracle), rel=1e-9, abs=0), name
    names = uncertain(codata)
    gap = np.abs(correlation_matrix(codata, names) - gvar.evalcorr([values[name] for name in names]))
    assert gap.max() <= 1e-9


LYMAN = {
    "format": "ostrelin-catalogue",
    "version": 2,
    "constants": [
        {"name": "lyman_alpha", "units": "m",
         "expression": "4 / 3 * planck_constant * speed_of_light_in_vacuum / rydberg_energy"},
        {"name": "rydberg_energy", "units": "J",
         "expression": "fine_structure_constant ** 2 * electron_mass * speed_of_light_in_vacuum ** 2 / 2"},
    ],
}


def test_lyman_alpha_through_the_electron_mass_keeps_the_rydbergs_uncertainty(api):
    # mₑ = 2hR∞/(cα²): α cancels exactly, so λ = 4/(3R∞) with R∞'s 1.1e-12 relative σ (1.33e-19 m);
    # taking α and mₑ as independent would give 5.2e-17 m.
    lyman = api.loads(json.dumps(LYMAN), base=api.codata).derived("lyman_alpha")
    assert lyman.uncertainty == pytest.approx(1.33e-19, rel=0.05)
    assert lyman.value == pytest.approx(4 / (3 * api.codata["rydberg_constant"].value), rel=1e-13, abs=0)

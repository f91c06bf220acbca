"""CODATA 2022 in ostrelin against the tables SciPy and astropy ship, formulas over it with `base`, and
uncertainty budgets against the `uncertainties` package, in both twins."""

import math
from importlib import resources

import pytest
import uncertainties
from astropy import constants as astropy_constants
from astropy.constants import codata2022 as astropy_codata
from scipy.constants import _codata as scipy_codata
from uncertainties import umath

from catalogue_cases import doc, formula, seed

# The few quantities astropy names otherwise than CODATA does.
ASTROPY_NAMES = {
    "Gravitational constant": "Newtonian constant of gravitation", "Avogadro's number": "Avogadro constant",
    "Gas constant": "molar gas constant", "Electron charge": "elementary charge",
    "Vacuum magnetic permeability": "vacuum mag. permeability", "Atomic mass": "atomic mass constant",
    "Thomson scattering cross-section": "Thomson cross section",
}


def by_quantity(codata):
    return {entry.description: entry for entry in codata.values()}


def close(ours, theirs, ulps=4):
    """Equal, or for an exact value computed another way, within a few units in the last place."""
    return abs(ours - theirs) <= ulps * math.ulp(theirs)


def test_every_entry_is_scipys_codata_2022(api):
    quantities = by_quantity(api.codata)
    # SciPy's own reading of the 2022 table: its public physical_constants
    # still gives two natural units of momentum their 2014 values.
    scipy_2022 = scipy_codata._physical_constants_2022
    table = [line[:60].strip() for line in scipy_codata.txt2022.splitlines()]
    assert len(api.codata) == len(table) == len(scipy_2022) == 355 and sorted(quantities) == sorted(table)
    for quantity in table:
        value, unit, uncertainty = scipy_2022[quantity]
        entry = quantities[quantity]
        # A value CODATA computes from others is a formula, stored with the table's value.
        status = "Seed" if entry.expression is None else "Cached"
        assert (entry.units, entry.uncertainty, entry.status) == (unit, uncertainty, status), quantity
        assert entry.value == value or (uncertainty == 0.0 and close(entry.value, value)), quantity
        assert entry.name.isascii() and entry.name.replace("_", "").isalnum() and entry.name.islower()
    assert api.codata.find("electron mass")[:3] == ["alpha_particle_electron_mass_ratio",
                                                    "deuteron_electron_mass_ratio", "electron_mass"]
    assert "CODATA 2022" in api.codata.description and "NIST" in api.codata.description


def test_astropys_codata_2022_constants_are_ours(api):
    quantities = {name.casefold(): entry for name, entry in by_quantity(api.codata).items()}
    compared = 0
    for constant in vars(astropy_codata).values():
        if not isinstance(constant, astropy_constants.Constant) or constant.system not in (None, "si"):
            continue
        entry = quantities[ASTROPY_NAMES.get(constant.name, constant.name).casefold()]
        assert close(entry.value, constant.value) and entry.uncertainty == constant.uncertainty, constant.name
        compared += 1
    assert compared >= 20


def derivations(api):
    data = resources.files("ostrelin").joinpath("data/codata-2022-derivations.json").read_bytes()
    return api.loads(data, base=api.codata, source="derivations")


def test_the_derivations_recompute_what_codata_tabulates(api):
    cat = derivations(api)
    formulas = [name for name in cat.names() if name not in api.codata]
    assert len(formulas) >= 25 and all(name.startswith("derived_") and cat[name].expression for name in formulas)
    for name in formulas:
        derived, tabulated = cat.derived(name), api.codata[name.removeprefix("derived_")]
        if tabulated.uncertainty:
            # Through the adjustment's correlated inputs, the table's own uncertainty comes back; its
            # two printed digits and the inputs' move the ratio by a few per cent.
            assert 0.9 <= derived.uncertainty / tabulated.uncertainty <= 1.1, name
            assert abs(derived.value - tabulated.value) <= 0.2 * tabulated.uncertainty, name
        else:
            assert close(derived.value, tabulated.value), name


def test_a_name_of_the_base_cannot_be_taken_again(api):
    base = api.loads(doc(seed("a", 2.0, uncertainty=0.5)))
    with pytest.raises(api.CatalogueError) as info:
        api.loads(doc(seed("b"), seed("a")), base=base)
    assert info.value.__notes__ == ["entry 1 (`a`): duplicate name, first in the base catalogue"]
    over = api.Catalogue([api.Constant("f", 0.0, "", None, "Pending", "a ** 2", ())], base=base)
    assert (over.names(), over.derived("f").uncertainty, over["a"] is base["a"]) == (["a", "f"], 2.0, True)
    assert api.loads(over.dumps()) == over
    with pytest.raises(TypeError, match="base must be a Catalogue, not dict"):
        api.loads(doc(), base={})


SEEDS = {"x": (1.5, 0.01), "y": (2.0, 0.02), "z": (3.0, 0.0), "w": (0.5, None), "v": (4.0, 0.03)}
BUDGETS = ["x * y", "x ** 2 * y / v", "sqrt(x) + exp(y) - z * v", "g * x", "g + h", "x - x"]


@pytest.mark.parametrize("expression", BUDGETS)
def test_budgets_are_the_uncertainties_packages_error_components(api, expression):
    cat = api.loads(doc(*(seed(n, v, uncertainty=s) for n, (v, s) in SEEDS.items()),
                        formula("g", "x * y + w"), formula("h", "g * v"), formula("f", expression)))
    variables = {n: uncertainties.ufloat(v, s, tag=n) if s else v for n, (v, s) in SEEDS.items()}
    scope = {"sqrt": umath.sqrt, "exp": umath.exp, **variables}
    scope["g"] = eval("x * y + w", scope)
    scope["h"] = eval("g * v", scope)
    expected = {variable.tag: share for variable, share in eval(expression, scope).error_components().items()}
    budget = cat.budget("f")
    assert [name for name, _ in budget] == sorted(expected, key=lambda n: (-expected[n], n))
    for name, share in budget:
        assert share == pytest.approx(expected[name], rel=1e-12)
    assert math.sqrt(sum(share**2 for _, share in budget)) == pytest.approx(cat.derived("f").uncertainty, rel=1e-14)
    assert cat.budget("x") == [("x", 0.01)] and cat.budget("z") == cat.budget("w") == []


def test_a_catalogue_over_bases_answers_as_the_same_entries_in_one(api, tmp_path):
    seeds = [seed(n, v, uncertainty=s) for n, (v, s) in SEEDS.items()] + [seed("zero", 0.0)]
    middle = [formula("g", "x * y + w"), formula("h", "g * v"), formula("bad", "x / zero")]
    top = [formula("f", "h * x - g"), formula("worse", "bad + 1"), formula("k", "f * zero")]
    path = tmp_path / "top.json"
    path.write_text(doc(*top), encoding="utf-8")
    stacked = api.load(path, base=api.loads(doc(*middle), base=api.loads(doc(*seeds))))
    flat = api.loads(doc(*seeds, *middle, *top))

    def answers(cat, name):
        outcomes = []
        for call in (cat.derive, cat.derived, cat.budget):
            try:
                outcomes.append(call(name))
            except api.DerivationError as exc:
                outcomes.append(str(exc))
        return outcomes

    assert stacked == flat and stacked.names() == flat.names() and stacked.find("o") == flat.find("o")
    for name in flat.names():
        assert answers(stacked, name) == answers(flat, name), name


def test_a_catalogue_over_codata_saves_only_its_own_entries(api, tmp_path):
    cat = derivations(api)
    text = cat.dumps(base=False)
    again = api.loads(text, base=api.codata, source="derivations")
    assert again == cat and again.dumps(base=False) == text and len(api.loads(text, base=api.codata)) == len(cat)
    assert '"electron_mass"' not in text and api.codata.dumps(base=False) == api.codata.dumps()
    path = tmp_path / "mine.json"
    cat.dump(path, base=False)
    assert path.read_text(encoding="utf-8") == text
    with pytest.raises(TypeError):
        cat.dumps(False)  # keyword only, as False alone reads as nothing
    # A misspelt name in a formula gets the hint a lookup gives.
    with pytest.raises(api.CatalogueError) as raised:
        api.loads(doc(formula("E", "electron_mas * 2")), base=api.codata)
    assert raised.value.__notes__ == ["did you mean 'electron_mass'?"]

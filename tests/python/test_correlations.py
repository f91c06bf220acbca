"""Correlated seeds (format version 2): what a catalogue accepts, and first-order propagation through any
depth of formulas, in both twins, against gvar and uncertainties as oracles."""

import json
import math

import pytest

gvar = pytest.importorskip("gvar")
uncertainties = pytest.importorskip("uncertainties")


def text(entries, correlations=None, version=2):
    top = {"format": "ostrelin-catalogue", "version": version, "constants": entries}
    if correlations is not None:
        top["correlations"] = correlations
    return json.dumps(top)


def seed(name, value, sigma=None):
    return {"name": name, "units": "", "value": value, "uncertainty": sigma}


def formula(name, expression):
    return {"name": name, "units": "", "expression": expression}


SEEDS = {"x": (1.5, 0.1), "y": (2.0, 0.2), "z": (0.7, 0.05), "w": (3.0, 0.3), "e": (4.0, 0.0)}
CORRELATIONS = [["x", "y", 0.6], ["y", "z", -0.4], ["w", "x", 0.25]]
FORMULAS = {
    "s": "x + y", "d": "x - y", "p": "x * y / z", "q": "sqrt(p) + exp(z) * w", "r": "q - 2 * p + e * x",
    "n": "-(s * d) / (1 + z ** 2)",
}


def catalogue(api):
    entries = [seed(n, v, s) for n, (v, s) in SEEDS.items()] + [formula(n, f) for n, f in FORMULAS.items()]
    return api.loads(text(entries, CORRELATIONS))


def gvar_scope():
    """The same seeds in gvar, correlated alike, and the formulas evaluated over them."""
    names = [n for n, (_, s) in SEEDS.items() if s]
    index = {n: i for i, n in enumerate(names)}
    cov = [[(SEEDS[a][1] ** 2 if a == b else 0.0) for b in names] for a in names]
    for a, b, r in CORRELATIONS:
        cov[index[a]][index[b]] = cov[index[b]][index[a]] = r * SEEDS[a][1] * SEEDS[b][1]
    values = gvar.gvar([SEEDS[n][0] for n in names], cov)
    scope = {"sqrt": gvar.sqrt, "exp": gvar.exp, "e": SEEDS["e"][0], **dict(zip(names, values))}
    for name, expression in FORMULAS.items():
        scope[name] = eval(expression, scope)  # noqa: S307 - the test's own formulas
    return scope


ENTRIES = ["x", "y", "z", "w", *FORMULAS]


def test_uncertainties_and_covariances_are_gvars(api):
    cat, scope = catalogue(api), gvar_scope()
    for name in ENTRIES:
        assert cat.derived(name).uncertainty == pytest.approx(scope[name].sdev, rel=1e-12), name
    matrix = cat.covariance_matrix(ENTRIES)
    expected = gvar.evalcov([scope[n] for n in ENTRIES])
    correlations = gvar.evalcorr([scope[n] for n in ENTRIES])
    for i, a in enumerate(ENTRIES):
        for j, b in enumerate(ENTRIES):
            assert matrix[i][j] == matrix[j][i]
            assert matrix[i][j] == pytest.approx(expected[i][j], rel=1e-12, abs=1e-15), (a, b)
            assert cat.covariance(a, b) == pytest.approx(expected[i][j], rel=1e-12, abs=1e-15), (a, b)
            assert cat.correlation(a, b) == pytest.approx(correlations[i][j], rel=1e-12, abs=1e-13), (a, b)
    # An exact value and a value with no uncertainty correlate with nothing.
    assert (cat.correlation("e", "x"), cat.covariance("e", "e"), cat.correlation("x", "x")) == (0.0, 0.0, 1.0)


def test_the_budget_adds_the_correlations_part(api):
    cat, scope = catalogue(api), gvar_scope()
    for name in FORMULAS:
        budget = cat.budget(name)
        seeds, last = budget[:-1], budget[-1]
        assert last[0] == "", name
        # Each seed's part is |∂f/∂x| σ, as gvar's derivative gives it; the correlations' item's square, with
        # its sign, makes up σ² exactly.
        derivative = {n: abs(float(scope[name].deriv(scope[n]))) * SEEDS[n][1] for n, _ in seeds}
        for seed_name, share in seeds:
            assert share == pytest.approx(derivative[seed_name], rel=1e-12), (name, seed_name)
        parts = sum(share * share for _, share in seeds) + math.copysign(last[1] ** 2, last[1])
        assert parts == pytest.approx(cat.derived(name).uncertainty ** 2, rel=1e-12), name
    # Without correlations the budget is as it was: each seed's error component, as uncertainties gives it.
    plain = api.loads(text([seed("x", 1.5, 0.1), seed("y", 2.0, 0.2), formula("p", "x * y")]))
    x, y = uncertainties.ufloat(1.5, 0.1, tag="x"), uncertainties.ufloat(2.0, 0.2, tag="y")
    components = {v.tag: c for v, c in (x * y).error_components().items()}
    assert plain.budget("p") == sorted(components.items(), key=lambda item: -item[1])


def test_a_seed_correlated_at_one_is_a_second_name():
    # With r = 1 the pair moves as one: x - y has no uncertainty left, whatever the twin.
    import ostrelin

    cat = ostrelin.loads(text([seed("x", 2.0, 0.1), seed("y", 3.0, 0.1), formula("d", "x - y"),
                               formula("s", "x + y")], [["x", "y", 1.0]]))
    assert (cat.derived("d").uncertainty, cat.derived("s").uncertainty) == (0.0, pytest.approx(0.2, rel=1e-15))
    assert cat.correlation("x", "y") == 1.0 and cat.correlation("s", "x") == pytest.approx(1.0, rel=1e-15)


def test_correlations_round_trip_and_build_from_records(api):
    cat = catalogue(api)
    again = api.loads(cat.dumps())
    assert again.dumps() == cat.dumps() and again.covariance("q", "n") == cat.covariance("q", "n")
    records = [api.Constant(n, v, "", s) for n, (v, s) in SEEDS.items()]
    built = api.Catalogue(records, version=2, correlations=[tuple(c) for c in CORRELATIONS])
    assert built.covariance("x", "y") == cat.covariance("x", "y") == pytest.approx(0.6 * 0.1 * 0.2)
    # A catalogue over it correlates its own seeds only; its formulas reach the base's correlations.
    over = api.loads(text([seed("t", 1.0, 0.1), formula("m", "x + y + t")], [["t", "t2", 0.5]] * 0), base=built)
    assert over.derived("m").uncertainty == pytest.approx(math.sqrt(0.01 + 0.04 + 2 * 0.6 * 0.02 + 0.01), rel=1e-12)
    assert api.loads(over.dumps(base=False), base=built).dumps() == over.dumps()


# (correlations, the note); the catalogue is SEEDS with p = x * y / z, over nothing.
REFUSED = [
    ([["x", "y", 1.5]], "correlation 0: r must be between -1 and 1"),
    ([["x", "y", -1.0000001]], "correlation 0: r must be between -1 and 1"),
    ([["x", "y"]], "correlation 0 must be an array of two names and a number"),
    ([["x", "y", "0.5"]], "correlation 0 must be an array of two names and a number"),
    ([["x", "y", True]], "correlation 0 must be an array of two names and a number"),
    (["x"], "correlation 0 must be an array of two names and a number"),
    ([["x", "y", 0.5], ["x", "q", 0.1]], "correlation 1: `q` is not in the catalogue"),
    ([["x", "p", 0.1]], "correlation 0: `p` is a formula; only seeds are correlated"),
    ([["x", "u", 0.1]], "correlation 0: `u` has no uncertainty"),
    ([["x", "x", 0.1]], "correlation 0 correlates `x` with itself"),
    ([["x", "y", 0.1], ["y", "x", 0.2]], "correlation 1: `y` and `x` are correlated at correlation 0 already"),
    ([["x", "y", 1.0], ["y", "z", 1.0], ["x", "z", -1.0]],
     "the correlations among `x`, `y`, `z` are not positive semi-definite"),
    ([["w", "e", 0.0], ["x", "y", 0.9], ["y", "z", 0.9], ["x", "z", -0.5]],
     "the correlations among `x`, `y`, `z` are not positive semi-definite"),
]


@pytest.mark.parametrize(("correlations", "note"), REFUSED)
def test_correlations_that_make_no_covariance_are_refused(api, correlations, note):
    entries = [seed(n, v, s) for n, (v, s) in SEEDS.items()] + [seed("u", 1.0), formula("p", "x * y / z")]
    with pytest.raises(api.CatalogueError) as caught:
        api.loads(text(entries, correlations))
    assert (str(caught.value), caught.value.__notes__) == ("invalid correlations in `<string>`", [note])


@pytest.mark.parametrize(("make", "error", "words"), [
    (lambda api: api.loads(text([seed("x", 1.0, 0.1)], [], version=1)), "CatalogueError",
     "top-level field `correlations` needs version 2"),
    (lambda api: api.loads(text([seed("x", 1.0, 0.1)], {"x": 1})), "CatalogueError",
     "`correlations` must be an array, not an object"),
    (lambda api: api.Catalogue([], version=2, correlations={}), "TypeError", "correlations must be a list or tuple, not dict"),
    (lambda api: api.Catalogue([api.Constant("x", 1.0, "", 0.1)], version=2, correlations=[("x", "x2", float("nan"))]),
     "CatalogueError", "correlation 0: r must be between -1 and 1"),
])
def test_the_correlations_field_itself(api, make, error, words):
    with pytest.raises(Exception) as caught:  # noqa: PT011 - the type is compared by name below
        make(api)
    assert type(caught.value).__name__ == error
    assert words in str(caught.value) + "".join(getattr(caught.value, "__notes__", []))


def test_a_correlation_into_the_base_is_refused(api):
    base = api.loads(text([seed("x", 1.0, 0.1), seed("y", 2.0, 0.1)]))
    with pytest.raises(api.CatalogueError) as caught:
        api.loads(text([seed("t", 1.0, 0.1)], [["t", "x", 0.5]]), base=base)
    assert caught.value.__notes__ == ["correlation 0: `x` is in the base catalogue, whose correlations are its own"]


def test_a_long_chain_of_correlated_seeds_loads(api):
    # The check factors only what the correlations fill: a chain costs its length, not its cube (a dense
    # factorisation of 30,000 seeds would need 7 GB).
    n = 30000
    entries = [seed(f"s{i}", 1.0, 0.1) for i in range(n)] + [formula("f", "s0 + s1 + s2")]
    cat = api.loads(text(entries, [[f"s{i}", f"s{i + 1}", 0.4] for i in range(n - 1)]))
    assert cat.derived("f").uncertainty == pytest.approx(0.1 * math.sqrt(3 + 2 * (0.4 + 0.4)), rel=1e-12)
    with pytest.raises(api.CatalogueError):
        api.loads(text(entries, [*([f"s{i}", f"s{i + 1}", 0.9] for i in range(n - 1)), ["s0", "s2", -0.9]]))


def test_overflowing_correlated_parts_are_refused_alike(api):
    # Four seeds whose correlated parts come first and overflow to -inf: a variance past a double either way.
    big = 6.32e153
    entries = [seed(n, 1.0, big) for n in "abcd"] + [formula("f", "a + b + c + d")]
    pairs = [["a", "c", -1.0], ["a", "d", -1.0], ["b", "c", -1.0], ["b", "d", -1.0], ["a", "b", 1.0], ["c", "d", 1.0]]
    cat = api.loads(text(entries, pairs))
    for call in (cat.derived, cat.budget, lambda n: cat.covariance(n, "a"), lambda n: cat.covariance_matrix([n])):
        with pytest.raises(api.DerivationError, match="the uncertainty of `f` is too large for a double"):
            call("f")
    # A spread whose square no double holds has no correlation coefficient: NaN, not a clamped -1.
    huge = api.loads(text([seed("h", 1.0, 1e200)]))
    assert math.isnan(huge.correlation("h", "h")) and huge.covariance("h", "h") == math.inf


def test_the_records_arguments_are_read_as_stored(api):
    class Shifty(list):
        def __iter__(self):
            return iter([("x", "y", 2.0)])

    records = [api.Constant("x", 1.0, "", 0.1), api.Constant("y", 1.0, "", 0.1), api.Constant("s", 0.0, "", expression="x + y")]
    cat = api.Catalogue(records, version=2, correlations=Shifty([("x", "y", 0.5)]))
    assert cat.derived("s").uncertainty == pytest.approx(math.sqrt(0.03), rel=1e-12)
    # The correlations' type is checked before the declared units are read.
    with pytest.raises(TypeError, match="correlations must be a list or tuple, not int"):
        api.Catalogue([], version=2, units={"x": "bogus_unit_zz"}, correlations=5)


def test_semi_definiteness_is_numpys_away_from_the_edge(api):
    # numpy's eigenvalues as the oracle on random sparse correlation matrices: clearly positive or clearly
    # negative ones must be accepted or refused; the few within 1e-6 of the edge are left out.
    numpy = pytest.importorskip("numpy")
    rng = numpy.random.default_rng(2026)
    decided = 0
    for _ in range(300):
        n = int(rng.integers(2, 9))
        names = [f"s{i}" for i in range(n)]
        matrix = numpy.eye(n)
        pairs = []
        for i, j in {tuple(sorted(rng.choice(n, 2, replace=False))) for _ in range(int(rng.integers(1, 2 * n)))}:
            r = float(rng.choice([1.0, -1.0, 0.5, -0.7, rng.uniform(-1, 1)]))
            matrix[i, j] = matrix[j, i] = r
            pairs.append([names[i], names[j], r])
        lowest = numpy.linalg.eigvalsh(matrix).min()
        if abs(lowest) < 1e-6:
            continue
        decided += 1
        entries = [seed(name, 1.0, 0.1) for name in names]
        if lowest > 0:
            api.loads(text(entries, pairs))
        else:
            with pytest.raises(api.CatalogueError, match="invalid correlations"):
                api.loads(text(entries, pairs))
    assert decided > 200

"""Catalogue.evaluate: a formula over arrays of its seeds' values, in both twins.

The oracle for each element is `derived` itself on a catalogue rebuilt with that element's seeds (their
correlations dropped); test_derive and test_correlations hold `derived` to Python's arithmetic, the
`uncertainties` package and gvar. The `uncertainties` package checks the propagation here too, from
outside, and `math` the rules for NaN and infinite inputs.
"""

import json
import math
import re

import numpy as np
import pytest
import uncertainties
from hypothesis import assume, given, settings
from hypothesis import strategies as st
from uncertainties import umath

from conftest import NATIVE_MODULES, run_python

FUNCTIONS = ["sqrt", "exp", "log", "log10", "sin", "cos", "tan", "asin", "acos", "atan", "sinh", "cosh", "tanh"]


def entry(name, value=None, sigma=None, expression=None, **fields):
    made = {"name": name, "units": "", **fields}
    if expression is None:
        made |= {"value": value, "uncertainty": sigma}
    else:
        made["expression"] = expression
    return made


def text(entries, correlations=()):
    return json.dumps({"format": "ostrelin-catalogue", "version": 2, "constants": entries,
                       "correlations": [list(c) for c in correlations]})


def chain(api, texts):
    """The catalogue of the last text, over those of the texts before it."""
    catalogue = None
    for each in texts:
        catalogue = api.loads(each, base=catalogue)
    return catalogue


def rebuilt(api, texts, seeds):
    """The catalogue `evaluate` stands for at one element: `seeds` ({name: (value, σ or None)}) hold those
    values, and none of their correlations is left."""
    edited = []
    for each in texts:
        document = json.loads(each)
        for item in document["constants"]:
            if item["name"] in seeds:
                item["value"], item["uncertainty"] = seeds[item["name"]]
        document["correlations"] = [c for c in document.get("correlations", []) if not {c[0], c[1]} & set(seeds)]
        edited.append(json.dumps(document))
    return chain(api, edited)


def scalar(api, catalogue, name):
    """What derived(name) gives, as evaluate(errors="nan") reports it: (value, σ, the problem's words or None)."""
    try:
        derived = catalogue.derived(name)
    except api.DerivationError as problem:
        words = problem.args[0]
        propagation = words.startswith(("cannot propagate", "the uncertainty of"))
        return (catalogue.derive(name) if propagation else math.nan), math.nan, words
    return derived.value, derived.uncertainty, None


def same(got, expected):
    """Equal bits, NaN as NaN."""
    return float(got).hex() == float(expected).hex()


def check_elements(api, texts, name, values, sigmas=None):
    """evaluate(name) over 1-d arrays, element by element against derived() on the rebuilt catalogue, bit for bit,
    with errors="nan"; then errors="raise" raises for the first element that has a problem, or gives the same."""
    catalogue = chain(api, texts)
    sigmas = sigmas or {}
    found = catalogue.evaluate(name, values, uncertainties=sigmas, errors="nan")
    canonical = {key: catalogue[key].name for key in [*values, *sigmas]}
    first = None
    for i in range(len(found.value)):
        seeds = {canonical[k]: (float(v[i]), None) for k, v in values.items()}
        for key, sigma in sigmas.items():
            seeds[canonical[key]] = (seeds[canonical[key]][0], float(sigma[i]))
        value, sigma, problem = scalar(api, rebuilt(api, texts, seeds), name)
        assert same(found.value[i], value), (i, seeds, found.value[i], value, problem)
        if found.uncertainty is None:
            assert sigma is None or problem is not None, (i, seeds)
        else:
            assert sigma is not None, (i, seeds)
            assert same(found.uncertainty[i], sigma), (i, seeds, found.uncertainty[i], sigma)
        if problem is not None and first is None:
            first = f"{problem} at index {i}"
    if first is None:
        again = catalogue.evaluate(name, values, uncertainties=sigmas)
        assert np.array_equal(again.value, found.value, equal_nan=True)
    else:
        with pytest.raises(api.DerivationError) as raised:
            catalogue.evaluate(name, values, uncertainties=sigmas)
        assert raised.value.args == (first,)
    return found


# ---------------------------------------------------------------- each element is derived()'s

# A base with correlated seeds (`a` also by its symbol) and an exact one, a formula over them, and a
# catalogue over it whose formula uses that one: random formulas give derived()'s bits, faults and words at
# every element (each function is libm's in both, element by element).
BASE_SEEDS = [entry("a", 1.25, 0.01, symbol="alpha"), entry("b", -0.5, 0.02), entry("c", 3.0), entry("e", 2.0, 0.0)]
INPUTS = [0.0, 1.0, -1.0, 2.0, 0.5, -0.75, 3.0, 1e-3, 1e154, -1e200, 1e-200]
SIGMAS = [0.0, 0.01, 0.1, 2.0, 1e160]


def formulas(leaves):
    def grow(inner):
        pair = st.tuples(inner, st.sampled_from(["+", "-", "*", "/", "**"]), inner).map(
            lambda t: f"({t[0]} {t[1]} {t[2]})")
        call = st.tuples(st.sampled_from(FUNCTIONS), inner).map(lambda t: f"{t[0]}({t[1]})")
        return st.one_of(pair, call, inner.map(lambda e: f"({e}) ** 2"), inner.map(lambda e: f"-{e}"))
    return st.recursive(st.sampled_from(leaves), grow, max_leaves=7)


def reached(catalogue, name):
    seen, work = set(), [name]
    while work:
        record = catalogue[work.pop()]
        if record.name not in seen:
            seen.add(record.name)
            work += record.dependencies
    return seen


@settings(max_examples=60, deadline=None)
@given(inner=formulas(["a", "b", "c", "e", "2", "0.5"]), outer=formulas(["g", "g", "d", "alpha", "c", "1.5"]),
       data=st.data())
def test_each_element_is_what_derived_gives_on_the_catalogue_of_its_seeds(api, inner, outer, data):
    texts = [text([*BASE_SEEDS, entry("g", expression=inner)], [("a", "b", 0.4)]),
             text([entry("d", 0.75, 0.03), entry("f", expression=outer)])]
    catalogue = chain(api, texts)
    name = data.draw(st.sampled_from(["f", "g"]))
    seeds = sorted(n for n in reached(catalogue, name) if catalogue[n].expression is None)
    assume(seeds)
    chosen = data.draw(st.lists(st.sampled_from(seeds), min_size=1, unique=True))
    size = data.draw(st.integers(1, 4))
    numbers = st.lists(st.sampled_from(INPUTS) | st.floats(-4, 4), min_size=size, max_size=size)
    keys = {n: ("alpha" if n == "a" and data.draw(st.booleans()) else n) for n in chosen}
    values = {keys[n]: np.array(data.draw(numbers)) for n in chosen}
    spread = st.lists(st.sampled_from(SIGMAS) | st.floats(0, 1), min_size=size, max_size=size)
    sigmas = {keys[n]: np.array(data.draw(spread)) for n in chosen if data.draw(st.booleans())}
    check_elements(api, texts, name, values, sigmas)


# Both glibc's pow(x, 2) and NumPy's misround 8.237813583927716: an exponent that varies still squares by a
# product where it is 2.
FUNCTION_INPUTS = np.array([-2.0, -1.0, 8.237813583927716, -0.5, 0.0, 0.3, 1.0, 1.5, 4.0, 710.0, -745.5, 1e-300])
Y = np.resize([1.5, -0.5, 2.0], FUNCTION_INPUTS.size)


@pytest.mark.parametrize("expression", [f"{f}(x) * y" for f in FUNCTIONS] + ["x ** y", "y ** x", "(x + 1) ** 0.5 - y"])
def test_functions_and_powers_fail_where_and_as_derived_does(api, expression):
    # Two levels: the function is a formula of its own; y's spread has an exact element.
    texts = [text([entry("x", 0.3, 0.01), entry("y", 1.5, 0.02), entry("h", expression=expression),
                   entry("f", expression="h + 0")])]
    sigma = np.resize([0.01, 0.0, 0.2], FUNCTION_INPUTS.size)
    for name in ("h", "f"):
        check_elements(api, texts, name, {"x": FUNCTION_INPUTS, "y": Y}, {"x": sigma, "y": sigma[::-1].copy()})


# CODATA's formulas through its correlated seeds: each replaced seed is a new input; the others keep
# their correlations (m_p reaches correlated seeds besides the one replaced).
CODATA = [
    ("m_e", {"R_inf": [10973731.568157, 10973731.0, 1.1e7], "alpha": [0.0072973525643, 0.0073, 1 / 137]},
     {"alpha": [1.1e-12, 0.0, 1e-9]}),
    ("m_e", {"fine_structure_constant": [0.0072973525643, 0.0, 0.0072]}, {}),
    ("m_p", {"alpha": [0.0072973525643, 0.007, 0.0075]}, {"alpha": [0.0, 1.1e-12, 3e-12]}),
    ("a_0", {"R_inf": [1.1e7, 1.0e7, 1.2e7]}, {"R_inf": [1.2e-5, 1e-3, 0.0]}),
]


@pytest.mark.parametrize(("name", "values", "sigmas"), CODATA)
def test_codata_formulas_over_replaced_correlated_seeds(api, name, values, sigmas):
    texts = [api.codata.dumps()]
    found = check_elements(api, texts, name, {k: np.array(v) for k, v in values.items()},
                           {k: np.array(v) for k, v in sigmas.items()})
    assert found.uncertainty is not None


# ---------------------------------------------------------------- the uncertainties package, from outside

def random_formula(rng, depth):
    if depth == 0 or rng.random() < 0.25:
        return str(rng.choice(["p", "q", "r", "s", "1.5", "2"]))
    kind = rng.integers(4)
    if kind == 0:
        return f"{rng.choice(FUNCTIONS)}({random_formula(rng, depth - 1)})"
    if kind == 1:
        return f"({random_formula(rng, depth - 1)}) ** {rng.choice([2, 3])}"
    return f"({random_formula(rng, depth - 1)} {rng.choice(list('+-*/'))} {random_formula(rng, depth - 1)})"


# Each one uses p, the seed given with uncertainties.
RANDOM_FORMULAS = [f for f in (random_formula(np.random.default_rng(seed), 4) for seed in range(200))
                   if re.search(r"\bp\b", f)][:40]


@pytest.mark.parametrize("expression", [f"{f}(p) + p * q" for f in FUNCTIONS] + RANDOM_FORMULAS)
def test_propagation_is_the_uncertainties_packages(api, expression):
    # p is replaced (its correlation with q dropped), s too (no uncertainty); q and r keep theirs.
    catalogue = api.loads(text([entry("p", 1.2, 0.03), entry("q", 0.7, 0.02), entry("r", 2.0, 0.05),
                                entry("s", 0.4), entry("f", expression=expression)],
                               [("p", "q", 0.5), ("q", "r", -0.3)]))
    rng = np.random.default_rng(len(expression))
    p, p_sigma, s = rng.uniform(0.2, 1.8, 6), rng.uniform(0.0, 0.05, 6), rng.uniform(-0.9, 0.9, 6)
    values = {n: v for n, v in {"p": p, "s": s}.items() if n in reached(catalogue, "f")}
    found = catalogue.evaluate("f", values, uncertainties={"p": p_sigma}, errors="nan")
    scope = {f: getattr(umath, f) for f in FUNCTIONS}
    cov = [[0.02**2, -0.3 * 0.02 * 0.05], [-0.3 * 0.02 * 0.05, 0.05**2]]
    for i in range(6):
        q, r = uncertainties.correlated_values([0.7, 2.0], cov)
        names = {"p": uncertainties.ufloat(p[i], p_sigma[i]), "q": q, "r": r, "s": s[i]}
        try:
            expected = eval(expression, scope, names)  # noqa: S307 - the test's own formulas
            float(expected.std_dev)
        except (ValueError, ZeroDivisionError, OverflowError):
            assert math.isnan(found.uncertainty[i]), (expression, i)
            continue
        assert found.value[i] == pytest.approx(expected.nominal_value, rel=1e-12, abs=1e-300), (expression, i)
        assert found.uncertainty[i] == pytest.approx(expected.std_dev, rel=1e-9, abs=1e-300), (expression, i)


# ---------------------------------------------------------------- shapes and dtypes

BROADCAST = [
    ("0-d and Python numbers", lambda: {"x": np.array(1.5), "y": 2, "z": -0.25}, ()),
    ("(3, 1) by (4,)", lambda: {"x": np.arange(3.0).reshape(3, 1) + 0.5, "y": np.linspace(-1, 1, 4)}, (3, 4)),
    ("lists", lambda: {"x": [1.0, 2.0], "y": [[3.0], [4.0], [5.0]]}, (3, 2)),
    ("empty", lambda: {"x": np.empty(0), "y": np.ones((3, 1))}, (3, 0)),
    ("strided and reversed", lambda: {"x": np.arange(12.0)[::3], "y": np.arange(8.0)[::-2], "z": 0.5}, (4,)),
    ("transposed", lambda: {"x": np.arange(6.0).reshape(2, 3).T, "y": np.arange(3.0).reshape(3, 1)}, (3, 2)),
    ("integers", lambda: {"x": np.arange(5), "y": np.array([3], dtype=np.uint8), "z": np.int32(-2)}, (5,)),
    ("one array", lambda: {"x": np.arange(4.0) + 1.0, "y": 0.5}, (4,)),
    ("big-endian and float32", lambda: {"x": (np.arange(4) / 3).astype(">f8"), "y": np.float32(0.1)}, (4,)),
]


@pytest.mark.parametrize(("values", "shape"), [case[1:] for case in BROADCAST], ids=[case[0] for case in BROADCAST])
def test_arrays_broadcast_whatever_their_layout_and_dtype(api, values, shape):
    catalogue = api.loads(text([entry("x", 1.0, 0.1), entry("y", 2.0), entry("z", 0.5, 0.01),
                                entry("f", expression="x * y / (z - 3) + sin(x)")]))
    given_values = values()
    for array in given_values.values():
        if isinstance(array, np.ndarray):
            array.setflags(write=False)  # never written to
    kept = {k: np.array(v, copy=True) for k, v in given_values.items()}
    found = catalogue.evaluate("f", given_values, uncertainties={"x": 0.05})
    # The same elements as plain contiguous float64 rows.
    rows = {k: np.broadcast_to(np.asarray(v, dtype=float), shape).ravel().copy() for k, v in given_values.items()}
    plain = catalogue.evaluate("f", rows, uncertainties={"x": np.full(math.prod(shape), 0.05)})
    for result, flat in ((found.value, plain.value), (found.uncertainty, plain.uncertainty)):
        assert result.shape == shape and result.dtype == np.float64 and result.flags.c_contiguous
        assert result.flags.writeable and result.tobytes() == flat.tobytes()
    for key, array in given_values.items():
        assert np.array_equal(np.asarray(array), kept[key])


def test_the_front_end_hands_float64_arrays_over_as_they_are(api):
    handed = []

    class Spy(api.Catalogue):
        __slots__ = ()

        def _evaluate(self, *arguments):
            handed.append(arguments)
            return None  # no uncertainty

    spy = Spy([api.Constant("x", 1.0, ""), api.Constant("y", 1.0, "", 0.1),
               api.Constant("f", 0.0, "", expression="x + y")])
    view = np.arange(10.0)[::-3]
    found = spy.evaluate("f", {"y": view, "x": [1, 2, 3, 4]}, uncertainties={"y": np.float32(0.5)}, errors="nan")
    name, names, arrays, sigma_names, sigma_arrays, value, sigma, nan = handed[0]
    assert (name, names, sigma_names, nan) == ("f", ("y", "x"), ("y",), True)
    assert arrays[0] is view and arrays[1].dtype == sigma_arrays[0].dtype == np.float64
    assert value.shape == sigma.shape == (4,) and found.value is value and found.uncertainty is None
    assert isinstance(found, api.Evaluation) and found == (value, None)


# ---------------------------------------------------------------- what has an uncertainty, and exact seeds


@pytest.mark.parametrize("errors", ["raise", "nan"])
def test_an_exact_result_has_zeros_that_take_no_memory_but_where_an_element_fails(api, errors):
    """Every seed reached exact: 0.0 throughout, as derived() gives it, without writing an array for it; an
    element that fails (errors="nan") makes it a real array, NaN there."""
    catalogue = api.loads(text([entry("x", 1.0), entry("h", 2.0, 0.0), entry("f", expression="h / x")]))
    found = catalogue.evaluate("f", {"x": np.arange(1.0, 7.0).reshape(2, 3)}, errors=errors)
    assert found.uncertainty.shape == (2, 3) and not found.uncertainty.any()
    assert not found.uncertainty.flags.writeable and found.uncertainty.strides == (0, 0)
    assert catalogue.derived("f").uncertainty == 0.0
    if errors == "nan":
        failing = catalogue.evaluate("f", {"x": [1.0, 0.0, 2.0]}, errors="nan")
        assert np.array_equal(failing.uncertainty, [0.0, np.nan, 0.0], equal_nan=True)
        assert failing.uncertainty.flags.writeable

# u and v move as one (r = 1) with spreads whose variance in w = u * y - v rounds below zero at y = 1; NumPy's
# exp(q) is not libm's, so s tells the catalogue's own answer from the arrays'.
SEEDS = [entry("x", 2.0, 0.1), entry("y", 3.0), entry("e", 4.0, 0.0), entry("q", 1.377744409836362), entry("o", 0.0),
         entry("u", 1.0, 0.17708425042926193), entry("v", 1.0, 0.17708425042926168), entry("f", expression="x * y"),
         entry("n", expression="y / 2"), entry("z", expression="e * y"), entry("w", expression="u * y - v"),
         entry("s", expression="exp(q) * x"), entry("r", expression="x / o"), entry("k", expression="1 / o"),
         entry("m", expression="k + x")]
LINKED = [("u", "v", 1.0)]
# (name, values, uncertainties, whether the result has an uncertainty)
UNCERTAIN = [
    ("n", {"y": [1.0, 2.0]}, {}, False),  # nothing it reaches has one
    ("f", {"y": [1.0, 2.0]}, {}, True),  # x keeps its own
    ("f", {"x": [1.0, 2.0]}, {}, False),  # x replaced without one, and y has none
    ("z", {"y": [1.0, -2.0]}, {}, True),  # an exact seed: 0.0
    ("n", {"y": [1.0, 2.0, 5.0]}, {"y": [0.0, 0.5, 0.0]}, True),
    ("f", {"x": [1.0, 0.0, -3.0], "y": [2.0, 0.0, 1.0]}, {"x": [0.0, 0.0, 0.1], "y": [0.0, 0.2, 0.0]}, True),
    ("x", {"x": [1.0, 5.0]}, {}, False),  # a seed is as derived() gives it: its own value and uncertainty
    ("x", {"x": [1.0, 5.0, 7.0, 8.0]}, {"x": [0.0, 1e300, 0.3, 1e-200]}, True),
    ("y", {"y": [-1.0]}, {"y": [0.25]}, True),
    ("w", {"y": [1.0, 2.0, 0.5]}, {}, True),
    ("r", {"o": [2.0, 0.0, -4.0]}, {}, True),  # the catalogue's own o divides by zero; the arrays' need not
    ("m", {"x": [2.0, 3.0]}, {"x": [0.1, 0.0]}, True),  # k, which no array changes, fails every element
]


@pytest.mark.parametrize(("name", "values", "sigmas", "informed"), UNCERTAIN)
def test_an_uncertainty_where_derived_has_one_and_exact_where_sigma_is_zero(api, name, values, sigmas, informed):
    found = check_elements(api, [text(SEEDS, LINKED)], name, {k: np.array(v) for k, v in values.items()},
                           {k: np.array(v) for k, v in sigmas.items()})
    assert (found.uncertainty is not None) == informed


def test_nothing_replaced_is_the_catalogue_itself(api):
    catalogue = api.loads(text(SEEDS, LINKED))
    for name in ("x", "f", "n", "z", "w", "s"):
        found, derived = catalogue.evaluate(name, {}), catalogue.derived(name)
        assert found.value.shape == () and found.value == derived.value
        assert (None if found.uncertainty is None else float(found.uncertainty)) == derived.uncertainty


# ---------------------------------------------------------------- NaN and infinite inputs

NAN, INF = math.nan, math.inf
# (expression, x, the value or the problem's words): the scalar rules, where only what finite operands give is
# a fault and an infinite result of + - * / ** is an overflow.
NON_FINITE = [
    ("x + 1", NAN, NAN), ("x + 1", INF, "overflow in the expression of `f`"), ("-x", INF, -INF),
    ("x * 0", INF, NAN), ("x - x", INF, NAN), ("x / 2", -INF, "overflow in the expression of `f`"),
    ("1 / x", INF, 0.0), ("x / y", NAN, "division by zero in the expression of `f`"), ("x ** 0", NAN, 1.0),
    ("1 ** x", NAN, 1.0), ("x ** 2", INF, "overflow in the expression of `f`"),
    ("x ** 0.5", -INF, "overflow in the expression of `f`"), ("exp(x)", INF, math.exp(INF)),
    ("exp(x)", -INF, math.exp(-INF)), ("tanh(x)", INF, math.tanh(INF)), ("atan(x)", -INF, math.atan(-INF)),
    ("sin(x)", INF, "math domain error in the expression of `f`"), ("sqrt(x)", NAN, NAN), ("log(x)", INF, INF),
    ("cos(x) + 1", NAN, NAN), ("log(x - 1)", 1.0, "math domain error in the expression of `f`"),
    ("1 / y + x", 2.0, "division by zero in the expression of `f`"),  # where no given seed reaches
]


@pytest.mark.parametrize(("expression", "x", "expected"), NON_FINITE)
def test_nan_and_infinite_inputs_follow_the_scalar_rules(api, expression, x, expected):
    catalogue = api.loads(text([entry("x", 1.0), entry("y", 0.0), entry("f", expression=expression)]))
    found = catalogue.evaluate("f", {"x": [x]}, errors="nan")
    assert found.uncertainty is None
    if isinstance(expected, str):
        assert math.isnan(found.value[0])
        with pytest.raises(api.DerivationError) as raised:
            catalogue.evaluate("f", {"x": [x]})
        assert raised.value.args == (f"{expected} at index 0",)
    else:
        assert same(found.value[0], expected)


NOT_FINITE = "cannot propagate the uncertainty of `f`: a derivative in the expression of `f` is not finite"
TOO_LARGE = "the uncertainty of `f` is too large for a double"
# (expression, x, σ of x or None, the value, σ or the problem's words); y is 1.0 ± 0.02.
NON_FINITE_SPREADS = [
    ("tanh(x) * y", INF, 0.1, 1.0, 0.02),  # d/dx is 0 at infinity
    ("exp(x) + y", -INF, 0.1, 1.0, 0.02),
    ("x * y", NAN, None, NAN, NOT_FINITE),  # d/dy is x
    ("sqrt(x - 1)", 1.0, 0.1, 0.0, NOT_FINITE),
    ("x * 2", 1.0, INF, 2.0, TOO_LARGE),
    ("x * 2", 1.0, 1e300, 2.0, TOO_LARGE),
    ("x * 0 + y", 1.0, INF, 1.0, TOO_LARGE),  # 0 times an infinite σ
]


@pytest.mark.parametrize(("expression", "x", "sigma", "value", "expected"), NON_FINITE_SPREADS)
def test_a_propagation_problem_keeps_the_value(api, expression, x, sigma, value, expected):
    catalogue = api.loads(text([entry("x", 1.0), entry("y", 1.0, 0.02), entry("f", expression=expression)]))
    sigmas = None if sigma is None else {"x": [sigma]}
    found = catalogue.evaluate("f", {"x": [x]}, uncertainties=sigmas, errors="nan")
    assert same(found.value[0], value)
    if isinstance(expected, str):
        assert math.isnan(found.uncertainty[0])
        with pytest.raises(api.DerivationError) as raised:
            catalogue.evaluate("f", {"x": [x]}, uncertainties=sigmas)
        assert raised.value.args == (f"{expected} at index 0",)
    else:
        assert found.uncertainty[0] == pytest.approx(expected, rel=1e-15)


# ---------------------------------------------------------------- refusals, in the order they are checked

LAB = text([entry("length", 2.0, 0.01, symbol="L"), entry("time", 4.0, 0.02, symbol="t"), entry("mass", 3.0),
            entry("other", 1.0), entry("speed", expression="L / t"), entry("energy", expression="mass * speed ** 2"),
            entry("root", expression="sqrt(speed - 0.5)")])
C = 1 + 2j
REFUSED = [
    ("speed", {"L": C}, {"errors": "ignore"}, ValueError, "errors must be 'raise' or 'nan', not 'ignore'"),
    ("speed", {"L": 1.0}, {"errors": None}, ValueError, "errors must be 'raise' or 'nan', not None"),
    ("speed", [("L", 1.0)], {}, TypeError, "values must be a mapping from seed names to arrays, not list"),
    ("speed", {"L": C}, {"uncertainties": [0.1]}, TypeError,
     "uncertainties must be a mapping from seed names to arrays, not list"),
    ("nope", {"L": [C]}, {}, TypeError, "the values of `L` must be real numbers, not complex128"),
    ("speed", {"L": ["1.0"]}, {}, TypeError, "the values of `L` must be real numbers, not <U3"),
    ("speed", {"L": 1.0, "t": [True]}, {}, TypeError, "the values of `t` must be real numbers, not bool"),
    ("speed", {"L": [None]}, {}, TypeError, "the values of `L` must be real numbers, not object"),
    ("speed", {"L": [1.0], "t": np.zeros(4)}, {"uncertainties": {"L": C}}, TypeError,
     "the uncertainties of `L` must be real numbers, not complex128"),
    ("speed", {"L": np.zeros(3), "t": np.zeros(4)}, {}, ValueError,
     "the values of `t` have shape (4,), which does not broadcast with (3,)"),
    ("speed", {"L": np.zeros((2, 3)), "t": np.zeros((3, 2))}, {}, ValueError,
     "the values of `t` have shape (3, 2), which does not broadcast with (2, 3)"),
    ("speed", {"L": np.zeros((2, 1)), "t": np.zeros(3)}, {"uncertainties": {"t": np.zeros((3, 1))}}, ValueError,
     "the uncertainties of `t` have shape (3, 1), which does not broadcast with (2, 3)"),
    ("speeed", {"mass": 1.0}, {}, KeyError, "constant `speeed` not found in registry"),
    (5, {}, {}, TypeError, "argument 'name': 'int' object cannot be converted to 'PyString'"),
    ("", {}, {}, ValueError, "name must be non-empty"),
    ("speed", {5: 1.0}, {}, TypeError, "argument 'name': 'int' object cannot be converted to 'PyString'"),
    ("speed", {"lenght": 1.0}, {}, KeyError, "constant `lenght` not found in registry"),
    ("energy", {"speed": 1.0, "nope": 1.0}, {}, KeyError, "`speed` is not a seed: only seeds' values can be given"),
    ("speed", {"mass": 1.0, "speed": 1.0}, {}, KeyError, "`speed` does not depend on `mass`"),
    ("L", {"t": 1.0}, {}, KeyError, "`length` does not depend on `time`"),
    ("energy", {"length": 1.0, "mass": 2.0, "L": 2.0}, {}, ValueError, "`length` is given twice"),
    ("energy", {"L": 1.0, "mass": 1.0}, {"uncertainties": {"t": 0.1}}, KeyError,
     "an uncertainty is given for `time`, which has no values given"),
    ("energy", {"L": 1.0}, {"uncertainties": {"speed": 0.1}}, KeyError,
     "an uncertainty is given for `speed`, which has no values given"),
    ("energy", {"L": 1.0, "other": 1.0}, {"uncertainties": {"nope": 0.1}}, KeyError,
     "`energy` does not depend on `other`"),
    ("energy", {"L": 1.0}, {"uncertainties": {"L": 0.1, "length": 0.2}}, ValueError, "`length` is given twice"),
]


HINTS = {"constant `speeed` not found in registry": ["did you mean 'speed'?"],
         "constant `lenght` not found in registry": ["did you mean 'length'?"]}


@pytest.mark.parametrize(("name", "values", "options", "error", "words"), REFUSED)
def test_what_is_refused_and_in_which_order(api, name, values, options, error, words):
    with pytest.raises(error) as raised:
        api.loads(LAB).evaluate(name, values, **options)
    assert type(raised.value) is error and raised.value.args == (words,)
    assert getattr(raised.value, "__notes__", None) == HINTS.get(words)


NEGATIVE = "the uncertainty given for `{}` is negative or NaN at index {}"
DIVISION = "division by zero in the expression of `speed`"
DerivationError = "DerivationError"  # each twin's package has its own class
# (name, values, uncertainties, the error with errors="raise", with errors="nan": None for none, ... alike)
ELEMENT_PROBLEMS = [
    ("speed", {"t": [1.0, 0.0, 2.0]}, {}, (DerivationError, f"{DIVISION} at index 1"), None),
    ("energy", {"t": [[1.0, 2.0, 3.0], [1.0, 1.0, 0.0]]}, {},
     (DerivationError, f"cannot derive `energy`: {DIVISION} at index (1, 2)"), None),
    ("energy", {"t": 0.0}, {}, (DerivationError, f"cannot derive `energy`: {DIVISION} at index ()"), None),
    ("energy", {"t": [1.0, 1e-200]}, {}, (DerivationError, "overflow in the expression of `energy` at index 1"), None),
    ("root", {"L": [4.0, 2.0]}, {},
     (DerivationError, "cannot propagate the uncertainty of `root`: a derivative in the expression of `root` is not "
                       "finite at index 1"), None),
    ("speed", {"L": [1.0, 1.0]}, {"L": [0.1, 1e300]},
     (DerivationError, "the uncertainty of `speed` is too large for a double at index 1"), None),
    ("speed", {"L": [1.0, 2.0, 3.0]}, {"L": [0.1, -0.1, NAN]}, ("ValueError", NEGATIVE.format("length", 1)), ...),
    ("speed", {"L": [[1.0, 2.0], [3.0, 4.0]]}, {"L": [[0.1, 0.1], [NAN, 0.1]]},
     ("ValueError", NEGATIVE.format("length", (1, 0))), ...),
    ("speed", {"L": 1.0}, {"L": -1e-300}, ("ValueError", NEGATIVE.format("length", "()")), ...),
    ("speed", {"L": [1.0, 1.0], "t": [1.0, 1.0]}, {"t": [0.1, -1.0], "L": [0.1, -1.0]},
     ("ValueError", NEGATIVE.format("time", 1)), ...),
    ("speed", {"t": [0.0, 1.0]}, {"t": [0.1, NAN]}, (DerivationError, f"{DIVISION} at index 0"),
     ("ValueError", NEGATIVE.format("time", 1))),
    ("speed", {"t": [1.0, 0.0]}, {"t": [0.1, NAN]}, ("ValueError", NEGATIVE.format("time", 1)), ...),
]


@pytest.mark.parametrize(("name", "values", "sigmas", "raised", "in_nan_mode"), ELEMENT_PROBLEMS)
def test_the_first_element_with_a_problem_is_reported_with_its_index(api, name, values, sigmas, raised, in_nan_mode):
    catalogue = api.loads(LAB)
    for errors, expected in [("raise", raised), ("nan", raised if in_nan_mode is ... else in_nan_mode)]:
        if expected is None:
            found = catalogue.evaluate(name, values, uncertainties=sigmas, errors=errors)
            assert np.isnan(found.value).any() or np.isnan(found.uncertainty).any()
            continue
        kind, words = expected
        error = api.DerivationError if kind == DerivationError else ValueError
        with pytest.raises(error) as caught:
            catalogue.evaluate(name, values, uncertainties=sigmas, errors=errors)
        assert type(caught.value) is error and caught.value.args == (words,), errors


@pytest.mark.parametrize(("name", "values", "sigmas"), [
    ("speed", {"t": [1.0, 0.0, 2.0]}, {"t": [0.1, 0.0, 0.3]}),
    ("energy", {"t": [1.0, 0.0, 2.0], "mass": [1e300, 2.0, 1e200]}, {"mass": [0.1, 0.2, 0.0]}),
    ("root", {"L": [4.0, 2.0, 3.0], "t": [4.0, 4.0, 0.0]}, {"t": [0.0, 0.1, 0.2]}),
    ("speed", {"L": [1.0, 1.0, -1.0]}, {"L": [0.1, 1e300, 0.0]}),
])
def test_with_errors_nan_a_problem_is_nan_and_a_propagation_problem_keeps_the_value(api, name, values, sigmas):
    check_elements(api, [LAB], name, {k: np.array(v) for k, v in values.items()},
                   {k: np.array(v) for k, v in sigmas.items()})


def test_without_numpy_evaluate_says_how_to_get_it(api):
    blocked = ("numpy",) if api.implementation == "native" else ("numpy", *NATIVE_MODULES)
    code = (f"import sys\nfor m in {blocked!r}: sys.modules[m] = None\nimport ostrelin\n"
            "cat = ostrelin.constants\nprint(ostrelin.implementation, cat.derive('b3'))\n"
            "try:\n    cat.evaluate('b3', {})\nexcept ImportError as e:\n    print(e.args[0], e.name)\n")
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [f"{api.implementation} 24.0",
                                        "Catalogue.evaluate needs NumPy: pip install ostrelin[numpy] numpy"]

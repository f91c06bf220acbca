"""Formulas: the expression language, derived values and propagated uncertainties, in both twins.

Oracles from outside the project: Python's own parser and float arithmetic for values and
precedence, and the `uncertainties` package for first-order error propagation.
"""

import math

import pytest
import uncertainties
from uncertainties import umath

from catalogue_cases import doc, formula, seed

SEEDS = {"a": (1.5, 0.01), "b": (2.0, 0.02), "c": (3.0, None), "µ0": (0.75, 0.003), "zero": (0.0, None)}
FUNCTIONS = ["sqrt", "exp", "log", "log10", "sin", "cos", "tan", "asin", "acos", "atan", "sinh", "cosh", "tanh"]


def catalogue(api, *formulas):
    seeds = [seed(n, v, uncertainty=s) for n, (v, s) in SEEDS.items()]
    return api.loads(doc(*seeds, *formulas))


EXPRESSIONS = [
    "a + b * c", "(a + b) * c", "a - b - c", "c / b / b", "-a ** 2", "a ** -b", "2 ** 3 ** 2", "-(a - c)", "--a",
    "a * -b", "-a * b ** 2 / c", "6.02214076e23 * a", "1E-3 + 0.5e+2", "\ta*b  \n", "((c))", "0.1 + 0.2",
    "a * a", "pi * µ0", "sqrt(a) + exp(b) - log(c) * log10(c)", "sin(a) * cos(b) / tan(c)", "asin(0.5) + acos(0.25)",
    "atan(a) + sinh(b) - cosh(a) * tanh(c)", "sqrt (a ** 2 + b ** 2)", "exp(-a ** 2 / (2 * b ** 2))", "a ** 0.5",
    "1 / (a - b) ** 2",
]


def test_a_square_is_the_correctly_rounded_product(api):
    # glibc's pow(x, 2) misrounds this x; the product does not.
    x = 5.542406145046744
    assert math.pow(x, 2.0) != x * x
    cat = api.loads(doc(seed("x", x), formula("f", "x ** 2"), formula("g", "x ** 2.5")))
    assert cat.derive("f") == x * x
    assert cat.derive("g") == math.pow(x, 2.5)


@pytest.mark.parametrize("expression", EXPRESSIONS)
def test_values_are_pythons_own_arithmetic(api, expression):
    names = {n: v for n, (v, _) in SEEDS.items()}
    expected = eval(expression.replace("µ0", "mu0"), {f: getattr(math, f) for f in FUNCTIONS} | {"pi": math.pi},
                    names | {"mu0": names["µ0"]})
    assert catalogue(api, formula("f", expression)).derive("f") == expected  # the same bits


def oracle(expression):
    """The expression evaluated with `uncertainties` on the seeds with an uncertainty."""
    values = {n: (uncertainties.ufloat(v, s) if s else v) for n, (v, s) in SEEDS.items()}
    scope = {f: getattr(umath, f) for f in FUNCTIONS} | {"pi": math.pi}
    return eval(expression.replace("µ0", "mu0"), scope, values | {"mu0": values["µ0"]})


@pytest.mark.parametrize("expression", EXPRESSIONS)
def test_uncertainties_are_the_uncertainties_packages(api, expression):
    cat = catalogue(api, formula("g", expression), formula("f", "g * a"))
    for name, expected in [("g", oracle(expression)), ("f", oracle(f"({expression}) * a"))]:
        derived = cat.derived(name)
        assert derived.value == pytest.approx(expected.nominal_value if hasattr(expected, "std_dev") else expected,
                                              rel=1e-15)
        assert derived.status == "Cached"
        if not hasattr(expected, "std_dev"):
            assert derived.uncertainty is None
            continue
        assert derived.uncertainty == pytest.approx(expected.std_dev, rel=1e-12, abs=1e-300)


def test_uncertainty_is_none_without_uncertain_seeds_and_zero_with_exact_ones(api):
    cat = api.loads(doc(seed("x", 2.0), seed("y", 3.0, uncertainty=0.0), formula("f", "x * 2"),
                        formula("g", "y + x"), formula("h", "pi")))
    assert [cat.derived(n).uncertainty for n in ["f", "g", "h", "x", "y"]] == [None, 0.0, None, None, 0.0]
    assert cat.derived("x") is cat["x"]


PARSE_ERRORS = [
    ("", "expected a number, a name or `(` but found the end"),
    ("a +", "expected a number, a name or `(` but found the end"),
    ("(a", "expected `)` but found the end"),
    ("a b", "unexpected `b` at offset 2"),
    ("a)", "unexpected `)` at offset 1"),
    ("1.", "expected a digit after the decimal point at offset 2"),
    (".5", "expected a number, a name or `(` but found `.` at offset 0"),
    ("1e+", "expected a digit in the exponent at offset 3"),
    ("+a", "expected a number, a name or `(` but found `+` at offset 0"),
    ("a ^ b", "unexpected `^` at offset 2: write `**` for a power"),
    ("a^2", "unexpected `^` at offset 1: write `**` for a power"),
    ("ln(a)", "unknown function `ln` at offset 0: write `log` for the natural logarithm"),
    ("2 * arctan(a)", "unknown function `arctan` at offset 4: write `atan`"),
    ("a * * b", "expected a number, a name or `(` but found `*` at offset 4"),
    ("µ0 µ0", "unexpected `µ` at offset 3"),
    ("cube(a)", "unknown function `cube` at offset 0"),
    ("1e999 * a", "number `1e999` at offset 0 is too large for a double"),
    ("sqrt(" * 257 + "a" + ")" * 257, "nesting deeper than 256 levels at offset 1280"),
    ("a" + " ** a" * 257, "nesting deeper than 256 levels at offset 1282"),
    ("a + d", "`d` at offset 4 is not a dependency of `f`"),
]


@pytest.mark.parametrize("expression, detail", PARSE_ERRORS)
def test_parse_errors_name_the_formula_and_the_offset(api, expression, detail):
    with pytest.raises(api.CatalogueError) as info:
        listed = {"dependencies": ["a", "µ0"]} if expression == "a + d" else {}
        catalogue(api, formula("f", expression, **listed))
    assert info.value.args == (f"expression parse error in `f`: {detail}",)


FAULTS = [
    ("a / zero", "division by zero in the expression of `f`"),
    ("a / (b - 2)", "division by zero in the expression of `f`"),
    ("sqrt(-a)", "math domain error in the expression of `f`"),
    ("log(zero)", "math domain error in the expression of `f`"),
    ("zero ** -1", "math domain error in the expression of `f`"),
    ("(-a) ** 0.5", "math domain error in the expression of `f`"),
    ("asin(b)", "math domain error in the expression of `f`"),
    ("exp(1000 * a)", "overflow in the expression of `f`"),
    ("1e308 * b", "overflow in the expression of `f`"),
    ("cosh(b * 400)", "overflow in the expression of `f`"),
]


@pytest.mark.parametrize("expression, message", FAULTS)
def test_a_value_that_cannot_be_computed_fails_its_formula_and_what_depends_on_it(api, expression, message):
    cat = catalogue(api, formula("f", expression), formula("g", "f + a"), formula("h", "a * 2"))
    for name, text in [("f", message), ("g", f"cannot derive `g`: {message}")]:
        for call in (cat.derive, cat.derived, cat.budget):
            with pytest.raises(api.DerivationError) as info:
                call(name)
            assert info.value.args == (text,)
    assert cat.derive("h") == 3.0


# `k`'s partials are finite but its derivative by `a` (1e310) is not, although
# its uncertainty (1e308) would be.
@pytest.mark.parametrize("name, blamed", [("g", "f"), ("k", "k")])
def test_an_uncertainty_without_a_finite_derivative_is_a_derivation_error(api, name, blamed):
    cat = catalogue(api, formula("f", "sqrt(a - 1.5)"), formula("g", "f * c"), formula("h", "c ** 0.5 * zero ** 2"),
                    formula("k", "(a - 1.5) * 1e300 * 1e10"))
    assert cat.derive(name) == 0.0 and cat.derived("h").uncertainty is None
    for call in (cat.derived, cat.budget):
        with pytest.raises(api.DerivationError) as info:
            call(name)
        assert info.value.args == (f"cannot propagate the uncertainty of `{name}`: a derivative in the expression of "
                                   f"`{blamed}` is not finite",)


@pytest.mark.parametrize("function", FUNCTIONS)
def test_every_functions_derivative_is_the_uncertainties_packages(api, function):
    # The argument is uncertain and also added outside the function, so that
    # a derivative of the wrong sign or scale changes the propagated result.
    for value in (0.3, -0.4) if function not in ("sqrt", "log", "log10") else (0.3, 2.5):
        cat = api.loads(doc(seed("q", value, uncertainty=0.01), seed("r", 0.7, uncertainty=0.02),
                            formula("f", f"{function}(q) + q * r")))
        q, r = uncertainties.ufloat(value, 0.01), uncertainties.ufloat(0.7, 0.02)
        expected = getattr(umath, function)(q) + q * r
        derived = cat.derived("f")
        assert derived.value == pytest.approx(expected.nominal_value, rel=1e-15)
        assert derived.uncertainty == pytest.approx(expected.std_dev, rel=1e-12), (function, value)
        shares = {"q": abs(expected.derivatives[q]) * 0.01, "r": abs(expected.derivatives[r]) * 0.02}
        assert dict(cat.budget("f")) == pytest.approx(shares, rel=1e-12)

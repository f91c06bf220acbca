"""The expression evaluator behind ostrelin.derive, on small catalogues made here."""

import pytest

from ostrelin import Constant, DerivationError
from ostrelin._derive import evaluate


def seed(name, value):
    return Constant(name, value, "count", None, "Seed", None, ())


def formula(name, expression, *dependencies):
    return Constant(name, 0.0, "count", None, "Pending", expression, dependencies)


SEEDS = {"a": 1.0, "b": 2.0, "c": 3.0, "zero": 0.0}


def derive_f(expression, *dependencies, **extra):
    """Derives formula `f` over the seeds above plus `extra` formulas (name: (expression, deps))."""
    entries = [seed(n, v) for n, v in SEEDS.items()] + [formula("f", expression, *dependencies)]
    entries += [formula(name, text, *deps) for name, (text, deps) in extra.items()]
    return evaluate("f", {e.name: e for e in entries})


@pytest.mark.parametrize(
    "expression, value",
    [
        ("a + b * c", 7.0),
        ("(a + b) * c", 9.0),
        ("a - b - c", -4.0),  # left associative
        ("c / b / b", 0.75),
        ("a - b + c", 2.0),
        ("-a * b", -2.0),
        ("a * -b", -2.0),
        ("--a", 1.0),
        ("-(a - c)", 2.0),
        ("2.5 * 4", 10.0),
        ("\ta*b  ", 2.0),
        ("((c))", 3.0),
        ("0.1 + 0.2", 0.1 + 0.2),
        ("1776.86", 1776.86),
    ],
)
def test_arithmetic(expression, value):
    assert derive_f(expression, "a", "b", "c") == value


def test_formulas_derive_through_other_formulas():
    assert derive_f("g * g", "g", g=("a + b", ("a", "b"))) == 9.0


PARSE_ERRORS = [
    ("", "expected a number, a name or `(` but found the end"),
    ("a +", "expected a number, a name or `(` but found the end"),
    ("(a", "expected `)` but found the end"),
    ("a b", "unexpected `b` at offset 2"),
    ("a)", "unexpected `)` at offset 1"),
    ("1.", "expected a digit after the decimal point"),
    (".5", "expected a number, a name or `(` but found `.` at offset 0"),
    ("1e5", "unexpected `e` at offset 1"),
    ("+a", "expected a number, a name or `(` but found `+` at offset 0"),
    ("a ^ b", "unexpected `^` at offset 2"),
    ("a ** b", "expected a number, a name or `(` but found `*` at offset 3"),
    ("\u00b5", "expected a number, a name or `(` but found `\u00b5` at offset 0"),
    ("a + d", "`d` at offset 4 is not a dependency of `f`"),
    ("a + missing", "`missing` at offset 4 is not in the catalogue"),
]


@pytest.mark.parametrize("expression, detail", PARSE_ERRORS)
def test_parse_errors_name_the_formula_and_the_place(expression, detail):
    with pytest.raises(DerivationError) as info:
        derive_f(expression, "a", "b", "missing")
    assert info.value.args == (f"expression parse error in `f`: {detail} in `{expression}`",)
    assert isinstance(info.value, ValueError)


@pytest.mark.parametrize(
    "expression, dependencies, extra, message",
    [
        ("f + a", ("f", "a"), {}, "cyclic derivation involving `f`"),
        ("g", ("g",), {"g": ("h", ("h",)), "h": ("g * 2", ("g",))}, "cyclic derivation involving `g`"),
        ("a / zero", ("a", "zero"), {}, "division by zero in the expression of `f`"),
        ("a / (b - 2)", ("a", "b"), {}, "division by zero in the expression of `f`"),
        ("g", ("g",), {"g": ("a / -zero", ("a", "zero"))}, "division by zero in the expression of `g`"),
        ("g", ("g",), {"g": ("a +", ("a",))}, "expression parse error in `g`: expected a number, a name or `(` "
         "but found the end in `a +`"),
    ],
)
def test_cycles_and_division_by_zero(expression, dependencies, extra, message):
    with pytest.raises(DerivationError) as info:
        derive_f(expression, *dependencies, **extra)
    assert info.value.args == (message,)


def test_a_shared_dependency_is_not_a_cycle():
    assert derive_f("g + h", "g", "h", g=("a", ("a",)), h=("g * c", ("g", "c"))) == 4.0

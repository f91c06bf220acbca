"""A Constant as a value: its float, its formats and printing against the uncertainties package and gvar,
its constructor's defaults and a repr that builds it again."""

import math
from decimal import ROUND_FLOOR, Decimal

import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import ostrelin
from ostrelin import Constant

gvar = pytest.importorskip("gvar")
uncertainties = pytest.importorskip("uncertainties")

ROWS = [
    # value, uncertainty, the concise form to two digits
    (9.1093837139e-31, 2.8e-40, "9.1093837139(28)e-31"),
    (9.996, 0.05, "9.996(50)"),
    (299792458.0, 1.0, "299792458.0(1.0)"),
    (123456.7, 12.0, "123457(12)"),
    (0.000123456, 1.2e-08, "0.000123456(12)"),
    (6.02214076e23, 1e15, "6.022140760(10)e+23"),
    (-1.5e-12, 3.3e-15, "-1.5000(33)e-12"),
    (12.3456, 1.5, "12.3(1.5)"),
    (0.09999, 0.0999, "0.10(10)"),
    (0.0, 0.1, "0.00(10)"),
]


@pytest.mark.parametrize("value, sigma, concise", ROWS)
def test_the_concise_form_is_the_oracles(value, sigma, concise):
    c = Constant("x", value, "m", sigma)
    assert f"{c:S}" == concise == format(uncertainties.ufloat(value, sigma), ".2uS")
    if value:
        assert concise == str(gvar.gvar(value, sigma))
    assert str(c) == f"{concise} m"
    for digits in (1, 3):
        assert format(c, f".{digits}S") == format(uncertainties.ufloat(value, sigma), f".{digits}uS")
        assert format(c, f".{digits}P") == format(uncertainties.ufloat(value, sigma), f".{digits}u").replace("+/-", " ± ")


def tie(x, place):
    """Whether the shortest digits of `x` lie exactly halfway between two multiples of 10**place."""
    scaled = Decimal(repr(abs(x))).scaleb(-place)
    return scaled - scaled.to_integral_value(ROUND_FLOOR) == Decimal("0.5")


finite = st.floats(allow_nan=False, allow_infinity=False, min_value=-1e200, max_value=1e200)


@settings(max_examples=400, deadline=None)
@given(finite, st.floats(min_value=1e-200, max_value=1e200), st.integers(1, 4))
def test_any_value_prints_as_the_uncertainties_package_does(value, sigma, digits):
    # Past a double's 15 significant digits the two part: the uncertainties package prints the binary
    # value's expansion (1e28 as 9999999999999999583119736832), ostrelin its shortest digits.
    assume(sigma >= abs(value) * 10.0 ** (digits - 14))
    # At a decimal tie the oracle's own float arithmetic decides (1.5e17 / 1e17 is 1.4999999999999998);
    # ostrelin rounds the double's exact value half to even, as %-formatting does.
    place = Decimal(repr(sigma)).adjusted() - digits + 1
    assume(not any(tie(x, at) for x in (value, sigma) for at in (place, place + 1)))
    c = Constant("x", value, "", sigma)
    assert format(c, f".{digits}S") == format(uncertainties.ufloat(value, sigma), f".{digits}uS")


def test_a_constant_is_a_value_not_a_number_to_compute_with():
    me = ostrelin.codata["electron_mass"]
    assert float(me) == me.value and f"{me:.3e}" == "9.109e-31" and f"{me:g}" == "9.10938e-31"
    assert f"{me}" == str(me) == "9.1093837139(28)e-31 kg"
    assert f"{me:P}" == "(9.1093837139 ± 0.0000000028)e-31"
    assert str(ostrelin.codata["speed_of_light_in_vacuum"]) == "299792458.0 (exact) m s^-1"
    assert str(Constant("n", 3.0, "")) == "3.0"
    with pytest.raises(TypeError):
        me * 2  # noqa: B018 - formulas in a catalogue combine values with their uncertainties
    pending = ostrelin.constants["topo_gen_check"]
    with pytest.raises(ValueError, match=r"^`topo_gen_check` is a pending formula: .*derived\('topo_gen_check'\)"):
        float(pending)
    assert str(pending) == "topo_gen_check = chi_eff / b3 (pending, count)"
    for wrong in ("Q", "2S", ".0S", ".xS", ".S", ".18S", ".2000P"):
        with pytest.raises(ValueError):
            format(me, wrong)
    assert me._repr_html_() == "<b>electron_mass</b> = 9.1093837139(28) × 10<sup>-31</sup> kg"
    assert Constant("e", 1e100, "m", 1e98)._repr_html_() == "<b>e</b> = 1.000(10) × 10<sup>100</sup> m"
    assert pending._repr_html_() == "<b>topo_gen_check</b> = chi_eff / b3 (pending, count)"
    # Records made by hand with what no catalogue holds print as they are.
    assert str(Constant("a", 1.0, "m", float("nan"))) == "1.0 ± nan m"
    assert str(Constant("a", 1.0, "m", -0.5)) == "1.0 ± -0.5 m"


def test_the_constructor_takes_the_file_formats_defaults():
    seed = Constant("d", 10.0, "m")
    assert (seed.uncertainty, seed.status, seed.expression, seed.dependencies, seed.description) == (
        None, "Seed", None, (), "")
    formula = Constant("v", 0.0, "m/s", expression="d / t")
    assert formula.status == "Pending"
    assert Constant("v", 2.5, "m/s", expression="d / t", status="Cached").status == "Cached"
    odd = Constant("a", 1.0, "m", status="Seed", expression="b")
    for record in (seed, formula, odd, ostrelin.codata["electron_mass"], ostrelin.constants["topo_gen_check"]):
        assert eval(repr(record), {"Constant": Constant}) == record  # noqa: S307 - the repr builds it again
    assert repr(seed) == "Constant('d', 10.0, 'm')"
    assert ostrelin.loads(ostrelin.Catalogue([seed, Constant("t", 4.0, "s"), formula]).dumps()).derive("v") == 2.5
    assert math.isclose(float(ostrelin.Catalogue([seed]).derived("d")), 10.0)

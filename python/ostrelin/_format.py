"""A value with its standard uncertainty as physics prints it.

The concise form puts the uncertainty's digits in parentheses after the value's last digits:
``9.1093837139(28)e-31``; the ± form writes it out: ``(9.1093837139 ± 0.0000000028)e-31``. The
uncertainty is rounded to `digits` significant digits (2 unless asked), and the value to the same
decimal place. Like ``%g``, an exponent is written when the larger of the two is below 10**-4 or
has more integer digits than the digits shown; the uncertainty spans the decimal point when it is
as large as the last integer digit (``12.3(1.5)``). Decimal arithmetic rounds the doubles' exact
values, half to even, as ``%``-formatting does (1.05 is a little above, so two digits of it are 1.1);
a value shown past 17 significant digits shows its shortest digits instead of its binary expansion.
"""

from __future__ import annotations

from decimal import ROUND_HALF_EVEN, Decimal, localcontext


def _exponent(x: Decimal) -> int:
    """The power of ten of the leading digit of a non-zero `x`."""
    return x.adjusted()


def with_uncertainty(value: float, uncertainty: float, digits: int = 2, plus_minus: bool = False) -> str:
    """`value` and a positive finite `uncertainty`, rounded to `digits` significant digits of it."""
    with localcontext() as context:
        # Room for every digit between a double's largest and smallest powers of ten, and 17 more.
        context.prec = 1100
        return _with_uncertainty(value, uncertainty, digits, plus_minus)


def _with_uncertainty(value: float, uncertainty: float, digits: int, plus_minus: bool) -> str:
    sigma = Decimal(uncertainty)
    place = _exponent(sigma) - digits + 1
    rounded_sigma = sigma.scaleb(-place).quantize(Decimal(1), ROUND_HALF_EVEN)
    if rounded_sigma >= 10**digits:  # 0.0999 to two digits is 0.10: one place up
        place += 1
        rounded_sigma = sigma.scaleb(-place).quantize(Decimal(1), ROUND_HALF_EVEN)
    exact = Decimal(value)
    if value != 0.0 and place < _exponent(exact) - 16:
        exact = Decimal(repr(value))  # 1e28 as 1 and zeros, not 9999999999999999583119736832
    rounded_value = exact.quantize(Decimal(1).scaleb(place), ROUND_HALF_EVEN)
    largest = max(abs(rounded_value), rounded_sigma.scaleb(place))
    top = _exponent(largest)
    shown = top - place + 1  # significant digits of the larger, down to the uncertainty's last
    shift = top if top < -4 or top >= shown else 0
    decimals = max(0, shift - place)
    mantissa = f"{rounded_value.scaleb(-shift):.{decimals}f}"
    if plus_minus:
        spread = f"{rounded_sigma.scaleb(place - shift):.{decimals}f}"
        text = f"{mantissa} ± {spread}"
        return f"({text})e{shift:+03d}" if shift else text
    if decimals and rounded_sigma >= 10**decimals:
        spread = f"{rounded_sigma.scaleb(-decimals):.{decimals}f}"  # it reaches the integer digits
    else:
        spread = f"{rounded_sigma}"
    return f"{mantissa}({spread})" + (f"e{shift:+03d}" if shift else "")

"""Constants of physics and quantities derived from them.

Everything public is written in pure Python (``ostrelin._pyostrelin``); when
the native core ``ostrelin._veldra_core`` imports, it answers the listings and
the catalogue lookups of `Get` instead, with the same results and errors.
`implementation` tells which one answers.
"""

from __future__ import annotations

from typing import Literal

from ._derive import DerivationError
from ._pyostrelin import Get, constant, constants, derive, list_constants, list_quarks, quark, quarks
from ._records import Constant, Quark

__version__ = "2.3.0"

__all__ = [
    "Constant",
    "DerivationError",
    "Get",
    "Quark",
    "__version__",
    "constant",
    "constants",
    "derive",
    "implementation",
    "list_constants",
    "list_quarks",
    "quark",
    "quarks",
]

implementation: Literal["native", "python"]
try:
    from ._native import Get, list_constants, list_quarks
except ImportError:
    implementation = "python"
else:
    implementation = "native"

"""Constants of physics and quantities derived from them.

Everything public is written in pure Python (``ostrelin._pyostrelin`` and
``ostrelin._pycatalogue``); when the native modules import, catalogues are
loaded, looked up and derived by ``ostrelin._veldra_catalogue`` instead, with
the same results and errors. `implementation` tells which one answers.
"""

from __future__ import annotations

import threading
from importlib import resources
from typing import TYPE_CHECKING, Final, Literal

from ._arrays import Evaluation
from ._builtin_entries import CONSTANTS
from ._errors import CatalogueError, DerivationError, UnitError
from ._lookup import find
from ._pyostrelin import Get, list_constants, list_quarks, quark, quarks
from ._records import Constant, Quark, Status
from ._units import Units

__version__ = "2.3.0"

__all__ = [
    "Catalogue",
    "CatalogueError",
    "Constant",
    "DerivationError",
    "Evaluation",
    "Get",
    "Quark",
    "Status",
    "UnitError",
    "Units",
    "__version__",
    "codata",
    "constant",
    "constants",
    "convert",
    "derive",
    "implementation",
    "list_constants",
    "list_quarks",
    "load",
    "loads",
    "parse_units",
    "quark",
    "quarks",
]

implementation: Literal["native", "python"]
if TYPE_CHECKING:
    # The pure twin is the typed reference; the native one answers alike.
    from ._pycatalogue import Catalogue, load, loads
    from ._units import convert, units_of
else:
    try:
        from ._native import Catalogue, load, loads
        from ._veldra_catalogue import convert, units_of
    except ImportError:
        from ._pycatalogue import Catalogue, load, loads
        from ._units import convert, units_of

        implementation = "python"
    else:
        implementation = "native"

constants: Final[Catalogue] = Catalogue(CONSTANTS, source="<built-in>")


def constant(name: str) -> Constant:
    """The built-in entry `name`; KeyError (with a hint) for an unknown name, ValueError for the empty name,
    TypeError for a non-str."""
    try:
        return constants[name]
    except KeyError:
        # A lookup's own errors, where the mapping has only KeyError.
        return find(name, constants)


def derive(name: str) -> float:
    """A built-in seed's value, or a built-in formula evaluated over its dependencies."""
    return constants.derive(name)


def parse_units(text: str) -> Units:
    """What the units `text` mean: `Units(scale, dimension)`, one of them in coherent SI and their dimension
    in SI base units. UnitError (a ValueError) says why a text means no units, and at which offset."""
    return units_of(text)


CODATA_FILE: Final = "data/codata-2022.json"
_codata_lock = threading.Lock()

if TYPE_CHECKING:
    # The CODATA 2022 recommended values (355 entries), read on first use.
    codata: Catalogue


def __getattr__(name: str) -> Catalogue:
    # `codata` is read from its file the first time it is asked for, once.
    if name != "codata":
        raise AttributeError(f"module 'ostrelin' has no attribute {name!r}")
    with _codata_lock:
        if "codata" not in globals():
            data = resources.files(__name__).joinpath(CODATA_FILE).read_bytes()
            globals()["codata"] = loads(data, source=f"ostrelin/{CODATA_FILE}")
    value: Catalogue = globals()["codata"]
    return value

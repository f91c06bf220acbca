"""The built-in tables in pure Python: the reference that the native core twins.

The core's `py_list_constants`, `py_list_quarks` and `py_get_constant` answer
the same as these functions (a test holds them to it), but each builds a
registry per call and so takes longer than reading prebuilt tables: the
package answers from here whether the core is there or not.
"""

from __future__ import annotations

from collections.abc import Mapping
from types import MappingProxyType
from typing import Any, Final

from ._builtin_entries import CONSTANTS, QUARKS
from ._lookup import find
from ._records import Constant, Quark

def _name(record: Constant | Quark) -> str:
    return record.name


# Code-point order is UTF-8 byte order, the order of the core's listings.
_constants: Final[Mapping[str, Constant]] = MappingProxyType({c.name: c for c in sorted(CONSTANTS, key=_name)})
quarks: Final[Mapping[str, Quark]] = MappingProxyType({q.name: q for q in sorted(QUARKS, key=_name)})
_CONSTANT_NAMES: Final = tuple(_constants)
_QUARK_NAMES: Final = tuple(quarks)
# Get answers for both tables; their names never overlap.
_EVERY_ENTRY: Final[Mapping[str, Constant | Quark]] = {**_constants, **quarks}


def list_constants() -> list[str]:
    """The catalogue's names in byte order, as a new list."""
    return list(_CONSTANT_NAMES)


def list_quarks() -> list[str]:
    """The six quark names in byte order, as a new list."""
    return list(_QUARK_NAMES)


def quark(name: str) -> Quark:
    """The quark `name`; KeyError (with a hint) for an unknown name."""
    return find(name, quarks, "quark")


def Get(name: str) -> dict[str, Any]:  # noqa: N802 - the name the core's docstrings give it
    """The datasheet of a catalogue entry, or the record of a quark, as a new dict.

    Raises KeyError (with a hint over both tables) for an unknown name,
    ValueError for the empty name, TypeError for a non-str.
    """
    entry = find(name, _EVERY_ENTRY)
    if isinstance(entry, Quark):
        return quark_sheet(entry)
    return datasheet(entry)


# Both dicts hold fields of their record under the fields' names, keys in
# byte order as the core's JSON text writes them.
_DATASHEET_FIELDS: Final = ("name", "status", "uncertainty", "units", "value")
_QUARK_FIELDS: Final = ("generation", "mass_mev", "mass_ratio", "name", "phi_exponent")


def datasheet(entry: Constant) -> dict[str, Any]:
    """What the core's py_get_constant returns for `entry`: its stored values."""
    return {field: getattr(entry, field) for field in _DATASHEET_FIELDS}


def quark_sheet(entry: Quark) -> dict[str, Any]:
    """A quark's record as a dict."""
    return {field: getattr(entry, field) for field in _QUARK_FIELDS}

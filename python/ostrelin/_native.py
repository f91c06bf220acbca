"""The twins that the native core answers; importing this fails without it."""

from __future__ import annotations

from typing import Any

from . import _pyostrelin
from ._lookup import EMPTY_NAME, is_empty_text
from ._veldra_core import py_get_constant as _py_get_constant
from ._veldra_core import py_list_constants as list_constants
from ._veldra_core import py_list_quarks as list_quarks

__all__ = ["Get", "list_constants", "list_quarks"]


def Get(name: str) -> dict[str, Any]:  # noqa: N802 - the name the core's docstrings give it
    """The datasheet of a catalogue entry, or the record of a quark, as a new dict.

    Raises KeyError (with a hint over both tables) for an unknown name,
    ValueError for the empty name, TypeError for a non-str.
    """
    # The core treats an empty name as a caller's bug and panics; the package
    # reports it as the ValueError it is, before the core sees it.
    if is_empty_text(name):
        raise ValueError(EMPTY_NAME)
    try:
        # At run time the core's key-by-key typed datasheet is a plain dict;
        # a cast() here would cost half the package's share of the call.
        return _py_get_constant(name)  # type: ignore[return-value]
    except KeyError:
        pass
    # Quarks, and the KeyError whose hint covers quark names as well.
    return _pyostrelin.Get(name)

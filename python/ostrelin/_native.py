"""The catalogue's native twin; importing this fails without the extensions.

``_veldra_catalogue.Catalogue`` holds a catalogue natively and answers the
mapping protocol and every method; this subclass adds what
``collections.abc.Mapping`` gives any mapping (keys, items, values, ==) and,
from the reference's own definitions in `_input`, what needs no native code
(repr, dump). `load` and `loads` check their arguments and turn a str into
bytes as the reference does, then hand over.
"""

from __future__ import annotations

import os
from collections.abc import Mapping

from ._input import CatalogueMixin, source_of, text_and_label
from ._records import Constant
from ._veldra_catalogue import Catalogue as _NativeCatalogue

__all__ = ["Catalogue", "load", "loads"]


# The native class comes first: what it answers (lookups, derive, datasheet) stays its own slots.
class Catalogue(_NativeCatalogue, CatalogueMixin, Mapping[str, Constant]):
    """An immutable mapping from name to `Constant`, iterated in byte order of the names.

    Made from records (``Catalogue(entries, source=...)``) or read from the
    file format by `load` and `loads`; all three validate alike and build
    all or nothing, raising CatalogueError. Thread-safe.
    """

    __slots__ = ()


def loads(data: str | bytes, *, base: Catalogue | None = None, source: str = "<string>") -> Catalogue:
    """The catalogue in `data`, a text in the file format; with `base`, it holds the base's entries too and its
    formulas may use them. Raises CatalogueError."""
    return Catalogue._read(*text_and_label(data, source), base)


def load(path: str | os.PathLike[str], *, base: Catalogue | None = None) -> Catalogue:
    """The catalogue in the file at `path` (over `base`, as `loads`). Raises CatalogueError, or OSError when the
    file cannot be read."""
    return Catalogue._load(source_of(path), base)

"""The catalogue's native twin; importing this fails without the extensions.

``_veldra_catalogue.Catalogue`` holds a catalogue natively and answers the
mapping protocol and every method; this subclass adds what
``collections.abc.Mapping`` gives any mapping (keys, items, values, ==) and
what needs no native code. `load` and `loads` check their arguments and turn
a str into bytes as the reference does, then hand over.
"""

from __future__ import annotations

import os
from collections.abc import Mapping

from ._input import check_source, source_of, utf8_of
from ._records import Constant
from ._veldra_catalogue import Catalogue as _NativeCatalogue

__all__ = ["Catalogue", "load", "loads"]


class Catalogue(_NativeCatalogue, Mapping[str, Constant]):
    """An immutable mapping from name to `Constant`, iterated in byte order of the names.

    Made from records (``Catalogue(entries, source=...)``) or read from the
    file format by `load` and `loads`; all three validate alike and build
    all or nothing, raising CatalogueError. Thread-safe.
    """

    __slots__ = ()

    def __repr__(self) -> str:
        return f"<Catalogue of {len(self)} entries from {self.source!r}>"

    def dump(self, path: str | os.PathLike[str]) -> None:
        """Writes `dumps()` to `path` as UTF-8."""
        with open(source_of(path), "w", encoding="utf-8") as out:
            out.write(self.dumps())


def loads(data: str | bytes, *, base: Catalogue | None = None, source: str = "<string>") -> Catalogue:
    """The catalogue in `data`, a text in the file format; with `base`, it holds the base's entries too and its
    formulas may use them. Raises CatalogueError."""
    label = check_source(source)
    return Catalogue._read(utf8_of(data, label), label, base)


def load(path: str | os.PathLike[str], *, base: Catalogue | None = None) -> Catalogue:
    """The catalogue in the file at `path` (over `base`, as `loads`). Raises CatalogueError, or OSError when the
    file cannot be read."""
    return Catalogue._load(source_of(path), base)

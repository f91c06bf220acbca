"""What both twins do alike in Python: what they do to their inputs before either reads them, the
file format's fixed words, and what a catalogue answers without reading its entries."""

from __future__ import annotations

import os
from collections.abc import Mapping
from typing import TYPE_CHECKING, Final, Protocol, cast

from ._arrays import Evaluation, _Evaluator, evaluate
from ._errors import CatalogueError, position_note, schema_error

if TYPE_CHECKING:
    from numpy.typing import ArrayLike

FORMAT: Final = "ostrelin-catalogue"
# Version 2 reads units as units: parsed, checked for dimension, converted through coherent SI.
VERSIONS: Final = (1, 2)
VERSION_CHOICES: Final = " or ".join(str(v) for v in VERSIONS)
STATUSES: Final = ("Seed", "Cached", "Pending", "External")
# Deeper nesting is refused before the reader recurses; a catalogue needs four levels.
MAX_JSON_DEPTH: Final = 64
# The native reader's limit; the reference keeps to it so both refuse the same texts.
MAX_TEXT_BYTES: Final = 0xFFFFFFFF
BOM: Final = b"\xef\xbb\xbf"
_NOT_UTF8: Final = "invalid UTF-8"


def is_text(value: object) -> bool:
    """Whether `value` is a str by its real type, as the native twin asks (a faked __class__ has no say)."""
    return issubclass(type(value), str)


def source_of(path: object) -> str:
    """The path as given, as a plain str; TypeError for what is not a str or a path of str."""
    if not is_text(path) and isinstance(path, os.PathLike):
        path = os.fspath(path)
    if is_text(path):
        return str.__str__(cast(str, path))
    raise TypeError(f"expected str or os.PathLike[str], not {type(path).__name__}")


def check_source(source: object) -> str:
    """`source` as a plain str; TypeError for a non-str, UnicodeEncodeError for one without a UTF-8 form."""
    if not is_text(source):
        raise TypeError(f"source must be a str, not {type(source).__name__}")
    text = str.__str__(cast(str, source))
    str.encode(text, "utf-8")
    return text


def line_and_column(text: str, at: int) -> tuple[int, int]:
    """1-based line and column (in characters) of position `at` of `text`."""
    line_start = text.rfind("\n", 0, at) + 1
    return text.count("\n", 0, at) + 1, at - line_start + 1


def text_problem(source: str, text: str, at: int, what: str) -> CatalogueError:
    """The error for a problem at character `at` of `text`, read from `source`."""
    return schema_error(source, position_note(*line_and_column(text, at), what))


def decode(raw: bytes, source: str) -> str:
    """`raw` as text; a text problem where its first byte that is not UTF-8 stands."""
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError as exc:
        before = raw[: exc.start].decode("utf-8")
        raise text_problem(source, before, len(before), _NOT_UTF8) from None


def utf8_of(data: object, source: str) -> bytes:
    """`data` (str or bytes) as UTF-8 bytes, a leading byte-order mark removed.

    A str that has no UTF-8 form (a lone surrogate) is a text problem of the
    catalogue; bytes are returned as they are, for the reader to check.
    """
    if isinstance(data, str):
        text = data[1:] if data.startswith("\ufeff") else data
        try:
            return text.encode("utf-8")
        except UnicodeEncodeError as exc:
            raise text_problem(source, text, exc.start, _NOT_UTF8) from None
    if isinstance(data, (bytes, bytearray)):
        raw = bytes(data)
        return raw[len(BOM) :] if raw.startswith(BOM) else raw
    raise TypeError(f"data must be str or bytes, not {type(data).__name__}")


def text_and_label(data: object, source: object) -> tuple[bytes, str]:
    """What `loads` reads and the label it names it by: `source` checked first, then `data` as UTF-8."""
    label = check_source(source)
    return utf8_of(data, label), label


class _Catalogue(Protocol):
    @property
    def source(self) -> str: ...

    def __len__(self) -> int: ...

    def dumps(self, *, base: bool = True) -> str: ...


class CatalogueMixin:
    """The methods both twins' Catalogue classes share, written once: none needs native code."""

    __slots__ = ()

    def __repr__(self: _Catalogue) -> str:
        return f"<Catalogue of {len(self)} entries from {self.source!r}>"

    def dump(self: _Catalogue, path: str | os.PathLike[str], *, base: bool = True) -> None:
        """Writes `dumps(base=base)` to `path` as UTF-8."""
        with open(source_of(path), "w", encoding="utf-8") as out:
            out.write(self.dumps(base=base))

    # The front end itself, not a call to it: a call on a thousand elements takes microseconds.
    evaluate = evaluate

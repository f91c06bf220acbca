"""What both twins do to their inputs before either reads them, and the file format's fixed words."""

from __future__ import annotations

import os
from typing import Final

FORMAT: Final = "ostrelin-catalogue"
VERSION: Final = 1
STATUSES: Final = ("Seed", "Cached", "Pending", "External")
# Deeper nesting is refused before the reader recurses; a catalogue needs four levels.
MAX_JSON_DEPTH: Final = 64
# The native reader's limit; the reference keeps to it so both refuse the same texts.
MAX_TEXT_BYTES: Final = 0xFFFFFFFF
BOM: Final = b"\xef\xbb\xbf"


def source_of(path: object) -> str:
    """The path as given, as text; TypeError for what is not a str or a path of str."""
    if isinstance(path, str):
        return path
    if isinstance(path, os.PathLike):
        text = os.fspath(path)
        if isinstance(text, str):
            return text
    raise TypeError(f"expected str or os.PathLike[str], not {type(path).__name__}")


def check_source(source: object) -> str:
    if not isinstance(source, str):
        raise TypeError(f"source must be a str, not {type(source).__name__}")
    return source


def line_and_column(text: str, at: int) -> tuple[int, int]:
    """1-based line and column (in characters) of position `at` of `text`."""
    line_start = text.rfind("\n", 0, at) + 1
    return text.count("\n", 0, at) + 1, at - line_start + 1


def utf8_of(data: object, source: str) -> bytes:
    """`data` (str or bytes) as UTF-8 bytes, a leading byte-order mark removed.

    A str that has no UTF-8 form (a lone surrogate) is a text problem of the
    catalogue; bytes are returned as they are, for the reader to check.
    """
    from ._errors import position_note, schema_error  # noqa: PLC0415 - _errors imports nothing of ours

    if isinstance(data, str):
        text = data[1:] if data.startswith("\ufeff") else data
        try:
            return text.encode("utf-8")
        except UnicodeEncodeError as exc:
            raise schema_error(source, position_note(*line_and_column(text, exc.start), "invalid UTF-8")) from None
    if isinstance(data, (bytes, bytearray)):
        raw = bytes(data)
        return raw[len(BOM) :] if raw.startswith(BOM) else raw
    raise TypeError(f"data must be str or bytes, not {type(data).__name__}")

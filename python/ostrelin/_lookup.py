"""Looking a name up the way the core does, errors and "did you mean" included."""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from typing import TypeVar, cast

from ._input import is_text

T = TypeVar("T")

EMPTY_NAME = "name must be non-empty"
_MAX_DISTANCE = 2


def not_a_str(value: object, argument: str = "name") -> TypeError:
    """The core's conversion error for an `argument` that is not a str."""
    return TypeError(f"argument '{argument}': '{type(value).__name__}' object cannot be converted to 'PyString'")


def is_empty_text(name: object) -> bool:
    """Whether `name` is a str, or a str subclass, with no text.

    Asked as the core asks: by the object's real type (not a faked
    ``__class__``) and its text (not a subclass's own ``__len__`` or ``__bool__``).
    """
    return is_text(name) and str.__len__(cast(str, name)) == 0


def find(name: object, table: Mapping[str, T], kind: str = "constant") -> T:
    """The entry of `table` called `name`, matched byte for byte.

    Raises TypeError when `name` is not a str, ValueError when it is empty,
    UnicodeEncodeError when it has no UTF-8 form, and otherwise KeyError with
    a note suggesting the closest key of `table`.
    """
    if not is_text(name):
        raise not_a_str(name)
    if is_empty_text(name):
        raise ValueError(EMPTY_NAME)
    # A str subclass is matched by its text, as the core reads it, never by
    # its own __eq__ or __hash__.
    text = name if type(name) is str else str.__str__(name)
    found = table.get(text)
    if found is None:
        raise not_found(text, table, kind)
    return found


def missing_key(name: str, kind: str = "constant") -> str:
    """The words of a lookup that finds nothing called `name`."""
    return f"{kind} `{str.__str__(name)}` not found in registry"


def not_found(name: str, candidates: Iterable[str], kind: str = "constant") -> KeyError:
    """The core's KeyError for `name`, noting the closest of `candidates`.

    Raises UnicodeEncodeError, as the core does before any lookup, when `name`
    holds a lone surrogate.
    """
    encoded = name.encode("utf-8")
    error = KeyError(missing_key(name, kind))
    suggestion = suggest(encoded, candidates)
    if suggestion is not None:
        error.add_note(suggestion_note(suggestion))
    return error


def suggestion_note(suggestion: str) -> str:
    """The note that offers `suggestion` for a name nothing is called."""
    return f"did you mean '{suggestion}'?"


def suggest(name: bytes, candidates: Iterable[str]) -> str | None:
    """The candidate the core would suggest for the UTF-8 text `name`, if any.

    Distance 0 when equal but for ASCII case and surrounding spaces, else the
    byte-wise edit distance; at most 2 and less than the candidate's length.
    The nearest wins, ties going to the first in byte order; a candidate equal
    to `name` is never suggested.
    """
    folded = name.strip(b" ").lower()  # bytes.lower() folds ASCII only
    best: bytes | None = None
    best_distance = _MAX_DISTANCE + 1
    for candidate in candidates:
        encoded = candidate.encode("utf-8")
        if encoded == name:
            continue
        distance = 0 if folded == encoded.lower() else edit_distance(name, encoded, _MAX_DISTANCE)
        if distance > _MAX_DISTANCE or distance >= len(encoded):
            continue
        if distance < best_distance or (distance == best_distance and best is not None and encoded < best):
            best, best_distance = encoded, distance
    return None if best is None else best.decode("utf-8")


def edit_distance(a: bytes, b: bytes, limit: int) -> int:
    """Levenshtein distance between `a` and `b`, or limit + 1 once it must exceed `limit`."""
    if abs(len(a) - len(b)) > limit:
        return limit + 1
    # A cell further than `limit` from the diagonal cannot be within it: only a band of each
    # row is computed, so a long near miss costs time linear in its length.
    beyond = limit + 1
    row = [min(j, beyond) for j in range(len(b) + 1)]
    for i, byte in enumerate(a, 1):
        first, last = max(1, i - limit), min(len(b), i + limit)
        diagonal = row[first - 1]
        row[first - 1] = min(i, beyond) if first == 1 else beyond
        best = row[first - 1]
        for j in range(first, last + 1):
            above = row[j]
            row[j] = min(above + 1, row[j - 1] + 1, diagonal + (byte != b[j - 1]), beyond)
            diagonal = above
            best = min(best, row[j])
        if best > limit:
            return beyond
    return row[-1]

"""The package's own exceptions, and the texts both twins build them from.

Every message and note here is shared by the pure-Python reference and the
native twin: the native module imports these classes and the differential
test holds both to the same texts.
"""

from __future__ import annotations

from typing import cast


class CatalogueError(ValueError):
    """A catalogue that cannot be built: bad text, wrong shape, a bad formula or a cycle.

    ``str()`` says which kind of problem; the note (``__notes__``) says where.
    """


class DerivationError(ValueError):
    """A formula whose value or uncertainty cannot be computed."""


class UnitError(ValueError):
    """A units text that means no units (``str()`` says why and at which offset), or a conversion
    between units of different dimensions."""


def schema_error(source: str, note: str) -> CatalogueError:
    """The error for a text or shape problem of the catalogue read from `source`."""
    error = CatalogueError(f"invalid JSON schema in `{source}`")
    error.add_note(note)
    return error


def parse_error(name: str, detail: str) -> CatalogueError:
    """The error for a formula of entry `name` that does not parse or names the wrong entries."""
    return CatalogueError(f"expression parse error in `{name}`: {detail}")


def cycle_error(name: str, cycle: list[str]) -> CatalogueError:
    """The error for formulas that depend on themselves; `cycle` starts and ends at `name`."""
    error = CatalogueError(f"cyclic derivation involving `{name}`")
    error.add_note(" -> ".join(cycle))
    return error


def load_failed_note(path: str, error: OSError) -> str:
    """The note on an OSError that stopped a catalogue file from being read."""
    return f"failed to load constants from `{path}`: {error.strerror} (os error {error.errno})"


def entry_note(index: int, name: object, what: str) -> str:
    """ "entry I (`NAME`): WHAT", the name part only when the entry's name is a
    non-empty str with a UTF-8 form (its text, whatever a subclass says)."""
    if issubclass(type(name), str):
        text = str.__str__(cast(str, name))
        try:
            text.encode("utf-8")
        except UnicodeEncodeError:
            return f"entry {index}: {what}"
        if text:
            return f"entry {index} (`{text}`): {what}"
    return f"entry {index}: {what}"


def position_note(line: int, column: int, what: str) -> str:
    return f"line {line}, column {column}: {what}"

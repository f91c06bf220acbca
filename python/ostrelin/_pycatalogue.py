"""Catalogues in pure Python: the readable reference that ``_veldra_catalogue`` twins.

A catalogue is read in stages, and the first problem of the earliest stage
is the one reported:

1. the text: UTF-8; then nesting at most MAX_JSON_DEPTH deep and no \\u
   escape of half a surrogate pair, whichever is met first; then JSON (the
   json module's own words and place; NaN and Infinity are not JSON);
2. the top level: its fields in file order, then the missing ones, then
   what version 1 lacks; then, in version 2, the units it declares, in order;
3. the entries in file order, each one's shape (its fields in file order,
   the missing ones, what its status allows), then whether its name was
   taken before, then its formula's text and dependency list;
4. the formulas in file order, each one's first name (in the text) that
   the catalogue lacks;
5. cycles: the first entry in file order that lies on one;
6. in version 2, units: each entry's in file order, then each formula's
   dimension against its units, in file order;
7. the correlations in order, each one's shape, its r, its two seeds, then
   whether they are two and their pair came before; then whether each
   group of seeds they join is positive semi-definite.

Values are computed once per catalogue, in dependency order, on the first
`derive`; a formula that cannot be computed fails alone with those that
depend on it. In version 2 a formula's program converts as it goes: each
value it loads is taken to coherent SI, and its result to its own units.
"""

from __future__ import annotations

import dataclasses
import json
import math
import os
import re
import stat
import threading
from collections import deque
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from fractions import Fraction
from typing import TYPE_CHECKING, Any, BinaryIO, Final, NoReturn, Protocol, Self, cast

from . import _expression as ex
from . import _pyarrays  # imports NumPy only once an evaluation asks for it
from ._errors import (
    CatalogueError, DerivationError, UnitError, cycle_error, entry_note, load_failed_note, parse_error,
    position_note, schema_error,
)
from ._input import FORMAT, MAX_JSON_DEPTH, MAX_TEXT_BYTES, STATUSES, VERSION_CHOICES, VERSIONS, CatalogueMixin
from ._input import check_source, decode, is_text, source_of, text_and_label, text_problem, utf8_of
from ._lookup import find, missing_key, not_a_str, suggest, suggestion_note
from ._pyostrelin import datasheet
from ._records import Constant, Status
from ._units import (
    FACTOR_BEYOND, MAX_EXPONENT, DeclarationRefused, DeclaredUnits, _Parsed, _text, dimension_text, dimensionless,
    factor,
    nearest_fraction, parsed_with, widened, width_of,
)

if TYPE_CHECKING:
    import numpy
    from numpy.typing import NDArray

_FIELDS: Final = (
    "name", "units", "value", "uncertainty", "status", "expression", "dependencies", "description", "symbol",
)
_TOP_FIELDS: Final = ("format", "version", "description", "units", "correlations", "constants")
_UNITS_NEED_VERSION_2: Final = "top-level field `units` needs version 2"
_CORRELATIONS_NEED_VERSION_2: Final = "top-level field `correlations` needs version 2"
_SEEDS: Final = ("Seed", "External")


class _Object(tuple[tuple[str, Any], ...]):
    """A JSON object as its members in file order, repeated keys kept."""


class _Problem(Exception):
    """A problem of one entry's shape: args[0] is what is wrong."""


def _kind(value: object) -> str:
    """What a JSON value or a record's field is, as the notes name it: asked of its real type (as the
    native twin asks), in a JSON value's words where a JSON value could hold it."""
    kind = type(value)
    if issubclass(kind, (_Object, dict)):  # an _Object is a tuple
        return "an object"
    if issubclass(kind, (list, tuple)):
        return "an array"
    if issubclass(kind, str):
        return "a string"
    if kind is bool:
        return "a boolean"
    if value is None:
        return "null"
    if kind in (int, float):
        return "a number"
    return f"a {kind.__name__} object"


# ---------------------------------------------------------------- the text

# A string, or what is left of one that the text cuts short (brackets inside never count), or a bracket.
_TOKEN: Final = re.compile(r'"(?:[^"\\]|\\.)*"?|[\[\]{}]', re.DOTALL)
# An escape in a string: a surrogate pair, half of one alone (the group), or any other.
_ESCAPE: Final = re.compile(
    r"\\u[dD][89abAB][0-9a-fA-F]{2}\\u[dD][c-fC-F][0-9a-fA-F]{2}|(\\u[dD][89a-fA-F][0-9a-fA-F]{2})|\\.", re.DOTALL,
)


class _NotJson(Exception):
    pass


def _integer(literal: str) -> float:
    # A JSON integer is read as the float nearest to it; -0 is the integer 0.
    return 0.0 if literal == "-0" else float(literal)


def _not_json(literal: str) -> float:
    raise _NotJson(literal)


def _too_long(source: str) -> CatalogueError:
    return text_problem(source, "", 0, "the text is longer than 4 GiB")


def _read_file(file: BinaryIO, source: str) -> bytes:
    """The bytes of `file`, refused unread when a regular file is too long; a stream stops one byte past the limit."""
    info = os.fstat(file.fileno())
    if stat.S_ISREG(info.st_mode):
        if info.st_size > MAX_TEXT_BYTES:
            raise _too_long(source)
        return file.read()
    data = bytearray()
    while len(data) <= MAX_TEXT_BYTES:
        chunk = file.read(min(1 << 20, MAX_TEXT_BYTES + 1 - len(data)))
        if not chunk:
            break
        data += chunk
    return bytes(data)


def _first_text_problem(text: str) -> tuple[int, str] | None:
    """Where the text first nests deeper than MAX_JSON_DEPTH or names half a surrogate pair by a \\u
    escape, and which: the json module would recurse that deep, and reads such a string (which has no
    UTF-8 form) without complaint."""
    depth = 0
    for token in _TOKEN.finditer(text):
        mark = token.group()
        if mark in ("[", "{"):
            depth += 1
            if depth > MAX_JSON_DEPTH:
                return token.start(), f"nesting deeper than {MAX_JSON_DEPTH} levels"
        elif mark in ("]", "}"):
            depth -= 1
        elif "\\u" in mark:
            for escape in _ESCAPE.finditer(mark):
                if escape.group(1):
                    return token.start() + escape.start(), "a \\u escape names half a surrogate pair"
    return None


def _read_json(raw: bytes, source: str) -> object:
    """The JSON value of `raw`; raises CatalogueError for a problem of the text."""
    # Too long a text is refused before anything in it is read.
    if len(raw) > MAX_TEXT_BYTES:
        raise _too_long(source)
    text = decode(raw, source)
    found = _first_text_problem(text)
    if found is not None:
        raise text_problem(source, text, *found)
    try:
        return json.loads(text, object_pairs_hook=_Object, parse_int=_integer, parse_constant=_not_json)
    except json.JSONDecodeError as exc:
        raise schema_error(source, position_note(exc.lineno, exc.colno, exc.msg)) from None
    except _NotJson as exc:  # the json module does not say where
        raise schema_error(source, f"`{exc.args[0]}` is not JSON") from None


# ---------------------------------------------------------------- shapes


@dataclasses.dataclass(slots=True)
class _Draft:
    """One entry's fields as read, before the catalogue is built."""

    name: str | None = None
    units: str | None = None
    value: float | None = None
    uncertainty: float | None = None
    status: str | None = None
    expression: str | None = None
    dependencies: tuple[str, ...] | None = None
    description: str = ""
    symbol: str | None = None


# ---- what an entry's fields must be, read from JSON or from a record alike

def _must_be(field: str, what: str, value: object) -> _Problem:
    return _Problem(f"{field} must be {what}, not {_kind(value)}")


def _too_large(field: str) -> _Problem:
    return _Problem(f"`{field}` is too large for a double")


def _finite(field: str, value: float) -> float:
    if math.isinf(value):
        raise _too_large(field)
    return value


def _named(name: str) -> str:
    if not name:
        raise _Problem("`name` must not be empty")
    return name


def _known_status(status: str) -> str:
    if status not in STATUSES:
        raise _Problem(f"`status` must be {', '.join(STATUSES[:-1])} or {STATUSES[-1]}, not `{status}`")
    return status


def _uncertainty(value: float) -> float:
    if value < 0:
        raise _Problem("`uncertainty` must not be negative")
    return value


# ---- an entry read from JSON


def _json_field(draft: _Draft, key: str, value: object) -> None:
    if key in ("name", "units", "status", "expression", "description", "symbol"):
        if not isinstance(value, str):
            raise _must_be(f"`{key}`", "a string", value)
        if key == "name":
            _named(value)
        if key == "status":
            _known_status(value)
        setattr(draft, key, value)
    elif key == "value":
        if not isinstance(value, float):
            raise _must_be("`value`", "a number", value)
        draft.value = _finite(key, value)
    elif key == "uncertainty":
        if value is not None:
            if not isinstance(value, float):
                raise _must_be("`uncertainty`", "a number or null", value)
            _uncertainty(_finite(key, value))
        draft.uncertainty = value
    else:
        if not isinstance(value, list):
            raise _must_be("`dependencies`", "an array of strings", value)
        for item, dependency in enumerate(value):
            if not isinstance(dependency, str):
                raise _must_be(f"item {item} of `dependencies`", "a string", dependency)
        draft.dependencies = tuple(value)


def _draft_from_json(entry: object) -> _Draft:
    if not isinstance(entry, _Object):
        raise _Problem(f"must be an object, not {_kind(entry)}")
    draft = _Draft()
    seen: set[str] = set()
    for key, value in entry:
        if key not in _FIELDS:
            raise _Problem(f"unknown field `{key}`")
        if key in seen:
            raise _Problem(f"field `{key}` is repeated")
        seen.add(key)
        _json_field(draft, key, value)
    for required in ("name", "units"):
        if required not in seen:
            raise _Problem(f"missing field `{required}`")
    return draft


# ---- an entry read from a record

def _record_text(label: str, value: object) -> str:
    """The text of a str field named `label` (`name`, item 0 of `dependencies`)."""
    if not is_text(value):
        raise _must_be(label, "a string", value)
    text = str.__str__(cast(str, value))  # a str subclass counts by its text alone
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise _Problem(f"{label} holds a lone surrogate") from None
    return text


def _record_number(field: str, value: object) -> float:
    kind = type(value)
    if kind is bool or not issubclass(kind, (int, float)):
        raise _must_be(f"`{field}`", "a number or null" if field == "uncertainty" else "a number", value)
    # The value itself: a subclass's own __float__ has no say.
    if issubclass(kind, int):
        try:
            return int.__float__(cast(int, value))
        except OverflowError:
            raise _too_large(field) from None
    number = float.__float__(cast(float, value))
    if not math.isfinite(number):
        raise _Problem(f"`{field}` must be finite, not {number!r}")
    return number


def _draft_from_record(entry: object, label: list[object]) -> _Draft:
    """The record's fields, each read once, in their order; its name goes to `label` for a note."""
    if not isinstance(entry, Constant):
        raise _Problem(f"must be a Constant, not {_kind(entry)}")
    draft = _Draft()
    label.append(entry.name)
    draft.name = _named(_record_text("`name`", label[0]))
    draft.value = _record_number("value", entry.value)
    draft.units = _record_text("`units`", entry.units)
    uncertainty = entry.uncertainty
    if uncertainty is not None:
        draft.uncertainty = _uncertainty(_record_number("uncertainty", uncertainty))
    draft.status = _known_status(_record_text("`status`", entry.status))
    expression = entry.expression
    draft.expression = None if expression is None else _record_text("`expression`", expression)
    dependencies = entry.dependencies
    if not issubclass(type(dependencies), (tuple, list)):
        raise _must_be("`dependencies`", "an array of strings", dependencies)
    listed = tuple(_record_text(f"item {item} of `dependencies`", d) for item, d in enumerate(dependencies))
    draft.dependencies = listed or None  # an empty tuple leaves them to the expression
    draft.description = _record_text("`description`", entry.description)
    symbol = entry.symbol
    draft.symbol = None if symbol is None else _record_text("`symbol`", symbol)
    # A record always has a value; a pending formula's is its placeholder 0.0.
    if draft.status == "Pending" and draft.value == 0.0:
        draft.value = None
    return draft


def _check_status(draft: _Draft) -> str:
    """The entry's status, given or by default; raises _Problem when its fields do not fit it."""
    status = draft.status or ("Seed" if draft.expression is None else "Pending")
    if status in _SEEDS:
        if draft.expression is not None:
            raise _Problem(f"a `{status}` entry takes no `expression`")
        if draft.value is None:
            raise _Problem("missing field `value`")
        if draft.dependencies:
            raise _Problem(f"a `{status}` entry takes no `dependencies`")
    else:
        if draft.expression is None:
            raise _Problem("missing field `expression`")
        if status == "Pending" and draft.value is not None:
            raise _Problem("a `Pending` entry takes no `value`")
        if status == "Cached" and draft.value is None:
            raise _Problem("missing field `value`")
    return status


def _check_symbol(draft: _Draft, version: int) -> None:
    if draft.symbol is None:
        return
    if version == 1:
        raise _Problem("`symbol` needs version 2")
    if not ex.is_formula_name(draft.symbol):
        raise _Problem(f"`symbol` must be a name a formula can use, not `{draft.symbol}`")


# ---------------------------------------------------------------- building


class _Built:
    """What a validated catalogue holds: records in file order, programs, and an evaluation order."""

    def __init__(self, version: int) -> None:
        self.version = version
        self.records: dict[str, Constant] = {}
        self.symbols: dict[str, str] = {}  # symbol: the name of its entry, the base's too
        # A formula's dependencies as its text spells them, where a symbol makes that differ from the names.
        self.spelled: dict[str, tuple[str, ...]] = {}
        self.programs: dict[str, ex.Program] = {}
        self.order: list[str] = []
        self.units: dict[str, _Parsed] = {}  # version 2: every entry's, the base's too
        # Units declared down the chain of bases and by this catalogue; None when there are none, so
        # that texts are read by the grammar alone (and remembered).
        self.declared: DeclaredUnits | None = None
        # How many of the records, and of the declared units, the base holds: they come first.
        self.inherited = 0
        self.inherited_units = 0
        # A version 2 catalogue lies somewhere under this one.
        self.over_version_2 = False
        # (entry, entry, r): the base's first, then this catalogue's own, in the order given.
        self.correlations: list[tuple[str, str, float]] = []
        self.inherited_correlations = 0
        # Each correlated seed's partners and their r, both ways round, in the same order.
        self.partners: dict[str, list[tuple[str, float]]] = {}


class _Entries(Mapping[str, Constant]):
    """The entries by name and by symbol, as lookups see them: a name first; iterated, names then symbols."""

    __slots__ = ("_records", "_symbols")

    def __init__(self, built: _Built) -> None:
        self._records, self._symbols = built.records, built.symbols

    def __getitem__(self, name: str) -> Constant:
        records = self._records
        return records[name] if name in records else records[self._symbols[name]]

    def __contains__(self, name: object) -> bool:
        return name in self._records or name in self._symbols

    def __iter__(self) -> Iterator[str]:
        yield from self._records
        yield from self._symbols

    def __len__(self) -> int:
        return len(self._records) + len(self._symbols)


def _json_label(entry: object) -> object:
    """The name a note about a JSON entry shows: its first "name" member."""
    if isinstance(entry, _Object):
        return next((value for key, value in entry if key == "name"), None)
    return None


def _build(
    entries: Iterable[object], source: str, from_json: bool, base: Catalogue | None, version: int,
    declarations: Iterable[tuple[str, object]] = (), correlations: Iterable[object] = (),
) -> _Built:
    built = _Built(version)
    # The declared units come first, as the top level that holds them is read before the entries.
    built.declared = _declared(declarations, source, base)
    if version == 2 and base is not None and base._built.version == 1:
        raise schema_error(
            source, "a version 2 catalogue cannot be built over a version 1 base, whose units are free text"
        )
    if base is not None:
        # The base's records and programs are the base's own objects, put in
        # this catalogue's tables; its formulas come first in the order, as
        # nothing of theirs depends on ours.
        built.records.update(base._built.records)
        built.programs.update(base._built.programs)
        built.symbols.update(base._built.symbols)
        built.spelled.update(base._built.spelled)
        built.inherited = len(base._built.records)
        built.over_version_2 = base._built.version == 2 or base._built.over_version_2
        built.inherited_units = 0 if base._built.declared is None else len(base._built.declared.definitions)
        built.units.update(_base_readings(base._built, built.declared))
    # Every entry's shape first, until one has a problem; entries after it
    # are not read (nor asked of an iterable). Then, in file order, each
    # earlier entry's name and formula: a problem there comes first.
    drafts: list[tuple[_Draft, str]] = []
    refused: CatalogueError | None = None
    for index, entry in enumerate(entries):
        label: list[object] = []
        try:
            if from_json:
                label.append(_json_label(entry))
                draft = _draft_from_json(entry)
            else:
                draft = _draft_from_record(entry, label)
            status = _check_status(draft)
            _check_symbol(draft, version)
            drafts.append((draft, status))
        except _Problem as problem:
            refused = schema_error(source, entry_note(index, label[0] if label else None, problem.args[0]))
            break
    first_at: dict[str, int] = {}
    named: dict[str, int] = {}
    for index, (draft, _) in enumerate(drafts):
        named.setdefault(cast(str, draft.name), index)
    own_symbols: dict[str, str] = {}
    for index, (draft, status) in enumerate(drafts):
        assert draft.name is not None and draft.units is not None
        taken = None
        if draft.name in first_at:
            taken = f"duplicate name, first at entry {first_at[draft.name]}"
        elif draft.name in built.records:
            taken = "duplicate name, first in the base catalogue"
        elif draft.symbol is not None:
            taken = _symbol_taken(draft.symbol, named, built, own_symbols, first_at)
            own_symbols[draft.symbol] = draft.name
        if taken is not None:
            raise schema_error(source, entry_note(index, draft.name, taken))
        first_at[draft.name] = index
        dependencies: tuple[str, ...] = ()
        if draft.expression is not None:
            try:
                program = ex.compile_formula(draft.name, draft.expression, draft.dependencies)
            except ex.ExpressionProblem as problem:
                raise parse_error(draft.name, problem.args[0]) from None
            built.programs[draft.name] = program
            dependencies = program.dependencies
        value = 0.0 if draft.value is None else draft.value
        built.records[draft.name] = Constant(
            draft.name, value, draft.units, draft.uncertainty, cast(Status, status), draft.expression, dependencies,
            draft.description, draft.symbol,
        )
    if refused is not None:
        raise refused
    built.symbols.update(own_symbols)
    own = built.programs if base is None else {n: p for n, p in built.programs.items() if n not in base._built.records}
    for name, program in own.items():
        _resolve(built, name, program)
    built.order = _evaluation_order(built)
    if version == 2:
        _read_units(built, list(first_at), source)
    if base is not None:
        built.correlations = list(base._built.correlations)
        built.inherited_correlations = len(built.correlations)
    _correlate(built, correlations, source, from_json, base)
    return built


def _symbol_taken(
    symbol: str, named: Mapping[str, int], built: _Built, own_symbols: Mapping[str, str], first_at: Mapping[str, int],
) -> str | None:
    """Why an entry may not have `symbol`, if it may not. A name may take a base's symbol (and hides it):
    files written before their base had symbols load."""
    if symbol in named:
        why = f"is the name of entry {named[symbol]}"
    elif symbol in built.records:
        why = "is the name of an entry in the base catalogue"
    elif symbol in own_symbols:
        why = f"is taken, first at entry {first_at[own_symbols[symbol]]}"
    elif symbol in built.symbols:
        why = "is taken in the base catalogue"
    else:
        return None
    return f"symbol `{symbol}` {why}"


def _resolve(built: _Built, name: str, program: ex.Program) -> None:
    """Makes the formula `name` load entries by name, its text's symbols resolved; ParseError for a name or
    symbol the catalogue lacks (the first in the text), with the hint a lookup of it gives."""
    records, symbols = built.records, built.symbols
    for slot in sorted(range(len(program.offsets)), key=program.offsets.__getitem__):
        used = program.dependencies[slot]
        if used not in records and used not in symbols:
            error = parse_error(name, f"`{used}` at offset {program.offsets[slot]} is not in the catalogue")
            suggestion = suggest(used.encode("utf-8"), [*records, *symbols])
            if suggestion is not None:
                error.add_note(suggestion_note(suggestion))
            raise error
    names = tuple(used if used in records else symbols[used] for used in program.dependencies)
    if names != program.dependencies:
        # A list written back spells each entry as the text does: an entry spelled two ways takes its
        # spellings in the order the text first uses them.
        in_text = [program.dependencies[slot] for slot in sorted(range(len(names)), key=program.offsets.__getitem__)]
        spellings = {entry: [used for used in in_text if (used if used in records else symbols[used]) == entry]
                     for entry in names}
        built.spelled[name] = tuple(spellings[entry][names[:slot].count(entry)] for slot, entry in enumerate(names))
        built.programs[name] = dataclasses.replace(program, dependencies=names)
        built.records[name] = dataclasses.replace(built.records[name], dependencies=names)


def _evaluation_order(built: _Built) -> list[str]:
    """The formulas, each after the formulas it depends on; CatalogueError for a cycle."""
    programs = built.programs
    waiting = {name: sum(d in programs for d in p.dependencies) for name, p in programs.items()}
    dependents: dict[str, list[str]] = {name: [] for name in programs}
    for name, program in programs.items():
        for dependency in program.dependencies:
            if dependency in programs:
                dependents[dependency].append(name)
    ready = deque(name for name, count in waiting.items() if count == 0)
    order: list[str] = []
    while ready:
        name = ready.popleft()
        order.append(name)
        for dependent in dependents[name]:
            waiting[dependent] -= 1
            if waiting[dependent] == 0:
                ready.append(dependent)
    if len(order) < len(programs):
        left = {name for name, count in waiting.items() if count > 0}
        raise _cycle(built, [name for name in programs if name in left], left)
    return order


def _cycle(built: _Built, left: list[str], members: set[str]) -> CatalogueError:
    """The cycle through the first entry, in file order, of those `left` that lies on one."""
    edges = {name: [d for d in built.programs[name].dependencies if d in members] for name in left}
    component: dict[str, int] = {}
    # Tarjan's strongly connected components, with explicit stacks.
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    stack: list[str] = []
    on_stack: set[str] = set()
    for root in left:
        if root in index:
            continue
        index[root] = low[root] = len(index)
        stack.append(root)
        on_stack.add(root)
        work = [(root, iter(edges[root]))]
        while work:
            node, pending = work[-1]
            for target in pending:
                if target not in index:
                    index[target] = low[target] = len(index)
                    stack.append(target)
                    on_stack.add(target)
                    work.append((target, iter(edges[target])))
                    break
                if target in on_stack:
                    low[node] = min(low[node], index[target])
            else:
                work.pop()
                if work:
                    parent = work[-1][0]
                    low[parent] = min(low[parent], low[node])
                if low[node] == index[node]:
                    members_of = []
                    while True:
                        member = stack.pop()
                        on_stack.discard(member)
                        members_of.append(member)
                        if member == node:
                            break
                    if len(members_of) > 1 or node in edges[node]:
                        for member in members_of:
                            component[member] = index[node]
    name = next(n for n in left if n in component)
    # The shortest way back, breadth first, dependencies in their listed order.
    parent_of: dict[str, str | None] = {name: None}
    queue = deque([name])
    while queue:
        node = queue.popleft()
        for target in edges[node]:
            if target == name:
                path = [node]
                while (step := parent_of[path[-1]]) is not None:
                    path.append(step)
                return cycle_error(name, [*reversed(path), name])
            if component.get(target) == component[name] and target not in parent_of:
                parent_of[target] = node
                queue.append(target)
    raise AssertionError("a strongly connected component holds a cycle through each member")


# ---------------------------------------------------------------- units (version 2)

_Dimension = tuple[Fraction, ...]


def _units_error(source: str, note: str) -> CatalogueError:
    error = CatalogueError(f"invalid units in `{source}`")
    error.add_note(note)
    return error


def _declared(
    declarations: Iterable[tuple[str, object]], source: str, base: Catalogue | None
) -> DeclaredUnits | None:
    """The units the chain of bases declares, then `declarations` (name, units text or None) in order."""
    inherited = None if base is None else base._built.declared
    own: DeclaredUnits | None = None
    for name, definition in declarations:
        if definition is not None and not is_text(definition):
            raise schema_error(source, f"unit `{name}` must be a units text or null, not {_kind(definition)}")
        text = None if definition is None else str.__str__(cast(str, definition))
        if text is not None:
            text.encode("utf-8")  # a lone surrogate: UnicodeEncodeError, as for any text passed on
        if own is None:
            own = DeclaredUnits(inherited)  # the base's stay as they are
        try:
            own.declare(name, text)
        except DeclarationRefused as refused:
            raise _units_error(source, refused.args[0]) from None
    return inherited if own is None else own


def _base_readings(base: _Built, declared: DeclaredUnits | None) -> Mapping[str, _Parsed]:
    """The base's units as read, with room for the base dimensions this catalogue declares too."""
    width = width_of(declared)
    if width == width_of(base.declared):
        return base.units
    return {name: widened(unit, width) for name, unit in base.units.items()}


def _record_declarations(units: dict[object, object]) -> Iterator[tuple[str, object]]:
    """The `units` argument's declarations in order, each name read as any str argument is."""
    for key, definition in list(dict.items(units)):
        if not is_text(key):
            raise TypeError(f"argument 'units': '{type(key).__name__}' object cannot be converted to 'PyString'")
        name = str.__str__(cast(str, key))
        name.encode("utf-8")
        yield name, definition


class _WrongDimension(Exception):
    """A formula whose dimension does not work out: args[0] says where."""


def _read_units(built: _Built, names: list[str], source: str) -> None:
    """Parses the units of the entries `names` (the catalogue's own, in file order), checks each of
    their formulas' dimension, and has each program convert to and from coherent SI."""
    for index, name in enumerate(names):
        try:
            built.units[name] = parsed_with(built.records[name].units, built.declared)
        except UnitError as problem:
            raise _units_error(source, entry_note(index, name, str(problem))) from None
    formulas = [(index, name) for index, name in enumerate(names) if name in built.programs]
    for index, name in formulas:
        try:
            _check_dimension(
                built.programs[name], built.units, built.records[name].units, built.units[name], built.declared
            )
        except _WrongDimension as wrong:
            error = CatalogueError(f"dimension error in `{name}`")
            error.add_note(entry_note(index, name, wrong.args[0]))
            raise error from None
    for _, name in formulas:
        built.programs[name] = _in_own_units(built.programs[name], built.units, built.units[name].scale)


def _check_dimension(
    program: ex.Program, units: Mapping[str, _Parsed], own_text: str, own: _Parsed, declared: DeclaredUnits | None
) -> None:
    """Raises _WrongDimension unless the program gives the dimension of its units `own`.

    Each operand is its dimension and, when it is a constant number, its value: units may be raised
    only to a constant power, read as a fraction. `declared` names the declared base dimensions.
    """
    loaded = [units[name].dimension for name in program.dependencies]
    number = dimensionless(len(own.dimension))
    stack: list[tuple[_Dimension, float | None]] = []
    for opcode, argument in program.code:
        if opcode == ex.NUMBER:
            stack.append((number, argument))
        elif opcode == ex.LOAD:
            stack.append((loaded[int(argument)], None))
        elif opcode == ex.NEG:
            dimension, constant = stack[-1]
            stack[-1] = (dimension, None if constant is None else -constant)
        elif opcode == ex.CALL:
            stack[-1] = (_call_dimension(ex.FUNCTIONS[int(argument)], stack[-1][0], declared), None)
        else:
            right = stack.pop()
            stack[-1] = _binary_dimension(opcode, stack[-1], right, declared)
    result = stack[0][0]
    if result != own.dimension:
        raise _WrongDimension(
            f"the expression gives {dimension_text(result, declared)}, its units `{own_text}` are "
            f"{dimension_text(own.dimension, declared)}"
        )


def _within_reach(dimension: _Dimension) -> _Dimension:
    # Exponents stay small fractions all the way, as a units text's do: a root or a product past them
    # would name a dimension no units text can.
    if any(abs(e.numerator) > MAX_EXPONENT or e.denominator > MAX_EXPONENT for e in dimension):
        raise _WrongDimension("the expression gives an exponent beyond 1000")
    return dimension


def _call_dimension(function: str, argument: _Dimension, declared: DeclaredUnits | None) -> _Dimension:
    if function == "sqrt":
        return _within_reach(tuple(e / 2 for e in argument))
    if any(argument):
        raise _WrongDimension(
            f"`{function}` needs a dimensionless argument, not {dimension_text(argument, declared)}"
        )
    return argument


def _binary_dimension(
    opcode: int, left: tuple[_Dimension, float | None], right: tuple[_Dimension, float | None],
    declared: DeclaredUnits | None,
) -> tuple[_Dimension, float | None]:
    (a, x), (b, y) = left, right
    if opcode in (ex.ADD, ex.SUB):
        if a != b:
            sign = "+" if opcode == ex.ADD else "-"
            raise _WrongDimension(f"`{sign}` joins {dimension_text(a, declared)} and {dimension_text(b, declared)}")
        if x is None or y is None:
            return a, None
        return a, (x + y if opcode == ex.ADD else x - y)
    if opcode == ex.MUL:
        return _within_reach(tuple(p + q for p, q in zip(a, b))), (None if x is None or y is None else x * y)
    if opcode == ex.DIV:
        quotient = _within_reach(tuple(p - q for p, q in zip(a, b)))
        return quotient, (None if x is None or y is None or y == 0.0 else x / y)
    # `**`
    if any(b):
        raise _WrongDimension(f"`**` needs a dimensionless exponent, not {dimension_text(b, declared)}")
    if not any(a):
        return a, None
    base = dimension_text(a, declared)
    if y is None:
        raise _WrongDimension(f"`**` raises {base} to an exponent that is not a constant number")
    power = nearest_fraction(y)
    if power is None:
        raise _WrongDimension(f"`**` raises {base} to {y!r}, which is no fraction with a denominator up to 1000")
    raised = tuple(e * power for e in a)
    if any(abs(e.numerator) > MAX_EXPONENT or e.denominator > MAX_EXPONENT for e in raised):
        raise _WrongDimension(f"`**` raises {base} to {y!r}, which gives an exponent beyond 1000")
    return raised, None


def _in_own_units(program: ex.Program, units: Mapping[str, _Parsed], own_scale: float) -> ex.Program:
    """The program with each value it loads taken to coherent SI and its result to its own units
    (`own_scale` of coherent SI): coherent SI units add nothing, so their formulas give the bits
    version 1 gives, and neither the evaluator nor the uncertainty pass knows of units."""
    code: list[ex.Instruction] = []
    for instruction in program.code:
        code.append(instruction)
        if instruction[0] == ex.LOAD:
            scale = units[program.dependencies[int(instruction[1])]].scale
            if scale != 1.0:
                code += [(ex.NUMBER, scale), (ex.MUL, 0)]
    if own_scale != 1.0:
        code += [(ex.NUMBER, own_scale), (ex.DIV, 0)]
    return dataclasses.replace(program, code=tuple(code))


# ---------------------------------------------------------------- correlations (version 2)

# A pivot of the factorisation within this of zero counts as zero, so that r = ±1 is semi-definite
# despite rounding; what stays beside a zero pivot may be off by the root of it.
_PIVOT_TOLERANCE: Final = 1e-9
_OFF_PIVOT_TOLERANCE: Final = 3.1622776601683794e-05  # the root of _PIVOT_TOLERANCE


class _Uncorrelated(Exception):
    """A correlation that cannot be: args[0] says why."""


def _correlations_error(source: str, note: str) -> CatalogueError:
    error = CatalogueError(f"invalid correlations in `{source}`")
    error.add_note(note)
    return error


def _sequence_items(value: object) -> tuple[object, ...] | None:
    """The items of a list or tuple, as stored (a subclass's own iteration has no say); None for anything else."""
    kind = type(value)
    if issubclass(kind, list):
        return tuple(list.__iter__(cast("list[object]", value)))
    if issubclass(kind, tuple):
        return tuple(tuple.__iter__(cast("tuple[object, ...]", value)))
    return None


def _correlation_shape(item: object, from_json: bool) -> tuple[str, str, object] | None:
    """Two names and a number, read as such; None for any other shape."""
    if from_json:
        if not isinstance(item, list) or len(item) != 3:
            return None
        first, second, r = item
        if not isinstance(first, str) or not isinstance(second, str) or not isinstance(r, float):
            return None
        return first, second, r
    items = _sequence_items(item)
    if items is None or len(items) != 3:
        return None
    first, second, r = items
    if not is_text(first) or not is_text(second) or type(r) is bool or not issubclass(type(r), (int, float)):
        return None
    names = str.__str__(cast(str, first)), str.__str__(cast(str, second))
    try:
        for name in names:
            name.encode("utf-8")
    except UnicodeEncodeError:  # a lone surrogate names nothing
        return None
    return *names, r


def _coefficient(r: object) -> float | None:
    """`r` as a double when it lies between -1 and 1; None otherwise (NaN and an int past a double too)."""
    if issubclass(type(r), int):
        try:
            number = int.__float__(cast(int, r))
        except OverflowError:
            return None
    else:
        number = float.__float__(cast(float, r))
    return number if -1.0 <= number <= 1.0 else None


def _correlated_seed(built: _Built, name: str, inherited: Mapping[str, Constant]) -> str:
    """The entry a correlation's `name` picks, as a lookup picks it; _Uncorrelated unless it is an uncertain
    seed of this catalogue's own."""
    records = built.records
    if name in records:
        entry = name
    elif name in built.symbols:
        entry = built.symbols[name]
    else:
        raise _Uncorrelated(f"`{name}` is not in the catalogue")
    if entry in inherited:
        raise _Uncorrelated(f"`{name}` is in the base catalogue, whose correlations are its own")
    if records[entry].expression is not None:
        raise _Uncorrelated(f"`{name}` is a formula; only seeds are correlated")
    if records[entry].uncertainty is None:
        raise _Uncorrelated(f"`{name}` has no uncertainty")
    return entry


def _correlate(
    built: _Built, items: Iterable[object], source: str, from_json: bool, base: Catalogue | None
) -> None:
    """Checks the catalogue's own correlations, each in turn, then that together they are positive
    semi-definite; adds them to `built` after the base's."""
    inherited: Mapping[str, Constant] = {} if base is None else base._built.records
    own: list[tuple[str, str, float]] = []
    first_at: dict[frozenset[str], int] = {}
    for index, item in enumerate(items):
        try:
            shape = _correlation_shape(item, from_json)
            if shape is None:
                raise _Uncorrelated(f"correlation {index} must be an array of two names and a number")
            first, second, given = shape
            r = _coefficient(given)
            if r is None:
                raise _Uncorrelated(f"correlation {index}: r must be between -1 and 1")
            try:
                a = _correlated_seed(built, first, inherited)
                b = _correlated_seed(built, second, inherited)
            except _Uncorrelated as problem:
                raise _Uncorrelated(f"correlation {index}: {problem.args[0]}") from None
            if a == b:
                raise _Uncorrelated(f"correlation {index} correlates `{a}` with itself")
            pair = frozenset((a, b))
            if pair in first_at:
                raise _Uncorrelated(
                    f"correlation {index}: `{a}` and `{b}` are correlated at correlation {first_at[pair]} already"
                )
        except _Uncorrelated as problem:
            raise _correlations_error(source, problem.args[0]) from None
        first_at[pair] = index
        own.append((a, b, r))
    groups = _components(own)
    where = {seed: (group, at) for group, members in enumerate(groups) for at, seed in enumerate(members)}
    # Per group, per member: the later members it is correlated with, and r.
    paired: list[list[list[tuple[int, float]]]] = [[[] for _ in members] for members in groups]
    for a, b, r in own:
        (group, i), (_, j) = where[a], where[b]
        paired[group][min(i, j)].append((max(i, j), r))
    for members, pairs in zip(groups, paired):
        failed = _first_failing_member(pairs)
        if failed is not None:
            raise _not_semi_definite(members[: failed + 1], source)
    built.correlations += own
    for a, b, r in built.correlations:
        built.partners.setdefault(a, []).append((b, r))
        built.partners.setdefault(b, []).append((a, r))


def _components(correlations: list[tuple[str, str, float]]) -> list[list[str]]:
    """The seeds the correlations join, in groups joined through them; each group in order of first mention,
    the groups in order of their first member's."""
    parent: dict[str, str] = {}

    def root(seed: str) -> str:
        while parent[seed] != seed:
            parent[seed] = parent[parent[seed]]
            seed = parent[seed]
        return seed

    for a, b, _ in correlations:
        parent.setdefault(a, a)
        parent.setdefault(b, b)
        parent[root(b)] = root(a)
    groups: dict[str, list[str]] = {}
    for seed in parent:  # in order of first mention
        groups.setdefault(root(seed), []).append(seed)
    return list(groups.values())


def _first_failing_member(paired: list[list[tuple[int, float]]]) -> int | None:
    """The index of the first member of a group that shows its matrix (1 on the diagonal, r where `paired`
    says) is not positive semi-definite, or None.

    An LDLᵀ factorisation without pivoting, column by column: a pivot below -1e-9, or beside a zero pivot
    a remainder beyond its root, fails. Sparse, so that a chain of n seeds costs n steps, not n³: lower[i]
    holds the non-zero L[i][k] (k rising), below[k] the rows i > k that have one in column k; a term left
    out is an exact zero, which changes no decision. The native twin does the same float operations in
    the same order, so both decide alike at the edge.
    """
    n = len(paired)
    lower: list[dict[int, float]] = [{} for _ in range(n)]
    below: list[list[int]] = [[] for _ in range(n)]
    d = [0.0] * n
    for j in range(n):
        pivot = 1.0
        for k, l in lower[j].items():
            pivot -= l * l * d[k]
        if pivot < -_PIVOT_TOLERANCE:
            return j
        d[j] = pivot if pivot > _PIVOT_TOLERANCE else 0.0
        rows = dict(paired[j])  # row i: A[i][j]
        for k in lower[j]:
            for i in below[k]:
                if i > j:
                    rows.setdefault(i, 0.0)
        for i in sorted(rows):
            v = rows[i]
            row = lower[i]
            for k, l in lower[j].items():  # k rising, where both rows hold one
                if k in row:
                    v -= row[k] * l * d[k]
            if d[j] == 0.0:
                if abs(v) > _OFF_PIVOT_TOLERANCE:
                    return i
            elif (l := v / d[j]) != 0.0:
                lower[i][j] = l
                below[j].append(i)
    return None


def _not_semi_definite(members: list[str], source: str) -> CatalogueError:
    named = ", ".join(f"`{member}`" for member in members)
    return _correlations_error(source, f"the correlations among {named} are not positive semi-definite")


# ---------------------------------------------------------------- derivation


class _Amounts(Protocol):
    """What the reverse pass reads of a catalogue's entries: their values and uncertainties, and which carry
    uncertainty. Floats for one catalogue; for `evaluate`'s whole arrays at once, NumPy arrays where a
    replaced seed makes them vary."""

    @property
    def uncertain(self) -> Mapping[str, bool]: ...

    @property
    def informed(self) -> Mapping[str, bool]: ...

    def value(self, name: str) -> float: ...

    def uncertainty(self, name: str) -> float | None: ...


class _Values:
    """Every formula's value (or why it has none), and which entries carry uncertainty, as `records` give
    them: a catalogue's, or (for one element of `evaluate`) those of the entries a formula reaches, some
    seeds' replaced. `order` is the formulas among them, each after those it depends on."""

    def __init__(
        self, records: Mapping[str, Constant], programs: Mapping[str, ex.Program], order: Iterable[str]
    ) -> None:
        self._records = records
        self.values: dict[str, float] = {}
        self.failures: dict[str, tuple[str, str]] = {}  # formula: (root formula, fault)
        # uncertain: depends on a seed with a non-zero uncertainty; informed: on a seed with any.
        self.uncertain: dict[str, bool] = {}
        self.informed: dict[str, bool] = {}
        for name, record in records.items():
            if record.expression is None:
                self.uncertain[name] = record.uncertainty is not None and record.uncertainty != 0.0
                self.informed[name] = record.uncertainty is not None
        for name in order:
            dependencies = programs[name].dependencies
            self.uncertain[name] = any(self.uncertain[d] for d in dependencies)
            self.informed[name] = any(self.informed[d] for d in dependencies)
            failed = next((d for d in dependencies if d in self.failures), None)
            if failed is not None:
                self.failures[name] = self.failures[failed]
                continue
            try:
                self.values[name] = ex.evaluate(programs[name].code, [self.value(d) for d in dependencies])
            except ex.ValueFault as fault:
                self.failures[name] = (name, fault.args[0])

    def value(self, name: str) -> float:
        return self.values[name] if name in self.values else self._records[name].value

    def uncertainty(self, name: str) -> float | None:
        return self._records[name].uncertainty

    def failure(self, name: str) -> DerivationError | None:
        if name not in self.failures:
            return None
        root, fault = self.failures[name]
        message = f"{fault} in the expression of `{root}`"
        return DerivationError(message if root == name else f"cannot derive `{name}`: {message}")


# (seed, ∂f/∂x σ): what each uncertain seed a formula reaches gives its uncertainty, signed.
_Terms = list[tuple[str, float]]
_Partners = Mapping[str, list[tuple[str, float]]]
_Backpropagate = Callable[[Sequence[ex.Instruction], Sequence[float], Sequence[bool], float], list[float]]


def _ancestry(records: Mapping[str, Constant], name: str, follow: Callable[[str], bool]) -> list[str]:
    """`name` and the entries it reaches through those `follow` allows, each before what it depends on."""
    finished: list[str] = []
    seen = {name}
    work = [(name, iter(records[name].dependencies))]
    while work:
        node, pending = work[-1]
        for dependency in pending:
            if dependency not in seen and follow(dependency):
                seen.add(dependency)
                work.append((dependency, iter(records[dependency].dependencies)))
                break
        else:
            work.pop()
            finished.append(node)
    finished.reverse()
    return finished


def _propagate(
    built: _Built, values: _Amounts, name: str, backpropagate: _Backpropagate = ex.backpropagate
) -> _Terms | None:
    """The formula's terms, seeds in the order the reverse pass meets them; None when no seed it reaches
    has an uncertainty. DerivationError when a derivative on the way is not finite."""
    if not values.informed[name]:
        return None
    if not values.uncertain[name]:
        return []
    uncertain = values.uncertain
    adjoint = {name: 1.0}
    terms: _Terms = []
    for node in _ancestry(built.records, name, uncertain.__getitem__):
        program = built.programs.get(node)
        if program is None:
            uncertainty = values.uncertainty(node)
            assert uncertainty is not None
            terms.append((node, adjoint[node] * uncertainty))
            continue
        dependencies = program.dependencies
        try:
            slots = backpropagate(
                program.code, [values.value(d) for d in dependencies], [uncertain[d] for d in dependencies],
                adjoint[node],
            )
        except ex.NotFinite:
            raise DerivationError(
                f"cannot propagate the uncertainty of `{name}`: a derivative in the expression of "
                f"`{node}` is not finite"
            ) from None
        for dependency, share in zip(dependencies, slots):
            if uncertain[dependency]:
                adjoint[dependency] = adjoint.get(dependency, 0.0) + share
    return terms


def _parts(partners: _Partners, terms_x: _Terms | None, terms_y: _Terms | None) -> tuple[float, float]:
    """The covariance of two entries given their terms, in two parts: what the seeds they share give,
    and what the correlations between their seeds (each one's `partners` and r) give."""
    diagonal = cross = 0.0
    if not terms_x or not terms_y:
        return diagonal, cross
    ty = dict(terms_y)
    # Sums are rebound, never added to in place: arrays of terms broadcast to a new shape as they add up.
    for seed, t in terms_x:
        if seed in ty:
            diagonal = diagonal + t * ty[seed]
        for partner, r in partners.get(seed, ()):
            if partner in ty:
                cross = cross + r * t * ty[partner]
    return diagonal, cross


def _variance(partners: _Partners, name: str, terms: _Terms) -> tuple[float, float]:
    """The two parts of the variance of the formula `name`; DerivationError when it is past a double."""
    diagonal, cross = _parts(partners, terms, terms)
    if not math.isfinite(diagonal + cross):
        raise DerivationError(f"the uncertainty of `{name}` is too large for a double")
    return diagonal, cross


def _propagated(built: _Built, values: _Values, name: str, partners: _Partners) -> float | None:
    """The formula's standard uncertainty, first order (None when no seed it reaches has one); DerivationError
    when it cannot be propagated."""
    terms = _propagate(built, values, name)
    if terms is None:
        return None
    diagonal, cross = _variance(partners, name, terms)
    return math.sqrt(max(diagonal + cross, 0.0))


_MIXED_VERSIONS: Final = (
    "a version 1 catalogue over a version 2 base is no one text: its formulas read units as text, the "
    "base's convert them; dumps(base=False) writes its own entries"
)
BUILT_ALREADY: Final = "Catalogue.__init__() cannot build a catalogue again: catalogues are immutable"
NOT_MADE: Final = "Catalogue object was not made by Catalogue.__init__()"


class Catalogue(CatalogueMixin, Mapping[str, Constant]):
    """An immutable mapping from name to `Constant`, iterated in byte order of the names.

    Made from records (``Catalogue(entries, source=...)``) or read from the
    file format by `load` and `loads`; all three validate alike and build
    all or nothing, raising CatalogueError. Thread-safe.
    """

    __slots__ = ("_built", "_entries", "_source", "_description", "_names", "_values", "_lock")

    def __init__(
        self, entries: Iterable[Constant], *, base: Catalogue | None = None, source: str = "<records>",
        version: int = 1, units: dict[str, str | None] | None = None,
        correlations: list[tuple[str, str, float]] | tuple[tuple[str, str, float], ...] | None = None,
    ) -> None:
        if _has_slot(self, "_built"):
            raise TypeError(BUILT_ALREADY)
        label = check_source(source)
        checked = _checked_base(base)
        if type(version) is not int or version not in VERSIONS:
            raise ValueError(f"version must be {VERSION_CHOICES}, not {version!r}")
        declarations: Iterable[tuple[str, object]] = ()
        if units is not None:
            if not issubclass(type(units), dict):
                raise TypeError(f"units must be a dict, not {type(units).__name__}")
            if version == 1 and dict.__len__(units):
                raise schema_error(label, _UNITS_NEED_VERSION_2)
            declarations = _record_declarations(cast("dict[object, object]", units))
        items: tuple[object, ...] = ()
        if correlations is not None:
            # Taken now: what the entries' iteration does to the list later has no say.
            listed = _sequence_items(correlations)
            if listed is None:
                raise TypeError(f"correlations must be a list or tuple, not {type(correlations).__name__}")
            if version == 1 and listed:
                raise schema_error(label, _CORRELATIONS_NEED_VERSION_2)
            items = listed
        built = _build(
            entries, label, from_json=False, base=checked, version=version, declarations=declarations,
            correlations=items,
        )
        if _has_slot(self, "_built"):  # the entries' iteration may have built it meanwhile
            raise TypeError(BUILT_ALREADY)
        self._setup(built, label, "")

    if not TYPE_CHECKING:  # typed, every attribute would pass

        def __getattr__(self, name: str) -> NoReturn:
            # Reached when a slot is empty: a subclass whose __init__ did not call this one.
            if name in Catalogue.__slots__:
                raise TypeError(NOT_MADE)
            raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}", name=name, obj=self)

    def __copy__(self) -> Self:
        """The catalogue itself: it is immutable."""
        return self

    def __deepcopy__(self, memo: object, /) -> Self:
        """The catalogue itself: it is immutable."""
        return self

    def _setup(self, built: _Built, source: str, description: str) -> None:
        self._built = built
        self._entries = _Entries(built)
        self._source = source
        self._description = description
        self._names: list[str] | None = None
        self._values: _Values | None = None
        self._lock = threading.Lock()

    @classmethod
    def _read(cls, raw: bytes, source: str, base: Catalogue | None) -> Catalogue:
        description, entries, version, units, correlations = _top_level(_read_json(raw, source), source)
        built = _build(
            entries, source, from_json=True, base=base, version=version, declarations=units,
            correlations=correlations,
        )
        catalogue = cls.__new__(cls)
        catalogue._setup(built, source, description)
        return catalogue

    @property
    def source(self) -> str:
        """The path the catalogue was read from, as given, or the label it was made with."""
        return self._source

    @property
    def description(self) -> str:
        """The file's description ("" when it has none)."""
        return self._description

    @property
    def version(self) -> int:
        """The file format's version: 1, units as free text; 2, units read, checked and converted."""
        return self._built.version

    def __getitem__(self, name: str) -> Constant:
        records = self._built.records
        if type(name) is str and name in records:
            return records[name]
        entries = self._entries
        # As any mapping: KeyError for whatever names no entry; a str gets a lookup's words and hint.
        if not is_text(name):
            raise KeyError(name)
        try:
            return find(name, entries)
        except ValueError:  # the empty name, a lone surrogate
            raise KeyError(missing_key(name)) from None

    def __contains__(self, name: object) -> bool:
        entries = self._entries  # an instance never built refuses before its argument is looked at
        if not is_text(name):
            return False
        return str.__str__(cast(str, name)) in entries

    def get(self, name: str, default: Any = None) -> Any:  # noqa: ANN401 - Mapping.get's own signature
        """The entry `name`, or `default` for whatever names no entry."""
        entries = self._entries
        if not is_text(name):
            return default
        return entries.get(str.__str__(name), default)

    def __len__(self) -> int:
        return len(self._built.records)

    def __iter__(self) -> Iterator[str]:
        return iter(self._sorted_names())

    def _sorted_names(self) -> list[str]:
        with self._lock:
            if self._names is None:
                # Code-point order is UTF-8 byte order.
                self._names = sorted(self._built.records)
            return self._names

    def names(self) -> list[str]:
        """The names in byte order, as a new list."""
        return list(self._sorted_names())

    def find(self, text: str) -> list[str]:
        """The names, in byte order, of the entries whose name or description contains `text`,
        compared after ``str.casefold()`` of both."""
        records = self._built.records
        if not is_text(text):
            raise not_a_str(text, "text")
        plain = str.__str__(text)
        str.encode(plain, "utf-8")  # a lone surrogate raises, as a lookup does
        folded = plain.casefold()
        return [
            name for name in self._sorted_names()
            if folded in name.casefold() or folded in records[name].description.casefold()
        ]

    def datasheet(self, name: str) -> dict[str, Any]:
        """The five stored fields of `Get` for entry `name`, as a new dict."""
        return datasheet(find(name, self._entries))

    def _derived_values(self) -> _Values:
        with self._lock:
            if self._values is None:
                built = self._built
                self._values = _Values(built.records, built.programs, built.order)
            return self._values

    def derive(self, name: str, units: str | None = None) -> float:
        """A seed's value, or a formula's value computed from its expression; in `units` when given.

        Raises DerivationError for a formula whose value, or one it depends
        on, cannot be computed (a division by zero, a domain error, an overflow),
        or for an entry that cannot be expressed in `units`.
        """
        entry = find(name, self._entries)
        value = entry.value if entry.expression is None else self._value(entry.name)
        if units is None:
            return value
        return value * self._conversion(entry, units)[0]

    def _value(self, name: str) -> float:
        values = self._derived_values()
        failure = values.failure(name)
        if failure is not None:
            raise failure
        return values.values[name]

    def derived(self, name: str, units: str | None = None) -> Constant:
        """The entry with its derived value: for a formula, status "Cached" and the propagated
        standard uncertainty (first order, seeds independent but as the catalogue correlates them;
        None when no seed it reaches has one).
        With `units`, the value and uncertainty in those units, which the record names."""
        entry = find(name, self._entries)
        if entry.expression is not None:
            value = self._value(entry.name)
            uncertainty = _propagated(self._built, self._derived_values(), entry.name, self._built.partners)
            entry = dataclasses.replace(entry, value=value, uncertainty=uncertainty, status="Cached")
        if units is None:
            return entry
        scale, text = self._conversion(entry, units)
        uncertainty = None if entry.uncertainty is None else entry.uncertainty * scale
        return dataclasses.replace(entry, value=entry.value * scale, units=text, uncertainty=uncertainty)

    def _reading(self, entry: Constant) -> _Parsed:
        """The entry's units: as a version 2 catalogue read them, else its text read now (a version 1
        text may mean no units: UnitError)."""
        built = self._built
        reading = built.units.get(entry.name)
        return parsed_with(entry.units, built.declared) if reading is None else reading

    def _conversion(self, entry: Constant, units: object) -> tuple[float, str]:
        """What takes the entry's values to `units`, and `units` as plain text; a version 1 entry
        converts as well when its units text reads as units."""
        text = _text(units, "units")
        declared = self._built.declared
        try:
            own = self._reading(entry)
        except UnitError as problem:
            raise DerivationError(f"cannot express `{entry.name}` in `{text}`: {problem}") from None
        target = parsed_with(text, declared)
        if own.dimension != target.dimension:
            raise DerivationError(
                f"cannot express `{entry.name}` in `{text}`: its units `{entry.units}` are "
                f"{dimension_text(own.dimension, declared)}, `{text}` is {dimension_text(target.dimension, declared)}"
            )
        found = factor(own, target)
        if found is None:
            raise DerivationError(f"cannot express `{entry.name}` in `{text}`: {FACTOR_BEYOND}")
        return found, text

    def dimension(self, name: str) -> str:
        """The dimension of the entry's units in SI base units, then the base dimensions the catalogue
        declares (``"kg m^2 s^-2"``, ``"s^-1 count"``, ``"1"``); UnitError for a units text that reads as
        no units."""
        return dimension_text(self._reading(find(name, self._entries)).dimension, self._built.declared)

    def budget(self, name: str) -> list[tuple[str, float]]:
        """Where the uncertainty of `name` comes from: each seed it reaches with a non-zero
        uncertainty and its contribution |∂f/∂x| σ, largest first (ties in byte order of the names);
        then, when correlations add to it or take from it, one last item named "" (no entry's name):
        the root of their part, signed as it is.

        The squares of the items, the last one's with its sign, sum to ``derived(name).uncertainty``
        squared.
        """
        entry = find(name, self._entries)
        if entry.expression is None:
            return [(entry.name, entry.uncertainty)] if entry.uncertainty else []
        self.derive(name)
        terms = _propagate(self._built, self._derived_values(), entry.name) or []
        _, cross = _variance(self._built.partners, entry.name, terms)
        shares = sorted(((seed, abs(term)) for seed, term in terms), key=lambda share: (-share[1], share[0]))
        if cross != 0.0:
            shares.append(("", math.copysign(math.sqrt(abs(cross)), cross)))
        return shares

    def covariance(self, a: str, b: str) -> float:
        """The covariance of the values of entries `a` and `b`, propagated to first order as `derived`
        propagates an uncertainty (the variance when both name one entry; 0.0 for an entry without
        uncertainty).

        Raises DerivationError as ``derived`` would for either.
        """
        first, second = find(a, self._entries), find(b, self._entries)
        terms_a, terms_b = self._terms(first), self._terms(second)
        return self._covariance(first, terms_a, second, terms_b)

    def correlation(self, a: str, b: str) -> float:
        """The correlation coefficient of the values of entries `a` and `b`, between -1 and 1; 0.0 when
        either has no uncertainty (or none at all).

        Raises DerivationError as ``derived`` would for either.
        """
        first, second = find(a, self._entries), find(b, self._entries)
        terms_a, terms_b = self._terms(first), self._terms(second)
        deviation_a = math.sqrt(self._covariance(first, terms_a, first, terms_a))
        deviation_b = math.sqrt(self._covariance(second, terms_b, second, terms_b))
        covariance = self._covariance(first, terms_a, second, terms_b)
        if deviation_a == 0.0 or deviation_b == 0.0:
            return 0.0
        r = covariance / (deviation_a * deviation_b)
        if math.isnan(r):  # infinite spreads: no coefficient
            return r
        return -1.0 if r < -1.0 else 1.0 if r > 1.0 else r  # rounding may take it past ±1

    def covariance_matrix(self, names: Iterable[str]) -> list[list[float]]:
        """The covariances of the entries `names` (an iterable of names, not one str), each with each, as
        `covariance` gives them: a symmetric matrix as a list of rows.

        Raises DerivationError as ``derived`` would for any of them.
        """
        table = self._entries  # an instance never built refuses before its argument is looked at
        if is_text(names):
            raise TypeError("names must be an iterable of names, not str")
        entries = [find(name, table) for name in list(names)]
        terms = [self._terms(entry) for entry in entries]
        matrix = [[0.0] * len(entries) for _ in entries]
        for i in range(len(entries)):
            for j in range(i, len(entries)):
                matrix[i][j] = matrix[j][i] = self._covariance(entries[i], terms[i], entries[j], terms[j])
        return matrix

    def _evaluate(
        self, name: str, names: tuple[str, ...], arrays: tuple[NDArray[numpy.float64], ...],
        sigma_names: tuple[str, ...], sigma_arrays: tuple[NDArray[numpy.float64], ...],
        out_value: NDArray[numpy.float64], out_sigma: NDArray[numpy.float64], nan: bool,
    ) -> bool | None:
        """`evaluate` past its front end: fills `out_value` (and `out_sigma`) element by element as ``derived(name)``
        would with the seeds `names` replaced. None when the result has no uncertainty; False when it is 0.0
        throughout (every seed reached is exact, no element failed), which a twin need not write; else True."""
        return _pyarrays.evaluate(self, name, names, arrays, sigma_names, sigma_arrays, out_value, out_sigma, nan)

    def _terms(self, entry: Constant) -> list[tuple[str, float]] | None:
        """What each seed the entry reaches with a non-zero uncertainty gives its uncertainty, signed
        (∂f/∂x σ); None when no seed it reaches has one. Raises DerivationError as ``derived`` would."""
        if entry.expression is None:
            if entry.uncertainty is None:
                return None
            return [(entry.name, entry.uncertainty)] if entry.uncertainty else []
        self._value(entry.name)
        terms = _propagate(self._built, self._derived_values(), entry.name)
        if terms is not None:
            _variance(self._built.partners, entry.name, terms)
        return terms

    def _covariance(
        self, a: Constant, terms_a: list[tuple[str, float]] | None, b: Constant, terms_b: list[tuple[str, float]] | None
    ) -> float:
        """The covariance of entries `a` and `b` given their terms; a variance is never taken below zero,
        where rounding could put it."""
        diagonal, cross = _parts(self._built.partners, terms_a, terms_b)
        return max(diagonal + cross, 0.0) if a.name == b.name else diagonal + cross

    def dumps(self, *, base: bool = True) -> str:
        """The catalogue in the file format; ``loads(cat.dumps()) == cat``. Without `base`, only its own entries
        (and the units and correlations it declares itself): the text loads over the same base into the same
        catalogue."""
        built = self._built
        if base and built.over_version_2 and built.version == 1:
            raise ValueError(_MIXED_VERSIONS)
        lines = ["{", f'  "format": "{FORMAT}",', f'  "version": {self._built.version},']
        if self._description:
            lines.append(f'  "description": {_json_text(self._description)},')
        declared = self._built.declared
        # Every unit declared down the chain of bases, as the text holds the bases' entries too; a
        # version 1 text reads units as free text and holds none.
        definitions = [] if declared is None else list(declared.definitions.items())
        if not base:
            definitions = definitions[self._built.inherited_units :]
        if definitions and self._built.version == 2:
            lines.append('  "units": {')
            lines.append(",\n".join(
                f"    {_json_text(name)}: {'null' if definition is None else _json_text(definition)}"
                for name, definition in definitions
            ))
            lines.append("  },")
        # The bases' correlations with the bases' entries, as the units; a version 1 text holds none.
        correlations = built.correlations if base else built.correlations[built.inherited_correlations :]
        if correlations and built.version == 2:
            lines.append('  "correlations": [')
            lines.append(",\n".join(
                f"    [{_json_text(a)}, {_json_text(b)}, {r!r}]" for a, b, r in correlations
            ))
            lines.append("  ],")
        records = list(built.records.items())
        if not base:
            records = records[built.inherited :]
        # A base's symbol that a later entry's name hides would take that entry's name in one text.
        entries = [
            _entry_json(record, built.programs.get(name), built.spelled.get(name, record.dependencies),
                        record.symbol is not None and record.symbol not in built.records)
            for name, record in records
        ]
        if entries:
            lines.append('  "constants": [')
            lines.append(",\n".join(f"    {entry}" for entry in entries))
            lines.append("  ]")
        else:
            lines.append('  "constants": []')
        lines.append("}")
        return "\n".join(lines) + "\n"


def _json_text(text: str) -> str:
    return json.dumps(text, ensure_ascii=False)


def _entry_json(record: Constant, program: ex.Program | None, spelled: tuple[str, ...], symbol: bool) -> str:
    """One entry's line (with its symbol if `symbol`); a formula's dependency list, when it needs one, spells
    them as the text does."""
    fields = [f'"name": {_json_text(record.name)}']
    if symbol and record.symbol is not None:
        fields.append(f'"symbol": {_json_text(record.symbol)}')
    fields.append(f'"units": {_json_text(record.units)}')
    if record.status != "Pending":
        fields.append(f'"value": {record.value!r}')
    if record.uncertainty is not None:
        fields.append(f'"uncertainty": {record.uncertainty!r}')
    if record.status != ("Seed" if program is None else "Pending"):
        fields.append(f'"status": "{record.status}"')
    if program is not None:
        fields.append(f'"expression": {_json_text(record.expression or "")}')
        if not program.uses_default_dependencies():
            fields.append(f'"dependencies": [{", ".join(_json_text(d) for d in spelled)}]')
    if record.description:
        fields.append(f'"description": {_json_text(record.description)}')
    return "{" + ", ".join(fields) + "}"


def _top_level(document: object, source: str) -> tuple[str, list[object], int, _Object, list[object]]:
    """The description, the entries, the version, the declared units (name, text or None) and the
    correlations of a file."""
    if not isinstance(document, _Object):
        raise schema_error(source, f"the top level must be an object, not {_kind(document)}")
    seen: set[str] = set()
    description = ""
    entries: list[object] = []
    version = 1
    units = _Object()
    correlations: list[object] = []
    for key, value in document:
        if key not in _TOP_FIELDS:
            raise schema_error(source, f"unknown top-level field `{key}`")
        if key in seen:
            raise schema_error(source, f"top-level field `{key}` is repeated")
        seen.add(key)
        if key == "format" and value != FORMAT:
            raise schema_error(source, f'`format` must be "{FORMAT}"')
        if key == "version":
            if not (isinstance(value, float) and value in VERSIONS):
                raise schema_error(source, f"`version` must be {VERSION_CHOICES}")
            version = int(value)
        if key == "description":
            if not isinstance(value, str):
                raise schema_error(source, f"`description` must be a string, not {_kind(value)}")
            description = value
        if key == "units":
            if not isinstance(value, _Object):
                raise schema_error(source, f"`units` must be an object, not {_kind(value)}")
            units = value
        if key == "correlations":
            if not isinstance(value, list):
                raise schema_error(source, f"`correlations` must be an array, not {_kind(value)}")
            correlations = value
        if key == "constants":
            if not isinstance(value, list):
                raise schema_error(source, f"`constants` must be an array, not {_kind(value)}")
            entries = value
    for required in ("format", "version", "constants"):
        if required not in seen:
            raise schema_error(source, f"missing top-level field `{required}`")
    if "units" in seen and version == 1:
        raise schema_error(source, _UNITS_NEED_VERSION_2)
    if "correlations" in seen and version == 1:
        raise schema_error(source, _CORRELATIONS_NEED_VERSION_2)
    return description, entries, version, units, correlations


def _checked_base(base: object) -> Catalogue | None:
    # One made without its constructor (object.__new__) holds no catalogue to build over.
    if base is not None and not (issubclass(type(base), Catalogue) and _has_slot(base, "_built")):
        raise TypeError(f"base must be a Catalogue, not {type(base).__name__}")
    return cast("Catalogue | None", base)


def _has_slot(obj: object, slot: str) -> bool:
    try:
        object.__getattribute__(obj, slot)
    except AttributeError:
        return False
    return True


def loads(data: str | bytes, *, base: Catalogue | None = None, source: str = "<string>") -> Catalogue:
    """The catalogue in `data`, a text in the file format; with `base`, it holds the base's entries too and its
    formulas may use them. Raises CatalogueError."""
    raw, label = text_and_label(data, source)
    return Catalogue._read(raw, label, _checked_base(base))


def load(path: str | os.PathLike[str], *, base: Catalogue | None = None) -> Catalogue:
    """The catalogue in the file at `path` (over `base`, as `loads`). Raises CatalogueError, or OSError when the
    file cannot be read."""
    source = source_of(path)
    _checked_base(base)
    try:
        with open(source, "rb") as file:
            raw = _read_file(file, source)
    except OSError as exc:
        if exc.filename is not None or exc.errno is None:
            exc.add_note(load_failed_note(source, exc))
            raise
        # A read that fails after the open names no file; name it, as the open would.
        named = OSError(exc.errno, exc.strerror, source)
        named.add_note(load_failed_note(source, named))
        raise named from None
    return Catalogue._read(utf8_of(raw, source), source, base)

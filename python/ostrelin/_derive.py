"""Deriving a formula's value from its expression text.

The expression language is small on purpose: decimal numbers, names, binary
``+ - * /``, unary minus and parentheses, with the usual precedence and left
associativity. It is parsed here by hand, never handed to Python's own
parser, so a catalogue text can do nothing but arithmetic.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from typing import TypeAlias

from ._lookup import find
from ._records import Constant

_DIGITS = frozenset("0123456789")
_NAME_START = frozenset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_")
_NAME_REST = _NAME_START | _DIGITS
_SPACES = frozenset(" \t")


class DerivationError(ValueError):
    """A formula that cannot be derived: bad expression text, a cycle, or division by zero."""


# A parsed expression: a number, a dependency's name, ("-", operand) for a
# negation, or (operator, left, right).
_Node: TypeAlias = float | str | tuple[str, "_Node"] | tuple[str, "_Node", "_Node"]


def evaluate(name: object, catalogue: Mapping[str, Constant]) -> float:
    """The value of entry `name` of `catalogue`: a seed's value, or a formula evaluated.

    Looking `name` up fails as ``ostrelin.constant`` does; a formula that
    cannot be derived raises DerivationError.
    """
    memo: dict[str, float] = {}

    def value_of(entry: Constant, active: tuple[str, ...]) -> float:
        if entry.expression is None:
            return entry.value
        if entry.name in memo:
            return memo[entry.name]
        if entry.name in active:
            raise DerivationError(f"cyclic derivation involving `{entry.name}`")
        tree = _Parser(entry, catalogue).parse()
        inner = (*active, entry.name)
        memo[entry.name] = _compute(tree, entry.name, lambda ref: value_of(catalogue[ref], inner))
        return memo[entry.name]

    return value_of(find(name, catalogue), ())


def _compute(node: _Node, formula: str, resolve: Callable[[str], float]) -> float:
    match node:
        case float():
            return node
        case str():
            return resolve(node)
        case (_, operand):
            return -_compute(operand, formula, resolve)
        case (operator, left, right):
            a = _compute(left, formula, resolve)
            b = _compute(right, formula, resolve)
            if operator == "+":
                return a + b
            if operator == "-":
                return a - b
            if operator == "*":
                return a * b
            if b == 0.0:
                raise DerivationError(f"division by zero in the expression of `{formula}`")
            return a / b
    raise AssertionError(node)  # the parser makes no other node


class _Parser:
    """Recursive descent over one formula's expression text.

    expression := term (("+" | "-") term)*
    term       := unary (("*" | "/") unary)*
    unary      := "-" unary | primary
    primary    := number | name | "(" expression ")"
    """

    def __init__(self, entry: Constant, catalogue: Mapping[str, Constant]) -> None:
        self._entry = entry
        self._catalogue = catalogue
        self._text = entry.expression or ""
        self._at = 0

    def parse(self) -> _Node:
        node = self._expression()
        if self._peek() != "":
            raise self._error(f"unexpected {self._describe()}")
        return node

    def _expression(self) -> _Node:
        return self._left_to_right(("+", "-"), self._term)

    def _term(self) -> _Node:
        return self._left_to_right(("*", "/"), self._unary)

    def _left_to_right(self, operators: tuple[str, ...], operand: Callable[[], _Node]) -> _Node:
        node = operand()
        while self._peek() in operators:
            operator = self._take()
            node = (operator, node, operand())
        return node

    def _unary(self) -> _Node:
        if self._peek() == "-":
            self._take()
            return ("-", self._unary())
        return self._primary()

    def _primary(self) -> _Node:
        char = self._peek()
        if char == "(":
            self._take()
            node = self._expression()
            if self._peek() != ")":
                raise self._error(f"expected `)` but found {self._describe()}")
            self._take()
            return node
        if char in _DIGITS:
            return float(self._scan_number())
        if char in _NAME_START:
            return self._reference(self._at, self._scan_name())
        raise self._error(f"expected a number, a name or `(` but found {self._describe()}")

    def _reference(self, start: int, name: str) -> str:
        if name not in self._entry.dependencies:
            raise self._error(f"`{name}` at offset {start} is not a dependency of `{self._entry.name}`")
        if name not in self._catalogue:
            raise self._error(f"`{name}` at offset {start} is not in the catalogue")
        return name

    def _scan_number(self) -> str:
        start = self._at
        self._scan_while(_DIGITS)
        if self._text.startswith(".", self._at):
            self._at += 1
            if self._at >= len(self._text) or self._text[self._at] not in _DIGITS:
                raise self._error("expected a digit after the decimal point")
            self._scan_while(_DIGITS)
        return self._text[start : self._at]

    def _scan_name(self) -> str:
        start = self._at
        self._scan_while(_NAME_REST)
        return self._text[start : self._at]

    def _scan_while(self, chars: frozenset[str]) -> None:
        while self._at < len(self._text) and self._text[self._at] in chars:
            self._at += 1

    def _peek(self) -> str:
        """The next non-space character, "" at the end; skips the spaces."""
        self._scan_while(_SPACES)
        return self._text[self._at] if self._at < len(self._text) else ""

    def _take(self) -> str:
        char = self._text[self._at]
        self._at += 1
        return char

    def _describe(self) -> str:
        char = self._peek()
        return "the end" if char == "" else f"`{char}` at offset {self._at}"

    def _error(self, detail: str) -> DerivationError:
        return DerivationError(
            f"expression parse error in `{self._entry.name}`: {detail} in `{self._text}`"
        )

"""The formula language: parsed by hand into a postfix program once, run many times.

    expression := term (("+" | "-") term)*
    term       := unary (("*" | "/") unary)*
    unary      := "-" unary | power
    power      := primary ("**" unary)?
    primary    := number | name | function "(" expression ")" | "(" expression ")"

So ``**`` is right-associative and binds tighter than a unary minus on its
left (``-a**2`` is ``-(a**2)``) but takes one on its right (``a ** -b``).
The parser is an operator-precedence loop with explicit stacks, never
recursion, and counts nesting as it goes: every parenthesis, call, unary
minus and right operand of ``**`` opens a level, and past `MAX_NESTING` the
text is refused. The native twin parses with the same loop, so both report
the same problem at the same offset (in characters).

Evaluation is IEEE double arithmetic in program order, each function the
platform's libm one (what ``math`` calls), so both twins compute the same
bits. The uncertainty pass runs the program forward, then backward
accumulating exact partial derivatives (reverse-mode differentiation).
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Final, Protocol

MAX_NESTING: Final = 256

# Instructions are (opcode, argument) pairs.
NUMBER, LOAD, NEG, ADD, SUB, MUL, DIV, POW, CALL = range(9)
Instruction = tuple[int, float]

FUNCTIONS: Final[tuple[str, ...]] = (
    "sqrt", "exp", "log", "log10", "sin", "cos", "tan", "asin", "acos", "atan", "sinh", "cosh", "tanh",
)
_FUNCTION_INDEX: Final = {name: index for index, name in enumerate(FUNCTIONS)}
# The other names of functions the language has, and the hint each gets: what a physicist writes first.
_OTHER_NAMES: Final = {
    "ln": ": write `log` for the natural logarithm", "arcsin": ": write `asin`", "arccos": ": write `acos`",
    "arctan": ": write `atan`",
}
_FUNCTION_CODE: Final[tuple[Callable[[float], float], ...]] = (
    math.sqrt, math.exp, math.log, math.log10, math.sin, math.cos, math.tan,
    math.asin, math.acos, math.atan, math.sinh, math.cosh, math.tanh,
)
_LN10: Final = math.log(10.0)

_SPACES: Final = frozenset(" \t\n\r")
_BINARY: Final = {"+": ADD, "-": SUB, "*": MUL, "/": DIV, "**": POW}
# Binding strength of what waits on the operator stack; the markers "(" and
# "call" are not operators and stop every reduction.
_PRECEDENCE: Final = {"+": 1, "-": 1, "*": 2, "/": 2, "neg": 3, "**": 4}

# Why a value cannot be computed.
DIVISION_BY_ZERO: Final = "division by zero"
DOMAIN_ERROR: Final = "math domain error"
OVERFLOW: Final = "overflow"


class ExpressionProblem(Exception):
    """Raised by `compile_formula` with the detail of a parse error."""


class ValueFault(Exception):
    """Raised by `evaluate`: args[0] is DIVISION_BY_ZERO, DOMAIN_ERROR or OVERFLOW."""


class NotFinite(Exception):
    """Raised by `backpropagate` when a partial derivative it needs is not finite."""


@dataclass(frozen=True, slots=True)
class Program:
    """A compiled formula: its code and the names it loads, slot by slot."""

    code: tuple[Instruction, ...]
    dependencies: tuple[str, ...]
    offsets: tuple[int, ...]  # where each dependency is first used

    def uses_default_dependencies(self) -> bool:
        """Whether the dependencies are the names used, in first-use order (what an absent list means)."""
        return list(self.offsets) == sorted(self.offsets) and "pi" not in self.dependencies


def _is_name_start(char: str) -> bool:
    return char == "_" or "a" <= char <= "z" or "A" <= char <= "Z" or char >= "\x80"


def _is_digit(char: str) -> bool:
    return "0" <= char <= "9"


def is_formula_name(text: str) -> bool:
    """Whether `text` reads as one name in a formula: `_` or a letter (any non-ASCII character counts as one),
    then those or digits; not "pi"."""
    return (
        text != "pi" and text != "" and _is_name_start(text[0])
        and all(_is_name_start(char) or _is_digit(char) for char in text)
    )


def compile_formula(owner: str, text: str, listed: Sequence[str] | None) -> Program:
    """The program of the formula of entry `owner`.

    `listed` is the entry's own dependency list, or None to take the names
    the text uses in first-use order. Raises ExpressionProblem.
    """
    return _Compiler(owner, text, listed).run()


class _Compiler:
    def __init__(self, owner: str, text: str, listed: Sequence[str] | None) -> None:
        self._owner = owner
        self._text = text
        self._listed = listed
        self._slots: dict[str, int] = {}
        if listed is not None:
            for slot, name in enumerate(listed):
                self._slots.setdefault(name, slot)
        self._names: list[str] = [] if listed is None else list(listed)
        self._offsets: list[int] = [] if listed is None else [-1] * len(listed)
        self._code: list[Instruction] = []
        self._operators: list[tuple[str, int]] = []  # (kind, function index)
        self._depth = 0

    def run(self) -> Program:
        text, n = self._text, len(self._text)
        at = 0
        want_operand = True
        while True:
            while at < n and text[at] in _SPACES:
                at += 1
            if at == n:
                break
            char = text[at]
            if want_operand:
                if _is_digit(char):
                    at = self._number(at)
                    want_operand = False
                elif _is_name_start(char):
                    start = at
                    at += 1
                    while at < n and (_is_name_start(text[at]) or _is_digit(text[at])):
                        at += 1
                    name = text[start:at]
                    after = at
                    while after < n and text[after] in _SPACES:
                        after += 1
                    if after < n and text[after] == "(":
                        function = _FUNCTION_INDEX.get(name)
                        if function is None:
                            hint = _OTHER_NAMES.get(name, "")
                            raise ExpressionProblem(f"unknown function `{name}` at offset {start}{hint}")
                        self._open(start, "call", function)
                        at = after + 1
                    else:
                        self._code.append(self._reference(name, start))
                        want_operand = False
                elif char == "(":
                    self._open(at, "(", 0)
                    at += 1
                elif char == "-":
                    self._open(at, "neg", 0)
                    at += 1
                else:
                    raise ExpressionProblem(f"expected a number, a name or `(` but found `{char}` at offset {at}")
            elif char == ")":
                while self._operators and self._operators[-1][0] in _PRECEDENCE:
                    self._reduce()
                if not self._operators:
                    raise ExpressionProblem(f"unexpected `)` at offset {at}")
                kind, function = self._operators.pop()
                self._depth -= 1
                if kind == "call":
                    self._code.append((CALL, function))
                at += 1
            elif char in "+-*/":
                operator = "**" if text.startswith("**", at) else char
                precedence = _PRECEDENCE[operator]
                while self._operators and (top := self._operators[-1][0]) in _PRECEDENCE and (
                    _PRECEDENCE[top] > precedence or (_PRECEDENCE[top] == precedence and operator != "**")
                ):
                    self._reduce()
                if operator == "**":
                    self._open(at, "**", 0)
                else:
                    self._operators.append((operator, 0))
                at += len(operator)
                want_operand = True
            else:
                hint = ": write `**` for a power" if char == "^" else ""
                raise ExpressionProblem(f"unexpected `{char}` at offset {at}{hint}")
        if want_operand:
            raise ExpressionProblem("expected a number, a name or `(` but found the end")
        while self._operators:
            if self._operators[-1][0] not in _PRECEDENCE:
                raise ExpressionProblem("expected `)` but found the end")
            self._reduce()
        self._check_listed()
        return Program(tuple(self._code), tuple(self._names), tuple(self._offsets))

    def _open(self, at: int, kind: str, function: int) -> None:
        if self._depth == MAX_NESTING:
            raise ExpressionProblem(f"nesting deeper than {MAX_NESTING} levels at offset {at}")
        self._depth += 1
        self._operators.append((kind, function))

    def _reduce(self) -> None:
        kind, _ = self._operators.pop()
        if kind == "neg":
            self._code.append((NEG, 0))
            self._depth -= 1
        else:
            self._code.append((_BINARY[kind], 0))
            if kind == "**":
                self._depth -= 1

    def _number(self, start: int) -> int:
        text, n = self._text, len(self._text)
        at = start
        while at < n and _is_digit(text[at]):
            at += 1
        if at < n and text[at] == ".":
            at += 1
            if at == n or not _is_digit(text[at]):
                raise ExpressionProblem(f"expected a digit after the decimal point at offset {at}")
            while at < n and _is_digit(text[at]):
                at += 1
        if at < n and text[at] in "eE":
            at += 1
            if at < n and text[at] in "+-":
                at += 1
            if at == n or not _is_digit(text[at]):
                raise ExpressionProblem(f"expected a digit in the exponent at offset {at}")
            while at < n and _is_digit(text[at]):
                at += 1
        literal = text[start:at]
        value = float(literal)
        if math.isinf(value):
            raise ExpressionProblem(f"number `{literal}` at offset {start} is too large for a double")
        self._code.append((NUMBER, value))
        return at

    def _reference(self, name: str, at: int) -> Instruction:
        slot = self._slots.get(name)
        if slot is None:
            if name == "pi":
                return (NUMBER, math.pi)
            if self._listed is not None:
                raise ExpressionProblem(f"`{name}` at offset {at} is not a dependency of `{self._owner}`")
            slot = self._slots[name] = len(self._names)
            self._names.append(name)
            self._offsets.append(at)
        elif self._offsets[slot] < 0:
            self._offsets[slot] = at
        return (LOAD, slot)

    def _check_listed(self) -> None:
        if self._listed is None:
            return
        seen: set[str] = set()
        for slot, name in enumerate(self._listed):
            if name in seen:
                raise ExpressionProblem(f"dependency `{name}` is listed twice")
            seen.add(name)
            if self._offsets[slot] < 0:
                raise ExpressionProblem(f"dependency `{name}` is not used by the expression")


def _binary(opcode: int, a: float, b: float) -> float:
    if opcode == ADD:
        result = a + b
    elif opcode == SUB:
        result = a - b
    elif opcode == MUL:
        result = a * b
    elif opcode == DIV:
        if b == 0.0:
            raise ValueFault(DIVISION_BY_ZERO)
        result = a / b
    else:
        try:
            # A square is the correctly rounded product, which pow is not always.
            result = a * a if b == 2.0 else math.pow(a, b)
        except ValueError:
            raise ValueFault(DOMAIN_ERROR) from None
        except OverflowError:
            raise ValueFault(OVERFLOW) from None
    if math.isinf(result):
        raise ValueFault(OVERFLOW)
    return result


def _call(function: int, x: float) -> float:
    # math raises exactly where libm gives NaN (a domain error) or infinity
    # (an overflow, or log's pole, which it calls a domain error).
    try:
        return _FUNCTION_CODE[function](x)
    except ValueError:
        raise ValueFault(DOMAIN_ERROR) from None
    except OverflowError:
        raise ValueFault(OVERFLOW) from None


def evaluate(code: Sequence[Instruction], inputs: Sequence[float]) -> float:
    """The program's value with `inputs` in its dependency slots. Raises ValueFault."""
    stack: list[float] = []
    for opcode, argument in code:
        if opcode == NUMBER:
            stack.append(argument)
        elif opcode == LOAD:
            stack.append(inputs[int(argument)])
        elif opcode == NEG:
            stack[-1] = -stack[-1]
        elif opcode == CALL:
            stack[-1] = _call(int(argument), stack[-1])
        else:
            b = stack.pop()
            stack[-1] = _binary(opcode, stack[-1], b)
    return stack[0]


class Functions(Protocol):
    """The functions `_partial` takes from a namespace: the math module's, or the same over arrays."""

    def pow(self, x: float, y: float, /) -> float: ...
    def log(self, x: float, /) -> float: ...
    def sqrt(self, x: float, /) -> float: ...
    def sin(self, x: float, /) -> float: ...
    def cos(self, x: float, /) -> float: ...
    def sinh(self, x: float, /) -> float: ...
    def cosh(self, x: float, /) -> float: ...


def _partial(
    opcode: int, argument: float, operand: int, a: float, b: float, result: float, m: Functions = math
) -> float:
    """∂result/∂(operand 0 or 1) of one instruction at its forward values, computed with the functions of
    `m`: math for one value, or math's element by element for arrays of them (the same formulas)."""
    if opcode == NEG:
        return -1.0
    if opcode == ADD:
        return 1.0
    if opcode == SUB:
        return 1.0 if operand == 0 else -1.0
    if opcode == MUL:
        return b if operand == 0 else a
    if opcode == DIV:
        return 1.0 / b if operand == 0 else -(result / b)
    if opcode == POW:
        return b * m.pow(a, b - 1.0) if operand == 0 else result * m.log(a)
    function = FUNCTIONS[int(argument)]
    if function == "sqrt":
        return 0.5 / result
    if function == "exp":
        return result
    if function == "log":
        return 1.0 / a
    if function == "log10":
        return 1.0 / (a * _LN10)
    if function == "sin":
        return m.cos(a)
    if function == "cos":
        return -m.sin(a)
    if function == "tan":
        return 1.0 + result * result
    if function == "asin":
        return 1.0 / m.sqrt(1.0 - a * a)
    if function == "acos":
        return -1.0 / m.sqrt(1.0 - a * a)
    if function == "atan":
        return 1.0 / (1.0 + a * a)
    if function == "sinh":
        return m.cosh(a)
    if function == "cosh":
        return m.sinh(a)
    return 1.0 - result * result  # tanh


def backpropagate(
    code: Sequence[Instruction], inputs: Sequence[float], uncertain: Sequence[bool], seed: float
) -> list[float]:
    """`seed` times ∂(program)/∂(each input slot), 0.0 for slots that are not `uncertain`.

    Only operands that depend on an uncertain input are differentiated, so
    an exact constant never asks for a derivative that does not exist
    (``x ** 2`` at ``x = 0`` needs no ``log(0)``). Raises NotFinite when a
    needed partial derivative, or their product along the chain, is not a
    finite number. Inputs must be values `evaluate` accepts.
    """
    values: list[float] = []
    operands: list[tuple[int, ...]] = []
    carries: list[bool] = []
    stack: list[int] = []
    for opcode, argument in code:
        if opcode == NUMBER:
            values.append(argument)
            operands.append(())
            carries.append(False)
        elif opcode == LOAD:
            values.append(inputs[int(argument)])
            operands.append(())
            carries.append(uncertain[int(argument)])
        elif opcode in (NEG, CALL):
            x = stack.pop()
            values.append(-values[x] if opcode == NEG else _call(int(argument), values[x]))
            operands.append((x,))
            carries.append(carries[x])
        else:
            y = stack.pop()
            x = stack.pop()
            values.append(_binary(opcode, values[x], values[y]))
            operands.append((x, y))
            carries.append(carries[x] or carries[y])
        stack.append(len(values) - 1)

    adjoint = [0.0] * len(code)
    adjoint[-1] = seed
    slots = [0.0] * len(inputs)
    for at in range(len(code) - 1, -1, -1):
        if not carries[at]:
            continue
        opcode, argument = code[at]
        if opcode == LOAD:
            slots[int(argument)] += adjoint[at]
            if not math.isfinite(slots[int(argument)]):
                raise NotFinite
            continue
        inputs_of = operands[at]
        a = values[inputs_of[0]]
        b = values[inputs_of[1]] if len(inputs_of) == 2 else 0.0
        for operand, source in enumerate(inputs_of):
            if not carries[source]:
                continue
            try:
                partial = _partial(opcode, argument, operand, a, b, values[at])
            except (ValueError, OverflowError, ZeroDivisionError):
                raise NotFinite from None
            if not math.isfinite(partial):
                raise NotFinite
            # Finite partials can still multiply or add up past the range.
            adjoint[source] += adjoint[at] * partial
            if not math.isfinite(adjoint[source]):
                raise NotFinite
    return slots

"""`Catalogue.evaluate` in pure Python, with NumPy: the reference the native twin follows.

Each element of the result is what ``derived(name)`` gives on the catalogue whose replaced seeds hold
that element's values. The whole arrays go through the catalogue's own algorithm at once: the formulas
a replaced seed changes are evaluated over arrays in the catalogue's order, then `derived`'s own
reverse pass (`_pycatalogue._propagate`, handed `_backpropagate` below) and covariance sums run over
them. Arithmetic and squares are NumPy's IEEE operations; functions and other powers are math's, called
element by element; so every element has the scalar's bits.

What that pass cannot vouch for, the scalar path answers one element at a time over the records with
that element's seeds (`_Values`, `_propagated`: the code `derived` runs): an element where a result on
the way is not finite (a fault, or a NaN or an infinity the scalar rules judge their own way), where
the variance is not, or where a given uncertainty is not above zero (0.0 makes a seed exact, so the
reverse pass takes other paths; a negative or NaN one is refused). So every fault, its words and the
zero-uncertainty case are the scalar's. A replaced seed has no correlations: it is a new input.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Callable, Mapping, Sequence
from typing import TYPE_CHECKING, Any

from . import _expression as ex
from . import _pycatalogue as pc  # which imports this module: its names are read when called
from ._errors import DerivationError
from ._lookup import find

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

    from ._records import Constant

    _Floats = NDArray[np.float64]


def evaluate(
    catalogue: pc.Catalogue, name: str, names: tuple[str, ...], arrays: tuple[_Floats, ...],
    sigma_names: tuple[str, ...], sigma_arrays: tuple[_Floats, ...], out_value: _Floats, out_sigma: _Floats, nan: bool,
) -> bool | None:
    """Fills `out_value`, and `out_sigma` when the result has an uncertainty, element by element; see
    `Catalogue._evaluate`. Every name is checked before anything is computed."""
    # Bound here, not at import: the package imports without NumPy, and evaluate's front end has imported it.
    global np  # noqa: PLW0603
    import numpy as np

    built, entries = catalogue._built, catalogue._entries
    target = find(name, entries).name
    reached = pc._ancestry(built.records, target, lambda _: True)
    replaced = _replaced(entries, target, set(reached), names, arrays)
    sigmas = _sigmas(entries, replaced, sigma_names, sigma_arrays)
    # Where a replaced seed stood in a correlation, the pair is gone; the others' stay.
    partners = {
        seed: [(partner, r) for partner, r in pairs if partner not in replaced]
        for seed, pairs in built.partners.items() if seed not in replaced
    }
    over = _Arrays(built, catalogue._derived_values(), reached, replaced, sigmas)
    informed = over.informed[target]
    with np.errstate(all="ignore"):
        unvouched = _whole(built, over, target, sigmas, partners, out_value, out_sigma)
    exact = _Exact(built, target, reached, replaced, sigmas, partners, out_value.shape)
    for flat in np.flatnonzero(unvouched):  # in C order: the first element with a problem is reported
        index = tuple(int(i) for i in np.unravel_index(flat, out_value.shape))
        value, sigma = exact.answer(index, nan)
        out_value[index] = value
        if sigma is not None:
            out_sigma[index] = sigma
    if not informed:
        return None
    # Every seed reached exact: False says the uncertainty is 0.0 throughout, where no element failed.
    return not over.exact(target) or bool(np.any(out_sigma != 0.0))


def _replaced(
    entries: Mapping[str, Constant], target: str, reached: set[str], names: Sequence[str], arrays: Sequence[_Floats]
) -> dict[str, _Floats]:
    """The seeds given values, by their names, in the order given."""
    replaced: dict[str, _Floats] = {}
    for key, array in zip(names, arrays):
        seed = find(key, entries)
        if seed.expression is not None:
            raise KeyError(f"`{seed.name}` is not a seed: only seeds' values can be given")
        if seed.name not in reached:
            raise KeyError(f"`{target}` does not depend on `{seed.name}`")
        if seed.name in replaced:
            raise ValueError(f"`{seed.name}` is given twice")
        replaced[seed.name] = array
    return replaced


def _sigmas(
    entries: Mapping[str, Constant], replaced: Mapping[str, _Floats], names: Sequence[str], arrays: Sequence[_Floats]
) -> dict[str, _Floats]:
    """The replaced seeds given uncertainties, by their names, in the order given."""
    sigmas: dict[str, _Floats] = {}
    for key, array in zip(names, arrays):
        seed = find(key, entries).name
        if seed not in replaced:
            raise KeyError(f"an uncertainty is given for `{seed}`, which has no values given")
        if seed in sigmas:
            raise ValueError(f"`{seed}` is given twice")
        sigmas[seed] = array
    return sigmas


# ---------------------------------------------------------------- the whole arrays at once


class _Arrays:
    """The entries a formula reaches, over the whole arrays (an `_Amounts` for `_propagate`): the replaced
    seeds and the formulas they change (`varying`, computed by `compute`) hold arrays, every other entry the
    catalogue's value."""

    def __init__(
        self, built: pc._Built, catalogue: pc._Values, reached: list[str], replaced: Mapping[str, _Floats],
        sigmas: Mapping[str, _Floats],
    ) -> None:
        self._catalogue, self._reached, self._replaced, self._sigmas = catalogue, reached, replaced, sigmas
        self.arrays: dict[str, Any] = dict(replaced)
        self.uncertain: dict[str, bool] = {}
        self.informed: dict[str, bool] = {}
        for name in reached:
            if name in replaced:
                # A seed given an uncertainty array counts as uncertain; where it is 0.0 the exact path answers.
                self.uncertain[name] = self.informed[name] = name in sigmas
            elif name not in built.programs:
                self.uncertain[name] = catalogue.uncertain[name]
                self.informed[name] = catalogue.informed[name]
        self.varying: list[str] = []  # in the catalogue's order
        within = set(reached)
        for name in (name for name in built.order if name in within):
            dependencies = built.programs[name].dependencies
            self.uncertain[name] = any(self.uncertain[d] for d in dependencies)
            self.informed[name] = any(self.informed[d] for d in dependencies)
            if any(d in replaced or d in self.varying for d in dependencies):
                self.varying.append(name)
        self._programs = built.programs

    def exact(self, name: str) -> bool:
        """Whether every seed `name` reaches that has an uncertainty has 0.0."""
        return self.informed[name] and not self.uncertain[name]

    def fails_everywhere(self) -> bool:
        """Whether a formula no replaced seed changes is one the catalogue cannot compute: then every element
        fails, though which formula each blames may depend on the element."""
        return any(name in self._catalogue.failures for name in self._reached if name not in self.varying)

    def compute(self) -> Any:  # noqa: ANN401 - an array of bools, or False
        """Computes the formulas that vary; returns the elements where a result on the way is not finite."""
        unfinished: Any = False
        for name in self.varying:
            program = self._programs[name]
            values, _ = _tape(program.code, [self.value(d) for d in program.dependencies])
            self.arrays[name] = values[-1]
            for result in values:
                unfinished = unfinished | ~np.isfinite(result)
        return unfinished

    def value(self, name: str) -> Any:  # noqa: ANN401 - an array, or the catalogue's float
        return self.arrays[name] if name in self.arrays else self._catalogue.value(name)

    def uncertainty(self, name: str) -> Any:  # noqa: ANN401 - an array, or the catalogue's float
        return self._sigmas.get(name) if name in self._replaced else self._catalogue.uncertainty(name)


def _whole(
    built: pc._Built, arrays: _Arrays, target: str, sigmas: Mapping[str, _Floats], partners: pc._Partners,
    out_value: _Floats, out_sigma: _Floats,
) -> NDArray[np.bool_]:
    """Fills every element as the whole arrays give it; returns the elements the exact path must answer."""
    unvouched = np.zeros(out_value.shape, dtype=bool)
    for sigma in sigmas.values():
        unvouched |= ~(sigma > 0.0)
    if arrays.fails_everywhere():
        unvouched[...] = True
        return unvouched
    unvouched |= arrays.compute()
    out_value[...] = arrays.value(target)
    if not arrays.informed[target]:
        return unvouched
    if target not in built.programs:  # a seed's uncertainty is its own, as derived() gives it
        out_sigma[...] = arrays.uncertainty(target)
        return unvouched
    terms = pc._propagate(built, arrays, target, _backpropagate) or []
    diagonal, cross = pc._parts(partners, terms, terms)
    variance = diagonal + cross
    unvouched |= ~np.isfinite(variance)
    out_sigma[...] = np.sqrt(np.maximum(variance, 0.0))
    return unvouched


class _Libm:
    """The math module's functions over arrays, element by element, so that they give the scalar's bits:
    NumPy's own differ from libm's in the last places, and a derivative such as tanh's, 1 - tanh², makes
    that many more. Where math raises, NaN, which hands the element to the exact path."""

    def __getattr__(self, name: str) -> Callable[..., Any]:
        function = getattr(math, name)

        def quiet(*operands: float) -> float:
            try:
                return float(function(*operands))
            except (ValueError, OverflowError):
                return math.nan

        over_arrays: Callable[..., Any] = np.vectorize(quiet, otypes=[np.float64])
        setattr(self, name, over_arrays)  # made once per name
        return over_arrays


_LIBM: Any = _Libm()


def _leaf(value: Any) -> Any:  # noqa: ANN401 - a float or an array
    # A float becomes NumPy's, whose arithmetic follows np.errstate: a Python float raises on 1.0 / 0.0.
    return value if isinstance(value, np.ndarray) else np.float64(value)


def _operate(opcode: int, argument: float, a: Any, b: Any) -> Any:  # noqa: ANN401 - arrays or NumPy floats
    """One instruction's result over arrays, unjudged: the scalar's `_binary` and `_call`, fault checks aside."""
    if opcode == ex.NEG:
        return -a
    if opcode == ex.CALL:
        return getattr(_LIBM, ex.FUNCTIONS[int(argument)])(a)
    if opcode == ex.ADD:
        return a + b
    if opcode == ex.SUB:
        return a - b
    if opcode == ex.MUL:
        return a * b
    if opcode == ex.DIV:
        return a / b
    # As in `_binary`, a square is the product; an exponent that varies squares where it is 2.
    if np.ndim(b) == 0:
        return a * a if b == 2.0 else _LIBM.pow(a, b)
    return np.where(b == 2.0, a * a, _LIBM.pow(a, b))


def _tape(code: Sequence[ex.Instruction], inputs: Sequence[Any]) -> tuple[list[Any], list[tuple[int, ...]]]:
    """Every instruction's result over the arrays, and the results each one takes, as `backpropagate` keeps them."""
    values: list[Any] = []
    operands: list[tuple[int, ...]] = []
    stack: list[int] = []
    for opcode, argument in code:
        if opcode == ex.NUMBER:
            values.append(_leaf(argument))
            operands.append(())
        elif opcode == ex.LOAD:
            values.append(_leaf(inputs[int(argument)]))
            operands.append(())
        elif opcode in (ex.NEG, ex.CALL):
            x = stack.pop()
            values.append(_operate(opcode, argument, values[x], None))
            operands.append((x,))
        else:
            y = stack.pop()
            x = stack.pop()
            values.append(_operate(opcode, argument, values[x], values[y]))
            operands.append((x, y))
        stack.append(len(values) - 1)
    return values, operands


def _backpropagate(
    code: Sequence[ex.Instruction], inputs: Sequence[Any], uncertain: Sequence[bool], seed: Any,  # noqa: ANN401
) -> list[Any]:
    """`_expression.backpropagate` over arrays: the same partials, added up in the same order, but nothing judged:
    a derivative that is not finite leaves the variance so, which hands its elements to the exact path."""
    values, operands = _tape(code, inputs)
    carries: list[bool] = []
    for (opcode, argument), taken in zip(code, operands):
        carries.append(uncertain[int(argument)] if opcode == ex.LOAD else any(carries[x] for x in taken))
    adjoint: list[Any] = [0.0] * len(code)
    adjoint[-1] = seed
    slots: list[Any] = [0.0] * len(inputs)
    # Sums are rebound, never added to in place: arrays broadcast to a new shape as they add up.
    for at in range(len(code) - 1, -1, -1):
        if not carries[at]:
            continue
        opcode, argument = code[at]
        if opcode == ex.LOAD:
            slots[int(argument)] = slots[int(argument)] + adjoint[at]
            continue
        taken = operands[at]
        a = values[taken[0]]
        b = values[taken[1]] if len(taken) == 2 else 0.0
        for operand, source in enumerate(taken):
            if carries[source]:
                partial = ex._partial(opcode, argument, operand, a, b, values[at], _LIBM)
                adjoint[source] = adjoint[source] + adjoint[at] * partial
    return slots


# ---------------------------------------------------------------- one element at a time


class _Exact:
    """The scalar path, for one element at a time: `derived`'s own code over the records the formula
    reaches, the replaced seeds' holding that element's values."""

    def __init__(
        self, built: pc._Built, target: str, reached: list[str], replaced: Mapping[str, _Floats],
        sigmas: Mapping[str, _Floats], partners: pc._Partners, shape: tuple[int, ...],
    ) -> None:
        self._built, self._target, self._partners = built, target, partners
        self._records = {name: built.records[name] for name in reached}
        within = set(reached)
        self._formulas = [name for name in built.order if name in within]
        self._values = {seed: np.broadcast_to(array, shape) for seed, array in replaced.items()}
        self._sigmas = {seed: np.broadcast_to(array, shape) for seed, array in sigmas.items()}

    def answer(self, index: tuple[int, ...], nan: bool) -> tuple[float, float | None]:
        """The element's value and uncertainty (None without one). ValueError for a given uncertainty that is
        negative or NaN; DerivationError as derived() raises it, or with `nan` NaN where it would."""
        sigmas = {seed: float(sigma[index]) for seed, sigma in self._sigmas.items()}
        for seed, sigma in sigmas.items():
            if sigma < 0.0 or math.isnan(sigma):
                raise ValueError(f"the uncertainty given for `{seed}` is negative or NaN at index {_where(index)}")
        records = dict(self._records)
        for seed, array in self._values.items():
            records[seed] = dataclasses.replace(records[seed], value=float(array[index]), uncertainty=sigmas.get(seed))
        target = records[self._target]
        if target.expression is None:
            return target.value, target.uncertainty
        values = pc._Values(records, self._built.programs, self._formulas)
        failure = values.failure(target.name)
        if failure is not None:
            if not nan:
                raise DerivationError(f"{failure.args[0]} at index {_where(index)}")
            return math.nan, math.nan
        value = values.values[target.name]
        try:
            return value, pc._propagated(self._built, values, target.name, self._partners)
        except DerivationError as problem:
            if not nan:
                raise DerivationError(f"{problem.args[0]} at index {_where(index)}") from None
            return value, math.nan


def _where(index: tuple[int, ...]) -> str:
    """An element's index as a message shows it: an int in one dimension, else the tuple."""
    return str(index[0]) if len(index) == 1 else str(index)

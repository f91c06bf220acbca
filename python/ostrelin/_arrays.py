"""`Catalogue.evaluate`'s front end, shared by both twins: it reads the caller's mappings and arrays into
float64 arrays of one broadcast shape, makes the result's arrays, and hands all of it to the twin's own
``_evaluate``. NumPy is imported only here and only when asked for, so the package imports without it."""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, Final, NamedTuple, Protocol, cast

if TYPE_CHECKING:
    import numpy
    from numpy.typing import ArrayLike, NDArray


class Evaluation(NamedTuple):
    """What `Catalogue.evaluate` gives: the values, element by element, and their standard uncertainties (None
    when no seed the formula reaches has one)."""

    value: NDArray[numpy.float64]
    uncertainty: NDArray[numpy.float64] | None


class _Evaluator(Protocol):
    def _evaluate(
        self, name: str, names: tuple[str, ...], arrays: tuple[NDArray[numpy.float64], ...],
        sigma_names: tuple[str, ...], sigma_arrays: tuple[NDArray[numpy.float64], ...],
        out_value: NDArray[numpy.float64], out_sigma: NDArray[numpy.float64], nan: bool,
    ) -> bool | None: ...


_ERRORS = ("raise", "nan")


_numpy: Any = None  # NumPy, once an evaluation has imported it, its float64, and a 0.0 of it
_FLOAT64: Any = None
_ZERO: Any = None


def evaluate(
    self: _Evaluator, name: str, values: Mapping[str, ArrayLike], *,
    uncertainties: Mapping[str, ArrayLike] | None = None, errors: str = "raise",
) -> Evaluation:
    """The formula (or seed) `name` over arrays of its seeds' values: ``Evaluation(value, uncertainty)``,
    two float64 arrays of the shape the given arrays broadcast to (uncertainty None when no seed `name`
    reaches has one).

    `values` maps seeds that `name` reaches (names or symbols) to arrays of real numbers (anything
    ``numpy.asarray`` reads: a list, a scalar, an int array); `uncertainties` maps some of those seeds to
    arrays of their standard uncertainties. Element i of the result is what ``derived(name)`` gives on this
    catalogue with those seeds holding element i of their arrays, bit for bit (each function is the
    platform's libm one, element by element, as in ``derived``), in either twin. A replaced seed is a new,
    independent input: its correlations in the catalogue are dropped; the other seeds keep theirs. A
    replaced seed without an uncertainty array has none; an element whose uncertainty is 0.0 is exact.

    Raises ImportError without NumPy; TypeError for mappings or arrays of the wrong types; ValueError for
    `errors` other than "raise" or "nan", shapes that do not broadcast, a seed given twice (say by name and
    by symbol), and an uncertainty that is negative or NaN (at any element, whatever `errors` says);
    KeyError, TypeError or ValueError for names as every lookup raises them, KeyError for a formula or a
    seed `name` does not reach among `values` and for an uncertainty of a seed without values. Then, by
    element in C order: with errors="raise", the first element whose value or uncertainty cannot be
    computed raises DerivationError with ``derived``'s own words and ``at index I``; with errors="nan",
    such an element's value and uncertainty are NaN, or only its uncertainty when the value could be
    computed but not propagated.
    """
    numpy = _numpy if _numpy is not None else _import_numpy()
    if errors not in _ERRORS:
        raise ValueError(f"errors must be 'raise' or 'nan', not {errors!r}")
    if type(values) is not dict and not isinstance(values, Mapping):
        raise TypeError(f"values must be a mapping from seed names to arrays, not {type(values).__name__}")
    if uncertainties is not None and type(uncertainties) is not dict and not isinstance(uncertainties, Mapping):
        raise TypeError(
            f"uncertainties must be a mapping from seed names to arrays, not {type(uncertainties).__name__}"
        )
    given, spreads = _read(numpy, "values", values), _read(numpy, "uncertainties", uncertainties)
    shape = _shape(numpy, given, spreads)
    value, sigma = numpy.empty(shape), numpy.empty(shape)
    written = self._evaluate(name, given[0], given[1], spreads[0], spreads[1], value, sigma, errors == "nan")
    if written is None:
        return Evaluation(value, None)
    # 0.0 throughout (every seed reached exact): zeros that take no memory, read-only as a broadcast is.
    return Evaluation(value, sigma if written else numpy.broadcast_to(_ZERO, shape))


def _import_numpy() -> Any:  # noqa: ANN401 - the module
    global _numpy, _FLOAT64, _ZERO  # noqa: PLW0603
    try:
        import numpy
    except ImportError as missing:
        raise ImportError("Catalogue.evaluate needs NumPy: pip install ostrelin[numpy]", name="numpy") from missing
    _numpy, _FLOAT64, _ZERO = numpy, numpy.dtype(numpy.float64), numpy.float64(0.0)
    return numpy


def _read(
    numpy: Any, what: str, mapping: Mapping[str, ArrayLike] | None  # noqa: ANN401
) -> tuple[tuple[str, ...], tuple[NDArray[numpy.float64], ...]]:
    """The keys of `mapping` and its arrays as float64 arrays (one already is used as it is, never copied)."""
    if mapping is None:
        return (), ()
    items: list[tuple[str, Any]] = list(mapping.items())
    arrays = tuple([
        obj if type(obj) is numpy.ndarray and obj.dtype is _FLOAT64 else _floats(numpy, what, key, obj)
        for key, obj in items
    ])
    return tuple([key for key, _ in items]), arrays


def _floats(numpy: Any, what: str, key: object, obj: object) -> NDArray[numpy.float64]:  # noqa: ANN401
    """`obj` as a float64 array."""
    array = numpy.asarray(obj)
    if array.dtype.kind not in "iuf":
        raise TypeError(f"the {what} of `{key}` must be real numbers, not {array.dtype}")
    return cast("NDArray[numpy.float64]", array.astype(numpy.float64, copy=False))


# How many arrays numpy.broadcast takes at once (32 before NumPy 2).
_AT_ONCE: Final = 32


def _shape(
    numpy: Any, given: tuple[tuple[str, ...], tuple[NDArray[numpy.float64], ...]],  # noqa: ANN401
    spreads: tuple[tuple[str, ...], tuple[NDArray[numpy.float64], ...]],
) -> tuple[int, ...]:
    """The shape the arrays broadcast to; ValueError naming the first that does not broadcast with those before."""
    everything = given[1] + spreads[1]
    if not everything:
        return ()
    shape: tuple[int, ...] = everything[0].shape
    for array in everything:
        if array.shape != shape:
            break
    else:
        return shape
    if len(everything) <= _AT_ONCE:
        try:
            shape = numpy.broadcast(*everything).shape
            return shape
        except ValueError:
            pass  # found below, array by array
    shape = ()
    for what, (keys, arrays) in (("values", given), ("uncertainties", spreads)):
        for key, array in zip(keys, arrays):
            try:
                shape = numpy.broadcast_shapes(shape, array.shape)
            except ValueError:
                raise ValueError(
                    f"the {what} of `{key}` have shape {array.shape}, which does not broadcast with {shape}"
                ) from None
    return shape

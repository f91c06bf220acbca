"""`Catalogue.evaluate`'s front end, shared by both twins: it reads the caller's mappings and arrays into
float64 arrays of one broadcast shape, makes the result's arrays, and hands all of it to the twin's own
``_evaluate``. NumPy is imported only here and only when asked for, so the package imports without it."""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, NamedTuple, Protocol

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
    ) -> bool: ...


_ERRORS = ("raise", "nan")


def evaluate(
    catalogue: _Evaluator, name: str, values: Mapping[str, ArrayLike], uncertainties: Mapping[str, ArrayLike] | None,
    errors: str,
) -> Evaluation:
    """`catalogue.evaluate(name, values, uncertainties=..., errors=...)`; see `CatalogueMixin.evaluate`."""
    try:
        import numpy
    except ImportError as missing:
        raise ImportError("Catalogue.evaluate needs NumPy: pip install ostrelin[numpy]", name="numpy") from missing
    if errors not in _ERRORS:
        raise ValueError(f"errors must be 'raise' or 'nan', not {errors!r}")
    if not isinstance(values, Mapping):
        raise TypeError(f"values must be a mapping from seed names to arrays, not {type(values).__name__}")
    if uncertainties is not None and not isinstance(uncertainties, Mapping):
        raise TypeError(
            f"uncertainties must be a mapping from seed names to arrays, not {type(uncertainties).__name__}"
        )
    given = list(values.items())
    spreads = [] if uncertainties is None else list(uncertainties.items())
    arrays = [_floats("values", key, obj) for key, obj in given]
    sigma_arrays = [_floats("uncertainties", key, obj) for key, obj in spreads]
    shape: tuple[int, ...] = ()
    for what, items, read in (("values", given, arrays), ("uncertainties", spreads, sigma_arrays)):
        for (key, _), array in zip(items, read):
            try:
                shape = numpy.broadcast_shapes(shape, array.shape)
            except ValueError:
                raise ValueError(
                    f"the {what} of `{key}` have shape {array.shape}, which does not broadcast with {shape}"
                ) from None
    # np.empty leaves the pages untouched: a result with no uncertainty costs nothing for its sigma.
    value, sigma = numpy.empty(shape), numpy.empty(shape)
    informed = catalogue._evaluate(
        name, tuple(key for key, _ in given), tuple(arrays), tuple(key for key, _ in spreads), tuple(sigma_arrays),
        value, sigma, errors == "nan",
    )
    return Evaluation(value, sigma if informed else None)


def _floats(what: str, key: object, obj: object) -> NDArray[numpy.float64]:
    """`obj` as a float64 array: one already is used as it is, never copied."""
    import numpy  # imported by `evaluate` already

    array = numpy.asarray(obj)
    if array.dtype.kind not in "iuf":
        raise TypeError(f"the {what} of `{key}` must be real numbers, not {array.dtype}")
    return array.astype(numpy.float64, copy=False)

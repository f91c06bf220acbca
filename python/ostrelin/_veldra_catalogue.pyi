"""Native twin of `ostrelin._pycatalogue`: catalogues loaded, validated, looked up and derived natively."""

from collections.abc import Iterable, Iterator
from typing import Any, Self

import numpy
from numpy.typing import NDArray
from typing_extensions import disjoint_base

from ._records import Constant
from ._units import Units

@disjoint_base
class Catalogue:
    """An immutable mapping from name to `Constant`, iterated in byte order of the names."""

    def __init__(
        self,
        entries: Iterable[Constant],
        *,
        base: Catalogue | None = None,
        source: str = "<records>",
        version: int = 1,
        units: dict[str, str | None] | None = None,
        correlations: list[tuple[str, str, float]] | tuple[tuple[str, str, float], ...] | None = None,
    ) -> None: ...
    def __copy__(self) -> Self:
        """The catalogue itself: it is immutable."""
    def __deepcopy__(self, memo: Any, /) -> Self:
        """The catalogue itself: it is immutable."""
    @classmethod
    def _read(cls, data: bytes, source: str, base: Catalogue | None, /) -> Self:
        """The catalogue in `data` (bytes in the file format), over `base`."""
    @classmethod
    def _load(cls, path: str, base: Catalogue | None, /) -> Self:
        """The catalogue in the file at `path` (a str), over `base`."""
    @property
    def source(self) -> str:
        """The path the catalogue was read from, as given, or the label it was made with."""
    @property
    def description(self) -> str:
        """The file's description ("" when it has none)."""
    @property
    def version(self) -> int:
        """The file format's version: 1 keeps units as text, 2 reads them."""
    def __getitem__(self, name: str, /) -> Constant: ...
    def __contains__(self, name: object, /) -> bool: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[str]: ...
    def get(self, name: str, default: Any = None) -> Any:
        """The entry `name`, or `default` when there is none."""
    def names(self) -> list[str]:
        """The names in byte order, as a new list."""
    def find(self, text: str) -> list[str]:
        """The names, in byte order, of the entries whose name or description contains `text`, compared after str.casefold() of both."""
    def datasheet(self, name: str) -> dict[str, Any]:
        """The five stored fields of `Get` for entry `name`, as a new dict."""
    def derive(self, name: str, units: str | None = None) -> float:
        """A seed's value, or a formula's value computed from its expression; in `units` if given."""
    def derived(self, name: str, units: str | None = None) -> Constant:
        """The entry with its derived value, status and propagated uncertainty; in `units` if given."""
    def dimension(self, name: str) -> str:
        """The dimension of the entry's units in SI base units, e.g. 'kg m^2 s^-2'."""
    def budget(self, name: str) -> list[tuple[str, float]]:
        """Where the uncertainty of `name` comes from: (seed, |df/dx| sigma) pairs, largest first;
        then, when correlations add to sigma squared, ("", c): c squared, with its sign, is what they add."""
    def covariance(self, a: str, b: str) -> float:
        """The covariance of two entries, to first order, from the seeds they reach and their correlations."""
    def correlation(self, a: str, b: str) -> float:
        """The correlation coefficient of two entries; 0.0 when either is exact."""
    def covariance_matrix(self, names: Iterable[str]) -> list[list[float]]:
        """The covariances of the entries `names`, as a list of rows."""
    def _evaluate(
        self,
        name: str,
        names: tuple[str, ...],
        arrays: tuple[NDArray[numpy.float64], ...],
        sigma_names: tuple[str, ...],
        sigma_arrays: tuple[NDArray[numpy.float64], ...],
        out_value: NDArray[numpy.float64],
        out_sigma: NDArray[numpy.float64],
        nan: bool,
    ) -> bool | None:
        """`evaluate` past its front end: fills `out_value` and `out_sigma` element by element; whether the result has an uncertainty."""
    def dumps(self, *, base: bool = True) -> str:
        """The catalogue in the file format; without `base`, only its own entries."""

def units_of(text: str, /) -> Units:
    """What the units `text` mean, as ostrelin.Units(scale, dimension)."""

def convert(value: float, from_units: str, to_units: str) -> float:
    """`value` in `from_units` expressed in `to_units`."""

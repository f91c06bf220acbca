"""Vessik module entry point. Wired as `ostrelin._veldra_core`."""

from typing import Final, Literal, Never, TypedDict, final

__all__ = [
    "PyFormulasRegistry",
    "PyQuarkRegistry",
    "PyCKMMatrix",
    "py_list_constants",
    "py_list_quarks",
    "py_get_constant",
    "__version__",
]

__version__: Final[str]

class _ConstantDatasheet(TypedDict):
    """What py_get_constant returns; keys come in this order."""

    name: str
    status: Literal["Seed", "Cached", "Pending", "External"]
    uncertainty: float | None
    units: str
    value: float | None

@final
class PyFormulasRegistry:
    """Python wrapper for [`FormulasRegistry`]."""

    def __new__(cls) -> PyFormulasRegistry: ...
    def get(self, name: str) -> float:
        """Retrieve the numeric value for `name`."""
    @staticmethod
    def version() -> str:
        """Library-version round-trip helper."""
    def __len__(self) -> int: ...

@final
class PyQuarkRegistry:
    """Python wrapper for [`QuarkRegistry`]."""

    def __new__(cls) -> PyQuarkRegistry: ...
    def __len__(self) -> int: ...

@final
class PyCKMMatrix:
    """Python wrapper for [`CKMMatrix`]."""

    # Calling the class always raises TypeError; instances come only from
    # from_topology(). A parameter no value can fill makes a type checker
    # reject the call too, where a NoReturn constructor would hide the class.
    def __new__(cls, _unconstructible: Never, /) -> PyCKMMatrix: ...
    @staticmethod
    def from_topology() -> PyCKMMatrix:
        """Build the CKM matrix from the underlying topology."""
    def is_unitary(self, tol: float) -> bool:
        """`True` when the matrix is unitary within `tol`."""
    def jarlskog(self) -> float:
        """CP-violation Jarlskog invariant J."""

def py_list_constants() -> list[str]:
    """Returns all known constant names from the FormulasRegistry."""

def py_list_quarks() -> list[str]:
    """Returns all SM quark names from the QuarkRegistry."""

def py_get_constant(name: str) -> _ConstantDatasheet:
    """Returns the datasheet of `name`; raises KeyError when it is not in the registry."""

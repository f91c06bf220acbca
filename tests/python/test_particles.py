"""Quark listing and the CKM matrix."""

import math

import pytest

import ostrelin._veldra_core as core

Matrix = core.PyCKMMatrix


def test_quark_listing():
    assert core.py_list_quarks() == ["bottom", "charm", "down", "strange", "top", "up"]


def test_from_topology_makes_new_matrices():
    a = Matrix.from_topology()
    b = Matrix.from_topology().from_topology()  # also callable on an instance
    assert type(a) is Matrix and type(b) is Matrix
    assert a is not b
    assert a.jarlskog() == 0.0 and math.copysign(1.0, a.jarlskog()) == 1.0
    assert a.is_unitary(0.0) is True


class Floaty:
    def __float__(self):
        return 0.25


class Indexy:
    def __index__(self):
        return 2


class BadFloat:
    def __float__(self):
        raise ValueError("no float here")


class Chained:
    def __float__(self):
        try:
            raise KeyError("inner")
        except KeyError as exc:
            raise TypeError("outer") from exc


UNITARY = [
    # (tol, expected)
    (0.0, True),
    (-0.0, True),
    (0, True),
    (1, True),
    (float("inf"), True),
    (-1e-300, False),
    (-1, False),
    (float("-inf"), False),
    (float("nan"), False),
    (Floaty(), True),
    (Indexy(), True),
    (True, True),
]


@pytest.mark.parametrize("tol, expected", UNITARY, ids=repr)
def test_is_unitary(tol, expected):
    m = Matrix.from_topology()
    assert m.is_unitary(tol) is expected
    assert m.is_unitary(tol=tol) is expected


CONVERSION_ERRORS = [
    # (tol, exception type, message or None for "starts with argument 'tol': ")
    ("0.1", TypeError, "argument 'tol': must be real number, not str"),
    (None, TypeError, "argument 'tol': must be real number, not NoneType"),
    ([], TypeError, "argument 'tol': must be real number, not list"),
    (10**400, OverflowError, "int too large to convert to float"),
    (BadFloat(), ValueError, "no float here"),
    (Chained(), TypeError, "argument 'tol': outer"),
]


@pytest.mark.parametrize("tol, exc_type, message", CONVERSION_ERRORS, ids=lambda v: repr(v)[:30])
def test_is_unitary_conversion_errors(tol, exc_type, message):
    m = Matrix.from_topology()
    with pytest.raises(exc_type) as info:
        m.is_unitary(tol)
    assert type(info.value) is exc_type
    assert info.value.args == (message,)
    if isinstance(tol, Chained):
        assert isinstance(info.value.__cause__, KeyError)
    assert m.is_unitary(0.5) is True


def test_quark_registry_counts_nothing():
    regs = [core.PyQuarkRegistry() for _ in range(3)]
    assert [len(q) for q in regs] == [0, 0, 0]

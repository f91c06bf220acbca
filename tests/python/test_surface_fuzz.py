"""Random arguments, random keywords: only the documented exceptions appear."""

import math

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import ostrelin._veldra_core as core
from conftest import CATALOGUE

REGISTRY = core.PyFormulasRegistry()
MATRIX = core.PyCKMMatrix.from_topology()
SETTINGS = settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])

anything = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.integers(min_value=10**300, max_value=10**400),
    st.floats(allow_nan=True, allow_infinity=True),
    st.text(),
    st.text(alphabet=st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF), min_size=1),
    st.sampled_from(sorted(CATALOGUE)),
    st.binary(),
    st.lists(st.integers(), max_size=3),
    st.builds(object),
    st.builds(core.PyQuarkRegistry),
)


def lookup_outcome(call, name):
    """Calls call(name); checks the outcome against the documented ones."""
    try:
        result = call(name)
    except KeyError as exc:
        assert isinstance(name, str) and name not in CATALOGUE
        assert exc.args == (f"constant `{name}` not found in registry",)
        return None
    except UnicodeEncodeError:
        assert isinstance(name, str)
        return None
    except TypeError as exc:
        assert not isinstance(name, str)
        assert exc.args[0] == f"argument 'name': '{type(name).__name__}' object cannot be converted to 'PyString'"
        return None
    assert name in CATALOGUE
    return result


@SETTINGS
@given(anything)
def test_get_with_anything(name):
    value = lookup_outcome(REGISTRY.get, name)
    if value is not None:
        assert value == CATALOGUE[name][0]


@SETTINGS
@given(anything)
def test_py_get_constant_with_anything(name):
    if name == "":
        return  # the documented panic, covered elsewhere
    sheet = lookup_outcome(core.py_get_constant, name)
    if sheet is not None:
        assert sheet["name"] == name


@SETTINGS
@given(anything)
def test_is_unitary_with_anything(tol):
    try:
        result = MATRIX.is_unitary(tol)
    except TypeError as exc:
        assert exc.args[0].startswith("argument 'tol': ")
        return
    except (OverflowError, ValueError):
        assert isinstance(tol, int)
        return
    value = float(tol)
    assert result is (not math.isnan(value) and value >= 0.0)


keywords = st.dictionaries(st.text(min_size=1), anything, max_size=3)


@SETTINGS
@given(st.lists(anything, max_size=2), keywords)
def test_random_argument_shapes(args, kwargs):
    for call, param in ((REGISTRY.get, "name"), (core.py_get_constant, "name"), (MATRIX.is_unitary, "tol")):
        well_formed = len(args) + (param in kwargs) == 1 and set(kwargs) <= {param}
        try:
            call(*args, **kwargs)
        except TypeError:
            continue  # always allowed: a wrong shape, or a value of the wrong type
        except (KeyError, ValueError, OverflowError, UnicodeEncodeError):
            assert well_formed
            continue
        except BaseException as exc:  # noqa: BLE001
            assert well_formed and type(exc).__name__ == "PanicException"
            assert exc.args == ("py_get_constant: name must be non-empty",)
            continue
        assert well_formed, f"{call} accepted {args} {kwargs}"


@SETTINGS
@given(st.lists(anything, max_size=2), keywords)
def test_constructors_reject_any_argument(args, kwargs):
    for cls in (core.PyFormulasRegistry, core.PyQuarkRegistry, core.PyCKMMatrix):
        if not args and not kwargs and cls is not core.PyCKMMatrix:
            assert len(cls()) in (0, 17)
            continue
        try:
            cls(*args, **kwargs)
        except TypeError:
            continue
        raise AssertionError(f"{cls.__name__} accepted {args} {kwargs}")

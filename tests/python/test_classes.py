"""The three classes: surfaces, argument rules, conversions, lookups."""

import gc
import inspect
import sys
import weakref

import pytest

import ostrelin._veldra_core as core
from conftest import CATALOGUE

Registry = core.PyFormulasRegistry
Quarks = core.PyQuarkRegistry
Matrix = core.PyCKMMatrix
CLASSES = [Registry, Quarks, Matrix]


def make(cls):
    return Matrix.from_topology() if cls is Matrix else cls()


@pytest.mark.parametrize(
    "cls, signature, doc",
    [
        (Registry, "()", "Python wrapper for [`FormulasRegistry`]."),
        (Quarks, "()", "Python wrapper for [`QuarkRegistry`]."),
        (Matrix, None, "Python wrapper for [`CKMMatrix`]."),
    ],
    ids=lambda v: getattr(v, "__name__", None),
)
def test_class_surface(cls, signature, doc):
    assert cls.__text_signature__ == signature
    assert cls.__doc__ == doc
    assert cls.__module__ == "ostrelin._veldra_core"
    assert cls.__name__ == cls.__qualname__
    assert cls.__name__ in core.__all__
    assert cls.__mro__ == (cls, object)


@pytest.mark.parametrize(
    "method, signature, doc",
    [
        (Registry.get, "($self, name)", "Retrieve the numeric value for `name`."),
        (Registry.version, "()", "Library-version round-trip helper."),
        (Matrix.from_topology, "()", "Build the CKM matrix from the underlying topology."),
        (Matrix.is_unitary, "($self, tol)", "`True` when the matrix is unitary within `tol`."),
        (Matrix.jarlskog, "($self)", "CP-violation Jarlskog invariant J."),
    ],
    ids=lambda v: getattr(v, "__name__", None),
)
def test_method_records(method, signature, doc):
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


def test_inspect_reads_the_signatures():
    assert str(inspect.signature(Registry)) == "()"
    assert list(inspect.signature(Registry.get).parameters) == ["self", "name"]
    assert list(inspect.signature(Matrix.is_unitary).parameters) == ["self", "tol"]
    assert str(inspect.signature(core.py_get_constant)) == "(name)"


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_instances_are_closed(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    obj = make(cls)
    with pytest.raises(AttributeError):
        obj.foo = 1
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert not gc.is_tracked(obj)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_attributes_can_be_set(cls):
    cls.extra = 42
    try:
        assert make(cls).extra == 42
    finally:
        del cls.extra


def test_registry_lengths_and_truth():
    assert len(Registry()) == 17
    assert bool(Registry())
    assert len(Quarks()) == 0
    assert not Quarks()
    with pytest.raises(TypeError):
        len(Matrix.from_topology())


def test_version_on_class_and_instance():
    assert Registry.version() == "2.3.0" == Registry().version() == core.__version__
    with pytest.raises(TypeError):
        Registry.version(1)


@pytest.mark.parametrize("name", sorted(CATALOGUE))
def test_get_returns_the_stored_value(name):
    value = Registry().get(name)
    assert type(value) is float
    assert value == CATALOGUE[name][0]


def test_get_never_evaluates_formulas():
    r = Registry()
    assert r.get("n_gen_sq") == 0.0
    assert r.get("v_higgs_mev") == 0.0
    assert r.get("roots_total") == 288.0
    r.get("sterile_check")
    assert r.get("roots_total") == 288.0
    assert repr(r.get("phi")) == "1.618033988749895"
    assert repr(r.get("gamma_em")) == "0.5772156649015329"


r = Registry()

ARGUMENT_ERRORS = [
    # (call, exception type, message)
    (lambda: r.get(), TypeError, "PyFormulasRegistry.get() missing 1 required positional argument: 'name'"),
    (lambda: r.get("b3", "x"), TypeError, "PyFormulasRegistry.get() takes 1 positional arguments but 2 were given"),
    (lambda: r.get("b3", "x", "y"), TypeError,
     "PyFormulasRegistry.get() takes 1 positional arguments but 3 were given"),
    (lambda: r.get("b3", name="b3"), TypeError, "PyFormulasRegistry.get() got multiple values for argument 'name'"),
    (lambda: r.get(key="b3"), TypeError, "PyFormulasRegistry.get() got an unexpected keyword argument 'key'"),
    (lambda: r.get(key="b3", name="b3"), TypeError,
     "PyFormulasRegistry.get() got an unexpected keyword argument 'key'"),
    (lambda: r.get(name="b3", key="b3"), TypeError,
     "PyFormulasRegistry.get() got an unexpected keyword argument 'key'"),
    (lambda: r.get("b3", "x", key=1), TypeError,
     "PyFormulasRegistry.get() takes 1 positional arguments but 2 were given"),
    (lambda: r.get(**{"n\u00e4me": 1}), TypeError,
     "PyFormulasRegistry.get() got an unexpected keyword argument 'n\u00e4me'"),
    (lambda: r.get(5), TypeError, "argument 'name': 'int' object cannot be converted to 'PyString'"),
    (lambda: r.get(b"b3"), TypeError, "argument 'name': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: r.get(None), TypeError, "argument 'name': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: r.get(Quarks()), TypeError,
     "argument 'name': 'PyQuarkRegistry' object cannot be converted to 'PyString'"),
    (lambda: Registry(1), TypeError, "PyFormulasRegistry.__new__() takes 0 positional arguments but 1 was given"),
    (lambda: Registry(1, 2), TypeError,
     "PyFormulasRegistry.__new__() takes 0 positional arguments but 2 were given"),
    (lambda: Registry(name="b3"), TypeError,
     "PyFormulasRegistry.__new__() got an unexpected keyword argument 'name'"),
    (lambda: Quarks(1), TypeError, "PyQuarkRegistry.__new__() takes 0 positional arguments but 1 was given"),
    (lambda: Quarks(x=1), TypeError, "PyQuarkRegistry.__new__() got an unexpected keyword argument 'x'"),
    (lambda: Matrix(), TypeError, "No constructor defined for PyCKMMatrix"),
    (lambda: Matrix(1, tol=2), TypeError, "No constructor defined for PyCKMMatrix"),
    (lambda: core.py_get_constant(), TypeError, "py_get_constant() missing 1 required positional argument: 'name'"),
    (lambda: core.py_get_constant("b3", "x"), TypeError,
     "py_get_constant() takes 1 positional arguments but 2 were given"),
    (lambda: core.py_get_constant("b3", name="b3"), TypeError,
     "py_get_constant() got multiple values for argument 'name'"),
    (lambda: core.py_get_constant(nam="b3"), TypeError,
     "py_get_constant() got an unexpected keyword argument 'nam'"),
    (lambda: core.py_get_constant(3), TypeError, "argument 'name': 'int' object cannot be converted to 'PyString'"),
    (lambda: Matrix.from_topology().is_unitary(), TypeError,
     "PyCKMMatrix.is_unitary() missing 1 required positional argument: 'tol'"),
    (lambda: Matrix.from_topology().is_unitary(1, 2), TypeError,
     "PyCKMMatrix.is_unitary() takes 1 positional arguments but 2 were given"),
    (lambda: Matrix.from_topology().is_unitary(0.5, tol=0.5), TypeError,
     "PyCKMMatrix.is_unitary() got multiple values for argument 'tol'"),
    (lambda: Matrix.from_topology().is_unitary(tolerance=0.5), TypeError,
     "PyCKMMatrix.is_unitary() got an unexpected keyword argument 'tolerance'"),
]


@pytest.mark.parametrize("call, exc_type, message", ARGUMENT_ERRORS, ids=[e[2] for e in ARGUMENT_ERRORS])
def test_argument_errors(call, exc_type, message):
    with pytest.raises(exc_type) as info:
        call()
    assert type(info.value) is exc_type
    assert info.value.args == (message,)
    assert r.get("b3") == 24.0  # the failed call left the instance usable


class Name(str):
    pass


@pytest.mark.parametrize("call", [lambda n: r.get(n), lambda n: r.get(name=n), lambda n: core.py_get_constant(n)["value"]])
def test_str_subclasses_are_accepted(call):
    assert call(Name("b3")) == 24.0


@pytest.mark.parametrize("call", [r.get, core.py_get_constant])
def test_lone_surrogate_gives_the_interpreters_encoding_error(call):
    with pytest.raises(UnicodeEncodeError) as info:
        call("b\ud8003")
    assert info.value.reason == "surrogates not allowed"


KEY_ERROR_NAMES = ["no_such_name", "B3", " b3", "b3 ", "", "b4", "with`backquote", "new\nline", "\u00b5", "b3\x00"]


@pytest.mark.parametrize("name", KEY_ERROR_NAMES, ids=repr)
def test_missing_names_raise_key_error_with_the_registry_text(name):
    with pytest.raises(KeyError) as info:
        r.get(name)
    assert type(info.value) is KeyError
    assert info.value.args == (f"constant `{name}` not found in registry",)
    assert str(info.value) == repr(f"constant `{name}` not found in registry")
    assert r.get("b3") == 24.0


def test_registries_are_independent():
    a, b = Registry(), Registry()
    assert a is not b
    del a
    gc.collect()
    assert b.get("chi_eff") == 72.0 and len(b) == 17


def test_methods_refuse_a_foreign_self():
    with pytest.raises(TypeError):
        Registry.get(Quarks(), "b3")
    with pytest.raises(TypeError):
        Matrix.jarlskog(Registry())


def test_no_type_reference_leaks_over_many_calls():
    def churn():
        for _ in range(2000):
            Registry().get("b3")
            len(Quarks())
            Matrix.from_topology().is_unitary(0.0)
            try:
                Registry(1)
            except TypeError:
                pass
            try:
                r.get("missing")
            except KeyError:
                pass

    churn()
    before = [sys.getrefcount(cls) for cls in CLASSES]
    churn()
    gc.collect()
    assert [sys.getrefcount(cls) for cls in CLASSES] == before


HINTS = [
    # (name, note or None)
    ("B3", "did you mean 'b3'?"),
    (" b3", "did you mean 'b3'?"),
    ("b3 ", "did you mean 'b3'?"),
    ("b4", "did you mean 'b3'?"),
    ("CHI_EFF", "did you mean 'chi_eff'?"),
    ("sterile_chek", "did you mean 'sterile_check'?"),
    ("no_such_name", None),
    ("\u00b5", None),
]


@pytest.mark.parametrize("lookup", [r.get, core.py_get_constant], ids=["get", "py_get_constant"])
@pytest.mark.parametrize("name, note", HINTS, ids=[repr(h[0]) for h in HINTS])
def test_near_misses_carry_a_hint_without_changing_the_error(lookup, name, note):
    with pytest.raises(KeyError) as info:
        lookup(name)
    assert type(info.value) is KeyError
    assert info.value.args == (f"constant `{name}` not found in registry",)
    assert getattr(info.value, "__notes__", None) == ([note] if note else None)


def test_empty_name_gets_no_hint():
    with pytest.raises(KeyError) as info:
        r.get("")
    assert not hasattr(info.value, "__notes__")

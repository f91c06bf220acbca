// The Catalogue type's slots: making and building an instance, the
// collector's hooks, and the mapping protocol. Lookups are the hot path: an
// exact str finds its row through the store's name index and returns the
// record made for that row the first time it was asked for, so a warm
// lookup allocates nothing.

#include "catalogue_module/catalogue_class.hpp"

#include <array>

#include "catalogue_module/catalogue_access.hpp"
#include "catalogue_module/catalogue_methods.hpp"
#include "catalogue_module/catalogue_text.hpp"
#include "catalogue_module/records.hpp"
#include "pyfacade/conversions.hpp"
#include "pyfacade/interpreter_lock.hpp"

namespace veldra::py {
namespace {

PyError built_already() { return PyError::lazy(PyExc_TypeError, text::kBuiltAlready); }

// Only allocates: the catalogue is built by __init__, so that a subclass's
// __init__ may take arguments of its own, as any Python class's may.
PyObject* catalogue_new(PyTypeObject* type, PyObject*, PyObject*) {
    return call_boundary([&]() -> PyResult<OwnedRef> { return allocate_instance(type); });
}

// The `source` argument as the catalogue keeps it: an exact str (its text,
// not a subclass's), "<records>" when not given.
PyResult<OwnedRef> source_label(PyObject* given) {
    if (given == nullptr) return new_str("<records>");
    if (!PyUnicode_Check(given)) return unexpected(wrong_type(text::kSourceNotStr, given));
    VELDRA_TRY(const std::string_view text, text_argument(given, "source"));
    return PyUnicode_CheckExact(given) ? OwnedRef::borrow(given) : new_str(text);
}

// The `version` argument: exactly the int 1 (the default) or 2.
PyResult<int> version_of(PyObject* given) {
    if (given == nullptr) return 1;
    if (PyLong_CheckExact(given)) {
        const long version = PyLong_AsLong(given);
        if (version == 1 || version == 2) return static_cast<int>(version);
        PyErr_Clear();  // an int past a long's reach is no version either
    }
    return unexpected(PyError::format(PyExc_ValueError, text::kBadVersion, given));
}

// Whether the `units` argument may be read: a dict (a TypeError else), and
// empty in version 1 (refused as a load words it).
PyResult<std::optional<CatalogueFailure>> check_units_argument(PyObject* units, int version, std::string_view source) {
    if (!PyDict_Check(units)) return unexpected(wrong_type(text::kUnitsNotDict, units));
    if (version == 1 && PyDict_GET_SIZE(units) != 0) {
        return std::optional(schema_failure(source, "top-level field `units` needs version 2"));
    }
    return std::optional<CatalogueFailure>();
}

// The `units` argument (a dict of name to units text or None, checked)
// declared in `builder`; a refusal as a load words it.
PyResult<std::optional<CatalogueFailure>> declare_units(CatalogueBuilder& builder, PyObject* units,
                                                       std::string_view source) {
    // A copy: the dict may change while its texts are read.
    OwnedRef items = OwnedRef::steal(PyDict_Items(units));
    if (!items) return unexpected(PyError::fetch());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        PyObject* value = PyTuple_GET_ITEM(item, 1);
        VELDRA_TRY(const std::string_view name, text_argument(PyTuple_GET_ITEM(item, 0), "units"));
        std::optional<std::string_view> definition;
        if (value != Py_None) {
            if (!PyUnicode_Check(value)) {
                return std::optional(schema_failure(source, "unit " + ticked(name) +
                                                                " must be a units text or null, not " + kind_of(value)));
            }
            VELDRA_TRY(definition, text_argument(value, "units"));
        }
        if (auto failure = builder.declare_unit(name, definition)) return std::optional(std::move(*failure));
    }
    return std::optional<CatalogueFailure>();
}

// One item of the `correlations` argument: [name, name, number] as a list
// or tuple (a str subclass by its text), else no names.
CorrelationFields correlation_of(PyObject* item) {
    CorrelationFields fields;
    if (!(PyList_Check(item) || PyTuple_Check(item)) || PySequence_Fast_GET_SIZE(item) != 3) return fields;
    PyObject** parts = PySequence_Fast_ITEMS(item);
    std::string_view names[2];
    for (int k = 0; k < 2; ++k) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_Check(parts[k]) ? PyUnicode_AsUTF8AndSize(parts[k], &size) : nullptr;
        if (utf8 == nullptr) {
            PyErr_Clear();  // a lone surrogate names nothing either
            return fields;
        }
        names[k] = std::string_view(utf8, static_cast<std::size_t>(size));
    }
    PyObject* r = parts[2];
    if (PyBool_Check(r) || !(PyLong_Check(r) || PyFloat_Check(r))) return fields;
    fields.r = PyFloat_Check(r) ? PyFloat_AS_DOUBLE(r) : PyLong_AsDouble(r);
    if (fields.r == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();  // an int no double holds is out of range
        fields.r = std::nan("");
    }
    fields.first = names[0];
    fields.second = names[1];
    return fields;
}

// Whether the `correlations` argument may be read: a list or tuple (a
// TypeError else), and empty in version 1 (refused as a load words it).
PyResult<std::optional<CatalogueFailure>> check_correlations_argument(PyObject* correlations, int version,
                                                                     std::string_view source) {
    if (!(PyList_Check(correlations) || PyTuple_Check(correlations))) {
        return unexpected(wrong_type(text::kCorrelationsNotList, correlations));
    }
    if (version == 1 && PySequence_Fast_GET_SIZE(correlations) != 0) {
        return std::optional(schema_failure(source, "top-level field `correlations` needs version 2"));
    }
    return std::optional<CatalogueFailure>();
}

int catalogue_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 6> kParams{"entries", "base", "source", "version", "units", "correlations"};
    static const Signature kSignature{"Catalogue.__init__()", kParams, 1, 1, true};
    return int_boundary([&]() -> PyResult<int> {
        // The arguments are bound first, as a Python __init__'s are before its body runs.
        PyObject* given[6] = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
        if (auto error = parse_tuple_args(kSignature, args, kwargs, given)) return unexpected(std::move(*error));
        if (CatalogueObject::of(self) != nullptr) return unexpected(built_already());
        VELDRA_TRY(const ModuleState* state, state_of(Py_TYPE(self)));
        // Owned for the whole call: reading the records runs Python code,
        // which may drop every other reference to what the call was given
        // (the keyword dict holds the only one), while the builder reads the
        // base's store.
        const OwnedRef entries = OwnedRef::borrow(given[0]);
        const OwnedRef base = base_reference(given[1]);
        VELDRA_TRY(OwnedRef source, source_label(given[2]));
        VELDRA_TRY(const std::string_view source_text, text_argument(source.get(), "source"));
        VELDRA_TRY(const CatalogueStore* base_of, base_store(*state, base.get()));
        VELDRA_TRY(const int version, version_of(given[3]));
        CatalogueBuilder builder(source_text, base_of, version);
        PyObject* const units = given[4] != nullptr && given[4] != Py_None ? given[4] : nullptr;
        if (units != nullptr) {
            VELDRA_TRY(auto refused, check_units_argument(units, version, source_text));
            if (refused) return unexpected(catalogue_error(*state, *refused));
        }
        // A copy of the list, made now: the records' iteration runs the
        // caller's code, which may change it; its items are read after them.
        OwnedRef correlations;
        if (given[5] != nullptr && given[5] != Py_None) {
            VELDRA_TRY(auto refused, check_correlations_argument(given[5], version, source_text));
            if (refused) return unexpected(catalogue_error(*state, *refused));
            // Its stored items, as for the records: a subclass's own __iter__ has no say.
            correlations = OwnedRef::steal(PyList_Check(given[5]) ? PyList_AsTuple(given[5])
                                                                  : PyTuple_GetSlice(given[5], 0, PyTuple_GET_SIZE(given[5])));
            if (!correlations) return unexpected(PyError::fetch());
        }
        if (units != nullptr) {
            VELDRA_TRY(auto declared, declare_units(builder, units, source_text));
            if (declared) return unexpected(catalogue_error(*state, *declared));
        }
        // Before the records are read: reading them runs the caller's code.
        if (version == 2 && base_of != nullptr && base_of->version() == 1) {
            return unexpected(catalogue_error(*state, schema_failure(source_text, kOverVersion1Base)));
        }
        VELDRA_CHECK(read_records(state->constant.get(), entries.get(), builder));
        for (Py_ssize_t i = 0; correlations && i < PyTuple_GET_SIZE(correlations.get()); ++i) {
            builder.add_correlation(correlation_of(PyTuple_GET_ITEM(correlations.get(), i)));
        }
        auto built = [&] {
            WithoutInterpreterLock unlocked;
            return std::move(builder).finish({});
        }();
        if (!built) return unexpected(catalogue_error(*state, built.error()));
        // The records' iteration, or another thread while the lock was
        // released, may have built this object meanwhile.
        if (CatalogueObject::of(self) != nullptr) return unexpected(built_already());
        place_value(self, CatalogueObject(std::move(built).value(), std::move(source), OwnedRef::borrow(base.get()),
                                          OwnedRef::borrow(state->constant.get())));
        return 0;
    });
}

int catalogue_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    const CatalogueObject* object = CatalogueObject::of(self);
    return object == nullptr ? 0 : object->traverse(visit, arg);
}

int catalogue_clear(PyObject* self) {
    if (CatalogueObject* object = CatalogueObject::of(self)) dealloc_boundary([object] { object->clear_made(); });
    return 0;
}

void catalogue_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    // A chain of bases is released one level at a time: releasing the last
    // catalogue over a deep chain must not recurse as deep.
    Py_TRASHCAN_BEGIN(self, catalogue_dealloc)
    dealloc_wrapped<CatalogueObject>(self);
    Py_TRASHCAN_END
}

Py_ssize_t catalogue_len(PyObject* self) {
    return length_boundary([&]() -> PyResult<Py_ssize_t> {
        VELDRA_TRY(const CatalogueObject* object, checked(self));
        return checked_length(object->store().size());
    });
}

// What `cat[key]` raises for a key that names no entry, as any mapping
// does: KeyError. A key that is no str is the exception's argument, as in a
// dict; a str key gets the words of a lookup (with a hint where the row
// lookup has one), its text as the str holds it.
PyResult<std::uint32_t> row_of_key(const CatalogueObject& object, PyObject* key) {
    if (!PyUnicode_Check(key)) {
        OwnedRef error = OwnedRef::steal(PyObject_CallOneArg(PyExc_KeyError, key));
        if (!error) return unexpected(PyError::fetch());
        return unexpected(PyError::from_exception(std::move(error)));
    }
    auto row = row_named(object, key);
    // The empty name's ValueError, a lone surrogate's UnicodeEncodeError.
    if (row || !PyErr_GivenExceptionMatches(row.error().type(), PyExc_ValueError)) return row;
    return unexpected(PyError::format(PyExc_KeyError, text::kMissingKey, key));
}

PyObject* catalogue_subscript(PyObject* self, PyObject* key) {
    return call_boundary([&]() -> PyResult<OwnedRef> {
        VELDRA_TRY(CatalogueObject * object, checked(self));
        std::uint32_t row = fast_row(*object, key);
        if (row == kNoIndex) {
            VELDRA_TRY(row, row_of_key(*object, key));
        }
        VELDRA_TRY(PyObject* record, object->record(row));
        return OwnedRef::borrow(record);
    });
}

int catalogue_contains(PyObject* self, PyObject* key) {
    // Only a catalogue that was never built fails: a key without a UTF-8
    // form (a lone surrogate) names nothing, and so does a non-str.
    const CatalogueObject* object = CatalogueObject::of(self);
    if (object == nullptr) {
        return int_boundary([]() -> PyResult<int> { return unexpected(unmade_error(kCatalogueSpec)); });
    }
    if (!PyUnicode_Check(key)) return 0;
    if (PyUnicode_CheckExact(key) && PyUnicode_IS_COMPACT_ASCII(key)) return fast_row(*object, key) != kNoIndex;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return 0;
    }
    return size != 0 && object->store().find(std::string_view(utf8, static_cast<std::size_t>(size))) != kNoIndex;
}

PyObject* catalogue_iter(PyObject* self) {
    return call_boundary([&]() -> PyResult<OwnedRef> {
        VELDRA_TRY(CatalogueObject * object, checked(self));
        VELDRA_TRY(PyObject* names, object->names());
        OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(names));
        if (!iterator) return unexpected(PyError::fetch());
        return iterator;
    });
}

const PyType_Slot kMoreSlots[] = {
    {Py_tp_init, reinterpret_cast<void*>(catalogue_init)},
    {Py_tp_traverse, reinterpret_cast<void*>(catalogue_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(catalogue_clear)},
    {Py_mp_subscript, reinterpret_cast<void*>(catalogue_subscript)},
    {Py_sq_contains, reinterpret_cast<void*>(catalogue_contains)},
    {Py_tp_iter, reinterpret_cast<void*>(catalogue_iter)},
    {Py_tp_getset, kCatalogueProperties},
    {0, nullptr},
};

}  // namespace

const ClassSpec kCatalogueSpec{
    "ostrelin._veldra_catalogue.Catalogue",
    "Catalogue",
    text::kCatalogueDoc,
    "Catalogue.__init__()",
    static_cast<int>(sizeof(CatalogueInstance)),
    catalogue_dealloc,
    catalogue_new,
    catalogue_len,
    kCatalogueMethods,
    Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    kMoreSlots,
};

PyResult<OwnedRef> create_catalogue_type(PyObject* module) {
    OwnedRef type = OwnedRef::steal(reinterpret_cast<PyObject*>(create_type(kCatalogueSpec, module)));
    if (!type) return unexpected(PyError::fetch());
    return type;
}

}  // namespace veldra::py

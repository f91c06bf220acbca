#include "catalogue_module/catalogue_access.hpp"

#include <vector>

#include "catalogue_module/catalogue_text.hpp"
#include "catalogue_module/records.hpp"
#include "lookup/name_suggestion.hpp"
#include "pyfacade/conversions.hpp"
#include "pyfacade/interpreter_lock.hpp"
#include "pyfacade/lookup_error.hpp"

namespace veldra::py {

PyResult<CatalogueObject*> checked(PyObject* self) {
    if (CatalogueObject* object = CatalogueObject::of(self)) return object;
    return unexpected(unmade_error(kCatalogueSpec));
}

PyError catalogue_error(const ModuleState& state, const CatalogueFailure& failure) {
    // A source read from a file name that is not UTF-8 holds its raw bytes:
    // they come back as the surrogate escapes the name was given with.
    const std::string message = failure.message();
    OwnedRef text = OwnedRef::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "surrogateescape"));
    if (!text) return PyError::fetch();
    PyError error = PyError::format(state.catalogue_error.get(), "%U", text.get());
    if (!failure.note.empty() && error.exception() != nullptr && !add_note(error.exception(), failure.note)) {
        return PyError::fetch();
    }
    return error;
}

PyError derivation_error(const ModuleState& state, const std::string& message) {
    return PyError::format(state.derivation_error.get(), "%U", text_object(message).get());
}

PyResult<std::uint32_t> row_named(const CatalogueObject& object, PyObject* name_arg) {
    VELDRA_TRY(const std::string_view name, text_argument(name_arg, "name"));
    if (name.empty()) return unexpected(PyError::lazy(PyExc_ValueError, text::kEmptyLookupName));
    const CatalogueStore& store = object.store();
    const std::uint32_t row = store.find(name);
    if (row != kNoIndex) return row;
    return unexpected(lookup_error(RegistryError::not_found(name), store.suggestion_for(name)));
}

std::uint32_t fast_row(const CatalogueObject& object, PyObject* name) noexcept {
    if (!PyUnicode_CheckExact(name) || !PyUnicode_IS_COMPACT_ASCII(name)) return kNoIndex;
    const auto size = static_cast<std::size_t>(PyUnicode_GET_LENGTH(name));
    if (size == 0) return kNoIndex;
    return object.store().find(std::string_view(static_cast<const char*>(PyUnicode_DATA(name)), size));
}

PyResult<const CatalogueStore*> base_store(const ModuleState& state, PyObject* base) {
    if (base == nullptr || base == Py_None) return static_cast<const CatalogueStore*>(nullptr);
    if (PyObject_TypeCheck(base, state.type())) {
        if (const CatalogueObject* object = CatalogueObject::of(base)) return &object->store();
    }
    return unexpected(wrong_type(text::kBaseNotCatalogue, base));
}

PyError wrong_type(const char* format, PyObject* value) {
    OwnedRef type_name = OwnedRef::steal(PyType_GetName(Py_TYPE(value)));
    if (!type_name) return PyError::fetch();
    return PyError::format(PyExc_TypeError, format, type_name.get());
}

PyResult<bool> check_units_str(PyObject* value, const char* parameter) {
    if (PyUnicode_Check(value)) return true;
    const std::string format = std::string(parameter) + text::kUnitsNotStr;
    return unexpected(wrong_type(format.c_str(), value));
}

OwnedRef base_reference(PyObject* base) {
    return base == nullptr || base == Py_None ? OwnedRef() : OwnedRef::borrow(base);
}

void prepare_values(const CatalogueStore& store) {
    if (store.values_ready()) return;
    WithoutInterpreterLock unlocked;
    store.prepare_values();
}

}  // namespace veldra::py

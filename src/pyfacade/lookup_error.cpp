#include "lookup_error.hpp"

#include "conversions.hpp"
#include "name_suggestion.hpp"

namespace veldra::py {

PyError lookup_error(const RegistryError& error, std::string_view name) {
    auto suggestion = suggest_catalogue_name(name);
    if (!suggestion) return PyError::lazy(PyExc_KeyError, error.message());
    OwnedRef exception = OwnedRef::steal(PyObject_CallOneArg(PyExc_KeyError, new_str(error.message()).get()));
    if (!exception) return PyError::fetch();
    OwnedRef note = new_str("did you mean '" + *suggestion + "'?");
    OwnedRef added = OwnedRef::steal(PyObject_CallMethod(exception.get(), "add_note", "O", note.get()));
    // The note is a courtesy: without it the KeyError is still the right answer.
    if (!added) PyErr_Clear();
    return PyError::from_exception(std::move(exception));
}

}  // namespace veldra::py

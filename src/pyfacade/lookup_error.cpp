#include "pyfacade/lookup_error.hpp"

#include "pyfacade/conversions.hpp"
#include "pyfacade/interface_text.hpp"
#include "registry/name_suggestion.hpp"

namespace veldra::py {

PyError lookup_error(const RegistryError& error, std::string_view name) {
    auto suggestion = suggest_catalogue_name(name);
    if (!suggestion) return PyError::lazy(PyExc_KeyError, error.message());
    // Made now rather than lazily, so that the note can be added. "%U": the
    // name may hold NUL bytes.
    PyError raised = PyError::format(PyExc_KeyError, "%U", new_str(error.message()).get());
    if (PyObject* exception = raised.exception()) {
        OwnedRef note = OwnedRef::steal(PyUnicode_FromFormat(text::kDidYouMean, suggestion->c_str()));
        OwnedRef added = note ? OwnedRef::steal(PyObject_CallMethod(exception, "add_note", "O", note.get())) : OwnedRef();
        // The note is a courtesy: without it the KeyError is still the right answer.
        if (!added) PyErr_Clear();
    }
    return raised;
}

}  // namespace veldra::py

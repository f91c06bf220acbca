#include "pyfacade/lookup_error.hpp"

#include "lookup/name_suggestion.hpp"
#include "pyfacade/conversions.hpp"
#include "pyfacade/facade_text.hpp"

namespace veldra::py {

bool add_note(PyObject* exception, std::string_view note) {
    OwnedRef text = OwnedRef::steal(PyUnicode_DecodeUTF8(note.data(), static_cast<Py_ssize_t>(note.size()), nullptr));
    if (!text) return false;
    OwnedRef added = OwnedRef::steal(PyObject_CallMethod(exception, "add_note", "O", text.get()));
    return static_cast<bool>(added);
}

PyError lookup_error(const RegistryError& error, const std::optional<std::string>& suggestion) {
    if (!suggestion) return PyError::lazy(PyExc_KeyError, error.message());
    // Made now rather than lazily, so that the note can be added. "%U": the
    // name may hold NUL bytes.
    PyError raised = PyError::format(PyExc_KeyError, "%U", new_str(error.message()).get());
    if (PyObject* exception = raised.exception()) {
        const std::string text = suggestion_note(*suggestion);
        OwnedRef note = OwnedRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
        OwnedRef added = note ? OwnedRef::steal(PyObject_CallMethod(exception, "add_note", "O", note.get())) : OwnedRef();
        // The note is a courtesy: without it the KeyError is still the right answer.
        if (!added) PyErr_Clear();
    }
    return raised;
}

}  // namespace veldra::py

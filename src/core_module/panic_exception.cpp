#include "core_module/panic_exception.hpp"

#include "core_module/interface_text.hpp"
#include "pyfacade/owned_ref.hpp"

namespace veldra::py {
namespace {

// Created and read only with the interpreter lock held.
KeptRef panic_type;

}  // namespace

PyObject* panic_exception_type() noexcept {
    if (!panic_type) {
        panic_type.keep(OwnedRef::steal(
            PyErr_NewExceptionWithDoc(text::kPanicName, text::kPanicDoc, PyExc_BaseException, nullptr)));
        if (!panic_type) {
            PyErr_Print();
            Py_FatalError(text::kPanicTypeFailed);
        }
    }
    return panic_type.get();
}

bool is_panic_exception(PyObject* exception) noexcept {
    return panic_type && PyObject_TypeCheck(exception, reinterpret_cast<PyTypeObject*>(panic_type.get()));
}

void raise_panic(std::string_view message) noexcept {
    PyObject* type = panic_exception_type();
    OwnedRef text = OwnedRef::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());  // else the interpreter's MemoryError stands
}

}  // namespace veldra::py

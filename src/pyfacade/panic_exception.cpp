#include "panic_exception.hpp"

namespace veldra::py {
namespace {

constexpr const char kPanicDoc[] =
    "\n"
    "The exception raised when Native code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// Created and read only with the interpreter lock held.
PyObject* panic_type = nullptr;

}  // namespace

PyObject* panic_exception_type() noexcept {
    if (panic_type == nullptr) {
        panic_type = PyErr_NewExceptionWithDoc("vessik_runtime.PanicException", kPanicDoc,
                                               PyExc_BaseException, nullptr);
        if (panic_type == nullptr) {
            PyErr_Print();
            Py_FatalError("Failed to initialize new exception type.");
        }
    }
    return panic_type;
}

bool is_panic_exception(PyObject* exception) noexcept {
    return panic_type != nullptr && PyObject_TypeCheck(exception, reinterpret_cast<PyTypeObject*>(panic_type));
}

void raise_panic(std::string_view message) noexcept {
    PyObject* type = panic_exception_type();
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text == nullptr) return;  // the interpreter's MemoryError is raised instead
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

}  // namespace veldra::py

#include "pyfacade/py_error.hpp"

#include <cstdarg>

#include "pyfacade/facade_text.hpp"
#include "pyfacade/module_hooks.hpp"

namespace veldra::py {

void show_exception(PyObject* exception) {
    // Held, not borrowed: a hook may replace sys.excepthook while it runs.
    OwnedRef hook = OwnedRef::borrow(PySys_GetObject("excepthook"));
    if (hook && hook.get() != Py_None) {
        OwnedRef traceback = OwnedRef::steal(PyException_GetTraceback(exception));
        OwnedRef shown = OwnedRef::steal(PyObject_CallFunctionObjArgs(
            hook.get(), reinterpret_cast<PyObject*>(Py_TYPE(exception)), exception,
            traceback ? traceback.get() : Py_None, nullptr));
        if (shown) return;
        OwnedRef hook_error = OwnedRef::steal(PyErr_GetRaisedException());
        PySys_WriteStderr("Error in sys.excepthook:\n");
        if (hook_error) PyErr_DisplayException(hook_error.get());
        PySys_WriteStderr("\nOriginal exception was:\n");
    }
    PyErr_DisplayException(exception);
}

void print_pending_error() {
    OwnedRef pending = OwnedRef::steal(PyErr_GetRaisedException());
    if (pending) show_exception(pending.get());
}

PyError PyError::lazy(PyObject* type, std::string message) {
    PyError e;
    e.type_ = type;
    e.message_ = std::move(message);
    e.has_message_ = true;
    return e;
}

PyError PyError::lazy_without_message(PyObject* type) {
    PyError e;
    e.type_ = type;
    return e;
}

PyError PyError::from_exception(OwnedRef exception) {
    PyError e;
    e.exception_ = std::move(exception);
    return e;
}

PyError PyError::format(PyObject* type, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    OwnedRef text = OwnedRef::steal(PyUnicode_FromFormatV(format, args));
    va_end(args);
    if (!text) return fetch();
    OwnedRef exception = OwnedRef::steal(PyObject_CallOneArg(type, text.get()));
    if (!exception) return fetch();
    return from_exception(std::move(exception));
}

PyError PyError::fetch() {
    OwnedRef raised = OwnedRef::steal(PyErr_GetRaisedException());
    if (!raised) return lazy(PyExc_SystemError, text::kNoExceptionSet);
    inspect_fetched(raised.get());
    return from_exception(std::move(raised));
}

PyObject* PyError::type() const noexcept {
    return exception_ ? reinterpret_cast<PyObject*>(Py_TYPE(exception_.get())) : type_;
}

Expected<OwnedRef, PyError> PyError::message_object() const {
    OwnedRef text = exception_ ? OwnedRef::steal(PyObject_Str(exception_.get()))
                               : OwnedRef::steal(PyUnicode_FromStringAndSize(message_.data(),
                                                                             static_cast<Py_ssize_t>(message_.size())));
    if (!text) return unexpected(fetch());
    return text;
}

OwnedRef PyError::cause() const {
    return exception_ ? OwnedRef::steal(PyException_GetCause(exception_.get())) : OwnedRef();
}

void PyError::set_cause(OwnedRef cause) {
    if (exception_) PyException_SetCause(exception_.get(), cause.release());  // steals the reference
}

void PyError::restore() && {
    if (exception_) {
        PyErr_SetRaisedException(exception_.release());
        return;
    }
    if (!has_message_) {
        PyErr_SetNone(type_);
        return;
    }
    OwnedRef text = OwnedRef::steal(
        PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size())));
    // Without the text, the interpreter's own error (MemoryError) stands instead.
    if (text) PyErr_SetObject(type_, text.get());
}

}  // namespace veldra::py

#pragma once
// PyError: a failure on its way to Python. Either lazy (an exception class
// and the text to build it from, made only when raised) or an exception
// object the interpreter already made, kept unchanged.

#include <Python.h>

#include <string>

#include "pyfacade/owned_ref.hpp"
#include "support/expected.hpp"

namespace veldra::py {

class PyError {
public:
    // `type` is one of the interpreter's static exception classes.
    static PyError lazy(PyObject* type, std::string message);
    static PyError lazy_without_message(PyObject* type);
    static PyError from_exception(OwnedRef exception);

    // An exception of `type` made now, its one argument the text that
    // PyUnicode_FromFormat makes of `format` and the values after it. If the
    // interpreter cannot make either, its own error stands instead.
    static PyError format(PyObject* type, const char* format, ...);

    // Takes the interpreter's current exception after a failed API call. With
    // none set: SystemError "attempted to fetch exception but none was set".
    // The module may resume an exception as an internal fault instead
    // (inspect_fetched in module_hooks.hpp).
    static PyError fetch();

    // The exception class (borrowed).
    PyObject* type() const noexcept;

    // The message: the lazy text, or str() of the exception object.
    // Fails only as the interpreter's str() does.
    Expected<OwnedRef, PyError> message_object() const;

    // The exception's __cause__, or null (new reference).
    OwnedRef cause() const;

    // Sets the exception's __cause__ (no effect on a lazy error).
    void set_cause(OwnedRef cause);

    // The exception object (borrowed), or null for a lazy error.
    PyObject* exception() const noexcept { return exception_.get(); }

    // Makes this the interpreter's current exception.
    void restore() &&;

private:
    PyObject* type_ = nullptr;  // lazy: the class to raise
    std::string message_;
    bool has_message_ = false;
    OwnedRef exception_;  // eager: the exception object
};

template <class T>
using PyResult = Expected<T, PyError>;

// Prints the pending exception, if any, and clears it, as an uncaught one is
// shown (through sys.excepthook). Unlike PyErr_Print it never ends the
// process, whatever the exception or the hook does.
void print_pending_error();

// Shows `exception` and its traceback as an uncaught exception is shown,
// through sys.excepthook. Unlike PyErr_PrintEx this never ends the process:
// that would exit from inside a call when the exception is also a
// SystemExit, or when the hook raises one.
void show_exception(PyObject* exception);

}  // namespace veldra::py

#pragma once
// Conversions between Python objects and native values at the call boundary.

#include <Python.h>

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pyfacade/owned_ref.hpp"
#include "pyfacade/py_error.hpp"

namespace veldra::py {

// The UTF-8 text of a str (or str subclass) argument; the view lives as long
// as `obj`. Not a str: TypeError "argument '<param>': '<type>' object cannot
// be converted to 'PyString'". No UTF-8 form: the interpreter's
// UnicodeEncodeError, unchanged.
PyResult<std::string_view> text_argument_slow(PyObject* obj, const char* param);

inline PyResult<std::string_view> text_argument(PyObject* obj, const char* param) {
    // An exact ASCII str already holds its UTF-8 form, right after the header.
    if (PyUnicode_CheckExact(obj) && PyUnicode_IS_COMPACT_ASCII(obj)) {
        return std::string_view(static_cast<const char*>(PyUnicode_DATA(obj)),
                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj)));
    }
    return text_argument_slow(obj, param);
}

// A float argument: an exact float as is, anything else through
// PyFloat_AsDouble. A TypeError from the conversion is reworded as
// "argument '<param>': <message>"; other errors pass unchanged.
PyResult<double> float_argument(PyObject* obj, const char* param);

// New float / str / list of str. If the interpreter cannot make one, the
// call ends in api_call_failed() (module_hooks.hpp).
OwnedRef new_float(double value);
OwnedRef new_str(std::string_view text);
OwnedRef new_str_list(std::span<const std::string_view> items);

// A length slot's result: the count, or OverflowError (no message) if it
// does not fit a signed length.
PyResult<Py_ssize_t> checked_length(std::size_t count);

// "'<name of obj's type>' object cannot be converted to '<target>'".
PyError conversion_error(PyObject* obj, const char* target, bool qualified_name);

}  // namespace veldra::py

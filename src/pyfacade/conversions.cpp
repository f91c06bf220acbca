#include "pyfacade/conversions.hpp"

#include "pyfacade/facade_text.hpp"
#include "pyfacade/module_hooks.hpp"
#include "support/fault.hpp"
#include "support/short_text.hpp"

namespace veldra::py {
namespace {

// A conversion's TypeError becomes "argument '<param>': <its message>",
// keeping its __cause__; errors of any other type pass through.
PyError name_the_argument(PyError error, const char* param) {
    if (error.type() != PyExc_TypeError) return error;
    auto message = error.message_object();
    if (!message) return std::move(message).error();
    PyError renamed = PyError::format(PyExc_TypeError, text::kNamedArgument, param, message->get());
    if (OwnedRef cause = error.cause()) renamed.set_cause(std::move(cause));
    return renamed;
}

}  // namespace

PyError conversion_error(PyObject* obj, const char* target, bool qualified_name) {
    PyTypeObject* type = Py_TYPE(obj);
    OwnedRef name = OwnedRef::steal(qualified_name ? PyType_GetQualName(type) : PyType_GetName(type));
    if (!name) return PyError::fetch();
    return PyError::format(PyExc_TypeError, text::kCannotConvert, name.get(), target);
}

PyResult<std::string_view> text_argument_slow(PyObject* obj, const char* param) {
    if (!PyUnicode_Check(obj)) return unexpected(name_the_argument(conversion_error(obj, text::kStringTarget, false), param));
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 == nullptr) return unexpected(name_the_argument(PyError::fetch(), param));
    return std::string_view(utf8, static_cast<std::size_t>(size));
}

PyResult<double> float_argument(PyObject* obj, const char* param) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return unexpected(name_the_argument(PyError::fetch(), param));
    return value;
}

PyResult<Py_ssize_t> checked_length(std::size_t count) {
    if (count > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
        return unexpected(PyError::lazy_without_message(PyExc_OverflowError));
    }
    return static_cast<Py_ssize_t>(count);
}

OwnedRef new_float(double value) {
    OwnedRef obj = OwnedRef::steal(PyFloat_FromDouble(value));
    if (!obj) api_call_failed();
    return obj;
}

OwnedRef new_str(std::string_view text) {
    // Names and datasheets are ASCII: copying into a fresh compact string
    // skips the UTF-8 decoder.
    const bool ascii = is_ascii(text);
    OwnedRef obj = OwnedRef::steal(ascii ? PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127)
                                         : PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!obj) api_call_failed();
    if (ascii) copy_text(static_cast<char*>(PyUnicode_DATA(obj.get())), text);
    return obj;
}

OwnedRef new_str_list(std::span<const std::string_view> items) {
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) api_call_failed();
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), new_str(items[i]).release());
    }
    return list;
}

}  // namespace veldra::py

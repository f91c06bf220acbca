#include "pyfacade/arg_parser.hpp"

#include <algorithm>
#include <string>

#include "pyfacade/facade_text.hpp"

namespace veldra::py {
namespace {

PyError too_many_positional(const Signature& sig, Py_ssize_t given) {
    if (!sig.method_wording) {
        return PyError::format(PyExc_TypeError, text::kTakesPositional, sig.full_name,
                               static_cast<Py_ssize_t>(sig.params.size()), given, given == 1 ? "was" : "were");
    }
    // A Python method counts its self among the positional arguments.
    const auto least = static_cast<Py_ssize_t>(sig.required_count()) + 1;
    const auto most = static_cast<Py_ssize_t>(sig.positional_count()) + 1;
    const Py_ssize_t shown = given + 1;
    const char* verb = shown == 1 ? "was" : "were";
    if (least != most) return PyError::format(PyExc_TypeError, text::kTakesPositionalRange, sig.full_name, least, most, shown, verb);
    return PyError::format(PyExc_TypeError, most == 1 ? text::kTakesPositionalSingular : text::kTakesPositional,
                           sig.full_name, most, shown, verb);
}

// Matches one keyword to a parameter and stores its value.
std::optional<PyError> take_keyword(const Signature& sig, PyObject* keyword, PyObject* value, PyObject** out) {
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, sig.params[i]) != 0) continue;
        if (out[i] != nullptr) return PyError::format(PyExc_TypeError, text::kMultipleValues, sig.full_name, keyword);
        out[i] = value;
        return std::nullopt;
    }
    return PyError::format(PyExc_TypeError, text::kUnexpectedKeyword, sig.full_name, keyword);
}

std::optional<PyError> check_missing(const Signature& sig, PyObject** out) {
    const std::size_t required = sig.required_count();
    if (std::all_of(out, out + required, [](PyObject* arg) { return arg != nullptr; })) return std::nullopt;
    std::string names;
    std::size_t missing = 0;
    for (std::size_t i = 0; i < required; ++i) {
        if (out[i] != nullptr) continue;
        if (missing++ != 0) names += ", ";
        names += '\'';
        names += sig.params[i];
        names += '\'';
    }
    return PyError::format(PyExc_TypeError, text::kMissingArguments, sig.full_name, static_cast<Py_ssize_t>(missing),
                           missing == 1 ? "argument" : "arguments", names.c_str());
}

}  // namespace

std::optional<PyError> parse_vector_args_slow(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames, PyObject** out) {
    const auto count = static_cast<Py_ssize_t>(sig.params.size());
    if (nargs > static_cast<Py_ssize_t>(sig.positional_count())) return too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (auto error = take_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return error;
        }
    }
    return check_missing(sig, out);
}

std::optional<PyError> parse_tuple_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const auto count = static_cast<Py_ssize_t>(sig.params.size());
    if (nargs > static_cast<Py_ssize_t>(sig.positional_count())) return too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* keyword = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &keyword, &value)) {
            // Unlike the vector call, a constructor's keyword dict reaches us
            // with its keys unchecked: PyFormulasRegistry(**{1: 1}) is legal syntax.
            if (!PyUnicode_Check(keyword)) return PyError::lazy(PyExc_TypeError, text::kKeywordsMustBeStrings);
            if (auto error = take_keyword(sig, keyword, value, out)) return error;
        }
    }
    return check_missing(sig, out);
}

}  // namespace veldra::py

#include "pyfacade/arg_parser.hpp"

#include <algorithm>
#include <string>

#include "pyfacade/facade_text.hpp"
#include "pyfacade/owned_ref.hpp"

namespace veldra::py {
namespace {

PyError too_many_positional(const Signature& sig, Py_ssize_t given, PyObject** out) {
    if (!sig.method_wording) {
        return PyError::format(PyExc_TypeError, text::kTakesPositional, sig.full_name,
                               static_cast<Py_ssize_t>(sig.params.size()), given, given == 1 ? "was" : "were");
    }
    // A Python method counts its self among the positional arguments, and
    // owns up to the keyword-only arguments that came with too many others.
    const auto least = static_cast<Py_ssize_t>(sig.required_count()) + 1;
    const auto most = static_cast<Py_ssize_t>(sig.positional_count()) + 1;
    const Py_ssize_t shown = given + 1;
    const auto keyword_only = static_cast<Py_ssize_t>(
        std::count_if(out + sig.positional_count(), out + sig.params.size(), [](PyObject* arg) { return arg != nullptr; }));
    const char* verb = shown == 1 && keyword_only == 0 ? "was" : "were";
    OwnedRef count = keyword_only == 0
                         ? OwnedRef::steal(PyUnicode_FromFormat("%zd", shown))
                         : OwnedRef::steal(PyUnicode_FromFormat(text::kGivenWithKeywordOnly, shown, shown == 1 ? "" : "s",
                                                                keyword_only, keyword_only == 1 ? "" : "s"));
    if (!count) return PyError::fetch();
    if (least != most) {
        return PyError::format(PyExc_TypeError, text::kTakesPositionalRangeMethod, sig.full_name, least, most, count.get(), verb);
    }
    return PyError::format(PyExc_TypeError, most == 1 ? text::kTakesPositionalSingularMethod : text::kTakesPositionalMethod,
                           sig.full_name, most, count.get(), verb);
}

// Matches one keyword to a parameter and stores its value.
std::optional<PyError> take_keyword(const Signature& sig, PyObject* keyword, PyObject* value, PyObject** out) {
    // A method's self is always bound by position, so naming it gives it twice.
    if (sig.method_wording && PyUnicode_CompareWithASCIIString(keyword, "self") == 0) {
        return PyError::format(PyExc_TypeError, text::kMultipleValues, sig.full_name, keyword);
    }
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

// The core counts positionals before it reads a keyword; a Python def binds
// what it can first, so a bad keyword is reported before too many positionals.
template <typename BindKeywords>
std::optional<PyError> bind(const Signature& sig, Py_ssize_t nargs, PyObject** out, BindKeywords&& bind_keywords) {
    const bool too_many = nargs > static_cast<Py_ssize_t>(sig.positional_count());
    if (too_many && !sig.method_wording) return too_many_positional(sig, nargs, out);
    if (auto error = bind_keywords()) return error;
    if (too_many) return too_many_positional(sig, nargs, out);
    return check_missing(sig, out);
}

}  // namespace

std::optional<PyError> parse_vector_args_slow(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames, PyObject** out) {
    const auto count = static_cast<Py_ssize_t>(sig.params.size());
    const auto positional = static_cast<Py_ssize_t>(sig.positional_count());
    for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs && i < positional ? args[i] : nullptr;
    return bind(sig, nargs, out, [&]() -> std::optional<PyError> {
        const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (auto error = take_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return error;
        }
        return std::nullopt;
    });
}

std::optional<PyError> parse_tuple_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const auto count = static_cast<Py_ssize_t>(sig.params.size());
    const auto positional = static_cast<Py_ssize_t>(sig.positional_count());
    for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs && i < positional ? PyTuple_GET_ITEM(args, i) : nullptr;
    // Unlike the vector call, a constructor's keyword dict reaches us with its
    // keys unchecked: PyFormulasRegistry(**{1: 1}) is legal syntax. A Python
    // def refuses such a dict before it binds anything.
    if (sig.method_wording && kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* keyword = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &keyword, &value)) {
            if (!PyUnicode_Check(keyword)) return PyError::lazy(PyExc_TypeError, text::kKeywordsMustBeStrings);
        }
    }
    return bind(sig, nargs, out, [&]() -> std::optional<PyError> {
        Py_ssize_t pos = 0;
        PyObject* keyword = nullptr;
        PyObject* value = nullptr;
        while (kwargs != nullptr && PyDict_Next(kwargs, &pos, &keyword, &value)) {
            if (!PyUnicode_Check(keyword)) return PyError::lazy(PyExc_TypeError, text::kKeywordsMustBeStrings);
            if (auto error = take_keyword(sig, keyword, value, out)) return error;
        }
        return std::nullopt;
    });
}

}  // namespace veldra::py

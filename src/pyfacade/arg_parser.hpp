#pragma once
// The argument rules shared by every callable with parameters: the core
// counts positionals, then binds each keyword in the order given, then names
// what is missing; a Python method binds its keywords before it counts.
// By default every parameter is required and may be given by position or by
// keyword, and messages are worded the core's way; a signature may instead
// make trailing parameters optional or keyword-only and word its messages as
// a Python method does (self counted, "1 positional argument").

#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <span>

#include "pyfacade/py_error.hpp"

namespace veldra::py {

struct Signature {
    static constexpr std::size_t kAll = static_cast<std::size_t>(-1);

    const char* full_name;                // as shown in messages: "PyFormulasRegistry.get()"
    std::span<const char* const> params;  // parameter names, in order
    std::size_t required = kAll;          // how many leading parameters must be given
    std::size_t positional = kAll;        // how many leading parameters may be given by position
    bool method_wording = false;

    std::size_t required_count() const noexcept { return required < params.size() ? required : params.size(); }
    std::size_t positional_count() const noexcept { return positional < params.size() ? positional : params.size(); }
};

// Vector call with keyword names, any case but all-by-position.
std::optional<PyError> parse_vector_args_slow(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames, PyObject** out);

// Vector call with keyword names. Fills out[i] (borrowed) for each parameter,
// null for an optional one not given; `out` must hold params.size() slots.
// The common call, every argument by position, is inline: it sits on every
// method call.
inline std::optional<PyError> parse_vector_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                                                PyObject* kwnames, PyObject** out) {
    if (nargs == static_cast<Py_ssize_t>(sig.params.size()) && kwnames == nullptr &&
        sig.positional_count() == sig.params.size()) {
        for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
        return std::nullopt;
    }
    return parse_vector_args_slow(sig, args, nargs, kwnames, out);
}

// Tuple-and-dict call, as a constructor receives it (`kwargs` may be null).
std::optional<PyError> parse_tuple_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

}  // namespace veldra::py

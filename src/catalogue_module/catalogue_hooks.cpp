// How the shared facade reports this module's internal faults: as
// SystemError, CPython's own word for "an internal error; report it". A
// catalogue is built all or nothing and never changed afterwards, so a
// fault leaves nothing half-done behind, and a caller's `except Exception`
// (a server, a notebook) may go on; the core's BaseException would end it.

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "catalogue_module/catalogue_text.hpp"
#include "pyfacade/facade_text.hpp"
#include "pyfacade/module_hooks.hpp"
#include "pyfacade/owned_ref.hpp"
#include "pyfacade/py_error.hpp"
#include "support/fault.hpp"

namespace veldra::py {

void raise_internal_fault(std::optional<std::string_view> message) noexcept {
    const std::string text(message ? *message : std::string_view(text::kNotCxxException));
    OwnedRef shown = OwnedRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!shown) return;  // the interpreter's MemoryError stands
    PyErr_Format(PyExc_SystemError, "internal fault in ostrelin._veldra_catalogue: %U", shown.get());
}

void stop_at_boundary() noexcept {
    std::fputs(text::kFaultWhileRaising, stderr);
    std::abort();
}

void api_call_failed() {
    // A new str or float fails for want of memory: the caller's MemoryError,
    // as the pure twin would raise it, not a fault of ours.
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_Clear();
        throw std::bad_alloc();
    }
    print_pending_error();
    raise_fault(text::kApiCallFailed);
}

void inspect_fetched(PyObject*) {
    // Exceptions from Python code pass through unchanged.
}

}  // namespace veldra::py

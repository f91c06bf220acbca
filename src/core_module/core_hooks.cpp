// How the shared facade reports this module's faults: as PanicException,
// the BaseException subclass every caller of the core already expects.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core_module/interface_text.hpp"
#include "core_module/panic_exception.hpp"
#include "pyfacade/facade_text.hpp"
#include "pyfacade/module_hooks.hpp"
#include "pyfacade/owned_ref.hpp"
#include "pyfacade/py_error.hpp"
#include "support/fault.hpp"

namespace veldra::py {

void raise_internal_fault(std::optional<std::string_view> message) noexcept {
    raise_panic(message ? *message : std::string_view(text::kPanicFromNative));
}

void stop_at_boundary() noexcept {
    std::fputs(text::kUncaughtPanic, stderr);
    std::abort();
}

void api_call_failed() {
    print_pending_error();
    raise_fault(text::kApiCallFailed);
}

void inspect_fetched(PyObject* raised) {
    // A PanicException that went through Python code and came back is
    // printed and resumed: it is raised again as an internal fault.
    if (!is_panic_exception(raised)) return;
    std::string message = text::kUnwrappedPanic;
    OwnedRef shown = OwnedRef::steal(PyObject_Str(raised));
    Py_ssize_t size = 0;
    const char* utf8 = shown ? PyUnicode_AsUTF8AndSize(shown.get(), &size) : nullptr;
    if (utf8 != nullptr) {
        message.assign(utf8, static_cast<std::size_t>(size));
    } else {
        PyErr_Clear();
    }
    PySys_WriteStderr("%s", text::kResumingPanic);
    show_exception(raised);
    raise_fault(std::move(message));
}

}  // namespace veldra::py

#include "pyfacade/call_boundary.hpp"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "pyfacade/interface_text.hpp"
#include "pyfacade/panic_exception.hpp"
#include "support/fault.hpp"

namespace veldra::py::detail {
namespace {

[[noreturn]] void stop_at_boundary() noexcept {
    std::fputs(text::kUncaughtPanic, stderr);
    std::abort();
}

}  // namespace

void raise_error(PyError&& error) noexcept {
    try {
        std::move(error).restore();
    } catch (...) {
        stop_at_boundary();
    }
}

void raise_escaped(std::exception_ptr failure) noexcept {
    try {
        try {
            std::rethrow_exception(failure);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const Fault& fault) {
            raise_panic(fault.message());
        } catch (const std::exception& other) {
            raise_panic(other.what());
        } catch (...) {
            raise_panic(text::kPanicFromNative);
        }
    } catch (...) {
        stop_at_boundary();
    }
}

}  // namespace veldra::py::detail

#include "pyfacade/call_boundary.hpp"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "pyfacade/module_hooks.hpp"
#include "support/fault.hpp"

namespace veldra::py::detail {

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
            raise_internal_fault(fault.message());
        } catch (const std::exception& other) {
            raise_internal_fault(other.what());
        } catch (...) {
            raise_internal_fault(std::nullopt);
        }
    } catch (...) {
        stop_at_boundary();
    }
}

}  // namespace veldra::py::detail

#pragma once
// Entries of the interpreter's method tables.

#include <Python.h>

namespace veldra::py {

// A method table stores every entry as a PyCFunction; the interpreter calls
// it with the signature its flags name (METH_FASTCALL | METH_KEYWORDS: four
// arguments). The cast goes through void(*)(), which every function pointer
// converts to and from without a warning.
template <class R, class... Args>
PyCFunction method_entry(R (*function)(Args...)) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace veldra::py

#pragma once
// OwnedRef: the one holder of owned PyObject references. A raw PyObject*
// anywhere else in the facade is borrowed.

#include <Python.h>

#include <utility>

namespace veldra::py {

class OwnedRef {
public:
    OwnedRef() noexcept = default;

    // Takes over a new reference (which may be null after a failed API call).
    static OwnedRef steal(PyObject* obj) noexcept { return OwnedRef(obj); }

    // Takes a new reference to a borrowed object.
    static OwnedRef borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return OwnedRef(obj);
    }

    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    OwnedRef(OwnedRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~OwnedRef() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

    // Hands the reference over, to the interpreter or to an API that steals it.
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

private:
    explicit OwnedRef(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

}  // namespace veldra::py

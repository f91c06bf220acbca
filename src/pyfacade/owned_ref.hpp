#pragma once
// OwnedRef: the holder of owned PyObject references. A raw PyObject* in a
// signature is borrowed; the one table of raw owned references (a
// catalogue's records, one calloc'd block) says so where it is declared.

#include <Python.h>

#include <utility>

namespace veldra::py {

// Gives back one reference. During shutdown the interpreter ends daemon
// threads that ask for the interpreter lock by unwinding their stacks, and
// that unwind runs our destructors in a thread that does not hold the lock,
// where a release could free an object (the last reference to a module that
// shutdown already dropped) behind the finalising thread's back. So once
// shutdown has begun (Py_IsInitialized turns false as such threads start to
// be ended, one statement after the interpreter marks itself finalising)
// references are leaked instead: the process is ending. PyGILState_Check
// would tell a thread without the lock, but late in shutdown it answers yes
// for every thread, and it would cost a call on every release.
//
// Not noexcept, nor are the destructors that call it: a release can run a
// __del__ that waits for the interpreter lock, and the forced unwind that
// ends a daemon thread there must pass through, not terminate the process.
inline void drop_reference(PyObject* obj) {
    if (Py_IsInitialized()) Py_DECREF(obj);
}

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
    OwnedRef& operator=(OwnedRef&& other) {
        if (this != &other) {
            PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
            if (old != nullptr) drop_reference(old);
        }
        return *this;
    }
    ~OwnedRef() noexcept(false) {
        if (obj_ != nullptr) drop_reference(obj_);
    }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

    // Hands the reference over, to the interpreter or to an API that steals it.
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

private:
    explicit OwnedRef(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// A reference held for the life of the process by the single-phase core:
// its module, its type objects, the PanicException class, interned names. It is taken once, under
// the interpreter lock, and never given back: static destructors run after
// the interpreter is gone, so nothing may release it then.
class KeptRef {
public:
    constexpr KeptRef() noexcept = default;
    KeptRef(const KeptRef&) = delete;
    KeptRef& operator=(const KeptRef&) = delete;

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

    // Keeps `ref` for good; called once, while the cell is empty.
    void keep(OwnedRef ref) noexcept { obj_ = ref.release(); }

private:
    PyObject* obj_ = nullptr;
};

}  // namespace veldra::py

#pragma once
// The one scheme behind every class of both modules: a Python object that holds its
// native value inline, with a borrow counter; the type made once from a
// PyType_Spec; allocation, deallocation and the shared borrow every method takes.

#include <Python.h>

#include <new>
#include <type_traits>
#include <utility>

#include "pyfacade/call_boundary.hpp"
#include "pyfacade/facade_text.hpp"
#include "pyfacade/owned_ref.hpp"
#include "pyfacade/py_error.hpp"

namespace veldra::py {

template <class T>
struct Wrapped {
    PyObject_HEAD
    T value;
    // 0: unused; n > 0: n calls hold a shared borrow; -1: exclusively borrowed.
    // Changed only with the interpreter lock held.
    Py_ssize_t borrow;
    // Set once `value` is constructed. The classes stay mutable, so a caller
    // can replace __new__ with object.__new__ and get an instance whose memory
    // is merely zeroed: this flag is then false and the value must not be
    // touched, neither by a method nor by the deallocator.
    bool made;
};

// What a class is made from. Names are given twice: the dotted name makes
// the type's __module__ (as "ostrelin._veldra_core"); messages use the bare one.
struct ClassSpec {
    const char* dotted_name;
    const char* name;
    const char* doc;
    const char* maker;  // how instances are made, for "... was not made by <maker>"
    int basicsize;
    destructor dealloc;
    newfunc construct;
    lenfunc length;       // null: no length slot
    PyMethodDef* methods; // null: no methods
    int flags = 0;        // e.g. Py_TPFLAGS_BASETYPE for a class the package subclasses
    const PyType_Slot* more_slots = nullptr;  // further slots, ended by {0, nullptr}
};

// A new heap type from `spec` (mutable class attributes; subclassing only
// with Py_TPFLAGS_BASETYPE in its flags, taking part in garbage collection
// only with Py_TPFLAGS_HAVE_GC and its slots), or null with the
// interpreter's error set. With a `module`, the type belongs to it
// (PyType_GetModuleByDef finds it from the type and its subclasses).
PyTypeObject* create_type(const ClassSpec& spec, PyObject* module = nullptr) noexcept;

// The type made once per process for a class of a single-phase module (the
// core). Read and filled only with the interpreter lock held; never released.
class TypeCell {
public:
    explicit TypeCell(const ClassSpec& spec) noexcept : spec_(spec) {}

    // The type, made on first use; null with an error set if that fails.
    PyTypeObject* get() noexcept {
        if (!type_) type_.keep(OwnedRef::steal(reinterpret_cast<PyObject*>(create_type(spec_))));
        return reinterpret_cast<PyTypeObject*>(type_.get());
    }

    // The type for use inside a call, where failing to make it is an internal
    // fault "failed to create type object for <name>" (the error is printed).
    PyTypeObject* get_in_call() {
        if (type_) return reinterpret_cast<PyTypeObject*>(type_.get());
        return make_in_call();
    }

    // The type if it has been made, else null: a fast path compares an
    // instance's type with it, and no instance exists before the type.
    PyTypeObject* existing() const noexcept { return reinterpret_cast<PyTypeObject*>(type_.get()); }

    const ClassSpec& spec() const noexcept { return spec_; }

private:
    PyTypeObject* make_in_call();

    const ClassSpec& spec_;
    KeptRef type_;
};

// A new instance of `type`, zeroed: its value is not made yet.
inline PyResult<OwnedRef> allocate_instance(PyTypeObject* type) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (alloc == nullptr) alloc = PyType_GenericAlloc;
    OwnedRef obj = OwnedRef::steal(alloc(type, 0));
    if (!obj) return unexpected(PyError::fetch());
    return obj;
}

// Puts `value` into an instance whose value is not made (an initialiser's work).
template <class T>
void place_value(PyObject* obj, T value) noexcept {
    // The move into the instance must not throw (the destructor may: see ~OwnedRef).
    static_assert(noexcept(::new (static_cast<void*>(nullptr)) T(std::declval<T&&>())));
    auto* self = reinterpret_cast<Wrapped<T>*>(obj);
    ::new (static_cast<void*>(&self->value)) T(std::move(value));
    self->borrow = 0;
    self->made = true;
}

// A new instance of `type` holding `value`; the value is destroyed if the
// interpreter cannot allocate the instance.
template <class T>
PyResult<OwnedRef> wrap_value(PyTypeObject* type, T value) {
    auto obj = allocate_instance(type);
    if (obj) place_value(obj->get(), std::move(value));
    return obj;
}

// The deallocator of every class: destroys the value in place, frees the
// memory, then gives back the instance's reference to its heap type.
template <class T>
void dealloc_wrapped(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    auto* self = reinterpret_cast<Wrapped<T>*>(obj);
    if (self->made) dealloc_boundary([self] { self->value.~T(); });
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(obj);
    Py_DECREF(type);
}

// TypeError "'<qualname of self's type>' object cannot be converted to '<class>'".
PyError self_type_error(PyObject* self, const char* class_name);

// TypeError "<class> object was not made by <maker>".
PyError unmade_error(const ClassSpec& spec);

// A shared borrow of `self`'s value for the length of one call.
template <class T>
class Borrowed {
public:
    // Fails with TypeError "'<qualname>' object cannot be converted to '<class>'"
    // when self is not of the class, TypeError "<class> object was not made
    // by <maker>" when its value was never constructed, and RuntimeError
    // "Already mutably borrowed" when its value is exclusively borrowed.
    static PyResult<Borrowed> take(PyObject* self, TypeCell& cell) {
        PyTypeObject* type = cell.get_in_call();
        if (!PyObject_TypeCheck(self, type)) return unexpected(self_type_error(self, cell.spec().name));
        auto* wrapped = reinterpret_cast<Wrapped<T>*>(self);
        if (!wrapped->made) return unexpected(unmade_error(cell.spec()));
        if (wrapped->borrow == -1) return unexpected(PyError::lazy(PyExc_RuntimeError, text::kAlreadyBorrowed));
        ++wrapped->borrow;
        Py_INCREF(self);
        return Borrowed(wrapped);
    }

    Borrowed(Borrowed&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Borrowed& operator=(Borrowed&&) = delete;
    ~Borrowed() noexcept(false) {  // as ~OwnedRef
        if (obj_ == nullptr) return;
        --obj_->borrow;
        drop_reference(reinterpret_cast<PyObject*>(obj_));
    }

    const T& value() const noexcept { return obj_->value; }

private:
    explicit Borrowed(Wrapped<T>* obj) noexcept : obj_(obj) {}
    Wrapped<T>* obj_;
};

}  // namespace veldra::py

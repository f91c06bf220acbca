#pragma once
// HeldBuffer: one buffer export (PEP 3118), released when the holder goes.
// While it is held the exporter keeps its memory where it is (a NumPy array
// refuses to be resized), so native work may read it without the
// interpreter lock; writes from another thread only change the numbers.

#include <Python.h>

#include <utility>

#include "pyfacade/py_error.hpp"

namespace veldra::py {

class HeldBuffer {
public:
    HeldBuffer() noexcept = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    HeldBuffer(HeldBuffer&& other) noexcept : view_(other.view_), held_(std::exchange(other.held_, false)) {}
    ~HeldBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    // Asks `object` for its buffer with `flags` (PyBUF_*); the exporter's
    // error (usually TypeError or BufferError) when it refuses.
    static PyResult<HeldBuffer> get(PyObject* object, int flags) {
        HeldBuffer held;
        if (PyObject_GetBuffer(object, &held.view_, flags) != 0) return unexpected(PyError::fetch());
        held.held_ = true;
        return held;
    }

    const Py_buffer& view() const noexcept { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace veldra::py

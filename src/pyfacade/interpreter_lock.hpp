#pragma once
// Letting other Python threads run while native work goes on.

#include <Python.h>

namespace veldra::py {

// Releases the interpreter lock for its scope. Nothing in the scope may touch
// a Python object. Not noexcept: taking the lock back during shutdown ends
// the thread with a forced unwind, which must pass through.
class WithoutInterpreterLock {
public:
    WithoutInterpreterLock() noexcept : state_(PyEval_SaveThread()) {}
    ~WithoutInterpreterLock() noexcept(false) { PyEval_RestoreThread(state_); }
    WithoutInterpreterLock(const WithoutInterpreterLock&) = delete;
    WithoutInterpreterLock& operator=(const WithoutInterpreterLock&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace veldra::py

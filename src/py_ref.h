#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace cropmerge {

// Owns one strong reference to a Python object and drops it when it ends, so
// that no early return or exception leaks a reference.
class PyRef {
public:
    PyRef() = default;
    // Takes over a new reference (may be null, as returned by a failed API call).
    explicit PyRef(PyObject* owned) : object_(owned) {}
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    static PyRef borrow(PyObject* object) { return PyRef(Py_XNewRef(object)); }

    PyObject* get() const { return object_; }
    PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

// Holds a PyMutex for a scope. Waiting detaches the thread from the
// interpreter, so a thread that initialises a cache (and may release the GIL
// while importing) is never blocked by one waiting for it.
class PyMutexGuard {
public:
    explicit PyMutexGuard(PyMutex& mutex) : mutex_(mutex) { PyMutex_Lock(&mutex_); }
    PyMutexGuard(const PyMutexGuard&) = delete;
    PyMutexGuard& operator=(const PyMutexGuard&) = delete;
    ~PyMutexGuard() { PyMutex_Unlock(&mutex_); }

private:
    PyMutex& mutex_;
};

}  // namespace cropmerge

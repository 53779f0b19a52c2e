// The slice of the CPython C API the extension uses: the stable ABI only, so one
// abi3 build serves every interpreter from 3.10 on.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace brisklane {

// A Python exception is already set; unwind to the function boundary.
struct PythonError {};

// Throws PythonError when a C-API call reported failure.
inline PyObject* checked(PyObject* result) {
    if (result == nullptr) throw PythonError{};
    return result;
}

// Owns one strong reference.
class PyRef {
public:
    PyRef() = default;
    explicit PyRef(PyObject* owned) : object_(owned) {}
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    static PyRef checked(PyObject* owned) { return PyRef(brisklane::checked(owned)); }

    PyObject* get() const { return object_; }
    PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

}  // namespace brisklane

// The slice of the CPython C API the extension uses: the stable ABI only, so one
// abi3 build serves every interpreter from 3.10 on.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
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

// The str of one of the extension's own names (config fields, result keys),
// made once and interned: a call that reads a config and builds its result
// looks up and inserts a few dozen names, and a cached str spares decoding
// its text and hashing it again each time. The GIL guards the cache; past
// kMaxNames distinct names it stops growing and the str is made afresh.
struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

inline PyRef name_string(std::string_view text) {
    constexpr std::size_t kMaxNames = 1024;
    static auto* names = new std::unordered_map<std::string, PyObject*, NameHash, std::equal_to<>>();
    if (const auto found = names->find(text); found != names->end()) {
        Py_INCREF(found->second);
        return PyRef(found->second);
    }
    PyObject* name = checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (names->size() < kMaxNames) {
        PyUnicode_InternInPlace(&name);
        Py_INCREF(name);  // the cache's reference
        names->emplace(std::string(text), name);
    }
    return PyRef(name);
}

}  // namespace brisklane

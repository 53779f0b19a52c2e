// The engine's own entry points, registered after the pricing functions:
//
//     def simd_target() -> str: ...              # "scalar", "avx2" or "avx512"
//     def set_simd_target(name: str) -> None: ... # ValueError when unknown or unsupported
//     def engine_info() -> dict: ...             # numerics revision, targets, compiler
//     def fatal_error_class() -> type: ...       # the class fatal core errors raise
#include <string>

#include "boundary.hpp"
#include "engine_entries.hpp"
#include "mc_core/simd.hpp"

namespace brisklane {
namespace {

using mc_core::simd::Target;

constexpr Target kTargets[] = {Target::scalar, Target::avx2, Target::avx512};

std::string supported_names() {
    std::string names;
    for (Target t : kTargets) {
        if (!mc_core::simd::target_supported(t)) continue;
        if (!names.empty()) names += ", ";
        names += mc_core::simd::target_name(t);
    }
    return names;
}

const char* compiler() {
#if defined(__clang__)
    return "clang " __clang_version__;
#elif defined(__GNUC__)
    return "gcc " __VERSION__;
#else
    return "unknown";
#endif
}

PyObject* simd_target(PyObject*, PyObject*) {
    return PyUnicode_FromString(mc_core::simd::target_name(mc_core::simd::active_target()));
}

PyObject* set_simd_target(PyObject*, PyObject* name) {
    if (!PyUnicode_Check(name)) {
        PyErr_SetString(PyExc_TypeError, "set_simd_target() argument must be str");
        return nullptr;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text == nullptr) return nullptr;
    const auto target = mc_core::simd::parse_target(std::string_view(text, static_cast<std::size_t>(size)));
    if (!target) {
        PyErr_Format(PyExc_ValueError, "unknown SIMD target '%s'; expected one of scalar, avx2, avx512", text);
        return nullptr;
    }
    if (!mc_core::simd::set_active_target(*target)) {
        PyErr_Format(PyExc_ValueError, "SIMD target '%s' is not supported on this machine (supported: %s)", text,
                     supported_names().c_str());
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* engine_info(PyObject*, PyObject*) {
    PyRef info(PyDict_New());
    if (!info) return nullptr;
    PyRef supported(PyList_New(0));
    if (!supported) return nullptr;
    for (Target t : kTargets) {
        if (!mc_core::simd::target_supported(t)) continue;
        PyRef name(PyUnicode_FromString(mc_core::simd::target_name(t)));
        if (!name || PyList_Append(supported.get(), name.get()) != 0) return nullptr;
    }
    const std::pair<const char*, PyObject*> items[] = {
        {"numerics_revision", PyLong_FromLong(mc_core::simd::kNumericsRevision)},
        {"simd_target", PyUnicode_FromString(mc_core::simd::target_name(mc_core::simd::active_target()))},
        {"simd_targets_supported", Py_NewRef(supported.get())},
        {"simd_lanes", PyLong_FromSize_t(mc_core::simd::kLanes)},
        {"compiler", PyUnicode_FromString(compiler())},
    };
    bool ok = true;
    for (const auto& [key, value] : items) {
        PyRef owned(value);
        ok = ok && owned && PyDict_SetItemString(info.get(), key, owned.get()) == 0;
    }
    return ok ? info.release() : nullptr;
}

// The class fatal core errors raise: one per process, handed to the package
// rather than kept as a module attribute.
PyObject* fatal_error_class(PyObject*, PyObject*) {
    PyObject* cls = panic_exception_class();
    return cls == nullptr ? nullptr : Py_NewRef(cls);
}

}  // namespace

const PyMethodDef kEngineMethods[kEngineMethodCount] = {
    {"simd_target", simd_target, METH_NOARGS,
     "simd_target()\n--\n\nThe SIMD target the engine runs on: 'scalar', 'avx2' or 'avx512'."},
    {"set_simd_target", set_simd_target, METH_O,
     "set_simd_target(name, /)\n--\n\nForce the SIMD target for this process; results do not change."},
    {"engine_info", engine_info, METH_NOARGS,
     "engine_info()\n--\n\nNumerics revision, SIMD target, supported targets and compiler."},
    {"fatal_error_class", fatal_error_class, METH_NOARGS,
     "fatal_error_class()\n--\n\nThe exception class a fatal core error raises (brisklane.PanicException)."},
};

}  // namespace brisklane

#include "bounds_entries.hpp"

#include <cstring>

#include "boundary.hpp"
#include "config.hpp"

namespace brisklane {
namespace {

using mc_core::runtime::cpu::PutBoundsRequest;

// The counts go through to_u64, so a negative or non-integral count is
// Python's own OverflowError or TypeError rather than a wrapped number.
PyObject* put_bounds(PyObject*, PyObject* args) {
    PyObject *name, *config, *inner, *outer, *lower, *threads = nullptr;
    if (!PyArg_ParseTuple(args, "OOOOO|O:put_bounds", &name, &config, &inner, &outer, &lower, &threads))
        return nullptr;
    if (!PyUnicode_Check(name)) {
        PyErr_SetString(PyExc_TypeError, "product must be str");
        return nullptr;
    }
    const char* product = PyUnicode_AsUTF8AndSize(name, nullptr);
    if (product == nullptr) return nullptr;
    const bool american = std::strcmp(product, "american_put") == 0;
    if (!american && std::strcmp(product, "bermudan_put") != 0) {
        PyErr_Format(PyExc_ValueError, "put_bounds prices american_put or bermudan_put, not '%s'", product);
        return nullptr;
    }
    return guarded([&] {
        PutBoundsRequest request;
        request.inner_paths = to_u64(inner);
        request.outer_paths = to_u64(outer);
        request.lower_paths = to_u64(lower);
        request.threads = threads == nullptr ? 1 : to_u64(threads);
        return json_to_py(american ? american_put_bounds(config, request) : bermudan_put_bounds(config, request));
    });
}

}  // namespace

const PyMethodDef kBoundsMethods[kBoundsMethodCount] = {
    {"put_bounds", put_bounds, METH_VARARGS,
     "put_bounds(product, config, inner_paths, outer_paths, lower_paths, threads=1, /)\n--\n\n"
     "Lower and upper bounds on a put's price: its fitted exercise rule on fresh paths, and that rule's dual."},
};

}  // namespace brisklane

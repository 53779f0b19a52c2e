// The block-plan entry points, registered after the engine's own:
//
//     def product_fields(product: str, /) -> list[tuple[str, tuple[str, ...], str, object]]
//         """(name, aliases, kind, default) of each config field in reading
//         order; kind is "real", "count", "counts" (a list), "technique",
//         "sampling" or "text"."""
//
//     def price_planned(product: str, config, blocks: int, threads: int, /) -> dict
//         """{"config": echo, "price": float, "stderr": float} (and the
//         puts' "details" and "warnings"): the product priced on `blocks`
//         blocks by `threads` threads (0: the processors available), the
//         interpreter lock released while the core runs."""
//
// The config is read through the product's field table, exactly as its
// module function reads it (planned.hpp). Failures map as for the module
// functions.
#include <cstring>
#include <optional>
#include <string_view>

#include "boundary.hpp"
#include "planned.hpp"
#include "planned_entries.hpp"
#include "products.hpp"

namespace brisklane {
namespace {

const PlannedProduct kProducts[] = {
    product<Planned<mc_core::EuropeanCallConfig, kEuropeanCallFields, mc_core::european_call_price_mc_cpu_planned>>(
        "european_call"),
    product<Planned<mc_core::ArithmeticAsianCallConfig, kEuropeanCallFields,
                    mc_core::arithmetic_asian_call_price_mc_cpu_planned>>("arithmetic_asian_call"),
    product<Planned<mc_core::DownAndOutCallConfig, kDownAndOutCallFields,
                    mc_core::down_and_out_call_price_mc_cpu_planned>>("down_and_out_call"),
    product<Planned<mc_core::LookbackCallConfig, kEuropeanCallFields, mc_core::lookback_call_price_mc_cpu_planned>>(
        "lookback_call"),
    product<Planned<mc_core::BasketCallConfig, kBasketCallFields, mc_core::basket_call_price_mc_cpu_planned>>(
        "basket_call"),
    product<Planned<mc_core::HestonEuropeanCallConfig, kHestonEuropeanCallFields,
                    mc_core::heston_european_call_price_mc_cpu_planned>>("heston_european_call"),
    product<Planned<mc_core::MertonJumpDiffusionCallConfig, kMertonJumpDiffusionCallFields,
                    mc_core::merton_jump_diffusion_call_price_mc_cpu_planned>>("merton_jump_diffusion_call"),
    american_put_planned(),
    bermudan_put_planned(),
    mlmc_planned(),
};

const PlannedProduct* find_product(PyObject* name) {
    if (!PyUnicode_Check(name)) {
        PyErr_SetString(PyExc_TypeError, "product must be str");
        return nullptr;
    }
    const char* text = PyUnicode_AsUTF8AndSize(name, nullptr);
    if (text == nullptr) return nullptr;
    for (const PlannedProduct& p : kProducts)
        if (std::strcmp(p.name, text) == 0) return &p;
    PyErr_Format(PyExc_ValueError, "unknown product '%s'", text);
    return nullptr;
}

PyObject* product_fields(PyObject*, PyObject* name) {
    const PlannedProduct* p = find_product(name);
    if (p == nullptr) return nullptr;
    return guarded([&] { return p->fields(); });
}

PyObject* price_planned(PyObject*, PyObject* args) {
    PyObject *name, *config;
    unsigned long long blocks, threads;
    if (!PyArg_ParseTuple(args, "OOKK:price_planned", &name, &config, &blocks, &threads)) return nullptr;
    const PlannedProduct* p = find_product(name);
    if (p == nullptr) return nullptr;
    if (blocks == 0) {
        PyErr_SetString(PyExc_ValueError, "blocks must be >= 1");
        return nullptr;
    }
    return guarded([&] { return json_to_py(p->price(config, mc_core::BlockPlan{blocks, threads})); });
}

}  // namespace

const PyMethodDef kPlannedMethods[kPlannedMethodCount] = {
    {"product_fields", product_fields, METH_O,
     "product_fields(product, /)\n--\n\n(name, aliases, kind, default) of each config field, in reading order."},
    {"price_planned", price_planned, METH_VARARGS,
     "price_planned(product, config, blocks, threads, /)\n--\n\nPrice on a block plan; the lock is released."},
};

}  // namespace brisklane

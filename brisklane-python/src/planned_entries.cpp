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
//     def run_block(product: str, config, blocks: int, block: int, stop=None, /) -> bytes
//         """Block `block` of the plan alone, on the calling thread: its
//         partial results (every stage's raw sums) as bytes. `stop`, a
//         callable polled every few milliseconds, ends the run with
//         KeyboardInterrupt when it returns true."""
//
//     def merge_blocks(product: str, config, blocks: int, partials, /) -> dict
//         """What price_planned returns, from the bytes of every block in
//         block order, bit for bit: nothing is simulated."""
//
//     def check_planned(product: str, config, blocks: int, /) -> bool
//         """Reads the config and runs the product's checks, simulating
//         nothing; false for a product whose blocks cannot run apart (the
//         puts), whose checks run with the pricing."""
//
// The European, Asian, down-and-out, lookback, basket, Heston and Merton calls
// also go by "<product>.greeks": the same fields, blocks and draws, and results
// that add "greeks": {"delta" | "gamma" | "vega" | "rho" | "theta": {"value",
// "stderr"}} (greeks.hpp); the basket's names are per asset ("delta_1",
// "delta_2", "gamma_1", "gamma_2", "vega_1", "vega_2") and "rho", "theta".
//
// The config is read through the product's field table, exactly as its
// module function reads it (planned.hpp). Failures map as for the module
// functions. One difference in the numbers: scrambled Sobol sampling runs the
// full-length sequence of up to 2^32 points, where the module functions start
// a new sequence every 65,536 points.
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
    // The Greeks of a product: its fields, its draws, GreeksResult values.
    product<Planned<mc_core::EuropeanCallConfig, kEuropeanCallFields, mc_core::european_call_greeks_mc_cpu_planned>>(
        "european_call.greeks"),
    product<Planned<mc_core::ArithmeticAsianCallConfig, kEuropeanCallFields,
                    mc_core::arithmetic_asian_call_greeks_mc_cpu_planned>>("arithmetic_asian_call.greeks"),
    product<Planned<mc_core::DownAndOutCallConfig, kDownAndOutCallFields,
                    mc_core::down_and_out_call_greeks_mc_cpu_planned>>("down_and_out_call.greeks"),
    product<Planned<mc_core::LookbackCallConfig, kEuropeanCallFields,
                    mc_core::lookback_call_greeks_mc_cpu_planned>>("lookback_call.greeks"),
    product<Planned<mc_core::BasketCallConfig, kBasketCallFields, mc_core::basket_call_greeks_mc_cpu_planned>>(
        "basket_call.greeks"),
    product<Planned<mc_core::HestonEuropeanCallConfig, kHestonEuropeanCallFields,
                    mc_core::heston_european_call_greeks_mc_cpu_planned>>("heston_european_call.greeks"),
    product<Planned<mc_core::MertonJumpDiffusionCallConfig, kMertonJumpDiffusionCallFields,
                    mc_core::merton_jump_diffusion_call_greeks_mc_cpu_planned>>("merton_jump_diffusion_call.greeks"),
};

}  // namespace

nlohmann::json planned_values(const mc_core::GreeksResult& result) {
    nlohmann::json out = to_value(result.values[0]);
    nlohmann::json greeks = nlohmann::json::object();
    for (std::size_t g = 0; g < result.names.size(); ++g) {
        const nlohmann::json estimate = to_value(result.values[g + 1]);
        greeks[result.names[g]] = {{"value", estimate["price"]}, {"stderr", estimate["stderr"]}};
    }
    out["greeks"] = std::move(greeks);
    return out;
}

namespace {

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

// The product a planned entry names, with its block count checked.
const PlannedProduct* planned_product(PyObject* name, unsigned long long blocks) {
    const PlannedProduct* p = find_product(name);
    if (p == nullptr) return nullptr;
    if (blocks == 0) {
        PyErr_SetString(PyExc_ValueError, "blocks must be >= 1");
        return nullptr;
    }
    return p;
}

PyObject* price_planned(PyObject*, PyObject* args) {
    PyObject *name, *config;
    unsigned long long blocks, threads;
    if (!PyArg_ParseTuple(args, "OOKK:price_planned", &name, &config, &blocks, &threads)) return nullptr;
    const PlannedProduct* p = planned_product(name, blocks);
    if (p == nullptr) return nullptr;
    return guarded([&] { return json_to_py(p->price(config, mc_core::BlockPlan{blocks, threads}, nullptr)); });
}

// The product of an entry that runs blocks apart: not the puts.
const PlannedProduct* blockwise_product(PyObject* name, unsigned long long blocks) {
    const PlannedProduct* p = planned_product(name, blocks);
    if (p == nullptr || p->blockwise) return p;
    PyErr_Format(PyExc_ValueError, "%s cannot run its blocks apart", p->name);
    return nullptr;
}

PyObject* run_block(PyObject*, PyObject* args) {
    PyObject *name, *config, *stop = Py_None;
    unsigned long long blocks, block;
    if (!PyArg_ParseTuple(args, "OOKK|O:run_block", &name, &config, &blocks, &block, &stop)) return nullptr;
    const PlannedProduct* p = blockwise_product(name, blocks);
    if (p == nullptr) return nullptr;
    if (block >= blocks) {
        PyErr_Format(PyExc_ValueError, "block %llu is not in a plan of %llu blocks", block, blocks);
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        mc_core::BlockExchange exchange{mc_core::BlockExchange::Mode::run_one, block};
        p->price(config, mc_core::BlockPlan{blocks, 1, &exchange}, stop == Py_None ? nullptr : stop);
        return checked(PyBytes_FromStringAndSize(exchange.out.data(), static_cast<Py_ssize_t>(exchange.out.size())));
    });
}

PyObject* merge_blocks(PyObject*, PyObject* args) {
    PyObject *name, *config, *partials;
    unsigned long long blocks;
    if (!PyArg_ParseTuple(args, "OOKO:merge_blocks", &name, &config, &blocks, &partials)) return nullptr;
    const PlannedProduct* p = blockwise_product(name, blocks);
    if (p == nullptr) return nullptr;
    return guarded([&] {
        mc_core::BlockExchange exchange{mc_core::BlockExchange::Mode::merge};
        const Py_ssize_t count = PySequence_Size(partials);
        if (count < 0) throw PythonError{};
        exchange.in.reserve(static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyRef item = PyRef::checked(PySequence_GetItem(partials, i));
            char* data;
            Py_ssize_t size;
            if (PyBytes_AsStringAndSize(item.get(), &data, &size) != 0) throw PythonError{};
            exchange.in.emplace_back(data, static_cast<std::size_t>(size));
        }
        nlohmann::json out = p->price(config, mc_core::BlockPlan{blocks, 1, &exchange}, nullptr);
        for (const std::string& bytes : exchange.in)
            if (bytes.size() != exchange.offset) mc_core::fail("a block result is longer than its run");
        return json_to_py(out);
    });
}

PyObject* check_planned(PyObject*, PyObject* args) {
    PyObject *name, *config;
    unsigned long long blocks;
    if (!PyArg_ParseTuple(args, "OOK:check_planned", &name, &config, &blocks)) return nullptr;
    const PlannedProduct* p = planned_product(name, blocks);
    if (p == nullptr) return nullptr;
    if (!p->blockwise) Py_RETURN_FALSE;
    return guarded([&] {
        mc_core::BlockExchange exchange{mc_core::BlockExchange::Mode::validate};
        p->price(config, mc_core::BlockPlan{blocks, 1, &exchange}, nullptr);
        Py_RETURN_TRUE;
    });
}

}  // namespace

const PyMethodDef kPlannedMethods[kPlannedMethodCount] = {
    {"product_fields", product_fields, METH_O,
     "product_fields(product, /)\n--\n\n(name, aliases, kind, default) of each config field, in reading order."},
    {"price_planned", price_planned, METH_VARARGS,
     "price_planned(product, config, blocks, threads, /)\n--\n\nPrice on a block plan; the lock is released."},
    {"run_block", run_block, METH_VARARGS,
     "run_block(product, config, blocks, block, stop=None, /)\n--\n\nOne block of a plan: its partial results as bytes."},
    {"merge_blocks", merge_blocks, METH_VARARGS,
     "merge_blocks(product, config, blocks, partials, /)\n--\n\nThe plan's result from every block's bytes, in block order."},
    {"check_planned", check_planned, METH_VARARGS,
     "check_planned(product, config, blocks, /)\n--\n\nThe product's config checks alone; false for the puts."},
};

}  // namespace brisklane

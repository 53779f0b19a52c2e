// The block-plan entry points, registered after the engine's own:
//
//     def product_fields(product: str, /) -> list[tuple[str, tuple[str, ...], str, object]]
//         """(name, aliases, kind, default) of each config field in reading
//         order; kind is "real", "count", "technique", "sampling" or "text"."""
//
//     def price_planned(product: str, config, blocks: int, threads: int, /) -> dict
//         """{"config": echo, "price": float, "stderr": float}: the product
//         priced on `blocks` blocks by `threads` threads (0: the processors
//         available), the interpreter lock released while the core runs."""
//
// The config is read through the product's field table, exactly as its
// module function reads it. Failures map as for the module functions; the
// caller's Ctrl-C stops the run (the calling thread takes the lock back to
// check for signals every 10 ms).
#include <cstring>
#include <optional>
#include <string_view>

#include "boundary.hpp"
#include "planned_entries.hpp"
#include "products.hpp"

namespace brisklane {
namespace {

using mc_core::BlockPlan;
using Plan = std::optional<BlockPlan>;

template <class T>
constexpr const char* kind_of() {
    if constexpr (std::is_same_v<T, double>)
        return "real";
    else if constexpr (std::is_same_v<T, std::uint64_t>)
        return "count";
    else if constexpr (std::is_same_v<T, mc_core::MonteCarloTechnique>)
        return "technique";
    else if constexpr (std::is_same_v<T, mc_core::SamplingMethod>)
        return "sampling";
    else
        return "text";
}

// Gives the lock back while the core runs; the stop poll takes it for each check.
class LockReleased {
public:
    LockReleased() : saved_(PyEval_SaveThread()) {}
    ~LockReleased() { PyEval_RestoreThread(saved_); }
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;

    static bool poll(void* self) {
        auto& lock = *static_cast<LockReleased*>(self);
        PyEval_RestoreThread(lock.saved_);
        const bool raised = PyErr_CheckSignals() != 0;
        lock.saved_ = PyEval_SaveThread();
        return raised;
    }

private:
    PyThreadState* saved_;
};

struct PlannedProduct {
    const char* name;
    PyObject* (*fields)();
    nlohmann::json (*price)(PyObject* config, const BlockPlan& plan);
};

template <class Record, const auto& Fields, mc_core::EuropeanCallResult (*Price)(const Record&, const Plan&)>
struct Planned {
    static PyObject* fields() {
        const Record defaults{};
        PyRef list = PyRef::checked(PyList_New(0));
        for (const Field<Record>& field : Fields) {
            std::size_t count = 0;
            while (count < field.aliases.size() && field.aliases[count] != nullptr) ++count;
            PyRef aliases = PyRef::checked(PyTuple_New(static_cast<Py_ssize_t>(count)));
            for (std::size_t i = 0; i < count; ++i)
                PyTuple_SetItem(aliases.get(), static_cast<Py_ssize_t>(i),
                                checked(PyUnicode_FromString(field.aliases[i])));
            const char* kind = std::visit(
                [](auto member) {
                    using T = std::remove_cvref_t<decltype(defaults.*member)>;
                    if constexpr (IsOptional<T>::value)
                        return kind_of<typename T::value_type>();
                    else
                        return kind_of<T>();
                },
                field.member);
            PyRef fallback(std::visit([&](auto member) { return json_to_py(tree_of(defaults.*member)); }, field.member));
            if (!fallback) throw PythonError{};
            PyRef row = PyRef::checked(Py_BuildValue("(sOsO)", field.name, aliases.get(), kind, fallback.get()));
            if (PyList_Append(list.get(), row.get()) != 0) throw PythonError{};
        }
        return list.release();
    }

    static nlohmann::json price(PyObject* config, const BlockPlan& plan) {
        Record record;
        read_fields(config, Fields, record);
        mc_core::EuropeanCallResult result;
        {
            LockReleased unlocked;
            const mc_core::StopScope stop(LockReleased::poll, &unlocked);
            result = Price(record, plan);
        }
        nlohmann::json out = to_value(result);
        out["config"] = fields_to_value(Fields, record);
        return out;
    }
};

template <class P>
constexpr PlannedProduct product(const char* name) {
    return {name, &P::fields, &P::price};
}

constexpr PlannedProduct kProducts[] = {
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
    return guarded([&] { return json_to_py(p->price(config, BlockPlan{blocks, threads})); });
}

}  // namespace

const PyMethodDef kPlannedMethods[kPlannedMethodCount] = {
    {"product_fields", product_fields, METH_O,
     "product_fields(product, /)\n--\n\n(name, aliases, kind, default) of each config field, in reading order."},
    {"price_planned", price_planned, METH_VARARGS,
     "price_planned(product, config, blocks, threads, /)\n--\n\nPrice on a block plan; the lock is released."},
};

}  // namespace brisklane

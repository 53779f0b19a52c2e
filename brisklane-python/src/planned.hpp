// A product priced on a block plan for the typed API: its field table as
// (name, aliases, kind, default) rows, and its pricing with the interpreter
// lock released. The config is read exactly as the module function reads it.
#pragma once

#include <optional>
#include <type_traits>

#include "config.hpp"
#include "mc_core/early_exercise.hpp"
#include "mc_core/greeks.hpp"
#include "mc_core/interrupt.hpp"
#include "mc_core/multilevel.hpp"
#include "python_api.hpp"
#include "result.hpp"

namespace brisklane {

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
    else if constexpr (std::is_same_v<T, std::vector<std::uint64_t>>)
        return "counts";
    else
        return "text";
}

// Gives the lock back while the core runs; the stop poll takes it for each
// check. Off the main thread signals never arrive, so a caller that runs
// blocks on its own threads passes `stop`, a callable polled with the
// signals: true asks the run to end with KeyboardInterrupt.
class LockReleased {
public:
    explicit LockReleased(PyObject* stop = nullptr) : stop_(stop), saved_(PyEval_SaveThread()) {}
    ~LockReleased() { PyEval_RestoreThread(saved_); }
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;

    static bool poll(void* self) {
        auto& lock = *static_cast<LockReleased*>(self);
        PyEval_RestoreThread(lock.saved_);
        const bool raised = PyErr_CheckSignals() != 0 || lock.stop_requested();
        lock.saved_ = PyEval_SaveThread();
        return raised;
    }

private:
    bool stop_requested() const {
        if (stop_ == nullptr) return false;
        PyObject* answer = PyObject_CallNoArgs(stop_);
        if (answer == nullptr) return true;
        const int truth = PyObject_IsTrue(answer);
        Py_DECREF(answer);
        if (truth == 0) return false;
        if (truth > 0) PyErr_SetNone(PyExc_KeyboardInterrupt);
        return true;
    }

    PyObject* stop_;
    PyThreadState* saved_;
};

// A product's pricing on a plan; with the plan's exchange it runs one block,
// merges blocks run elsewhere, or only checks the config (null then).
struct PlannedProduct {
    const char* name;
    PyObject* (*fields)();
    nlohmann::json (*price)(PyObject* config, const mc_core::BlockPlan& plan, PyObject* stop);
    bool blockwise = true;  // its blocks can run apart (not the puts: their regression needs every path)
};

// The values a planned run returns besides the config echo.
inline nlohmann::json planned_values(const mc_core::EuropeanCallResult& result) { return to_value(result); }
nlohmann::json planned_values(const mc_core::runtime::cpu::AmericanPutResult& result);
nlohmann::json planned_values(const mc_core::runtime::cpu::BermudanPutResult& result);
nlohmann::json planned_values(const mc_core::ArithmeticAsianMlmcResult& result);
// The price, its stderr, and "greeks": {name: {"value", "stderr"}}.
nlohmann::json planned_values(const mc_core::GreeksResult& result);

// One product's entries: its field table, and its pricing on a plan. Products
// with scrambled Sobol sampling run its full-length sequence (random.hpp).
template <class Record, const auto& Fields, auto Price>
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
            const char* kind = nullptr;
            PyRef fallback(std::visit(
                [&](auto member) {
                    using T = std::remove_cvref_t<decltype(defaults.*member)>;
                    if constexpr (IsOptional<T>::value)
                        kind = kind_of<typename T::value_type>();
                    else
                        kind = kind_of<T>();
                    return json_to_py(tree_of(defaults.*member));
                },
                field.member));
            if (!fallback) throw PythonError{};
            PyRef row = PyRef::checked(Py_BuildValue("(sOsO)", field.name, aliases.get(), kind, fallback.get()));
            if (PyList_Append(list.get(), row.get()) != 0) throw PythonError{};
        }
        return list.release();
    }

    static nlohmann::json price(PyObject* config, const mc_core::BlockPlan& plan, PyObject* stop) {
        Record record;
        read_fields(config, Fields, record);
        // The module functions keep Sobol blocks of 65,536 points; here a run of
        // any size has one sequence, so its error keeps falling past them.
        if constexpr (requires { record.sobol_length; }) record.sobol_length = mc_core::SobolLength::full_length;
        std::optional<decltype(Price(record, plan))> result;
        try {
            LockReleased unlocked(stop);
            const mc_core::StopScope scope(LockReleased::poll, &unlocked);
            result.emplace(Price(record, std::optional<mc_core::BlockPlan>(plan)));
        } catch (const mc_core::ValidatedOnly&) {
            return nullptr;
        }
        nlohmann::json out = planned_values(*result);
        out["config"] = fields_to_value(Fields, record);
        return out;
    }
};

template <class P>
constexpr PlannedProduct product(const char* name, bool blockwise = true) {
    return {name, &P::fields, &P::price, blockwise};
}

// The puts' entries (early_exercise_products.cpp) and the multilevel
// estimator's (studies_products.cpp).
PlannedProduct american_put_planned();
PlannedProduct bermudan_put_planned();
PlannedProduct mlmc_planned();

}  // namespace brisklane

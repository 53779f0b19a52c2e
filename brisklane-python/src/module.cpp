// brisklane._native: the Python face of the Monte Carlo core.
//
//     __version__ = "0.1.1"
//
//     def price_european_call(config): ...   # and one function per product
//         """Read `config` (any object with .get), price, return a plain dict:
//         {"manifest": {...}, "price": float, "stderr": float,
//          "values": {...}, "warnings": [...]}"""
//
// Every function takes exactly one argument, `config`, by position or keyword.
// A fatal core error raises PanicException (pyo3_runtime.PanicException, a
// BaseException), an allocation failure MemoryError; argument and conversion
// errors are Python's own TypeError / OverflowError, and unknown enumeration
// text is ValueError. The interpreter lock is held for the whole call.
//
// Ctrl-C: while a simulation runs, the calling thread checks for pending
// signals between pieces of its work and while it waits for workers, every
// 10 ms. Python's signal handlers run then; whatever one raises (the default
// SIGINT handler: KeyboardInterrupt) ends the call once every worker has
// stopped and been joined.
#include "boundary.hpp"
#include "bounds_entries.hpp"
#include "engine_entries.hpp"
#include "planned_entries.hpp"
#include "products.hpp"

namespace brisklane {

constexpr const char* kPanicDoc =
    "Raised when the native Monte Carlo core fails fatally.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so it\n"
    "normally propagates to the top and ends the interpreter.";

PyObject* panic_exception_class() {
    static PyObject* cls = nullptr;  // created once, kept for the life of the process
    if (cls == nullptr)
        cls = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
    return cls;
}

void raise_panic(const char* message) {
    PyObject* cls = panic_exception_class();
    if (cls != nullptr) PyErr_SetString(cls, message);
}

namespace {

// ---- Functions, in registration order --------------------------------------

constexpr Function kFunctions[] = {
    {{"price_european_call", "european_call"}, "price_european_call(config)\n--\n\n", run_european_call},
    {{"price_arithmetic_asian_call", "arithmetic_asian_call"},
     "price_arithmetic_asian_call(config)\n--\n\n",
     run_arithmetic_asian_call},
    {{"price_down_and_out_call", "down_and_out_call"}, "price_down_and_out_call(config)\n--\n\n", run_down_and_out_call},
    {{"price_lookback_call", "lookback_call"}, "price_lookback_call(config)\n--\n\n", run_lookback_call},
    {{"price_basket_call", "basket_call"}, "price_basket_call(config)\n--\n\n", run_basket_call},
    {{"price_american_put", "american_put"}, "price_american_put(config)\n--\n\n", run_american_put},
    {{"price_bermudan_put", "bermudan_put"}, "price_bermudan_put(config)\n--\n\n", run_bermudan_put},
    {{"price_heston_european_call", "heston_european_call"}, "price_heston_european_call(config)\n--\n\n",
     run_heston_european_call},
    {{"price_merton_jump_diffusion_call", "merton_jump_diffusion_call"},
     "price_merton_jump_diffusion_call(config)\n--\n\n", run_merton_jump_diffusion_call},
    {{"price_european_call_parameter_sweep", "european_call_parameter_sweep"},
     "price_european_call_parameter_sweep(config)\n--\n\n",
     run_european_call_parameter_sweep},
    {{"gaussian_uncertainty_moments", "gaussian_uncertainty_moments"},
     "gaussian_uncertainty_moments(config)\n--\n\n",
     run_gaussian_uncertainty_moments},
    {{"arithmetic_asian_mlmc", "arithmetic_asian_mlmc"}, "arithmetic_asian_mlmc(config)\n--\n\n", run_arithmetic_asian_mlmc},
};

// ---- Argument frame and the one catch boundary -----------------------------

PyObject* extract_config(const char* name, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t given = PyTuple_Size(args);
    if (given > 1) {
        PyErr_Format(PyExc_TypeError, "%s() takes 1 positional arguments but %zd were given", name, given);
        return nullptr;
    }
    PyObject* config = given == 1 ? PyTuple_GetItem(args, 0) : nullptr;
    if (kwargs != nullptr) {
        PyObject *key, *value;
        Py_ssize_t position = 0;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            const int is_config = PyUnicode_Check(key) ? PyUnicode_CompareWithASCIIString(key, "config") == 0 : 0;
            if (!is_config) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", name, key);
                return nullptr;
            }
            if (config != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument 'config'", name);
                return nullptr;
            }
            config = value;
        }
    }
    if (config == nullptr)
        PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: 'config'", name);
    return config;
}

PyObject* call_function(const Function& function, PyObject* args, PyObject* kwargs) {
    PyObject* config = extract_config(function.identity.function, args, kwargs);
    if (config == nullptr) return nullptr;
    return guarded([&] {
        const nlohmann::json tree = [&] {
            const mc_core::StopScope stop(pending_signal_raised, nullptr);
            return function.run(function.identity, config);
        }();
        return json_to_py(tree);
    });
}

template <std::size_t I>
PyObject* trampoline(PyObject*, PyObject* args, PyObject* kwargs) {
    return call_function(kFunctions[I], args, kwargs);
}

// The pricing functions first, in their fixed order, then the engine's own,
// then the block-plan entries of the typed API, then the put bounds.
template <std::size_t... I, std::size_t... E, std::size_t... P, std::size_t... B>
constexpr auto method_table(std::index_sequence<I...>, std::index_sequence<E...>, std::index_sequence<P...>,
                            std::index_sequence<B...>) {
    return std::array<PyMethodDef, sizeof...(I) + sizeof...(E) + sizeof...(P) + sizeof...(B) + 1>{{
        {kFunctions[I].identity.function, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&trampoline<I>)),
         METH_VARARGS | METH_KEYWORDS, kFunctions[I].doc}...,
        kEngineMethods[E]...,
        kPlannedMethods[P]...,
        kBoundsMethods[B]...,
        {nullptr, nullptr, 0, nullptr},
    }};
}

constexpr std::size_t kFunctionCount = sizeof(kFunctions) / sizeof(kFunctions[0]);
auto methods = method_table(std::make_index_sequence<kFunctionCount>{}, std::make_index_sequence<kEngineMethodCount>{},
                            std::make_index_sequence<kPlannedMethodCount>{},
                            std::make_index_sequence<kBoundsMethodCount>{});

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_native", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// ---- Initialisation: one module object per process -------------------------

PyObject* cached_module = nullptr;
std::int64_t owning_interpreter = -1;

PyObject* create_module() {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (cached_module != nullptr) {
        if (interpreter != owning_interpreter) {
            PyErr_SetString(PyExc_ImportError,
                            "brisklane._native does not support sub-interpreters; it is already loaded "
                            "in another interpreter of this process");
            return nullptr;
        }
        Py_INCREF(cached_module);
        return cached_module;
    }
    PyRef module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    if (PyModule_AddStringConstant(module.get(), "__version__", "0.1.1") != 0) return nullptr;
    if (PyModule_AddFunctions(module.get(), methods.data()) != 0) return nullptr;
    owning_interpreter = interpreter;
    cached_module = module.get();
    Py_INCREF(cached_module);
    return module.release();
}

}  // namespace
}  // namespace brisklane

extern "C" PyMODINIT_FUNC PyInit__native(void) { return brisklane::create_module(); }

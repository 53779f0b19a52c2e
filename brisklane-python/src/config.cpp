#include "config.hpp"

#include <cmath>

#include "mc_core/text.hpp"

namespace brisklane {

using mc_core::EuropeanCallMethod;
using mc_core::MonteCarloTechnique;
using mc_core::PricingWorkloadFamily;
using mc_core::SamplingMethod;

namespace {

template <class Enum>
struct EnumText {
    Enum value;
    const char* text;
};

constexpr EnumText<SamplingMethod> kSamplingTexts[] = {
    {SamplingMethod::pseudorandom, "pseudorandom"},
    {SamplingMethod::randomized_halton, "randomized_halton"},
    {SamplingMethod::latin_hypercube, "latin_hypercube"},
    {SamplingMethod::scrambled_sobol, "scrambled_sobol"},
    {SamplingMethod::scrambled_sobol_brownian_bridge, "scrambled_sobol_brownian_bridge"},
};
constexpr EnumText<MonteCarloTechnique> kTechniqueTexts[] = {
    {MonteCarloTechnique::standard, "standard"},
    {MonteCarloTechnique::antithetic, "antithetic"},
    {MonteCarloTechnique::control_variate, "control_variate"},
};
constexpr EnumText<EuropeanCallMethod> kMethodTexts[] = {
    {EuropeanCallMethod::automatic, "auto"},
    {EuropeanCallMethod::terminal_distribution, "terminal_distribution"},
    {EuropeanCallMethod::stepwise_paths, "stepwise_paths"},
};
constexpr EnumText<PricingWorkloadFamily> kWorkloadTexts[] = {
    {PricingWorkloadFamily::european_call, "european_call"},
    {PricingWorkloadFamily::merton_jump_diffusion_call, "merton_jump_diffusion_call"},
    {PricingWorkloadFamily::heston_european_call, "heston_european_call"},
    {PricingWorkloadFamily::arithmetic_asian_call, "arithmetic_asian_call"},
    {PricingWorkloadFamily::down_and_out_call, "down_and_out_call"},
    {PricingWorkloadFamily::basket_call, "basket_call"},
    {PricingWorkloadFamily::lookback_call, "lookback_call"},
    {PricingWorkloadFamily::american_put, "american_put"},
    {PricingWorkloadFamily::bermudan_put, "bermudan_put"},
};

template <class Enum, std::size_t N>
Enum parse_enum(std::string_view text, const EnumText<Enum> (&table)[N], const char* what) {
    const std::string normalized = normalize(text);
    for (const auto& row : table)
        if (normalized == row.text) return row.value;
    const std::string message = std::string("unsupported ") + what + " '" + std::string(text) + "'";
    PyErr_SetString(PyExc_ValueError, message.c_str());
    throw PythonError{};
}

template <class Enum, std::size_t N>
const char* enum_text(Enum value, const EnumText<Enum> (&table)[N]) {
    for (const auto& row : table)
        if (row.value == value) return row.text;
    return "";
}

PyRef call_get(PyObject* config, const char* key) {
    PyRef get = PyRef::checked(PyObject_GetAttr(config, name_string("get").get()));
    PyRef name = name_string(key);
    PyRef value = PyRef::checked(PyObject_CallFunctionObjArgs(get.get(), name.get(), nullptr));
    if (value.get() == Py_None) return PyRef();
    return value;
}

// TypeError "'<type>' object cannot be converted to '<target>'".
[[noreturn]] void raise_cannot_convert(PyObject* value, const char* target) {
    PyRef type_name = PyRef::checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__"));
    Py_ssize_t length = 0;
    const char* name = PyUnicode_AsUTF8AndSize(type_name.get(), &length);
    if (name == nullptr) throw PythonError{};
    std::string message = "'";
    message.append(name, static_cast<std::size_t>(length));
    message.append("' object cannot be converted to '").append(target).append("'");
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw PythonError{};
}

const Aliases kSeed{"seed"};
const Aliases kTechnique{"technique"};
const Aliases kSampling{"sampling"};

}  // namespace

std::string normalize(std::string_view text) {
    std::string out(mc_core::trim_white_space(text));
    for (char& ch : out) {
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
        if (ch == '-') ch = '_';
    }
    return out;
}

SamplingMethod parse_sampling(std::string_view text) { return parse_enum(text, kSamplingTexts, "sampling method"); }
MonteCarloTechnique parse_technique(std::string_view text) {
    return parse_enum(text, kTechniqueTexts, "Monte Carlo technique");
}
EuropeanCallMethod parse_european_method(std::string_view text) {
    return parse_enum(text, kMethodTexts, "European call method");
}

const char* text_of(SamplingMethod value) { return enum_text(value, kSamplingTexts); }
const char* text_of(MonteCarloTechnique value) { return enum_text(value, kTechniqueTexts); }
const char* text_of(EuropeanCallMethod value) { return enum_text(value, kMethodTexts); }
const char* text_of(PricingWorkloadFamily value) { return enum_text(value, kWorkloadTexts); }

PyRef lookup(PyObject* config, const Aliases& aliases) {
    for (const char* alias : aliases) {
        if (alias == nullptr) break;
        PyRef value = call_get(config, alias);
        if (value) return value;
    }
    return PyRef();
}

double to_f64(PyObject* value) {
    const double result = PyFloat_AsDouble(value);
    if (result == -1.0 && PyErr_Occurred()) throw PythonError{};
    return result;
}

std::uint64_t to_u64(PyObject* value) {
    PyRef index = PyRef::checked(PyNumber_Index(value));
    const unsigned long long result = PyLong_AsUnsignedLongLong(index.get());
    if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
    return result;
}

std::string to_enum_text(PyObject* value) {
    if (!PyUnicode_Check(value)) raise_cannot_convert(value, "PyString");
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &length);
    if (text == nullptr) throw PythonError{};
    return std::string(text, static_cast<std::size_t>(length));
}

std::vector<std::uint64_t> to_u64_list(PyObject* value) {
    const Py_ssize_t size = sequence_length(value);
    std::vector<std::uint64_t> items;
    items.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyRef item = PyRef::checked(PySequence_GetItem(value, i));
        items.push_back(to_u64(item.get()));
    }
    return items;
}

Py_ssize_t sequence_length(PyObject* value) {
    // A str is a sequence of str, never of records or integers: refused outright.
    if (PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        throw PythonError{};
    }
    if (!PySequence_Check(value)) raise_cannot_convert(value, "Sequence");
    const Py_ssize_t size = PySequence_Size(value);
    if (size < 0) throw PythonError{};
    return size;
}

std::optional<double> get_optional_f64(PyObject* config, const Aliases& aliases) {
    PyRef raw = lookup(config, aliases);
    if (!raw) return std::nullopt;
    return to_f64(raw.get());
}

std::optional<std::uint64_t> get_optional_usize(PyObject* config, const Aliases& aliases) {
    PyRef raw = lookup(config, aliases);
    if (!raw) return std::nullopt;
    return to_u64(raw.get());
}

std::optional<std::uint64_t> get_optional_u64(PyObject* config) { return get_optional_usize(config, kSeed); }

std::optional<MonteCarloTechnique> get_optional_technique(PyObject* config) {
    PyRef raw = lookup(config, kTechnique);
    if (!raw) return std::nullopt;
    return parse_technique(to_enum_text(raw.get()));
}

std::optional<SamplingMethod> get_optional_sampling(PyObject* config) {
    PyRef raw = lookup(config, kSampling);
    if (!raw) return std::nullopt;
    return parse_sampling(to_enum_text(raw.get()));
}

double get_f64(PyObject* config, const Aliases& aliases, double fallback) {
    return get_optional_f64(config, aliases).value_or(fallback);
}
std::uint64_t get_usize(PyObject* config, const Aliases& aliases, std::uint64_t fallback) {
    return get_optional_usize(config, aliases).value_or(fallback);
}
std::uint64_t get_u64(PyObject* config) { return get_optional_u64(config).value_or(42); }
MonteCarloTechnique get_technique(PyObject* config, MonteCarloTechnique fallback) {
    return get_optional_technique(config).value_or(fallback);
}
SamplingMethod get_sampling(PyObject* config, SamplingMethod fallback) {
    return get_optional_sampling(config).value_or(fallback);
}

nlohmann::json number(double value) { return std::isfinite(value) ? nlohmann::json(value) : nlohmann::json(nullptr); }

}  // namespace brisklane

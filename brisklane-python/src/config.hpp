// Reading a product's config record from the caller's `config` mapping.
//
// A record is described once, as a table of fields (JSON name, up to three
// aliases in lookup order, member). The same table drives reading the mapping
// and echoing the record into the result manifest, so the two cannot drift.
//
// Lookup: `config.get(alias)` for each alias in order; None counts as missing;
// the first other value wins and is converted (float(), the integer index
// protocol, a str parsed as an enumeration, a str taken as text, or a sequence
// of integers item by item). An optional field stays empty when no alias gives
// a value. Conversion errors are Python's own and carry no field name; any
// exception raised by `get` passes through.
//
// Records become JSON value trees through `tree_of`: numbers, enumeration
// texts, strings, arrays for vectors, null for an empty optional or a
// non-finite double, and objects for records that have a field table (a config
// table above, or a `RecordFields` specialisation).
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "mc_core/european.hpp"
#include "python_api.hpp"

namespace brisklane {

using Aliases = std::array<const char*, 3>;  // unused slots are nullptr

// ---- Enumerations ---------------------------------------------------------

// Trims Unicode white space, lower-cases ASCII letters and turns '-' into '_'.
std::string normalize(std::string_view text);
// Each throws PythonError (ValueError quoting `text` as given) when unknown.
mc_core::SamplingMethod parse_sampling(std::string_view text);
mc_core::MonteCarloTechnique parse_technique(std::string_view text);
mc_core::EuropeanCallMethod parse_european_method(std::string_view text);

const char* text_of(mc_core::SamplingMethod value);
const char* text_of(mc_core::MonteCarloTechnique value);
const char* text_of(mc_core::EuropeanCallMethod value);
const char* text_of(mc_core::PricingWorkloadFamily value);

// ---- Getters --------------------------------------------------------------

// The raw value of the first alias whose `get` is not None.
PyRef lookup(PyObject* config, const Aliases& aliases);

double to_f64(PyObject* value);
std::uint64_t to_u64(PyObject* value);
std::string to_enum_text(PyObject* value);
// A sequence (not a str) whose items each convert as `to_u64` does.
std::vector<std::uint64_t> to_u64_list(PyObject* value);
// The length of a sequence that is not a str: TypeError "Can't extract `str` to
// `Vec`" for a str, "'<type>' object cannot be converted to 'Sequence'" for
// anything else that is not a sequence.
Py_ssize_t sequence_length(PyObject* value);

std::optional<double> get_optional_f64(PyObject* config, const Aliases& aliases);
std::optional<std::uint64_t> get_optional_usize(PyObject* config, const Aliases& aliases);
std::optional<std::uint64_t> get_optional_u64(PyObject* config);  // "seed"
std::optional<mc_core::MonteCarloTechnique> get_optional_technique(PyObject* config);
std::optional<mc_core::SamplingMethod> get_optional_sampling(PyObject* config);

double get_f64(PyObject* config, const Aliases& aliases, double fallback);
std::uint64_t get_usize(PyObject* config, const Aliases& aliases, std::uint64_t fallback);
std::uint64_t get_u64(PyObject* config);  // "seed", default 42
mc_core::MonteCarloTechnique get_technique(PyObject* config, mc_core::MonteCarloTechnique fallback);
mc_core::SamplingMethod get_sampling(PyObject* config, mc_core::SamplingMethod fallback);

// ---- Field tables ---------------------------------------------------------

template <class Record>
struct Field {
    using Member = std::variant<double Record::*, std::uint64_t Record::*, mc_core::MonteCarloTechnique Record::*,
                                mc_core::SamplingMethod Record::*, mc_core::EuropeanCallMethod Record::*,
                                std::string Record::*, std::vector<std::uint64_t> Record::*,
                                std::optional<double> Record::*, std::optional<std::uint64_t> Record::*,
                                std::optional<mc_core::MonteCarloTechnique> Record::*,
                                std::optional<mc_core::SamplingMethod> Record::*,
                                std::optional<mc_core::EuropeanCallMethod> Record::*>;
    const char* name;
    Aliases aliases;
    Member member;
};

template <class Record, std::size_t... N>
constexpr auto concat_fields(const std::array<Field<Record>, N>&... parts) {
    std::array<Field<Record>, (N + ...)> all{};
    std::size_t next = 0;
    ((std::copy(parts.begin(), parts.end(), all.begin() + next), next += N), ...);
    return all;
}

// s0, k, r, sigma, t: the geometric Brownian motion group.
template <class Record>
constexpr std::array<Field<Record>, 5> gbm_fields() {
    return {{{"s0", {"s0", "spot"}, &Record::s0},
             {"k", {"k", "strike"}, &Record::k},
             {"r", {"r", "rate"}, &Record::r},
             {"sigma", {"sigma", "volatility"}, &Record::sigma},
             {"t", {"t", "maturity"}, &Record::t}}};
}

// n_paths, n_steps, seed: the path group.
template <class Record>
constexpr std::array<Field<Record>, 3> path_fields() {
    return {{{"n_paths", {"n_paths", "paths"}, &Record::n_paths},
             {"n_steps", {"n_steps", "steps"}, &Record::n_steps},
             {"seed", {"seed"}, &Record::seed}}};
}

// One value of each field kind, converted from the raw Python object.
inline void read_value(PyObject* raw, double& out) { out = to_f64(raw); }
inline void read_value(PyObject* raw, std::uint64_t& out) { out = to_u64(raw); }
inline void read_value(PyObject* raw, mc_core::MonteCarloTechnique& out) { out = parse_technique(to_enum_text(raw)); }
inline void read_value(PyObject* raw, mc_core::SamplingMethod& out) { out = parse_sampling(to_enum_text(raw)); }
inline void read_value(PyObject* raw, mc_core::EuropeanCallMethod& out) {
    out = parse_european_method(to_enum_text(raw));
}
inline void read_value(PyObject* raw, std::string& out) { out = to_enum_text(raw); }
inline void read_value(PyObject* raw, std::vector<std::uint64_t>& out) { out = to_u64_list(raw); }
template <class T>
void read_value(PyObject* raw, std::optional<T>& out) {
    T value{};
    read_value(raw, value);
    out = value;
}

// Reads every field in table order into `record`, whose values are the
// defaults; stops at the first failure (PythonError).
template <class Record, std::size_t N>
void read_fields(PyObject* config, const std::array<Field<Record>, N>& fields, Record& record) {
    for (const Field<Record>& field : fields) {
        std::visit(
            [&](auto member) {
                PyRef raw = lookup(config, field.aliases);
                if (raw) read_value(raw.get(), record.*member);
            },
            field.member);
    }
}

nlohmann::json number(double value);  // null when not finite

// True when every floating-point field of `record` is finite; an unset
// optional counts as finite.
template <class Record, std::size_t N>
bool finite_fields(const std::array<Field<Record>, N>& fields, const Record& record) {
    bool finite = true;
    for (const Field<Record>& field : fields)
        std::visit(
            [&](auto member) {
                const auto& value = record.*member;
                using T = std::remove_cvref_t<decltype(value)>;
                if constexpr (std::is_same_v<T, double>)
                    finite = finite && std::isfinite(value);
                else if constexpr (std::is_same_v<T, std::optional<double>>)
                    finite = finite && (!value || std::isfinite(*value));
            },
            field.member);
    return finite;
}

// ---- Records as value trees -----------------------------------------------

template <class Record, class Value>
struct RecordField {
    const char* name;
    Value Record::*member;
};

template <class Record, class Value>
constexpr RecordField<Record, Value> field(const char* name, Value Record::*member) {
    return {name, member};
}

// Specialise for a record that enters trees as an object, with
//     static constexpr auto fields = std::make_tuple(field("name", &Record::member), ...);
// or with `fields` referring to the record's config table.
template <class Record>
struct RecordFields;

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};
template <class T>
struct IsVector : std::false_type {};
template <class T, class A>
struct IsVector<std::vector<T, A>> : std::true_type {};
template <class T>
struct IsFieldTable : std::false_type {};
template <class Record, std::size_t N>
struct IsFieldTable<std::array<Field<Record>, N>> : std::true_type {};

template <class Record, std::size_t N>
nlohmann::json fields_to_value(const std::array<Field<Record>, N>& fields, const Record& record);

template <class T>
nlohmann::json tree_of(const T& value) {
    if constexpr (std::is_same_v<T, double>) {
        return number(value);
    } else if constexpr (std::is_integral_v<T> || std::is_same_v<T, std::string>) {
        return value;
    } else if constexpr (std::is_enum_v<T>) {
        return text_of(value);
    } else if constexpr (IsOptional<T>::value) {
        return value ? tree_of(*value) : nlohmann::json(nullptr);
    } else if constexpr (IsVector<T>::value) {
        nlohmann::json array = nlohmann::json::array();
        for (const auto& item : value) array.push_back(tree_of(item));
        return array;
    } else if constexpr (IsFieldTable<std::remove_cvref_t<decltype(RecordFields<T>::fields)>>::value) {
        return fields_to_value(RecordFields<T>::fields, value);
    } else {
        return std::apply(
            [&value](const auto&... fields) {
                nlohmann::json object = nlohmann::json::object();
                ((object[fields.name] = tree_of(value.*(fields.member))), ...);
                return object;
            },
            RecordFields<T>::fields);
    }
}

// The record as a JSON object under the fields' names.
template <class Record, std::size_t N>
nlohmann::json fields_to_value(const std::array<Field<Record>, N>& fields, const Record& record) {
    nlohmann::json object = nlohmann::json::object();
    for (const Field<Record>& field : fields)
        std::visit([&](auto member) { object[field.name] = tree_of(record.*member); }, field.member);
    return object;
}

}  // namespace brisklane

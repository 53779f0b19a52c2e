// Reading a product's config record from the caller's `config` mapping.
//
// A record is described once, as a table of fields (JSON name, up to three
// aliases in lookup order, member). The same table drives reading the mapping
// and echoing the record into the result manifest, so the two cannot drift.
//
// Lookup: `config.get(alias)` for each alias in order; None counts as missing;
// the first other value wins and is converted (float(), the integer index
// protocol, a str parsed as an enumeration, or a sequence of integers item by
// item). Conversion errors are Python's own and carry no field name; any
// exception raised by `get` passes through.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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
                                mc_core::SamplingMethod Record::*, std::vector<std::uint64_t> Record::*>;
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

// Reads every field in table order into `record`, whose values are the
// defaults; stops at the first failure (PythonError).
template <class Record, std::size_t N>
void read_fields(PyObject* config, const std::array<Field<Record>, N>& fields, Record& record) {
    for (const Field<Record>& field : fields) {
        std::visit(
            [&](auto member) {
                using Value = std::remove_reference_t<decltype(record.*member)>;
                PyRef raw = lookup(config, field.aliases);
                if (!raw) return;
                if constexpr (std::is_same_v<Value, double>) {
                    record.*member = to_f64(raw.get());
                } else if constexpr (std::is_same_v<Value, std::uint64_t>) {
                    record.*member = to_u64(raw.get());
                } else if constexpr (std::is_same_v<Value, mc_core::MonteCarloTechnique>) {
                    record.*member = parse_technique(to_enum_text(raw.get()));
                } else if constexpr (std::is_same_v<Value, mc_core::SamplingMethod>) {
                    record.*member = parse_sampling(to_enum_text(raw.get()));
                } else {
                    record.*member = to_u64_list(raw.get());
                }
            },
            field.member);
    }
}

nlohmann::json number(double value);  // null when not finite

// The record as a JSON object under the fields' names.
template <class Record, std::size_t N>
nlohmann::json fields_to_value(const std::array<Field<Record>, N>& fields, const Record& record) {
    nlohmann::json object = nlohmann::json::object();
    for (const Field<Record>& field : fields) {
        std::visit(
            [&](auto member) {
                const auto& value = record.*member;
                using Value = std::remove_cvref_t<decltype(value)>;
                if constexpr (std::is_same_v<Value, double>)
                    object[field.name] = number(value);
                else if constexpr (std::is_same_v<Value, std::uint64_t> ||
                                   std::is_same_v<Value, std::vector<std::uint64_t>>)
                    object[field.name] = value;
                else
                    object[field.name] = text_of(value);
            },
            field.member);
    }
    return object;
}

}  // namespace brisklane

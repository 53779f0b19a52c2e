// The module's functions: one row each, and the per-product glue that reads a
// config record, calls the core and builds the result tree.
//
// Adding a product means adding its field table and run function (in a source
// file of its own when it needs more than `single_price`) and one row in the
// module's function table.
#pragma once

#include <array>

#include <nlohmann/json.hpp>

#include "config.hpp"
#include "mc_core/european.hpp"
#include "mc_core/path_dependent.hpp"
#include "python_api.hpp"
#include "result.hpp"

namespace brisklane {

struct Function {
    CallIdentity identity;
    const char* doc;  // "name(config)\n--\n\n": the text signature, no docstring
    nlohmann::json (*run)(const CallIdentity&, PyObject* config);
};

// A product whose core entry maps one config record to one (price, stderr).
template <class Record, const auto& Fields, mc_core::EuropeanCallResult (*Price)(const Record&)>
nlohmann::json single_price(const CallIdentity& call, PyObject* config) {
    Record record;
    read_fields(config, Fields, record);
    const mc_core::EuropeanCallResult result = Price(record);
    return pricing_envelope(call, fields_to_value(Fields, record), to_value(result));
}

// n_threads, technique, sampling: the trailing fields of the GBM path products.
template <class Record>
constexpr std::array<Field<Record>, 3> run_fields() {
    return {{{"n_threads", {"n_threads"}, &Record::n_threads},
             {"technique", {"technique"}, &Record::technique},
             {"sampling", {"sampling"}, &Record::sampling}}};
}

inline constexpr auto kEuropeanCallFields =
    concat_fields(gbm_fields<mc_core::EuropeanCallConfig>(), path_fields<mc_core::EuropeanCallConfig>(),
                  run_fields<mc_core::EuropeanCallConfig>());

inline constexpr auto run_european_call =
    single_price<mc_core::EuropeanCallConfig, kEuropeanCallFields, mc_core::european_call_price_mc_cpu>;

// The arithmetic Asian and lookback calls share the European call's record.
inline constexpr auto run_arithmetic_asian_call =
    single_price<mc_core::ArithmeticAsianCallConfig, kEuropeanCallFields, mc_core::arithmetic_asian_call_price_mc_cpu>;
inline constexpr auto run_lookback_call =
    single_price<mc_core::LookbackCallConfig, kEuropeanCallFields, mc_core::lookback_call_price_mc_cpu>;

inline constexpr auto kDownAndOutCallFields = concat_fields(
    gbm_fields<mc_core::DownAndOutCallConfig>(), path_fields<mc_core::DownAndOutCallConfig>(),
    std::array<Field<mc_core::DownAndOutCallConfig>, 1>{{{"barrier", {"barrier"}, &mc_core::DownAndOutCallConfig::barrier}}},
    run_fields<mc_core::DownAndOutCallConfig>());
inline constexpr auto run_down_and_out_call =
    single_price<mc_core::DownAndOutCallConfig, kDownAndOutCallFields, mc_core::down_and_out_call_price_mc_cpu>;
// American and Bermudan puts by Longstaff-Schwartz (early_exercise_products.cpp).
nlohmann::json run_american_put(const CallIdentity& call, PyObject* config);
nlohmann::json run_bermudan_put(const CallIdentity& call, PyObject* config);

// The European call parameter sweep, the Gaussian moments study and the
// multilevel Asian call (studies_products.cpp).
nlohmann::json run_european_call_parameter_sweep(const CallIdentity& call, PyObject* config);
nlohmann::json run_gaussian_uncertainty_moments(const CallIdentity& call, PyObject* config);
nlohmann::json run_arithmetic_asian_mlmc(const CallIdentity& call, PyObject* config);

}  // namespace brisklane

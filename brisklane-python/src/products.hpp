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
#include "mc_core/basket.hpp"
#include "mc_core/dynamics.hpp"
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
    require_finite_inputs(finite_fields(Fields, record));
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
// ---- Basket call: two assets, read in this order ---------------------------

inline constexpr auto kBasketCallFields = concat_fields(
    std::array<Field<mc_core::BasketCallConfig>, 12>{{
        {"s01", {"s01", "spot_1", "spot1"}, &mc_core::BasketCallConfig::s01},
        {"s02", {"s02", "spot_2", "spot2"}, &mc_core::BasketCallConfig::s02},
        {"k", {"k", "strike"}, &mc_core::BasketCallConfig::k},
        {"r", {"r", "rate"}, &mc_core::BasketCallConfig::r},
        {"sigma1", {"sigma1", "volatility_1", "volatility1"}, &mc_core::BasketCallConfig::sigma1},
        {"sigma2", {"sigma2", "volatility_2", "volatility2"}, &mc_core::BasketCallConfig::sigma2},
        {"rho", {"rho", "correlation"}, &mc_core::BasketCallConfig::rho},
        {"weight1", {"weight1", "weight_1"}, &mc_core::BasketCallConfig::weight1},
        {"weight2", {"weight2", "weight_2"}, &mc_core::BasketCallConfig::weight2},
        {"t", {"t", "maturity"}, &mc_core::BasketCallConfig::t},
        {"n_paths", {"n_paths", "paths"}, &mc_core::BasketCallConfig::n_paths},
        {"seed", {"seed"}, &mc_core::BasketCallConfig::seed},
    }},
    run_fields<mc_core::BasketCallConfig>());

inline constexpr auto run_basket_call =
    single_price<mc_core::BasketCallConfig, kBasketCallFields, mc_core::basket_call_price_mc_cpu>;

// ---- Heston European call: no sampling field (always pseudorandom) ---------

inline constexpr std::array<Field<mc_core::HestonEuropeanCallConfig>, 14> kHestonEuropeanCallFields = {{
    {"s0", {"s0", "spot"}, &mc_core::HestonEuropeanCallConfig::s0},
    {"k", {"k", "strike"}, &mc_core::HestonEuropeanCallConfig::k},
    {"r", {"r", "rate"}, &mc_core::HestonEuropeanCallConfig::r},
    {"v0", {"v0", "initial_variance"}, &mc_core::HestonEuropeanCallConfig::v0},
    {"kappa", {"kappa", "mean_reversion"}, &mc_core::HestonEuropeanCallConfig::kappa},
    {"theta", {"theta", "long_run_variance"}, &mc_core::HestonEuropeanCallConfig::theta},
    {"vol_of_vol", {"vol_of_vol"}, &mc_core::HestonEuropeanCallConfig::vol_of_vol},
    {"rho", {"rho", "correlation"}, &mc_core::HestonEuropeanCallConfig::rho},
    {"t", {"t", "maturity"}, &mc_core::HestonEuropeanCallConfig::t},
    {"n_paths", {"n_paths", "paths"}, &mc_core::HestonEuropeanCallConfig::n_paths},
    {"n_steps", {"n_steps", "steps"}, &mc_core::HestonEuropeanCallConfig::n_steps},
    {"seed", {"seed"}, &mc_core::HestonEuropeanCallConfig::seed},
    {"n_threads", {"n_threads"}, &mc_core::HestonEuropeanCallConfig::n_threads},
    {"technique", {"technique"}, &mc_core::HestonEuropeanCallConfig::technique},
}};

inline constexpr auto run_heston_european_call =
    single_price<mc_core::HestonEuropeanCallConfig, kHestonEuropeanCallFields,
                 mc_core::heston_european_call_price_mc_cpu>;

// ---- Merton jump-diffusion call: no technique, no sampling -----------------

inline constexpr auto kMertonJumpDiffusionCallFields = concat_fields(
    gbm_fields<mc_core::MertonJumpDiffusionCallConfig>(),
    std::array<Field<mc_core::MertonJumpDiffusionCallConfig>, 6>{{
        {"n_paths", {"n_paths", "paths"}, &mc_core::MertonJumpDiffusionCallConfig::n_paths},
        {"seed", {"seed"}, &mc_core::MertonJumpDiffusionCallConfig::seed},
        {"n_threads", {"n_threads"}, &mc_core::MertonJumpDiffusionCallConfig::n_threads},
        {"jump_intensity", {"jump_intensity"}, &mc_core::MertonJumpDiffusionCallConfig::jump_intensity},
        {"jump_mean", {"jump_mean"}, &mc_core::MertonJumpDiffusionCallConfig::jump_mean},
        {"jump_volatility", {"jump_volatility"}, &mc_core::MertonJumpDiffusionCallConfig::jump_volatility},
    }});

inline constexpr auto run_merton_jump_diffusion_call =
    single_price<mc_core::MertonJumpDiffusionCallConfig, kMertonJumpDiffusionCallFields,
                 mc_core::merton_jump_diffusion_call_price_mc_cpu>;

// The European call parameter sweep, the Gaussian moments study and the
// multilevel Asian call (studies_products.cpp).
nlohmann::json run_european_call_parameter_sweep(const CallIdentity& call, PyObject* config);
nlohmann::json run_gaussian_uncertainty_moments(const CallIdentity& call, PyObject* config);
nlohmann::json run_arithmetic_asian_mlmc(const CallIdentity& call, PyObject* config);

}  // namespace brisklane

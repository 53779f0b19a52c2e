// The multilevel Asian call and the two studies: their config tables, the
// tables of their result records, and the glue from `config` to result tree.
//
//     arithmetic_asian_mlmc(config)               -> {"manifest", "stderr", "values", "warnings"}
//     gaussian_uncertainty_moments(config)        -> {"manifest", "values", "warnings"}
//     price_european_call_parameter_sweep(config) -> {"manifest", "values", "warnings"}
//
// The studies report their own warnings inside "values"; the top-level
// "warnings" of all three is empty.
#include "mc_core/multilevel.hpp"
#include "mc_core/studies.hpp"
#include "planned.hpp"
#include "products.hpp"

namespace brisklane {

using mc_core::ArithmeticAsianMlmcConfig;
using mc_core::ArithmeticAsianMlmcLevelResult;
using mc_core::ArithmeticAsianMlmcResult;
using mc_core::EuropeanCallConfig;
using mc_core::runtime::cpu::EuropeanCallParameterSweepConfig;
using mc_core::runtime::cpu::EuropeanCallParameterSweepResult;
using mc_core::runtime::cpu::EuropeanCallParameterSweepRow;
using mc_core::runtime::cpu::EuropeanCallSweepScenario;
using mc_core::GaussianUncertaintyConfig;
using mc_core::GaussianUncertaintyMomentResult;

// ---- Arithmetic Asian multilevel Monte Carlo ----------------------------------

inline constexpr auto kMlmcFields = concat_fields(
    gbm_fields<ArithmeticAsianMlmcConfig>(),
    std::array<Field<ArithmeticAsianMlmcConfig>, 7>{{
        {"base_steps", {"base_steps"}, &ArithmeticAsianMlmcConfig::base_steps},
        {"levels", {"levels"}, &ArithmeticAsianMlmcConfig::levels},
        {"refinement_factor", {"refinement_factor"}, &ArithmeticAsianMlmcConfig::refinement_factor},
        {"paths_per_level", {"paths_per_level"}, &ArithmeticAsianMlmcConfig::paths_per_level},
        {"seed", {"seed"}, &ArithmeticAsianMlmcConfig::seed},
        {"sampling", {"sampling"}, &ArithmeticAsianMlmcConfig::sampling},
        {"scramble_replicates", {"scramble_replicates"}, &ArithmeticAsianMlmcConfig::scramble_replicates},
    }});

template <>
struct RecordFields<ArithmeticAsianMlmcLevelResult> {
    using R = ArithmeticAsianMlmcLevelResult;
    static constexpr auto fields =
        std::make_tuple(field("level", &R::level), field("paths", &R::paths), field("fine_steps", &R::fine_steps),
                        field("coarse_steps", &R::coarse_steps), field("mean", &R::mean),
                        field("variance", &R::variance), field("stderr", &R::std_error),
                        field("cost_step_updates", &R::cost_step_updates));
};

template <>
struct RecordFields<ArithmeticAsianMlmcResult> {
    using R = ArithmeticAsianMlmcResult;
    static constexpr auto fields = std::make_tuple(
        field("price", &R::price), field("stderr", &R::std_error), field("total_paths", &R::total_paths),
        field("total_step_updates", &R::total_step_updates), field("scramble_replicates", &R::scramble_replicates),
        field("replicate_estimates", &R::replicate_estimates), field("levels", &R::levels));
};

nlohmann::json run_arithmetic_asian_mlmc(const CallIdentity& call, PyObject* config) {
    ArithmeticAsianMlmcConfig record;
    read_fields(config, kMlmcFields, record);
    const ArithmeticAsianMlmcResult result = mc_core::arithmetic_asian_call_price_mlmc_cpu(record);
    require_finite_inputs(finite_fields(kMlmcFields, record));
    return stderr_envelope(call, fields_to_value(kMlmcFields, record), tree_of(result));
}

// The typed API's values: the result record as details, its price and stderr
// on top.
nlohmann::json planned_values(const ArithmeticAsianMlmcResult& result) {
    return {{"price", number(result.price)}, {"stderr", number(result.std_error)}, {"details", tree_of(result)}};
}

PlannedProduct mlmc_planned() {
    return product<Planned<ArithmeticAsianMlmcConfig, kMlmcFields, mc_core::arithmetic_asian_call_price_mlmc_cpu_planned>>(
        "arithmetic_asian_mlmc");
}

// ---- Gaussian uncertainty moments ---------------------------------------------

inline constexpr std::array<Field<GaussianUncertaintyConfig>, 4> kGaussianFields{{
    {"n_samples", {"n_samples", "n_paths", "samples"}, &GaussianUncertaintyConfig::n_samples},
    {"dimensions", {"dimensions"}, &GaussianUncertaintyConfig::dimensions},
    {"seed", {"seed"}, &GaussianUncertaintyConfig::seed},
    {"sampling", {"sampling"}, &GaussianUncertaintyConfig::sampling},
}};

template <>
struct RecordFields<GaussianUncertaintyMomentResult> {
    using R = GaussianUncertaintyMomentResult;
    static constexpr auto fields = std::make_tuple(
        field("samples", &R::samples), field("dimensions", &R::dimensions), field("sampling", &R::sampling),
        field("mean", &R::mean), field("variance", &R::variance), field("stderr_mean", &R::stderr_mean),
        field("analytic_mean", &R::analytic_mean), field("analytic_variance", &R::analytic_variance),
        field("mean_abs_error", &R::mean_abs_error), field("variance_abs_error", &R::variance_abs_error),
        field("mean_ci_95_low", &R::mean_ci_95_low), field("mean_ci_95_high", &R::mean_ci_95_high),
        field("warnings", &R::warnings));
};

nlohmann::json run_gaussian_uncertainty_moments(const CallIdentity& call, PyObject* config) {
    GaussianUncertaintyConfig record;
    read_fields(config, kGaussianFields, record);
    const GaussianUncertaintyMomentResult result = mc_core::gaussian_uncertainty_moments_cpu(record);
    return study_envelope(call, fields_to_value(kGaussianFields, record), tree_of(result));
}

// ---- European call parameter sweep --------------------------------------------

// scenario_id, the five GBM fields, n_paths, n_steps, seed, then sampling,
// technique and method; each but the id stays unset unless given.
inline constexpr auto kScenarioFields = concat_fields(
    std::array<Field<EuropeanCallSweepScenario>, 1>{{{"scenario_id", {"scenario_id"}, &EuropeanCallSweepScenario::scenario_id}}},
    gbm_fields<EuropeanCallSweepScenario>(), path_fields<EuropeanCallSweepScenario>(),
    std::array<Field<EuropeanCallSweepScenario>, 3>{{
        {"sampling", {"sampling"}, &EuropeanCallSweepScenario::sampling},
        {"technique", {"technique"}, &EuropeanCallSweepScenario::technique},
        {"method", {"method"}, &EuropeanCallSweepScenario::method},
    }});

// Top-level overrides of the base configuration, applied after "base_config";
// no aliases.
inline constexpr std::array<Field<EuropeanCallConfig>, 3> kSweepBaseOverrides{{
    {"n_paths", {"n_paths"}, &EuropeanCallConfig::n_paths},
    {"n_steps", {"n_steps"}, &EuropeanCallConfig::n_steps},
    {"seed", {"seed"}, &EuropeanCallConfig::seed},
}};

inline constexpr std::array<Field<EuropeanCallParameterSweepConfig>, 2> kSweepFields{{
    {"seed_stride", {"seed_stride"}, &EuropeanCallParameterSweepConfig::seed_stride},
    {"method", {"method"}, &EuropeanCallParameterSweepConfig::method},
}};

template <>
struct RecordFields<EuropeanCallConfig> {
    static constexpr const auto& fields = kEuropeanCallFields;
};

template <>
struct RecordFields<EuropeanCallSweepScenario> {
    static constexpr const auto& fields = kScenarioFields;
};

template <>
struct RecordFields<EuropeanCallParameterSweepConfig> {
    using R = EuropeanCallParameterSweepConfig;
    static constexpr auto fields = std::make_tuple(field("base_config", &R::base_config), field("method", &R::method),
                                                   field("seed_stride", &R::seed_stride),
                                                   field("scenarios", &R::scenarios));
};

template <>
struct RecordFields<EuropeanCallParameterSweepRow> {
    using R = EuropeanCallParameterSweepRow;
    static constexpr auto fields = std::make_tuple(
        field("scenario_index", &R::scenario_index), field("scenario_id", &R::scenario_id),
        field("method", &R::method), field("config", &R::config), field("result", &R::result),
        field("analytic_price", &R::analytic_price),
        field("signed_error_vs_black_scholes", &R::signed_error_vs_black_scholes),
        field("abs_error_vs_black_scholes", &R::abs_error_vs_black_scholes),
        field("abs_error_stderr_units", &R::abs_error_stderr_units));
};

template <>
struct RecordFields<EuropeanCallParameterSweepResult> {
    using R = EuropeanCallParameterSweepResult;
    static constexpr auto fields = std::make_tuple(
        field("schema_version", &R::schema_version), field("workload", &R::workload), field("method", &R::method),
        field("scenario_count", &R::scenario_count), field("total_paths", &R::total_paths),
        field("base_seed", &R::base_seed), field("seed_stride", &R::seed_stride), field("rows", &R::rows),
        field("warnings", &R::warnings));
};

namespace {

// Each item is a mapping read like one scenario; a str or a non-sequence is
// refused before any item is read.
std::vector<EuropeanCallSweepScenario> read_scenarios(PyObject* items) {
    const Py_ssize_t count = sequence_length(items);
    std::vector<EuropeanCallSweepScenario> scenarios;
    scenarios.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyRef item = PyRef::checked(PySequence_GetItem(items, i));
        EuropeanCallSweepScenario scenario;
        read_fields(item.get(), kScenarioFields, scenario);
        scenarios.push_back(std::move(scenario));
    }
    return scenarios;
}

}  // namespace

nlohmann::json run_european_call_parameter_sweep(const CallIdentity& call, PyObject* config) {
    EuropeanCallParameterSweepConfig sweep;
    if (PyRef base = lookup(config, {"base_config"})) {
        EuropeanCallConfig record;  // the European call's own defaults
        read_fields(base.get(), kEuropeanCallFields, record);
        sweep.base_config = record;
    }
    read_fields(config, kSweepBaseOverrides, sweep.base_config);
    read_fields(config, kSweepFields, sweep);
    if (PyRef scenarios = lookup(config, {"scenarios"})) sweep.scenarios = read_scenarios(scenarios.get());

    const EuropeanCallParameterSweepResult result =
        mc_core::runtime::cpu::price_european_call_parameter_sweep_cpu(sweep);
    return study_envelope(call, tree_of(sweep), tree_of(result));
}

}  // namespace brisklane

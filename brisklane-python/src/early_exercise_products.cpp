// price_american_put and price_bermudan_put: the put records' field tables, and
// "values" = {"details": <result record>, "price", "stderr"} with the record's
// warnings as the call's warnings; the same tables read the config of
// put_bounds (bounds_entries.hpp).
#include "bounds_entries.hpp"
#include "mc_core/early_exercise.hpp"
#include "mc_core/put_bounds.hpp"
#include "planned.hpp"
#include "products.hpp"

namespace brisklane {
namespace {

using mc_core::runtime::cpu::AmericanPutConfig;
using mc_core::runtime::cpu::AmericanPutResult;
using mc_core::runtime::cpu::BermudanPutConfig;
using mc_core::runtime::cpu::BermudanPutResult;

// n_threads, basis_degree: read after the shared groups by both puts.
template <class Record>
constexpr std::array<Field<Record>, 2> put_fields() {
    return {{{"n_threads", {"n_threads"}, &Record::n_threads}, {"basis_degree", {"basis_degree"}, &Record::basis_degree}}};
}

constexpr auto kAmericanPutFields = concat_fields(gbm_fields<AmericanPutConfig>(), path_fields<AmericanPutConfig>(),
                                                  put_fields<AmericanPutConfig>());

constexpr auto kBermudanPutFields = concat_fields(
    gbm_fields<BermudanPutConfig>(), path_fields<BermudanPutConfig>(), put_fields<BermudanPutConfig>(),
    std::array<Field<BermudanPutConfig>, 1>{{{"exercise_steps", {"exercise_steps"}, &BermudanPutConfig::exercise_steps}}});

// The fields both result records share.
template <class Result>
nlohmann::json put_details(const Result& r) {
    return {
        {"workload", text_of(r.workload)},
        {"price", number(r.price)},
        {"stderr", number(r.std_error)},
        {"paths", r.paths},
        {"steps", r.steps},
        {"seed", r.seed},
        {"early_exercise_count", r.early_exercise_count},
        {"maturity_exercise_count", r.maturity_exercise_count},
        {"regression_steps", r.regression_steps},
        {"regression_basis", r.regression_basis},
        {"warnings", r.warnings},
    };
}

nlohmann::json details(const AmericanPutResult& r) { return put_details(r); }

nlohmann::json details(const BermudanPutResult& r) {
    nlohmann::json tree = put_details(r);
    tree["exercise_schedule"] = r.exercise_schedule;
    tree["exercise_date_count"] = r.exercise_date_count;
    return tree;
}

template <class Record, const auto& Fields, auto Price>
nlohmann::json early_exercise_put(const CallIdentity& call, PyObject* config) {
    Record record;
    read_fields(config, Fields, record);
    const auto result = Price(record);
    require_finite_inputs(finite_fields(Fields, record));
    nlohmann::json values = {
        {"details", details(result)},
        {"price", number(result.price)},
        {"stderr", number(result.std_error)},
    };
    return pricing_envelope(call, fields_to_value(Fields, record), std::move(values), result.warnings);
}

}  // namespace

namespace {
template <class Result>
nlohmann::json put_planned_values(const Result& result) {
    return {{"price", number(result.price)}, {"stderr", number(result.std_error)}, {"details", details(result)},
            {"warnings", result.warnings}};
}
}  // namespace

nlohmann::json planned_values(const AmericanPutResult& result) { return put_planned_values(result); }
nlohmann::json planned_values(const BermudanPutResult& result) { return put_planned_values(result); }

PlannedProduct american_put_planned() {
    return product<Planned<AmericanPutConfig, kAmericanPutFields, mc_core::runtime::cpu::american_put_price_lsm_cpu_planned>>(
        "american_put", false);
}

PlannedProduct bermudan_put_planned() {
    return product<Planned<BermudanPutConfig, kBermudanPutFields, mc_core::runtime::cpu::bermudan_put_price_lsm_cpu_planned>>(
        "bermudan_put", false);
}

namespace {

using mc_core::runtime::cpu::PutBoundsRequest;
using mc_core::runtime::cpu::PutBoundsResult;

// Read as Planned::price reads the config; the core runs unlocked.
template <class Record, const auto& Fields, auto Bounds>
nlohmann::json put_bounds(PyObject* config, const PutBoundsRequest& request) {
    Record record;
    read_fields(config, Fields, record);
    std::optional<PutBoundsResult> result;
    {
        LockReleased unlocked;
        const mc_core::StopScope scope(LockReleased::poll, &unlocked);
        result.emplace(Bounds(record, request));
    }
    const PutBoundsResult& r = *result;
    return {
        {"lower", number(r.lower)},
        {"lower_stderr", number(r.lower_stderr)},
        {"upper", number(r.upper)},
        {"upper_stderr", number(r.upper_stderr)},
        {"gap", number(r.gap)},
        {"gap_stderr", number(r.gap_stderr)},
        {"in_sample", number(r.in_sample)},
        {"in_sample_stderr", number(r.in_sample_stderr)},
        {"lower_paths", r.lower_paths},
        {"outer_paths", r.outer_paths},
        {"inner_paths", r.inner_paths},
        {"inner_estimates", r.inner_estimates},
        {"lower_seed", r.lower_seed},
        {"upper_seed", r.upper_seed},
        {"exercise_at_start", r.exercise_at_start},
        {"regression_steps", r.regression_steps},
        {"warnings", r.warnings},
        {"config", fields_to_value(Fields, record)},
    };
}

}  // namespace

nlohmann::json american_put_bounds(PyObject* config, const PutBoundsRequest& request) {
    return put_bounds<AmericanPutConfig, kAmericanPutFields, mc_core::runtime::cpu::american_put_bounds_cpu>(config,
                                                                                                          request);
}

nlohmann::json bermudan_put_bounds(PyObject* config, const PutBoundsRequest& request) {
    return put_bounds<BermudanPutConfig, kBermudanPutFields, mc_core::runtime::cpu::bermudan_put_bounds_cpu>(config,
                                                                                                          request);
}

nlohmann::json run_american_put(const CallIdentity& call, PyObject* config) {
    return early_exercise_put<AmericanPutConfig, kAmericanPutFields, mc_core::runtime::cpu::american_put_price_lsm_cpu>(
        call, config);
}

nlohmann::json run_bermudan_put(const CallIdentity& call, PyObject* config) {
    return early_exercise_put<BermudanPutConfig, kBermudanPutFields, mc_core::runtime::cpu::bermudan_put_price_lsm_cpu>(
        call, config);
}

}  // namespace brisklane

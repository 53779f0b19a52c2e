// price_american_put and price_bermudan_put: the put records' field tables, and
// "values" = {"details": <result record>, "price", "stderr"} with the record's
// warnings as the call's warnings.
#include "mc_core/early_exercise.hpp"
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

nlohmann::json run_american_put(const CallIdentity& call, PyObject* config) {
    return early_exercise_put<AmericanPutConfig, kAmericanPutFields, mc_core::runtime::cpu::american_put_price_lsm_cpu>(
        call, config);
}

nlohmann::json run_bermudan_put(const CallIdentity& call, PyObject* config) {
    return early_exercise_put<BermudanPutConfig, kBermudanPutFields, mc_core::runtime::cpu::bermudan_put_price_lsm_cpu>(
        call, config);
}

}  // namespace brisklane

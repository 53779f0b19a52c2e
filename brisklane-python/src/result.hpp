// Results: the JSON value tree of a call, its envelope, and its conversion to
// Python objects.
//
// Objects keep their keys in ascending byte order (nlohmann::json's std::map),
// so every returned dict lists its keys in that order. A non-finite double
// enters the tree as null. The tree is turned into Python objects directly:
// unsigned and signed integers become int, doubles float, null None, arrays
// lists and objects dicts.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "config.hpp"
#include "mc_core/european.hpp"
#include "python_api.hpp"

namespace brisklane {

template <>
struct RecordFields<mc_core::EuropeanCallResult> {
    static constexpr auto fields = std::make_tuple(field("price", &mc_core::EuropeanCallResult::price),
                                                   field("stderr", &mc_core::EuropeanCallResult::std_error));
};

nlohmann::json to_value(const mc_core::EuropeanCallResult& result);

struct CallIdentity {
    const char* function;  // module function name
    const char* workload;
};

// The manifest shared by every function.
nlohmann::json manifest(const CallIdentity& call, nlohmann::json config);

// The envelope of a pricing function: "price" and "stderr" are read back from
// "values" (ValueError when either is missing or not a number).
nlohmann::json pricing_envelope(const CallIdentity& call, nlohmann::json config, nlohmann::json values,
                                std::vector<std::string> warnings = {});

// A result computed from a non-finite input has no price, whatever the
// arithmetic made of it (a NaN payoff difference counts as 0): unless
// `inputs_finite`, raises the ValueError of a result without a price.
void require_finite_inputs(bool inputs_finite);

// The envelope of a study: no top-level "price" or "stderr"; "warnings" empty.
nlohmann::json study_envelope(const CallIdentity& call, nlohmann::json config, nlohmann::json values);

// The envelope of an estimator that reports a standard error but no top-level
// price (the multilevel estimator): "values" must hold a finite "price" and
// "stderr" (ValueError as for a pricing function), and "stderr" repeats the
// latter; "warnings" empty.
nlohmann::json stderr_envelope(const CallIdentity& call, nlohmann::json config, nlohmann::json values);

// A new reference to the Python form of `tree`.
PyObject* json_to_py(const nlohmann::json& tree);

}  // namespace brisklane

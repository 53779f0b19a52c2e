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

#include "mc_core/european.hpp"
#include "python_api.hpp"

namespace brisklane {

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

// A new reference to the Python form of `tree`.
PyObject* json_to_py(const nlohmann::json& tree);

}  // namespace brisklane

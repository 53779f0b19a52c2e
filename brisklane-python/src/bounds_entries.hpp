// The put price bounds (mc_core/put_bounds.hpp), registered after every other
// entry of the module:
//
//     def put_bounds(product: str, config, inner_paths: int, outer_paths: int,
//                    lower_paths: int, threads: int = 1, /) -> dict
//         """{"lower", "lower_stderr", "upper", "upper_stderr", "gap",
//         "gap_stderr", "in_sample", "in_sample_stderr": float,
//         "lower_paths", "outer_paths", "inner_paths", "inner_estimates",
//         "lower_seed", "upper_seed", "regression_steps": int,
//         "exercise_at_start": bool, "warnings": list, "config": echo}
//         for "american_put" or "bermudan_put". lower_paths 0 means n_paths;
//         threads 0 the processors available (the bits never depend on it).
//         The interpreter lock is released while the core runs, and Ctrl-C
//         stops it as it stops price_planned."""
//
// The config is read through the product's field table, as price_planned
// reads it; failures map as for the module functions.
#pragma once

#include <cstddef>

#include "mc_core/put_bounds.hpp"
#include "python_api.hpp"
#include "result.hpp"

namespace brisklane {

inline constexpr std::size_t kBoundsMethodCount = 1;
extern const PyMethodDef kBoundsMethods[kBoundsMethodCount];

// The puts' halves (early_exercise_products.cpp, beside their field tables).
nlohmann::json american_put_bounds(PyObject* config, const mc_core::runtime::cpu::PutBoundsRequest& request);
nlohmann::json bermudan_put_bounds(PyObject* config, const mc_core::runtime::cpu::PutBoundsRequest& request);

}  // namespace brisklane

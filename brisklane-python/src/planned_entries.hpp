// The block-plan entry points of the typed Python API (brisklane.price).
#pragma once

#include <cstddef>

#include "python_api.hpp"

namespace brisklane {

inline constexpr std::size_t kPlannedMethodCount = 5;
extern const PyMethodDef kPlannedMethods[kPlannedMethodCount];

}  // namespace brisklane

// Entry points about the engine itself rather than a pricing.
#pragma once

#include <cstddef>

#include "python_api.hpp"

namespace brisklane {

inline constexpr std::size_t kEngineMethodCount = 4;
extern const PyMethodDef kEngineMethods[kEngineMethodCount];

}  // namespace brisklane

// Helpers shared by the core's test files.
#pragma once

#include <string>

#include "mc_core/error.hpp"

namespace mc_core::test_support {

// The message of the FatalError that `fn` raises, or "<no error>".
template <class Fn>
std::string fatal_message(Fn&& fn) {
    try {
        fn();
    } catch (const FatalError& e) {
        return e.what();
    }
    return "<no error>";
}

}  // namespace mc_core::test_support

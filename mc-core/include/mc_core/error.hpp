// The core's single error type. Every invalid configuration and every fatal
// failure inside a pricing call is a `FatalError` carrying fixed English text;
// the Python binding turns it into its fatal-error exception unchanged.
#pragma once

#include <stdexcept>
#include <string>

namespace mc_core {

class FatalError : public std::runtime_error {
public:
    explicit FatalError(const std::string& message) : std::runtime_error(message) {}
};

[[noreturn]] inline void fail(const std::string& message) { throw FatalError(message); }

}  // namespace mc_core

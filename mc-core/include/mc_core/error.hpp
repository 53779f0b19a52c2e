// The core's error types. Every invalid configuration and every fatal failure
// inside a pricing call is a `FatalError` carrying fixed English text; a buffer
// that cannot be allocated is an `AllocationFailure` naming what it was for.
// The Python binding turns the first into its fatal-error exception and the
// second into MemoryError, both with the text unchanged.
#pragma once

#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace mc_core {

class FatalError : public std::runtime_error {
public:
    explicit FatalError(const std::string& message) : std::runtime_error(message) {}
};

class AllocationFailure : public std::runtime_error {
public:
    explicit AllocationFailure(const std::string& message) : std::runtime_error(message) {}
};

[[noreturn]] inline void fail(const std::string& message) { throw FatalError(message); }

// A vector of `count` value-initialised elements, or AllocationFailure
// ("cannot allocate <what>: <count> values") when the size overflows or the
// memory is not there. Never aborts, whatever `count` is.
template <class T>
std::vector<T> allocate_vector(std::uint64_t count, const char* what) {
    std::vector<T> values;
    try {
        if (count > values.max_size()) throw std::bad_alloc();
#if defined(__SANITIZE_ADDRESS__)
        // AddressSanitizer's throwing operator new ends the process where the
        // heap is exhausted instead of throwing: ask with nothrow first.
        void* probe = ::operator new(static_cast<std::size_t>(count) * sizeof(T), std::nothrow);
        if (probe == nullptr) throw std::bad_alloc();
        ::operator delete(probe);
#endif
        values.resize(static_cast<std::size_t>(count));
    } catch (const std::bad_alloc&) {
        throw AllocationFailure(std::string("cannot allocate ") + what + ": " + std::to_string(count) + " values");
    } catch (const std::length_error&) {
        throw AllocationFailure(std::string("cannot allocate ") + what + ": " + std::to_string(count) + " values");
    }
    return values;
}

// a * b, or AllocationFailure naming `what` when the product overflows 64 bits.
inline std::uint64_t checked_product(std::uint64_t a, std::uint64_t b, const char* what) {
    std::uint64_t product;
    if (__builtin_mul_overflow(a, b, &product))
        throw AllocationFailure(std::string("cannot allocate ") + what + ": " + std::to_string(a) + " x " +
                                std::to_string(b) + " values overflow 64 bits");
    return product;
}

// Counts that stop at 2^64 - 1 instead of wrapping (work and path tallies).
constexpr std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t sum;
    return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}
constexpr std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t product;
    return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

}  // namespace mc_core

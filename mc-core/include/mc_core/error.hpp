// The core's error types. Every invalid configuration and every fatal failure
// inside a pricing call is a `FatalError` carrying fixed English text; a buffer
// that cannot be allocated is an `AllocationFailure` naming what it was for.
// The Python binding turns the first into its fatal-error exception and the
// second into MemoryError, both with the text unchanged.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>
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

// ---- Validation as rows ---------------------------------------------------
//
// A record's checks are a table of rows (field, bound, message), run in order;
// the first row whose comparison does not hold is the FatalError. A row holds
// only when its comparison is true, so NaN fails every bound.

template <class Record>
struct Check {
    enum class Bound : std::uint8_t { above, at_least, within };
    double Record::*real = nullptr;         // the field: a real ...
    std::uint64_t Record::*count = nullptr;  // ... or a count
    Bound bound = Bound::above;
    double low = 0.0;
    double high = 0.0;
    const char* message = "";

    bool holds(const Record& record) const {
        const double value = real != nullptr ? record.*real : static_cast<double>(record.*count);
        switch (bound) {
            case Bound::above: return value > low;
            case Bound::at_least: return value >= low;
            case Bound::within: return value >= low && value <= high;
        }
        return false;
    }
};

// field > low, field >= low, low <= field <= high; the record is named
// (`above<Config>(&Config::s0, ...)`) since its fields may be a base's.
template <class Record, class Owner, class T>
constexpr Check<Record> check_row(T Owner::*field, typename Check<Record>::Bound bound, double low, double high,
                                  const char* message) {
    Check<Record> row{nullptr, nullptr, bound, low, high, message};
    if constexpr (std::is_same_v<T, double>) row.real = field; else row.count = field;
    return row;
}
template <class Record, class Owner, class T>
constexpr Check<Record> above(T Owner::*field, double low, const char* message) {
    return check_row<Record>(field, Check<Record>::Bound::above, low, 0.0, message);
}
template <class Record, class Owner, class T>
constexpr Check<Record> at_least(T Owner::*field, double low, const char* message) {
    return check_row<Record>(field, Check<Record>::Bound::at_least, low, 0.0, message);
}
template <class Record, class Owner>
constexpr Check<Record> within(double Owner::*field, double low, double high, const char* message) {
    return check_row<Record>(field, Check<Record>::Bound::within, low, high, message);
}

template <class Record, std::size_t N>
void check_rows(const Record& record, const std::array<Check<Record>, N>& rows) {
    for (const Check<Record>& row : rows)
        if (!row.holds(record)) fail(row.message);
}

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

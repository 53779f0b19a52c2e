// Accumulators and estimators: what a run adds up, and how the totals become
// a price and its standard error.
//
// Contract
//  * Partial results are plain sums added in unit order (path, antithetic pair
//    or point); two partials merge by adding field by field, so totals depend
//    only on how units are split into blocks and the order blocks are merged.
//  * `plain_estimate`: the mean and the population standard error.
//  * `control_variate_estimate`: the regression-adjusted mean against a control
//    of known expectation; no adjustment when the control's sample variance is
//    at most 2^-52 (NaN included). Both clamp a negative variance to 0.
#pragma once

#include <cstdint>

namespace mc_core {

enum class MonteCarloTechnique : std::uint8_t { standard = 0, antithetic = 1, control_variate = 2 };

struct PathSums {
    double sum = 0.0;
    double sum_sq = 0.0;

    void add(double y) { add(y, y * y); }
    // y with y * y formed beforehand.
    void add(double y, double y_sq) {
        sum += y;
        sum_sq += y_sq;
    }
    PathSums& operator+=(const PathSums& other) {
        sum += other.sum;
        sum_sq += other.sum_sq;
        return *this;
    }
};

struct ControlVariateMoments {
    std::uint64_t count = 0;
    double sum_y = 0.0;
    double sum_y2 = 0.0;
    double sum_c = 0.0;
    double sum_c2 = 0.0;
    double sum_cy = 0.0;

    void add(double y, double c) {
        count += 1;
        sum_y += y;
        sum_y2 += y * y;
        sum_c += c;
        sum_c2 += c * c;
        sum_cy += c * y;
    }
    ControlVariateMoments& operator+=(const ControlVariateMoments& other) {
        count += other.count;
        sum_y += other.sum_y;
        sum_y2 += other.sum_y2;
        sum_c += other.sum_c;
        sum_c2 += other.sum_c2;
        sum_cy += other.sum_cy;
        return *this;
    }
};

// One unit's discounted payoff and control value, one lane per unit.
template <class V>
struct Valued {
    V y;
    V c;
};

// (price, standard error): the result of every single-price pricer.
struct EuropeanCallResult {
    double price = 0.0;
    double std_error = 0.0;
};

// Mean and population variance (divisor n, a negative rounding result clamped
// to 0, NaN included) of n samples; the plain estimator is built on it.
struct SampleMoments {
    double mean;
    double variance;
};
SampleMoments population_moments(const PathSums& sums, std::uint64_t n);

EuropeanCallResult plain_estimate(const PathSums& sums, std::uint64_t n);
EuropeanCallResult control_variate_estimate(const ControlVariateMoments& moments, double control_mean);

// The estimator that belongs to a partial result: plain over `units` samples,
// or the control-variate estimator against the control's known mean.
inline EuropeanCallResult estimate(const PathSums& sums, std::uint64_t units, double /*control_mean*/) {
    return plain_estimate(sums, units);
}
inline EuropeanCallResult estimate(const ControlVariateMoments& moments, std::uint64_t /*units*/,
                                   double control_mean) {
    return control_variate_estimate(moments, control_mean);
}

// Number of antithetic pairs for a path count: the ceiling of half.
constexpr std::uint64_t antithetic_pairs(std::uint64_t n_paths) { return n_paths - n_paths / 2; }

}  // namespace mc_core

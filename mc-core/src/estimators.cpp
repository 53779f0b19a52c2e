#include "mc_core/estimators.hpp"

#include "mc_core/block_math.hpp"

namespace mc_core {

using block_math::positive_part;

SampleMoments population_moments(const PathSums& sums, std::uint64_t n) {
    const double count = static_cast<double>(n);
    const double mean = sums.sum / count;
    return {mean, positive_part(sums.sum_sq / count - mean * mean)};
}

EuropeanCallResult plain_estimate(const PathSums& sums, std::uint64_t n) {
    const SampleMoments moments = population_moments(sums, n);
    return {moments.mean, block_math::sqrt(moments.variance) / block_math::sqrt(static_cast<double>(n))};
}

EuropeanCallResult control_variate_estimate(const ControlVariateMoments& m, double control_mean) {
    constexpr double kDegenerateControlVariance = 2.220446049250313e-16;  // 2^-52
    const double n = static_cast<double>(m.count);
    const double mean_y = m.sum_y / n;
    const double mean_c = m.sum_c / n;
    const double mean_cc = m.sum_c2 / n;
    const double var_c = mean_cc - mean_c * mean_c;
    double price, mean_sq;
    if (var_c <= kDegenerateControlVariance) {
        price = mean_y;
        mean_sq = m.sum_y2 / n;
    } else {  // also taken for a NaN variance
        const double mean_cy = m.sum_cy / n;
        const double beta = (mean_cy - mean_y * mean_c) / var_c;
        price = mean_y - beta * (mean_c - control_mean);
        // Mean square of the adjusted samples y - beta (c - mu), expanded so that
        // it needs only the accumulated sums.
        mean_sq = m.sum_y2 / n - 2.0 * beta * (mean_cy - control_mean * mean_y) +
                  beta * beta * (control_mean * control_mean + (mean_cc - 2.0 * control_mean * mean_c));
    }
    return {price, block_math::sqrt(positive_part(mean_sq - price * price)) / block_math::sqrt(n)};
}

}  // namespace mc_core

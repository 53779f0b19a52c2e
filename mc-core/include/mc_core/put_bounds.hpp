// An interval for the American and Bermudan put prices: the fitted
// Longstaff-Schwartz rule valued on fresh paths (a lower bound) and the
// Andersen-Broadie dual of that rule (an upper bound). The in-sample LSM price
// fits and values on the same paths, so its bias has no known sign; the two
// estimates here have means below and above the true price.
//
// Contract
//  * Fit: the product's own pricing (early_exercise.hpp), bit for bit; its
//    price is `in_sample`. The rule it leaves at the schedule's date i (price S,
//    discounted payoff Z_i = e^{-r t_i} (K - S)^+): exercise when a regression
//    was solved there and (K - S)^+ > max(0, beta_i . phi(S / K)); never at an
//    unsolved date; pay (K - S)^+ at maturity. The American put also has time 0:
//    it exercises there when K - S0 beats the in-sample price, the fit's own
//    time-0 choice.
//  * Seeds, from the config seed s with SplitMix64's finaliser mix and its
//    increment g = 0x9E3779B97F4A7C15 (random.hpp):
//        lower stream    mix(s + 0x4C4F574552424E44)         ("LOWERBND")
//        upper base      u = mix(s + 0x5550504552424E44)     ("UPPERBND")
//        outer path o    w_o = mix(u + (o + 1) g)
//        inner batch     b = mix(w_o + (i + 1) 0xD1B54A32D192ED03) at outer
//                        date i (0: time 0, j + 1: the schedule's j-th date)
//        inner pair m    mix(b + (m + 1) g): paths 2m (normals z) and
//                        2m + 1 (-z)
//    Each is the state of a xorshift64* stream with NormalRng's Box-Muller
//    normals (a zero state becomes g, as there).
//  * Lower bound: `lower_paths` paths from the lower stream, drawn exactly as
//    the fit draws its own (engine lane streams, path order), each paying its
//    discounted cash flow at the rule's stopping date. Estimate: the mean;
//    standard error: the sample standard deviation (divisor n - 1) over
//    sqrt(n). Streamed: a tile of lanes x C paths (C <= 1024) at a time, no
//    per-path or per-date storage. An American rule that exercises at time 0
//    gives K - S0 with standard error 0 and simulates nothing.
//  * Upper bound (Andersen and Broadie 2004). With L_i the discounted value of
//    following the rule from date i on and Q_i = E_i[L_{i+1}], the martingale
//    M_0 = 0, M_{i+1} = M_i + L_{i+1} - Q_i gives V_0 <= E[max_k (Z_k - M_k)]
//    (time 0 is a date k only for the American put). Along an outer path, Q_i
//    is estimated by Qh_i, the mean over `inner_paths` inner paths from
//    (t_i, S_i) that follow the rule from date i + 1 on, and L_i by Lh_i = Z_i
//    where the rule exercises and Qh_i where it holds. Telescoping,
//        Z_k - M_k = Lh_0 + D_k,
//        D_k = sum over exercise dates j < k of (Qh_j - Z_j) + (Z_k - Lh_k),
//    so D = max_k D_k is the path's duality gap: D >= 0, as D_k = 0 at the
//    rule's first exercise date or at maturity. Delta = the mean of D over
//    `outer_paths` outer paths, and
//        upper = lower + Delta,  upper_stderr = sqrt(lower_stderr^2 + se(D)^2),
//    se(D) the sample standard deviation of D over sqrt(outer_paths): E[Lh_0]
//    = L_0, which the lower bound estimates from an independent stream. Inner
//    noise only raises E[D]: the upper bound stays an upper bound, as long as
//    each Qh is unbiased given the outer path.
//    Dates where the put is out of the money are left out of the max: a
//    stopping time that stops only in the money or at maturity loses nothing
//    (stopping out of the money pays 0, holding to maturity at least 0), and
//    the max over those dates bounds every such stopping time path by path.
//    Such dates, and maturity, need no inner paths; nor does time 0 unless
//    the American put is in the money there.
//  * Inner estimate: ceil(inner_paths / 2) antithetic pairs (normals z and
//    -z), each path's discounted cash flow y and control
//    c = e^{-r t_stop} S_stop - e^{-r t_i} S_i, which has mean 0 (the
//    discounted price is a martingale, the stop bounded). With u, v the pair
//    means, Qh = mean over pairs of u - b v, where the pairs of each half take
//    the least-squares slope b of u on v fitted on the other half: a slope
//    independent of the values it corrects keeps Qh unbiased, where one fitted
//    on them would bias every Qh alike, and the exercise dates of a path would
//    add those biases up. Below 4 pairs, b = 0.
//  * Bits: every outer path and inner pair has a stream of its own, every lower
//    path a fixed place in its stream, and the outer gaps are kept and summed
//    in outer order: neither the thread count nor the SIMD target (nor the
//    pack width) changes a bit.
//  * Memory: the fit's n_paths x dates prices, released before the bounds
//    run; then outer_paths doubles, and per thread O(inner_paths) for the
//    live inner paths.
//  * Failures: the product's checks first, then in order "inner_paths must be
//    > 0", "outer_paths must be >= 2", "lower_paths must be >= 2 (or 0: n_paths)".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "mc_core/early_exercise.hpp"
#include "mc_core/runner.hpp"

namespace mc_core::runtime::cpu {

inline constexpr std::uint64_t kLowerBoundSalt = 0x4C4F574552424E44ULL;
inline constexpr std::uint64_t kUpperBoundSalt = 0x5550504552424E44ULL;
inline constexpr std::uint64_t kInnerDateGamma = 0xD1B54A32D192ED03ULL;

struct PutBoundsRequest {
    std::uint64_t inner_paths = 500;
    std::uint64_t outer_paths = 2000;
    std::uint64_t lower_paths = 0;  // 0: the config's n_paths
    // Threads for the outer paths and the fit's paths, at most outer_paths;
    // 0: the processors available.
    std::uint64_t threads = 1;
};

struct PutBoundsResult {
    double in_sample = 0.0;  // the product's own price and standard error
    double in_sample_stderr = 0.0;
    double lower = 0.0;
    double lower_stderr = 0.0;
    double upper = 0.0;
    double upper_stderr = 0.0;
    double gap = 0.0;  // Delta = upper - lower
    double gap_stderr = 0.0;
    std::uint64_t lower_paths = 0;
    std::uint64_t outer_paths = 0;
    std::uint64_t inner_paths = 0;
    std::uint64_t inner_estimates = 0;  // continuation values estimated by inner paths
    std::uint64_t lower_seed = 0;
    std::uint64_t upper_seed = 0;
    bool exercise_at_start = false;  // the American rule exercises at time 0
    std::uint64_t regression_steps = 0;
    std::vector<std::string> warnings;  // the fit's
};

PutBoundsResult american_put_bounds_cpu(const AmericanPutConfig& config, const PutBoundsRequest& request);
PutBoundsResult bermudan_put_bounds_cpu(const BermudanPutConfig& config, const PutBoundsRequest& request);

}  // namespace mc_core::runtime::cpu

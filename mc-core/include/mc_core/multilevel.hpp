// Multilevel Monte Carlo for the arithmetic-average Asian call (Giles 2008,
// "Multilevel Monte Carlo path simulation", Operations Research 56(3)).
//
// Contract
//  * Level l simulates on a grid of n_f = base_steps * M^l steps (M the
//    refinement factor). Level 0 estimates E[P_0], the Asian payoff on the
//    coarsest grid; level l >= 1 estimates E[P_l - P_(l-1)] from a fine path
//    and a coarse path (n_c = n_f / M steps) driven by the same Brownian
//    increments: each coarse step takes the sum of its M fine normals divided
//    by sqrt(M). The price is the sum of the level means, its variance the sum
//    of the levels' variances of the mean.
//  * A path starts at x = ln(s0), steps x <- x + (drift + vol z), and averages
//    the n prices after each step (the spot is not averaged), as the plain
//    Asian call does; level 0 is exactly the stepwise engine's Asian path.
//  * Normals of level l: pseudorandom, one stream seeded
//    derive_worker_seed(seed, l), drawn in path order and fine-step order; any
//    other sampling, point i of a sampler for (sampling, derive_worker_seed(seed,
//    l), N_l points, n_f dimensions), coordinate j driving fine step j (the
//    Brownian-bridge variant uses the plain Sobol points: no bridge here).
//  * With structured sampling and R >= 2 scramble replicates the whole
//    estimator runs R times, replicate r seeded derive_worker_seed(seed, r), and
//    the standard error comes from the spread of the replicate prices.
//    Pseudorandom sampling never replicates.
//  * Every level's fine step count is computed, with its overflow check, before
//    any level is simulated. Work counts (paths, step updates) saturate at
//    2^64 - 1. Buffers are sized up front; one that cannot be allocated is an
//    AllocationFailure. Everything runs on the calling thread; the pseudorandom
//    kernels allocate nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "mc_core/european.hpp"
#include "mc_core/random.hpp"

namespace mc_core {

struct ArithmeticAsianMlmcConfig : GbmMarket {
    std::uint64_t base_steps = 16;
    std::uint64_t levels = 4;
    std::uint64_t refinement_factor = 2;
    std::vector<std::uint64_t> paths_per_level{50000, 25000, 12500, 6250};
    std::uint64_t seed = 42;
    SamplingMethod sampling = SamplingMethod::pseudorandom;
    SobolLength sobol_length = SobolLength::blocks_of_65536;  // as for the European call
    std::uint64_t scramble_replicates = 1;
    // Each level's samples in the plan's blocks (ranges of the level's one
    // stream or point set) on its threads; none: one serial block per level.
    std::optional<BlockPlan> plan = std::nullopt;
};

struct ArithmeticAsianMlmcLevelResult {
    std::uint64_t level = 0;
    std::uint64_t paths = 0;  // summed over replicates
    std::uint64_t fine_steps = 0;
    std::optional<std::uint64_t> coarse_steps;  // none on level 0
    double mean = 0.0;
    // One run: the population variance of the level's samples; replicated: the
    // sample variance of the level mean across replicates.
    double variance = 0.0;
    double std_error = 0.0;
    std::uint64_t cost_step_updates = 0;  // N_l * (n_f + n_c), summed over replicates
};

struct ArithmeticAsianMlmcResult {
    double price = 0.0;
    double std_error = 0.0;
    std::uint64_t total_paths = 0;
    std::uint64_t total_step_updates = 0;
    std::uint64_t scramble_replicates = 1;
    std::vector<double> replicate_estimates;
    std::vector<ArithmeticAsianMlmcLevelResult> levels;
};

// Validates, then makes one run or, for structured sampling with at least two
// scramble replicates, the replicated estimator.
ArithmeticAsianMlmcResult arithmetic_asian_call_price_mlmc_cpu(const ArithmeticAsianMlmcConfig& config);
// The same on the caller's block plan: every level's sums agree with the
// serial ones to rounding (exactly with one block).
ArithmeticAsianMlmcResult arithmetic_asian_call_price_mlmc_cpu_planned(const ArithmeticAsianMlmcConfig& config,
                                                                       const std::optional<BlockPlan>& plan);

// FatalError for the first failing check: base_steps, levels,
// refinement_factor, the length of paths_per_level, its entries,
// scramble_replicates.
void validate_arithmetic_asian_mlmc_config(const ArithmeticAsianMlmcConfig& config);

// base_steps * M^l for every level, or FatalError "MLMC fine step count
// overflowed usize" when one exceeds 2^64 - 1.
std::vector<std::uint64_t> mlmc_fine_step_counts(const ArithmeticAsianMlmcConfig& config);

// One run of the estimator (validated first), whatever scramble_replicates says.
ArithmeticAsianMlmcResult arithmetic_asian_call_price_mlmc_single_cpu(const ArithmeticAsianMlmcConfig& config);

// (sum of Y, sum of Y^2) over the `paths` samples of level `level` on a fine
// grid of `fine_steps` steps; the coarse grid has fine_steps / M steps.
PathSums simulate_asian_mlmc_level(const ArithmeticAsianMlmcConfig& config, std::uint64_t level,
                                   std::uint64_t paths, std::uint64_t fine_steps);

}  // namespace mc_core

#include "mc_core/multilevel.hpp"

#include <algorithm>
#include <string>

#include "mc_core/block_math.hpp"
#include "mc_core/engine.hpp"
#include "mc_core/error.hpp"
#include "mc_core/lane_math.hpp"
#include "mc_core/path_dependent.hpp"
#include "mc_core/stepwise.hpp"

namespace mc_core {

namespace {

using AsianModel = StepwiseModel<ArithmeticAverage>;
using Config = ArithmeticAsianMlmcConfig;

AsianModel asian_model(const Config& c, std::uint64_t grid_steps, std::uint64_t averaged_prices) {
    return make_stepwise_model(ArithmeticAverage{c.k, static_cast<double>(averaged_prices)}, grid_steps, c.s0, c.r,
                               c.sigma, c.t);
}

// ---- The fine/coarse model ---------------------------------------------------

// Y = P_fine - P_coarse on one Brownian path, a model of the engine
// (engine.hpp): the two grids of a level l >= 1, fine with n_c * M steps of
// T / n_f, coarse with n_c steps of T / n_c. The fine path takes every normal;
// after each run of M of them the coarse path takes their sum / sqrt(M), the
// standardised sum of the same M Brownian increments. Each average is summed
// in step order.
struct FineCoarsePair {
    AsianModel fine;
    AsianModel coarse;
    std::uint64_t refinement;
    double sqrt_refinement;

    std::uint64_t normals_per_unit() const { return coarse.n_steps * refinement; }
    double control_mean() const { return 0.0; }

    template <class Draw>
    MC_LANE_INLINE auto discounted_payoff(Draw& draw) const {
        using V = typename Draw::Pack;
        auto fine_state = fine.functional.template start<V>();
        auto coarse_state = coarse.functional.template start<V>();
        V fine_x = simd::broadcast<V>(fine.log_s0);
        V coarse_x = fine_x;
        V increment_sum{};
        std::uint64_t taken = 0;  // fine steps of the current coarse step
        for_each_step_normal(draw, normals_per_unit(), [&](V z) MC_PACK_LAMBDA {
            fine_x = fine_x + (fine.drift + fine.vol * z);
            fine.functional.observe(fine_state, lane_math::exp(fine_x));
            increment_sum = increment_sum + z;
            if (++taken == refinement) {
                coarse_x = coarse_x + (coarse.drift + coarse.vol * (increment_sum / sqrt_refinement));
                coarse.functional.observe(coarse_state, lane_math::exp(coarse_x));
                increment_sum = V{};
                taken = 0;
            }
        });
        return fine.functional.value(fine_state, V{}, fine.disc) - coarse.functional.value(coarse_state, V{}, coarse.disc);
    }
    // The estimator uses the standard technique only.
    template <class Draw>
    MC_LANE_INLINE Valued<typename Draw::Pack> payoff_and_control(Draw& draw) const {
        return {discounted_payoff(draw), {}};
    }
    template <class Draw>
    MC_LANE_INLINE auto antithetic_pair(Draw& draw) const {
        return discounted_payoff(draw);
    }
};

// ---- Normal sources -------------------------------------------------------------

// Pseudorandom: one stream seeded derive_worker_seed(seed, level), samples in
// order. Both Sobol variants give the plain scrambled points: no bridge here.
template <class Model>
PathSums sum_level(const Config& c, std::uint64_t level, std::uint64_t paths, std::uint64_t fine_steps,
                   const Model& model) {
    const std::uint64_t seed = derive_worker_seed(c.seed, level);
    const auto blocks = split_blocks(paths, c.plan ? c.plan->blocks : 1, seed, BlockSeeds::range);
    if (c.sampling == SamplingMethod::pseudorandom) {
        const auto kernel = [&](const WorkerBlock& b) {
            return stream_chunk<MonteCarloTechnique::standard>(seed, b.units, model, b.first_unit);
        };
        return run_plan_blocks(blocks, kernel, kWorkerFailureText, c.plan);
    }
    // Sample i reads the first coordinates of point i, in time order, of the
    // sampler's fine_steps.
    const StructuredNormalSampler sampler(c.sampling, seed, paths, fine_steps, c.sobol_length);
    if (model.normals_per_unit() > fine_steps) fail("normal count must match MLMC fine step count");
    const BrownianBridgeWorkspace no_bridge(SamplingMethod::pseudorandom, fine_steps, c.t);
    const auto kernel = [&](const WorkerBlock& b) {
        SamplerPoints points(sampler, no_bridge, model.normals_per_unit());
        return structured_run<MonteCarloTechnique::standard>(model, b.units, points, b.first_unit);
    };
    return run_plan_blocks(blocks, kernel, kWorkerFailureText, c.plan);
}

PathSums simulate_level(const Config& c, std::uint64_t level, std::uint64_t paths, std::uint64_t fine_steps) {
    if (level == 0) return sum_level(c, level, paths, fine_steps, asian_model(c, fine_steps, fine_steps));
    if (c.refinement_factor < 2) fail("refinement_factor must be >= 2");
    const std::uint64_t m = c.refinement_factor;
    const std::uint64_t coarse_steps = fine_steps / m;
    const FineCoarsePair pair{asian_model(c, fine_steps, coarse_steps * m), asian_model(c, coarse_steps, coarse_steps),
                              m, block_math::sqrt(static_cast<double>(m))};
    return sum_level(c, level, paths, fine_steps, pair);
}

// ---- Estimators -----------------------------------------------------------------

ArithmeticAsianMlmcResult single_run(const Config& c, const std::vector<std::uint64_t>& fine_steps) {
    ArithmeticAsianMlmcResult out;
    out.levels.reserve(fine_steps.size());
    double price = 0.0;
    double variance_of_price = 0.0;
    for (std::uint64_t l = 0; l < c.levels; ++l) {
        const std::uint64_t paths = c.paths_per_level[l];
        const std::uint64_t n_f = fine_steps[l];
        const std::optional<std::uint64_t> n_c =
            l == 0 ? std::nullopt : std::optional<std::uint64_t>(n_f / c.refinement_factor);

        const SampleMoments moments = population_moments(simulate_level(c, l, paths, n_f), paths);
        const double variance_of_mean = moments.variance / static_cast<double>(paths);

        ArithmeticAsianMlmcLevelResult level;
        level.level = l;
        level.paths = paths;
        level.fine_steps = n_f;
        level.coarse_steps = n_c;
        level.mean = moments.mean;
        level.variance = moments.variance;
        level.std_error = block_math::sqrt(variance_of_mean);
        level.cost_step_updates = saturating_mul(paths, saturating_add(n_f, n_c.value_or(0)));

        price = price + moments.mean;
        variance_of_price = variance_of_price + variance_of_mean;
        out.total_paths = saturating_add(out.total_paths, paths);
        out.total_step_updates = saturating_add(out.total_step_updates, level.cost_step_updates);
        out.levels.push_back(level);
    }
    out.price = price;
    out.std_error = block_math::sqrt(variance_of_price);
    out.scramble_replicates = 1;
    out.replicate_estimates = {price};
    return out;
}

// R independent scrambles of the whole estimator; the spread of the R prices
// (and of each level's R means) gives the standard errors.
ArithmeticAsianMlmcResult replicated_run(const Config& c, const std::vector<std::uint64_t>& fine_steps) {
    const std::uint64_t replicates = c.scramble_replicates;
    const std::uint64_t levels = c.levels;
    const double r_count = static_cast<double>(replicates);
    const double r_dof = static_cast<double>(replicates - 1);

    std::vector<double> estimates = allocate_vector<double>(replicates, "MLMC replicate estimates");
    std::vector<double> level_means = allocate_vector<double>(
        checked_product(replicates, levels, "MLMC replicate level means"), "MLMC replicate level means");

    ArithmeticAsianMlmcResult out;
    Config replica = c;
    for (std::uint64_t r = 0; r < replicates; ++r) {
        replica.seed = derive_worker_seed(c.seed, r);
        ArithmeticAsianMlmcResult run = single_run(replica, fine_steps);
        estimates[r] = run.price;
        for (std::uint64_t l = 0; l < levels; ++l) level_means[r * levels + l] = run.levels[l].mean;
        out.total_paths = saturating_add(out.total_paths, run.total_paths);
        out.total_step_updates = saturating_add(out.total_step_updates, run.total_step_updates);
        if (r == 0) out.levels = std::move(run.levels);
    }

    double sum = 0.0;
    for (double estimate : estimates) sum = sum + estimate;
    const double price = sum / r_count;
    double squares = 0.0;
    for (double estimate : estimates) squares = squares + (estimate - price) * (estimate - price);

    for (std::uint64_t l = 0; l < levels; ++l) {
        ArithmeticAsianMlmcLevelResult& level = out.levels[l];  // level, fine and coarse steps of replicate 0
        double level_sum = 0.0;
        for (std::uint64_t r = 0; r < replicates; ++r) level_sum = level_sum + level_means[r * levels + l];
        const double mean = level_sum / r_count;
        double level_squares = 0.0;
        for (std::uint64_t r = 0; r < replicates; ++r) {
            const double d = level_means[r * levels + l] - mean;
            level_squares = level_squares + d * d;
        }
        level.paths = saturating_mul(c.paths_per_level[l], replicates);
        level.cost_step_updates = saturating_mul(level.cost_step_updates, replicates);
        level.mean = mean;
        level.variance = level_squares / r_dof;
        level.std_error = block_math::sqrt(level.variance / r_count);
    }

    out.price = price;
    out.std_error = block_math::sqrt((squares / r_dof) / r_count);
    out.scramble_replicates = replicates;
    out.replicate_estimates = std::move(estimates);
    return out;
}

}  // namespace

void validate_arithmetic_asian_mlmc_config(const ArithmeticAsianMlmcConfig& c) {
    using R = ArithmeticAsianMlmcConfig;
    static constexpr std::array<Check<R>, 3> kChecks{{
        above<R>(&R::base_steps, 0, "base_steps must be > 0"),
        above<R>(&R::levels, 0, "levels must be > 0"),
        at_least<R>(&R::refinement_factor, 2, "refinement_factor must be >= 2"),
    }};
    check_rows(c, kChecks);
    if (c.paths_per_level.size() != c.levels)
        fail(
            "assertion `left == right` failed: paths_per_level must contain one positive path count per level\n"
            "  left: " +
            std::to_string(c.paths_per_level.size()) + "\n right: " + std::to_string(c.levels));
    for (std::uint64_t paths : c.paths_per_level)
        if (paths == 0) fail("paths_per_level values must be > 0");
    if (c.scramble_replicates == 0) fail("scramble_replicates must be > 0");
}

std::vector<std::uint64_t> mlmc_fine_step_counts(const ArithmeticAsianMlmcConfig& c) {
    std::vector<std::uint64_t> counts;
    counts.reserve(std::min<std::uint64_t>(c.levels, 65));  // a factor >= 2 overflows within 64 levels
    std::uint64_t steps = c.base_steps;
    for (std::uint64_t l = 0; l < c.levels; ++l) {
        if (l > 0 && __builtin_mul_overflow(steps, c.refinement_factor, &steps))
            fail("MLMC fine step count overflowed usize");
        counts.push_back(steps);
    }
    return counts;
}

ArithmeticAsianMlmcResult arithmetic_asian_call_price_mlmc_single_cpu(const ArithmeticAsianMlmcConfig& c) {
    validate_arithmetic_asian_mlmc_config(c);
    const std::vector<std::uint64_t> fine_steps = mlmc_fine_step_counts(c);
    return single_run(c, fine_steps);
}

ArithmeticAsianMlmcResult arithmetic_asian_call_price_mlmc_cpu(const ArithmeticAsianMlmcConfig& c) {
    validate_arithmetic_asian_mlmc_config(c);
    // Every level's grid is known (or the call has failed) before any work.
    const std::vector<std::uint64_t> fine_steps = mlmc_fine_step_counts(c);
    if (c.sampling != SamplingMethod::pseudorandom && c.scramble_replicates >= 2)
        return replicated_run(c, fine_steps);
    return single_run(c, fine_steps);
}

PathSums simulate_asian_mlmc_level(const ArithmeticAsianMlmcConfig& c, std::uint64_t level, std::uint64_t paths,
                                   std::uint64_t fine_steps) {
    return simulate_level(c, level, paths, fine_steps);
}

ArithmeticAsianMlmcResult arithmetic_asian_call_price_mlmc_cpu_planned(const ArithmeticAsianMlmcConfig& c,
                                                                       const std::optional<BlockPlan>& plan) {
    ArithmeticAsianMlmcConfig planned = c;
    planned.plan = plan;
    return arithmetic_asian_call_price_mlmc_cpu(planned);
}

}  // namespace mc_core

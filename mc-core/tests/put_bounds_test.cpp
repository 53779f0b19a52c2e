// Put price bounds: the streamed lower bound against the fit's own estimate
// and its memory, the whole bounds' bits across targets and threads, and the
// request checks. The grid against a lattice is in tests/python/test_bounds.py.
#include <sys/resource.h>

#include <algorithm>

#include "test_support.hpp"
#include "mc_core/early_exercise.hpp"
#include "mc_core/internal/lsm.hpp"
#include "mc_core/put_bounds.hpp"

namespace mc_core {
namespace {

using namespace test_support;
using namespace runtime::cpu;
using namespace runtime::cpu::lsm;

AmericanPutConfig small_put() {
    AmericanPutConfig c;
    c.s0 = 36.0;
    c.k = 40.0;
    c.r = 0.06;
    c.n_paths = 3001;  // whole tiles and a tail of single paths
    c.n_steps = 50;
    return c;
}

// The rule on the fit's own paths is the fit's policy: the same estimate, bit
// for bit, though nothing is stored.
TEST(PutBounds, RuleOnTheFitsPathsIsTheFit) {
    on_every_target([] {
        const AmericanPutConfig c = small_put();
        ExerciseRule rule;
        const AmericanPutResult fit = american_put_fit(c, std::nullopt, rule);
        EXPECT_EQ(rule.fitted.size(), 50u);
        EXPECT_EQ(fit.regression_steps, static_cast<U64>(std::count(rule.fitted.begin(), rule.fitted.end(), 1)));
        const LsmGrid grid = LsmGrid::from(c.r, c.sigma, c.t, c.n_steps);
        const PathSums sums = rule_value_sums(rule, grid, c.s0, c.n_steps, c.seed, c.n_paths);
        EXPECT_EQ(bits(plain_estimate(sums, c.n_paths).price), bits(fit.price));
        EXPECT_EQ(bits(plain_estimate(sums, c.n_paths).std_error), bits(fit.std_error));

        BermudanPutConfig b;
        b.n_paths = 2000;
        b.exercise_steps = {5, 20, 40};
        const BermudanPutResult bermudan = bermudan_put_fit(b, std::nullopt, rule);
        const LsmGrid g = LsmGrid::from(b.r, b.sigma, b.t, b.n_steps);
        EXPECT_EQ(bits(plain_estimate(rule_value_sums(rule, g, b.s0, b.n_steps, b.seed, b.n_paths), b.n_paths).price),
                  bits(bermudan.price));
    });
}

long peak_rss_kib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// 200,000 paths of 64 dates would take 102 MB as the fit keeps them; streamed,
// the peak grows by a tile's values at most.
TEST(PutBounds, LowerBoundStreamsItsPaths) {
    AmericanPutConfig c;
    c.n_paths = 2000;
    ExerciseRule rule;
    american_put_fit(c, std::nullopt, rule);
    const LsmGrid grid = LsmGrid::from(c.r, c.sigma, c.t, c.n_steps);
    const long before = peak_rss_kib();
    const PathSums sums = rule_value_sums(rule, grid, c.s0, c.n_steps, 99, 200000);
    EXPECT_LT(peak_rss_kib() - before, 16 * 1024);
    EXPECT_NEAR(sums.sum / 200000.0, 6.7, 0.15);
}

TEST(PutBounds, KnownAnswerAndSameBitsEverywhere) {
    PutBoundsRequest request{120, 32, 4000, 1};
    const PutBoundsResult pinned = american_put_bounds_cpu(small_put(), request);
    // A fixed rule for the seeds (put_bounds.hpp).
    EXPECT_EQ(pinned.lower_seed, splitmix64_mix(42 + kLowerBoundSalt));
    EXPECT_EQ(pinned.upper_seed, splitmix64_mix(42 + kUpperBoundSalt));
    EXPECT_EQ(pinned.lower_paths, 4000u);
    EXPECT_FALSE(pinned.exercise_at_start);
    EXPECT_GT(pinned.inner_estimates, 64u);
    EXPECT_GE(pinned.gap, 0.0);
    EXPECT_EQ(bits(pinned.upper), bits(pinned.lower + pinned.gap));
    // The 50-date lattice value is 4.4780 (test_bounds.py).
    EXPECT_LT(pinned.lower - 3 * pinned.lower_stderr, 4.4780);
    EXPECT_GT(pinned.upper + 3 * pinned.upper_stderr, 4.4780);
    EXPECT_LT(pinned.gap, 0.1);
    on_every_target([&] {
        for (const U64 threads : {1, 3}) {
            request.threads = threads;
            const PutBoundsResult r = american_put_bounds_cpu(small_put(), request);
            EXPECT_EQ(bits({r.lower, r.lower_stderr, r.upper, r.upper_stderr, r.in_sample}),
                      bits({pinned.lower, pinned.lower_stderr, pinned.upper, pinned.upper_stderr, pinned.in_sample}));
            EXPECT_EQ(r.inner_estimates, pinned.inner_estimates);
        }
    });
}

TEST(PutBounds, ImmediateExerciseAndChecks) {
    // Deep in the money with a high rate: the rule stops at time 0.
    AmericanPutConfig deep = small_put();
    deep.s0 = 20.0;
    deep.r = 0.2;
    const PutBoundsResult now = american_put_bounds_cpu(deep, {20, 8, 0, 1});
    EXPECT_TRUE(now.exercise_at_start);
    EXPECT_EQ(now.lower, 20.0);
    EXPECT_EQ(now.lower_stderr, 0.0);
    EXPECT_GE(now.upper, 20.0);

    const AmericanPutConfig c = small_put();
    EXPECT_EQ(fatal_message([&] { american_put_bounds_cpu(c, {0, 8, 0, 1}); }), "inner_paths must be > 0");
    EXPECT_EQ(fatal_message([&] { american_put_bounds_cpu(c, {8, 1, 0, 1}); }), "outer_paths must be >= 2");
    EXPECT_EQ(fatal_message([&] { american_put_bounds_cpu(c, {8, 8, 1, 1}); }),
              "lower_paths must be >= 2 (or 0: n_paths)");
    BermudanPutConfig b;
    b.exercise_steps = {};
    EXPECT_EQ(fatal_message([&] { bermudan_put_bounds_cpu(b, {0, 8, 0, 1}); }),
              "exercise_steps must include at least one exercise date");
}

}  // namespace
}  // namespace mc_core

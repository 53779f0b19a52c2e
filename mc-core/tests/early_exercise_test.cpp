// Longstaff-Schwartz put core and the American and Bermudan puts. Whole
// pricing calls, validation and known prices are pinned in
// tests/python/test_early_exercise.py.
#include <numeric>

#include "test_support.hpp"
#include "mc_core/buffer.hpp"
#include "mc_core/early_exercise.hpp"
#include "mc_core/internal/lsm.hpp"

namespace mc_core {
namespace {

using namespace test_support;
using namespace runtime::cpu;
using namespace runtime::cpu::lsm;
using Steps = std::vector<U64>;

template <class T>
std::vector<T> as_vector(const Buffer<T>& buffer) {
    return {buffer.begin(), buffer.end()};
}

Steps every_step(U64 n_steps) {
    Steps steps(n_steps);
    std::iota(steps.begin(), steps.end(), U64{1});
    return steps;
}

ExerciseDatePrices prices_of(U64 n_paths, const std::vector<double>& values) {
    ExerciseDatePrices prices{n_paths, values.size() / n_paths, Buffer<double>(values.size(), "test prices")};
    std::copy(values.begin(), values.end(), prices.values.begin());
    return prices;
}

TEST(LsmBasis, DegreePowerAndLaguerre) {
    const U64 max = std::numeric_limits<U64>::max();
    for (const auto& [requested, effective] : {std::pair<U64, int>{0, 1}, {1, 1}, {3, 3}, {4, 3}, {max, 3}})
        EXPECT_EQ(effective_basis_degree(requested), effective) << requested;
    // Bits from the lowest up: 5 = 101b gives d * d^4, 7 = 111b gives (d * d^2) * d^4.
    const double d = std::exp(-0.03 / 64.0), d2 = d * d, d4 = d2 * d2;
    const std::int32_t int_min = std::numeric_limits<std::int32_t>::min();
    for (const auto& [base, exponent, expected] : std::vector<std::tuple<double, std::int32_t, double>>{
             {d, 0, 1.0}, {d, 1, d}, {d, 5, d * d4}, {d, 6, d2 * d4}, {d, 7, (d * d2) * d4}, {2.0, 62, 0x1p62},
             {0.5, -3, 8.0}, {-3.0, 3, -27.0}, {1.0, int_min, 1.0}, {2.0, int_min, 0.0},
             {1e200, 1, 1e200}})  // the running square may overflow after the last bit
        EXPECT_EQ(integer_power(base, exponent), expected) << base << "^" << exponent;
    for (const auto& [p, x, expected] : std::vector<std::tuple<int, double, double>>{
             {0, 0.9, 1.0}, {1, 0.25, 0.75}, {2, 1.0, -0.5}, {2, 2.0, -1.0}, {3, 3.0, 1.0}, {3, 6.0, 1.0}})
        EXPECT_EQ(laguerre(p, x), expected) << "L" << p << "(" << x << ")";
}

NormalEquations system_of(const std::vector<std::vector<double>>& a, std::vector<double> b = {}) {
    NormalEquations s;
    b.resize(a.size(), 1.0);
    for (std::size_t i = 0; i < a.size(); ++i) {
        for (std::size_t j = 0; j < a[i].size(); ++j) s.a[i][j] = a[i][j];
        s.b[i] = b[i];
    }
    return s;
}

TEST(GaussJordan, PivotRowTakesTheUpperRowOnATie) {
    EXPECT_EQ(pivot_row(system_of({{1, 0}, {-1, 1}}), 0, 1), 0);
    EXPECT_EQ(pivot_row(system_of({{1, 0, 0}, {2, 1, 0}, {-2, 0, 1}}), 0, 2), 1);
    EXPECT_EQ(pivot_row(system_of({{1, 0, 0}, {-3, 1, 0}, {2, 0, 1}}), 0, 2), 1);
    EXPECT_EQ(pivot_row(system_of({{0, 0, 0}, {0, 0, 0}, {0, 0, -5}}), 0, 2), 0);
    EXPECT_EQ(pivot_row(system_of({{9, 9, 0}, {0, 1, 0}, {0, -1, 1}}), 1, 2), 1);  // only rows column..degree
    EXPECT_EQ(pivot_row(system_of({{9, 9, 0}, {0, 1, 0}, {0, 4, 1}}), 1, 1), 1);
}

TEST(GaussJordan, KnownSystemsAndTheSingularCutOff) {
    struct Row {
        std::vector<std::vector<double>> a;
        std::vector<double> b, x;  // x empty: singular
    };
    for (const Row& row : std::vector<Row>{
             {{{2, 1, -1}, {-3, -1, 2}, {-2, 1, 2}}, {8, -11, -3}, {2, 3, -1}},
             {{{4, -2, 1, 3}, {3, 6, -4, 2}, {2, 1, 8, -5}, {1, -3, 2, 7}}, {10, 5, 9, 16}, {1, 1, 2, 2}},
             {{{0, 1}, {1, 0}}, {3, 4}, {4, 3}},
             {{{1e-10, 1}, {1, 1}}, {1, 2}, {1.0000000001, 0.9999999999}},
             {{{1.0000000000000002e-12, 0}, {0, 1}}, {1.0000000000000002e-12, 3}, {1, 3}},
             {{{1e-12, 0}, {0, 1}}, {}, {}},
             {{{-1e-12, 0}, {0, 1}}, {}, {}},
             {{{1, 1}, {1, 1}}, {}, {}},
             {{{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}, {}, {}},
             {{{1, 0}, {0, 5e-13}}, {}, {}}}) {
        SCOPED_TRACE(testing::PrintToString(row.a));
        NormalEquations s = system_of(row.a, row.b);
        ASSERT_EQ(solve_normal_equations(s, static_cast<int>(row.a.size()) - 1), !row.x.empty());
        for (std::size_t i = 0; i < row.x.size(); ++i) EXPECT_NEAR(s.b[i], row.x[i], 1e-12) << i;
    }
    // A tie in column 0 keeps the upper row: row 0 / 2 = [1, 0.5 | 1.5]; row 1 + 2 row 0 = [0, 2 | 6].
    NormalEquations s = system_of({{2, 1}, {-2, 1}}, {3, 3});
    ASSERT_TRUE(solve_normal_equations(s, 1));
    EXPECT_EQ(s.b[1], 3.0);
    EXPECT_EQ(s.b[0], 1.5 - 0.5 * 3.0);
}

// Hand-made prices, strike 1: date 1, then maturity (step 2).
ExercisePolicy two_date_policy(std::vector<double> now, const std::vector<double>& later, int degree,
                               double discount = 1.0) {
    const U64 n_paths = now.size();
    now.insert(now.end(), later.begin(), later.end());
    return longstaff_schwartz_policy(prices_of(n_paths, now), {1, 2}, 1.0, discount, degree);
}

TEST(LsmCore, DatesWithAtMostDegreeInTheMoneyPathsOrASingularFitAreSkipped) {
    for (int degree = 1; degree <= 3; ++degree) {
        SCOPED_TRACE(testing::Message() << "degree " << degree);
        std::vector<double> now = {1.0, 1.5}, later = {0.5, 2.0};  // at the money (not in it) and out of it
        for (int i = 1; i <= degree; ++i) {
            now.push_back(0.1 * i);
            later.push_back(0.9);
        }
        const ExercisePolicy skipped = two_date_policy(now, later, degree);
        EXPECT_EQ(skipped.regression_steps, 0u);
        EXPECT_EQ(as_vector(skipped.exercise_step), Steps(now.size(), 2));
        for (std::size_t i = 0; i < now.size(); ++i) EXPECT_EQ(skipped.cash_flow[i], std::fmax(1.0 - later[i], 0.0));
        // One more in-the-money path: continuation is 0.1 everywhere, so all of them exercise.
        now.push_back(0.1 * (degree + 1));
        later.push_back(0.9);
        const ExercisePolicy fitted = two_date_policy(now, later, degree);
        EXPECT_EQ(fitted.regression_steps, 1u);
        for (std::size_t i = 0; i < now.size(); ++i) {
            EXPECT_EQ(fitted.exercise_step[i], now[i] < 1.0 ? 1u : 2u) << "path " << i;
            if (now[i] < 1.0) EXPECT_EQ(fitted.cash_flow[i], 1.0 - now[i]);
        }
    }
    const ExercisePolicy singular = two_date_policy({0.5, 0.5, 0.5}, {0.9, 0.9, 0.2}, 1);  // one price: singular
    EXPECT_EQ(singular.regression_steps, 0u);
    EXPECT_EQ(as_vector(singular.exercise_step), (Steps{2, 2, 2}));
    // 0.5 realised one step later is worth 0.25 now: exercise values 0.3 and 0.28 beat it, 0.2 does not.
    EXPECT_EQ(as_vector(two_date_policy({0.7, 0.8, 0.72}, {0.5, 0.5, 0.5}, 1, 0.5).exercise_step), (Steps{1, 2, 1}));
}

TEST(LsmBuffer, AlignmentPagesAndMoves) {
    const Buffer<double> empty(0, "nothing");
    EXPECT_TRUE(empty.empty());
    EXPECT_EQ(empty.data(), nullptr);
    EXPECT_EQ(empty.reserved_bytes(), 0u);

    Buffer<U64> small(1001, "small");
    EXPECT_EQ(small.size(), 1001u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(small.data()) % kBufferAlignment, 0u);
    EXPECT_FALSE(small.mapped());
    for (std::size_t i = 0; i < small.size(); ++i) small[i] = i;
    EXPECT_EQ(small[1000], 1000u);

    // From 2 MiB up: whole huge pages, huge-page aligned, and on Linux a mapping of its own.
    Buffer<double> large(kHugePageBytes / sizeof(double) + 1, "large");
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(large.data()) % kHugePageBytes, 0u);
    EXPECT_EQ(large.reserved_bytes(), 2 * kHugePageBytes);
#if defined(__linux__)
    EXPECT_TRUE(large.mapped());
#endif
    for (double& v : large) v = 1.5;  // every page writable
    EXPECT_EQ(large[large.size() - 1], 1.5);

    Buffer<double> moved(std::move(large));
    EXPECT_TRUE(large.empty());
    EXPECT_EQ(large.reserved_bytes(), 0u);
    EXPECT_EQ(moved[0], 1.5);
    moved = Buffer<double>(3, "replacement");  // the large mapping is released
    EXPECT_EQ(moved.size(), 3u);
}

#if defined(__linux__)
// A released mapping serves the next buffer of its size, and only one buffer at a time.
TEST(LsmBuffer, ReleasedMappingsAreReusedOnceAtATime) {
    const std::uint64_t count = 3 * kHugePageBytes / sizeof(double);
    const double* first = nullptr;
    {
        Buffer<double> a(count, "first");
        first = a.data();
    }
    Buffer<double> b(count, "second");
    Buffer<double> c(count, "third");
    EXPECT_EQ(b.data(), first);
    EXPECT_NE(c.data(), b.data());
    for (double& v : b) v = 1.0;
    for (double& v : c) v = 2.0;
    EXPECT_EQ(b[count - 1], 1.0);
    Buffer<double> other_size(count + kHugePageBytes / sizeof(double), "fourth");
    EXPECT_NE(other_size.data(), b.data());
    EXPECT_NE(other_size.data(), c.data());
}
#endif

// ---------------------------------------------------------------------------
// The backward pass and path generation on every target and pack width.

// The policy of the baseline's 2-lane packs, returned after checking that
// every target's own packs and forced packs of 4 and 8 paths give it bit for bit.
ExercisePolicy policy_on_every_width(const std::vector<double>& values, U64 n, const Steps& schedule, double k,
                                     double discount, int degree) {
    const ExerciseDatePrices prices = prices_of(n, values);
    ExercisePolicy expected = longstaff_schwartz_policy(prices, schedule, k, discount, degree, 2);
    const auto check = [&](const ExercisePolicy& got) {
        EXPECT_EQ(bits(as_vector(got.cash_flow)), bits(as_vector(expected.cash_flow)));
        EXPECT_EQ(as_vector(got.exercise_step), as_vector(expected.exercise_step));
        EXPECT_EQ(got.regression_steps, expected.regression_steps);
    };
    on_every_target([&] { check(longstaff_schwartz_policy(prices, schedule, k, discount, degree)); });
    for (const std::size_t lanes : {4, 8}) {
        SCOPED_TRACE(testing::Message() << lanes << " lanes");
        check(longstaff_schwartz_policy(prices, schedule, k, discount, degree, lanes));
    }
    return expected;
}

TEST(LsmBackwardPass, EveryTargetAndPackWidthGivesTheSamePolicy) {
    const std::tuple<U64, U64, Steps, double, double> cases[] = {  // paths, steps, dates (none: every step), s0, sigma
        {7, 65, {}, 100.0, 0.3},         {1001, 65, {1, 32, 65}, 40.0, 0.3},  // deep in the money
        {1001, 2, {}, 250.0, 0.3},        // deep out of the money
        {257, 16, {}, 90.0, 0.0},         // one price per date: singular fits
        {9, 20000, {5000, 10000, 20000}, 95.0, 0.25}};  // too long for the discount table
    for (const auto& [n_paths, n_steps, dates, s0, sigma] : cases) {
        const Steps schedule = dates.empty() ? every_step(n_steps) : dates;
        const LsmGrid grid = LsmGrid::from(0.05, sigma, 1.0, n_steps);
        const std::vector<double> values =
            as_vector(simulate_exercise_date_prices(grid, s0, n_paths, n_steps, 7, schedule).values);
        for (int degree = 1; degree <= 3; ++degree) {
            SCOPED_TRACE(testing::Message() << n_paths << " paths, " << n_steps << " steps, s0 " << s0 << ", degree "
                                            << degree);
            policy_on_every_width(values, n_paths, schedule, 100.0, grid.discount, degree);
        }
    }
}

TEST(LsmBackwardPass, OutOfTheMoneyPathsAddNothingEvenWhenTheirTermsAreNotFinite) {
    // Strike 1, dates at steps 1, 2 and 3. An infinite price is out of the money
    // but its basis values are infinite or NaN; a NaN price is out of the money
    // too (positive_part(NaN) = 0). Were their products added as zeros times
    // the mask, the sums would turn NaN and no fit would succeed. The rest:
    // zero, negative, subnormal, at the strike, and near it.
    const std::vector<double> values = {0.5, kInf, kNaN, 0.0, -1.0, 1.0, 1e300, 5e-324, 0.25, 0.75, 0.9,
                                        0.3, 0.6, kInf, 0.1, 0.95, kNaN, 0.2, 0.8, 1.0, 0.05, 0.7,
                                        0.2, 0.5, kNaN, 0.1, 2.0, 0.0, 0.3, 0.7, kInf, 0.6, 0.4};
    for (int degree = 1; degree <= 3; ++degree) {
        SCOPED_TRACE(testing::Message() << "degree " << degree);
        EXPECT_GT(policy_on_every_width(values, 11, {1, 2, 3}, 1.0, 0.9, degree).regression_steps, 0u);
    }
    // An infinite cash flow reaches the sums of an in-the-money path: infinite
    // and NaN sums, the same on every target.
    const std::vector<double> infinite = {0.5, 0.6, 0.7, 0.8, 0.55, 0.65, -kInf, 0.5, 0.5, 0.5};
    policy_on_every_width(infinite, 5, {1, 2}, 1.0, 1.0, 1);
}

// Whole calls on every target: tests/python/test_engine.py.
TEST(LsmPaths, EveryTargetAndPackWidthKeepsTheStreamOrder) {
    // Lane tiles with a path left over, long paths in tiles of two per lane, and runs too small for a tile
    // (one lane throughout). The prices were pinned from paths stepped one at a time from one stream:
    // s *= exp(drift + vol z), path by path, s0 = 100, r = 0.03, sigma = 0.4, t = 1, seed 11.
    const std::tuple<U64, U64, Steps, double, double> cases[] = {  // paths, steps, dates, first and last price
        {1, 2, {1, 2}, 0x1.b14f5f8abdbebp+6, 0x1.68b5fffc002d8p+6},
        {9, 65, every_step(65), 0x1.971f18e2e2bb3p+6, 0x1.6aa79a3c81699p+6},
        {1001, 16, {4, 8, 16}, 0x1.8875e6b90e9e1p+6, 0x1.ae630525ea4fdp+6},
        {41, 700, {1, 350, 699, 700}, 0x1.9238eb25ff18ep+6, 0x1.7f1de5f4a9cabp+6},
        {7, 600, {1, 300, 599, 600}, 0x1.926600838f6e8p+6, 0x1.39e64e96c5596p+7},
        {3, 1500, {1500}, 0x1.37abf6e8b7409p+6, 0x1.5edf365959c11p+7}};
    for (const auto& [n_paths, n_steps, dates, first, last] : cases) {
        SCOPED_TRACE(testing::Message() << n_paths << " paths x " << n_steps << " steps");
        const LsmGrid grid = LsmGrid::from(0.03, 0.4, 1.0, n_steps);
        const auto simulate = [&](std::size_t lanes) {
            return bits(as_vector(simulate_exercise_date_prices(grid, 100.0, n_paths, n_steps, 11, dates, lanes).values));
        };
        const std::vector<U64> expected = simulate(2);
        EXPECT_EQ(expected.front(), bits(first));  // the first path at the first date
        EXPECT_EQ(expected.back(), bits(last));    // the last path at the last
        on_every_target([&] { EXPECT_EQ(simulate(0), expected); });
        for (const std::size_t lanes : {4, 8}) EXPECT_EQ(simulate(lanes), expected) << lanes << " lanes";
    }
}

}  // namespace
}  // namespace mc_core

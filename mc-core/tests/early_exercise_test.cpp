// Longstaff-Schwartz put core and the American and Bermudan puts: the Gauss-
// Jordan solve, the integer power, the Laguerre basis, the skip rules, the
// exercise-date storage against a whole-matrix reference, validation, schedule
// repair, warnings and allocation failures.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "mc_core/early_exercise.hpp"
#include "mc_core/error.hpp"
#include "mc_core/random.hpp"

namespace {

using mc_core::AllocationFailure;
using mc_core::FatalError;
using mc_core::NormalRng;
using namespace mc_core::runtime::cpu;
using namespace mc_core::runtime::cpu::lsm;

std::string fatal_message(const std::function<void()>& f) {
    try {
        f();
    } catch (const FatalError& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("<not a FatalError: ") + e.what() + ">";
    }
    return "<no error>";
}

std::string allocation_message(const std::function<void()>& f) {
    try {
        f();
    } catch (const AllocationFailure& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("<not an AllocationFailure: ") + e.what() + ">";
    }
    return "<no error>";
}

// ---------------------------------------------------------------------------
// Degree, power, basis.

TEST(LsmBasis, EffectiveDegree) {
    struct Row {
        std::uint64_t requested;
        int effective;
    };
    for (const Row& row : {Row{0, 1}, Row{1, 1}, Row{2, 2}, Row{3, 3}, Row{4, 3}, Row{7, 3},
                           Row{std::numeric_limits<std::uint64_t>::max(), 3}})
        EXPECT_EQ(effective_basis_degree(row.requested), row.effective) << "requested " << row.requested;
}

TEST(LsmBasis, IntegerPowerByRepeatedSquaring) {
    const double d = std::exp(-0.03 / 64.0);
    EXPECT_EQ(integer_power(d, 0), 1.0);
    EXPECT_EQ(integer_power(d, 1), d);
    EXPECT_EQ(integer_power(d, 2), d * d);
    // 5 = 101b: result d (bit 0), then d^4 = (d^2)^2 (bit 2).
    EXPECT_EQ(integer_power(d, 5), d * ((d * d) * (d * d)));
    // 6 = 110b: d^2 (bit 1) times d^4 (bit 2).
    EXPECT_EQ(integer_power(d, 6), (d * d) * ((d * d) * (d * d)));
    // 7 = 111b: ((1 d) d^2) d^4.
    EXPECT_EQ(integer_power(d, 7), (d * (d * d)) * ((d * d) * (d * d)));
    EXPECT_EQ(integer_power(2.0, 10), 1024.0);
    EXPECT_EQ(integer_power(2.0, 62), 4611686018427387904.0);
    EXPECT_EQ(integer_power(0.5, -3), 8.0);
    EXPECT_EQ(integer_power(-3.0, 3), -27.0);
    EXPECT_EQ(integer_power(1.0, std::numeric_limits<std::int32_t>::min()), 1.0);
    EXPECT_EQ(integer_power(2.0, std::numeric_limits<std::int32_t>::min()), 0.0);
    // The running power may overflow after the last bit without harm.
    EXPECT_EQ(integer_power(1e200, 1), 1e200);
}

TEST(LsmBasis, LaguerrePolynomials) {
    // Closed forms L1 = 1 - x, L2 = 1 - 2x + x^2/2, L3 = 1 - 3x + 3x^2/2 - x^3/6.
    for (const double x : {0.0, 0.25, 0.5, 0.9, 1.0, 2.0, 3.0}) {
        EXPECT_EQ(laguerre(0, x), 1.0) << x;
        EXPECT_EQ(laguerre(1, x), 1.0 - x) << x;
        EXPECT_NEAR(laguerre(2, x), 1.0 - 2.0 * x + x * x / 2.0, 1e-15) << x;
        EXPECT_NEAR(laguerre(3, x), 1.0 - 3.0 * x + 1.5 * x * x - x * x * x / 6.0, 1e-15) << x;
    }
    // Exact values, and the operation order of the regression.
    EXPECT_EQ(laguerre(2, 1.0), -0.5);
    EXPECT_EQ(laguerre(2, 2.0), -1.0);
    EXPECT_EQ(laguerre(3, 0.0), 1.0);
    EXPECT_EQ(laguerre(3, 3.0), ((1.0 - 9.0) + 13.5) - 27.0 / 6.0);
    const double x = 0.8713;
    EXPECT_EQ(laguerre(2, x), (1.0 - 2.0 * x) + 0.5 * (x * x));
    EXPECT_EQ(laguerre(3, x), ((1.0 - 3.0 * x) + 1.5 * (x * x)) - x * x * x / 6.0);
}

// ---------------------------------------------------------------------------
// Gauss-Jordan elimination.

NormalEquations system_of(const std::vector<std::vector<double>>& a, const std::vector<double>& b) {
    NormalEquations s;
    for (std::size_t i = 0; i < a.size(); ++i) {
        for (std::size_t j = 0; j < a[i].size(); ++j) s.a[i][j] = a[i][j];
        s.b[i] = b[i];
    }
    return s;
}

TEST(GaussJordan, PivotRowTakesTheUpperRowOnATie) {
    EXPECT_EQ(pivot_row(system_of({{1, 0}, {-1, 1}}, {0, 0}), 0, 1), 0);
    EXPECT_EQ(pivot_row(system_of({{1, 0, 0}, {2, 1, 0}, {-2, 0, 1}}, {0, 0, 0}), 0, 2), 1);
    EXPECT_EQ(pivot_row(system_of({{1, 0, 0}, {-3, 1, 0}, {2, 0, 1}}, {0, 0, 0}), 0, 2), 1);
    EXPECT_EQ(pivot_row(system_of({{0, 0, 0}, {0, 0, 0}, {0, 0, -5}}, {0, 0, 0}), 0, 2), 0);
    // Only rows column..degree are candidates.
    EXPECT_EQ(pivot_row(system_of({{9, 9, 0}, {0, 1, 0}, {0, -1, 1}}, {0, 0, 0}), 1, 2), 1);
    EXPECT_EQ(pivot_row(system_of({{9, 9, 0}, {0, 1, 0}, {0, 4, 1}}, {0, 0, 0}), 1, 1), 1);
}

TEST(GaussJordan, SolvesKnownSystems) {
    struct Row {
        const char* name;
        std::vector<std::vector<double>> a;
        std::vector<double> b;
        std::vector<double> x;
    };
    const std::vector<Row> rows = {
        {"diagonal", {{2, 0}, {0, 4}}, {2, 8}, {1, 2}},
        {"2x2", {{2, 1}, {1, 3}}, {3, 5}, {0.8, 1.4}},
        {"3x3 textbook", {{2, 1, -1}, {-3, -1, 2}, {-2, 1, 2}}, {8, -11, -3}, {2, 3, -1}},
        {"4x4", {{4, -2, 1, 3}, {3, 6, -4, 2}, {2, 1, 8, -5}, {1, -3, 2, 7}}, {10, 5, 9, 16}, {1, 1, 2, 2}},
        {"needs a swap", {{0, 1}, {1, 0}}, {3, 4}, {4, 3}},
        {"tiny leading entry", {{1e-10, 1}, {1, 1}}, {1, 2}, {1.0000000001, 0.9999999999}},
        {"zero factors above and below", {{5, 0, 0}, {0, 2, 0}, {0, 1, 1}}, {10, 4, 5}, {2, 2, 3}},
    };
    for (const Row& row : rows) {
        NormalEquations s = system_of(row.a, row.b);
        const int degree = static_cast<int>(row.a.size()) - 1;
        ASSERT_TRUE(solve_normal_equations(s, degree)) << row.name;
        for (int i = 0; i <= degree; ++i) EXPECT_NEAR(s.b[i], row.x[i], 1e-12) << row.name << " beta " << i;
        for (int i = 0; i <= degree; ++i)
            for (int j = 0; j <= degree; ++j) EXPECT_NEAR(s.a[i][j], i == j ? 1.0 : 0.0, 1e-12) << row.name;
    }
}

TEST(GaussJordan, ExactStepsOnATie) {
    // Column 0 holds 2 and -2: the upper row stays the pivot, no swap. By hand:
    // row 0 / 2 = [1, 0.5 | 1.5]; row 1 - (-2) row 0 = [0, 2 | 6]; then column 1.
    NormalEquations s = system_of({{2, 1}, {-2, 1}}, {3, 3});
    ASSERT_TRUE(solve_normal_equations(s, 1));
    EXPECT_EQ(s.b[1], 6.0 / 2.0);
    EXPECT_EQ(s.b[0], 1.5 - 0.5 * 3.0);
}

TEST(GaussJordan, SingularCutOff) {
    struct Row {
        const char* name;
        std::vector<std::vector<double>> a;
        bool solvable;
    };
    const std::vector<Row> rows = {
        {"pivot exactly 1e-12", {{1e-12, 0}, {0, 1}}, false},
        {"pivot -1e-12", {{-1e-12, 0}, {0, 1}}, false},
        {"pivot just above", {{1.0000000000000002e-12, 0}, {0, 1}}, true},
        {"zero column", {{0, 1}, {0, 1}}, false},
        {"rank one", {{1, 1}, {1, 1}}, false},
        {"singular in the last column", {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}, false},
        {"second pivot tiny", {{1, 0}, {0, 5e-13}}, false},
    };
    for (const Row& row : rows) {
        NormalEquations s = system_of(row.a, std::vector<double>(row.a.size(), 1.0));
        EXPECT_EQ(solve_normal_equations(s, static_cast<int>(row.a.size()) - 1), row.solvable) << row.name;
    }
    NormalEquations s = system_of({{2e-12, 0}, {0, 1}}, {2e-12, 3});
    ASSERT_TRUE(solve_normal_equations(s, 1));
    EXPECT_EQ(s.b[0], 1.0);
    EXPECT_EQ(s.b[1], 3.0);
}

// ---------------------------------------------------------------------------
// Whole-matrix reference: the algorithm written out literally, with every path
// held in an n_paths x (n_steps + 1) matrix, scalar normals, the full normal
// matrix accumulated and the basis spelt out.

double phi(int p, double x) {
    if (p == 0) return 1.0;
    if (p == 1) return 1.0 - x;
    if (p == 2) return (1.0 - 2.0 * x) + 0.5 * (x * x);
    return ((1.0 - 3.0 * x) + 1.5 * (x * x)) - x * x * x / 6.0;
}

PutLsmCoreResult reference_lsm(const PutLsmCoreConfig& c) {
    const int d = c.basis_degree == 0 ? 1 : static_cast<int>(std::min<std::uint64_t>(c.basis_degree, 3));
    const double dt = c.t / static_cast<double>(c.n_steps);
    const double disc = std::exp(-(c.r * dt));
    const double drift = dt * (c.r - 0.5 * (c.sigma * c.sigma));
    const double vol = c.sigma * std::sqrt(dt);
    const std::uint64_t width = c.n_steps + 1;
    std::vector<double> s(c.n_paths * width, 0.0);
    NormalRng rng(c.seed);
    for (std::uint64_t i = 0; i < c.n_paths; ++i) {
        s[i * width] = c.s0;
        for (std::uint64_t j = 1; j <= c.n_steps; ++j)
            s[i * width + j] = s[i * width + j - 1] * std::exp(drift + vol * rng.next_standard_normal());
    }
    auto pos = [](double v) { return v > 0.0 ? v : 0.0; };
    std::vector<double> cash(c.n_paths);
    std::vector<std::uint64_t> when(c.n_paths, c.n_steps);
    for (std::uint64_t i = 0; i < c.n_paths; ++i) cash[i] = pos(c.k - s[i * width + c.n_steps]);
    PutLsmCoreResult out;
    const double floor_k = std::max(c.k, 2.2250738585072014e-308);
    for (std::size_t date = c.exercise_schedule.size() - 1; date-- > 0;) {
        const std::uint64_t step = c.exercise_schedule[date];
        NormalEquations eq;
        std::uint64_t count = 0;
        for (std::uint64_t i = 0; i < c.n_paths; ++i) {
            const double spot = s[i * width + step];
            if (!(pos(c.k - spot) > 0.0)) continue;
            const double x = spot / floor_k;
            const double y = cash[i] * integer_power(disc, static_cast<std::int32_t>(when[i] - step));
            for (int p = 0; p <= d; ++p) {
                for (int q = 0; q <= d; ++q) eq.a[p][q] += phi(p, x) * phi(q, x);
                eq.b[p] += phi(p, x) * y;
            }
            ++count;
        }
        if (count <= static_cast<std::uint64_t>(d) || !solve_normal_equations(eq, d)) continue;
        ++out.regression_steps;
        for (std::uint64_t i = 0; i < c.n_paths; ++i) {
            const double spot = s[i * width + step];
            const double e = pos(c.k - spot);
            if (!(e > 0.0)) continue;
            double cont = eq.b[0];
            for (int p = 1; p <= d; ++p) cont = cont + eq.b[p] * phi(p, spot / floor_k);
            if (e > pos(cont)) {
                cash[i] = e;
                when[i] = step;
            }
        }
    }
    double sum = 0.0, sum_sq = 0.0;
    for (std::uint64_t i = 0; i < c.n_paths; ++i) {
        const double v = cash[i] * integer_power(disc, static_cast<std::int32_t>(when[i]));
        sum += v;
        sum_sq += v * v;
        if (when[i] < c.n_steps)
            ++out.early_exercise_count;
        else if (cash[i] > 0.0)
            ++out.maturity_exercise_count;
    }
    const double n = static_cast<double>(c.n_paths);
    out.price = sum / n;
    out.std_error = std::sqrt(pos(sum_sq / n - out.price * out.price)) / std::sqrt(n);
    if (c.allow_immediate_exercise && pos(c.k - c.s0) > out.price) {
        out.price = pos(c.k - c.s0);
        out.std_error = 0.0;
    }
    return out;
}

std::vector<std::uint64_t> every_step(std::uint64_t n_steps) {
    std::vector<std::uint64_t> steps;
    for (std::uint64_t j = 1; j <= n_steps; ++j) steps.push_back(j);
    return steps;
}

PutLsmCoreConfig core(std::vector<std::uint64_t> schedule, std::uint64_t n_paths, std::uint64_t n_steps,
                      std::uint64_t degree, double s0 = 100.0, double sigma = 0.2) {
    PutLsmCoreConfig c;
    c.exercise_schedule = std::move(schedule);
    c.product_note = "note";
    c.s0 = s0;
    c.k = 100.0;
    c.r = 0.03;
    c.sigma = sigma;
    c.t = 1.0;
    c.n_paths = n_paths;
    c.n_steps = n_steps;
    c.seed = 42;
    c.basis_degree = degree;
    return c;
}

TEST(LsmCore, ExerciseDateColumnsMatchTheWholeMatrixBitForBit) {
    std::vector<PutLsmCoreConfig> cases = {
        core(every_step(16), 3000, 16, 1),
        core(every_step(16), 3000, 16, 2),
        core(every_step(15), 2001, 15, 3),  // odd step count: the cached normal crosses paths
        core({4, 8, 12, 16}, 3000, 16, 2),
        core({3, 7, 13}, 2999, 13, 3, 90.0, 0.35),
        core({13}, 1000, 13, 2),
        core(every_step(9), 1500, 9, 2, 100.0, 0.0),
        core(every_step(40), 700, 40, 2, 120.0, 0.5),  // the normal blocks straddle paths
    };
    cases[0].allow_immediate_exercise = true;
    cases[2].allow_immediate_exercise = true;
    cases[2].seed = 0;
    cases[3].seed = 7;
    for (const PutLsmCoreConfig& c : cases) {
        SCOPED_TRACE(testing::Message() << "paths " << c.n_paths << " steps " << c.n_steps << " dates "
                                        << c.exercise_schedule.size() << " degree " << c.basis_degree << " s0 "
                                        << c.s0 << " sigma " << c.sigma);
        const PutLsmCoreResult expected = reference_lsm(c);
        const PutLsmCoreResult got = price_put_lsm_cpu(c);
        EXPECT_EQ(got.price, expected.price);
        EXPECT_EQ(got.std_error, expected.std_error);
        EXPECT_EQ(got.early_exercise_count, expected.early_exercise_count);
        EXPECT_EQ(got.maturity_exercise_count, expected.maturity_exercise_count);
        EXPECT_EQ(got.regression_steps, expected.regression_steps);
        EXPECT_EQ(got.exercise_schedule, c.exercise_schedule);
    }
}

TEST(LsmCore, KeptPricesAreThoseOfScalarStepping) {
    const LsmGrid grid = LsmGrid::from(0.03, 0.2, 1.0, 5);
    EXPECT_EQ(grid.dt, 0.2);
    EXPECT_EQ(grid.discount, std::exp(-(0.03 * 0.2)));
    EXPECT_EQ(grid.drift, 0.2 * (0.03 - 0.5 * (0.2 * 0.2)));
    EXPECT_EQ(grid.vol, 0.2 * std::sqrt(0.2));
    const std::vector<std::uint64_t> schedule = {2, 5};
    const ExerciseDatePrices prices = simulate_exercise_date_prices(grid, 100.0, 3, 5, 42, schedule);
    ASSERT_EQ(prices.values.size(), 6u);
    EXPECT_EQ(prices.dates, 2u);
    NormalRng rng(42);
    for (std::uint64_t i = 0; i < 3; ++i) {
        double s = 100.0;
        for (std::uint64_t j = 1; j <= 5; ++j) {
            s = s * std::exp(grid.drift + grid.vol * rng.next_standard_normal());
            if (j == 2) EXPECT_EQ(prices.column(0)[i], s) << "path " << i;
            if (j == 5) EXPECT_EQ(prices.column(1)[i], s) << "path " << i;
        }
    }
}

// Hand-made prices: two dates (step 1, maturity step 2), strike 1.
ExerciseDatePrices two_date_prices(const std::vector<double>& at_step_1, const std::vector<double>& at_maturity) {
    ExerciseDatePrices p;
    p.n_paths = at_step_1.size();
    p.dates = 2;
    p.values = at_step_1;
    p.values.insert(p.values.end(), at_maturity.begin(), at_maturity.end());
    return p;
}

TEST(LsmCore, DateWithAtMostDegreeInTheMoneyPathsIsSkipped) {
    for (int degree = 1; degree <= 3; ++degree) {
        SCOPED_TRACE(testing::Message() << "degree " << degree);
        // degree in-the-money paths (x = 0.1, 0.2, ...) and two out of the money.
        std::vector<double> now, later;
        for (int i = 0; i < degree; ++i) {
            now.push_back(0.1 * (i + 1));
            later.push_back(0.9);
        }
        now.push_back(1.0);  // at the money: exercise value 0, not in the money
        later.push_back(0.5);
        now.push_back(1.5);
        later.push_back(2.0);
        ExercisePolicy skipped = longstaff_schwartz_policy(two_date_prices(now, later), {1, 2}, 1.0, 1.0, degree);
        EXPECT_EQ(skipped.regression_steps, 0u);
        for (std::size_t i = 0; i < now.size(); ++i) {
            EXPECT_EQ(skipped.exercise_step[i], 2u);
            EXPECT_EQ(skipped.cash_flow[i], later[i] < 1.0 ? 1.0 - later[i] : 0.0);
        }

        // One more in-the-money path makes the fit possible: continuation is
        // 0.1 everywhere, so every in-the-money path exercises.
        now.push_back(0.1 * (degree + 1));
        later.push_back(0.9);
        ExercisePolicy fitted = longstaff_schwartz_policy(two_date_prices(now, later), {1, 2}, 1.0, 1.0, degree);
        EXPECT_EQ(fitted.regression_steps, 1u);
        for (std::size_t i = 0; i < now.size(); ++i) {
            const bool in_the_money = now[i] < 1.0;
            EXPECT_EQ(fitted.exercise_step[i], in_the_money ? 1u : 2u) << "path " << i;
            if (in_the_money) EXPECT_EQ(fitted.cash_flow[i], 1.0 - now[i]);
        }
    }
}

TEST(LsmCore, SingularDateIsSkipped) {
    // Three in-the-money paths at the same price: the degree-1 system is singular.
    const ExercisePolicy p =
        longstaff_schwartz_policy(two_date_prices({0.5, 0.5, 0.5}, {0.9, 0.9, 0.2}), {1, 2}, 1.0, 1.0, 1);
    EXPECT_EQ(p.regression_steps, 0u);
    EXPECT_EQ(p.exercise_step, (std::vector<std::uint64_t>{2, 2, 2}));
}

TEST(LsmCore, OnlyMaturityVisitsNoDate) {
    PutLsmCoreConfig c = core({16}, 4000, 16, 2);
    const PutLsmCoreResult r = price_put_lsm_cpu(c);
    EXPECT_EQ(r.regression_steps, 0u);
    EXPECT_EQ(r.early_exercise_count, 0u);
    // The discounted mean terminal payoff, from the scalar stream.
    const LsmGrid g = LsmGrid::from(c.r, c.sigma, c.t, c.n_steps);
    NormalRng rng(c.seed);
    double sum = 0.0;
    for (std::uint64_t i = 0; i < c.n_paths; ++i) {
        double s = c.s0;
        for (int j = 0; j < 16; ++j) s = s * std::exp(g.drift + g.vol * rng.next_standard_normal());
        sum += (c.k - s > 0.0 ? c.k - s : 0.0) * integer_power(g.discount, 16);
    }
    EXPECT_EQ(r.price, sum / 4000.0);
}

TEST(LsmCore, WarningsInOrder) {
    PutLsmCoreConfig c = core({8}, 200, 8, 2);
    EXPECT_EQ(price_put_lsm_cpu(c).warnings, (std::vector<std::string>{kLsmEstimatorWarning, "note"}));
    c.basis_degree = 7;
    c.n_threads = 2;
    c.extra_warning = "extra";
    const PutLsmCoreResult r = price_put_lsm_cpu(c);
    EXPECT_EQ(r.warnings,
              (std::vector<std::string>{kLsmEstimatorWarning, "note", kBasisClampWarning, kThreadsWarning, "extra"}));
    EXPECT_EQ(r.regression_basis, "laguerre_lsm_degree_3");
    c.basis_degree = 1;
    c.n_threads = 1;
    EXPECT_EQ(price_put_lsm_cpu(c).regression_basis, "laguerre_lsm_degree_1");
}

TEST(LsmCore, ThreadCountChangesNoNumber) {
    const PutLsmCoreResult one = [] {
        PutLsmCoreConfig c = core(every_step(12), 3000, 12, 2);
        c.n_threads = 1;
        return price_put_lsm_cpu(c);
    }();
    for (const std::uint64_t threads : {0ull, 2ull, 8ull}) {
        PutLsmCoreConfig c = core(every_step(12), 3000, 12, 2);
        c.n_threads = threads;
        const PutLsmCoreResult r = price_put_lsm_cpu(c);
        EXPECT_EQ(r.price, one.price);
        EXPECT_EQ(r.std_error, one.std_error);
        EXPECT_EQ(r.early_exercise_count, one.early_exercise_count);
        EXPECT_EQ(r.maturity_exercise_count, one.maturity_exercise_count);
        EXPECT_EQ(r.regression_steps, one.regression_steps);
        EXPECT_EQ(r.warnings.size(), threads >= 2 ? 3u : 2u);
    }
}

// ---------------------------------------------------------------------------
// American and Bermudan puts.

TEST(AmericanPut, ValidationOrder) {
    struct Row {
        std::function<void(AmericanPutConfig&)> edit;
        const char* message;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<Row> rows = {
        {[](AmericanPutConfig& c) { c.n_paths = 0; c.n_steps = 1; c.s0 = -1; }, "n_paths must be > 0"},
        {[](AmericanPutConfig& c) { c.n_steps = 1; c.s0 = -1; }, "n_steps must be >= 2 for LSM regression"},
        {[](AmericanPutConfig& c) { c.n_steps = 0; }, "n_steps must be >= 2 for LSM regression"},
        {[nan](AmericanPutConfig& c) { c.s0 = nan; c.k = 0; }, "s0 must be > 0"},
        {[](AmericanPutConfig& c) { c.k = 0; c.sigma = -1; }, "k must be > 0"},
        {[](AmericanPutConfig& c) { c.sigma = -0.1; c.t = 0; }, "sigma must be >= 0"},
        {[nan](AmericanPutConfig& c) { c.sigma = nan; }, "sigma must be >= 0"},
        {[](AmericanPutConfig& c) { c.t = 0; c.basis_degree = 0; }, "t must be > 0"},
        {[](AmericanPutConfig& c) { c.basis_degree = 0; }, "basis_degree must be > 0"},
    };
    for (const Row& row : rows) {
        AmericanPutConfig a;
        row.edit(a);
        EXPECT_EQ(fatal_message([&] { validate_american_put_config(a); }), row.message);
        EXPECT_EQ(fatal_message([&] { american_put_price_lsm_cpu(a); }), row.message);
        BermudanPutConfig b;
        row.edit(b);
        b.exercise_steps = {};  // schedule checks come last
        EXPECT_EQ(fatal_message([&] { bermudan_put_price_lsm_cpu(b); }), row.message);
    }
    AmericanPutConfig fine;
    fine.sigma = 0.0;
    fine.r = nan;  // not validated
    EXPECT_EQ(fatal_message([&] { validate_american_put_config(fine); }), "<no error>");
}

TEST(BermudanPut, ScheduleValidationComesLast) {
    struct Row {
        std::vector<std::uint64_t> steps;
        const char* message;
    };
    for (const Row& row : {Row{{}, "exercise_steps must include at least one exercise date"},
                           Row{{0}, "exercise_steps must be in 1..=n_steps"},
                           Row{{65}, "exercise_steps must be in 1..=n_steps"},
                           Row{{16, 64, 0}, "exercise_steps must be in 1..=n_steps"},
                           Row{{64, 16, 16}, "<no error>"}}) {
        BermudanPutConfig c;
        c.exercise_steps = row.steps;
        EXPECT_EQ(fatal_message([&] { validate_bermudan_put_config(c); }), row.message);
    }
}

TEST(BermudanPut, ScheduleNormalisation) {
    struct Row {
        std::vector<std::uint64_t> given;
        std::vector<std::uint64_t> steps;
        std::optional<std::string> note;
    };
    const std::string sorted = "exercise_steps were sorted and deduplicated before LSM execution.";
    const std::vector<Row> rows = {
        {{16, 32, 48, 64}, {16, 32, 48, 64}, std::nullopt},
        {{64}, {64}, std::nullopt},
        {{64, 16, 16}, {16, 64}, sorted},
        {{16, 16, 64}, {16, 64}, sorted},
        {{10, 20}, {10, 20, 64}, "Maturity was appended to exercise_steps because terminal payoff is always evaluated."},
        {{20, 10}, {10, 20, 64}, sorted + " Maturity was appended because terminal payoff is always evaluated."},
    };
    for (const Row& row : rows) {
        const BermudanSchedule s = normalize_bermudan_exercise_schedule(row.given, 64);
        EXPECT_EQ(s.steps, row.steps) << testing::PrintToString(row.given);
        EXPECT_EQ(s.note, row.note) << testing::PrintToString(row.given);
    }
}

TEST(BermudanPut, ResultRecord) {
    BermudanPutConfig c;
    c.n_paths = 4000;
    c.exercise_steps = {20, 10};
    c.basis_degree = 5;
    c.n_threads = 3;
    const BermudanPutResult r = bermudan_put_price_lsm_cpu(c);
    EXPECT_EQ(r.workload, mc_core::PricingWorkloadFamily::bermudan_put);
    EXPECT_EQ(r.exercise_schedule, (std::vector<std::uint64_t>{10, 20, 64}));
    EXPECT_EQ(r.exercise_date_count, 3u);
    EXPECT_LE(r.regression_steps, 2u);
    EXPECT_EQ(r.paths, 4000u);
    EXPECT_EQ(r.steps, 64u);
    EXPECT_EQ(r.seed, 42u);
    EXPECT_EQ(r.regression_basis, "laguerre_lsm_degree_3");
    ASSERT_EQ(r.warnings.size(), 5u);
    EXPECT_EQ(r.warnings[0], kLsmEstimatorWarning);
    EXPECT_EQ(r.warnings[1], kBermudanPutNote);
    EXPECT_EQ(r.warnings[2], kBasisClampWarning);
    EXPECT_EQ(r.warnings[3], kThreadsWarning);
    EXPECT_EQ(r.warnings[4], "exercise_steps were sorted and deduplicated before LSM execution. Maturity was "
                             "appended because terminal payoff is always evaluated.");
    EXPECT_LE(r.early_exercise_count + r.maturity_exercise_count, c.n_paths);
}

TEST(AmericanPut, ResultRecordAndCounts) {
    AmericanPutConfig c;
    c.n_paths = 5000;
    c.n_steps = 16;
    const AmericanPutResult r = american_put_price_lsm_cpu(c);
    EXPECT_EQ(r.workload, mc_core::PricingWorkloadFamily::american_put);
    EXPECT_EQ(r.warnings, (std::vector<std::string>{kLsmEstimatorWarning, kAmericanPutNote}));
    EXPECT_EQ(r.regression_basis, "laguerre_lsm_degree_2");
    EXPECT_LE(r.regression_steps, 15u);
    EXPECT_GT(r.regression_steps, 0u);
    EXPECT_GT(r.early_exercise_count, 0u);
    EXPECT_LE(r.early_exercise_count + r.maturity_exercise_count, c.n_paths);
    EXPECT_GT(r.price, 5.0);
    EXPECT_LT(r.price, 8.0);
}

TEST(AmericanPut, DeepInTheMoneyReturnsIntrinsic) {
    AmericanPutConfig c;
    c.s0 = 40.0;
    c.n_paths = 1000;
    c.n_steps = 8;
    c.r = 0.1;
    const AmericanPutResult american = american_put_price_lsm_cpu(c);
    EXPECT_EQ(american.price, 60.0);
    EXPECT_EQ(american.std_error, 0.0);
    BermudanPutConfig b;
    static_cast<AmericanPutConfig&>(b) = c;
    b.exercise_steps = {8};
    const BermudanPutResult bermudan = bermudan_put_price_lsm_cpu(b);
    EXPECT_LT(bermudan.price, 60.0);  // no exercise at time 0
    EXPECT_GT(bermudan.std_error, 0.0);
}

TEST(EarlyExercise, AllocationFailuresNameTheBuffer) {
    const std::uint64_t huge = std::uint64_t{1} << 62;
    AmericanPutConfig american;
    american.n_paths = huge;
    EXPECT_EQ(allocation_message([&] { american_put_price_lsm_cpu(american); }),
              "cannot allocate exercise-date path prices (n_paths x exercise dates): 4611686018427387904 x 64 "
              "values overflow 64 bits");
    BermudanPutConfig bermudan;
    bermudan.n_paths = huge;
    bermudan.exercise_steps = {64};
    EXPECT_EQ(allocation_message([&] { bermudan_put_price_lsm_cpu(bermudan); }),
              "cannot allocate exercise-date path prices (n_paths x exercise dates): 4611686018427387904 values");
    AmericanPutConfig steps;
    steps.n_steps = huge;
    EXPECT_EQ(allocation_message([&] { american_put_price_lsm_cpu(steps); }),
              "cannot allocate American exercise schedule (n_steps): 4611686018427387904 values");
}

}  // namespace

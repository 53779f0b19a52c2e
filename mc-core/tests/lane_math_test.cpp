// The lane math: accuracy against long double, edge arguments, and the same
// bits at every width, on every target and through the block transforms.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <tuple>
#include <vector>

#include "mc_core/block_math.hpp"
#include "mc_core/lane_math.hpp"
#include "mc_core/random.hpp"
#include "mc_core/simd.hpp"

namespace mc_core {
namespace {

using V1 = simd::f64x1;
using V8 = simd::f64x8;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

#ifdef NDEBUG
constexpr int kArguments = 10'000'000;
#else
constexpr int kArguments = 100'000;  // the unoptimised sanitizer build
#endif

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// |got - exact| in units of the last place of the double nearest `exact`.
double ulp_error(double got, long double exact) {
    const double nearest = static_cast<double>(exact);
    if (std::isnan(nearest) || std::isinf(nearest)) return same_bits(got, nearest) || (std::isnan(got) && std::isnan(nearest)) ? 0.0 : 1e300;
    double ulp = std::nextafter(std::fabs(nearest), kInf) - std::fabs(nearest);
    if (std::fabs(nearest) < 2.2250738585072014e-308) ulp = 4.9406564584124654e-324;
    return static_cast<double>(std::fabs(static_cast<long double>(got) - exact) / ulp);
}

double exp1(double x) { return lane_math::exp(V1{x})[0]; }
double log1(double x) { return lane_math::log(V1{x})[0]; }
double sin1(double x) {
    V1 s, c;
    lane_math::sincos(V1{x}, s, c);
    return s[0];
}
double cos1(double x) {
    V1 s, c;
    lane_math::sincos(V1{x}, s, c);
    return c[0];
}

struct AccuracyRow {
    const char* name;
    double (*f)(double);
    long double (*exact)(long double);
    double lo, hi;
    bool log_uniform;  // arguments 2^u, u uniform in [lo, hi]
};

// Measured maxima over these rows (10^7 arguments on the narrow ranges, a
// quarter of that on the wide ones): exp 0.88, log 0.91, sin 0.85, cos 0.82 ulp.
TEST(LaneMath, WithinOneUlpOverTheWorkingRanges) {
    const AccuracyRow rows[] = {
        {"exp", exp1, expl, -745.13, 709.78, false},   {"exp", exp1, expl, -40.0, 40.0, false},
        {"exp", exp1, expl, -1e-3, 1e-3, false},       {"log", log1, logl, -1074.0, 1024.0, true},
        {"log", log1, logl, 0.5, 2.0, false},          {"log", log1, logl, 0.0, 1.0, false},
        {"sin", sin1, sinl, 0.0, 6.283185307179586, false}, {"cos", cos1, cosl, 0.0, 6.283185307179586, false},
        {"sin", sin1, sinl, -1.6e6, 1.6e6, false},     {"cos", cos1, cosl, -1.6e6, 1.6e6, false},
    };
    for (const AccuracyRow& row : rows) {
        std::mt19937_64 bits(2024);
        std::uniform_real_distribution<double> draw(row.lo, row.hi);
        double worst = 0.0, at = 0.0;
        const int n = row.log_uniform || row.hi - row.lo < 10.0 ? kArguments : kArguments / 4;
        for (int i = 0; i < n; ++i) {
            const double x = row.log_uniform ? std::exp2(draw(bits)) : draw(bits);
            const double e = ulp_error(row.f(x), row.exact(x));
            if (e > worst) worst = e, at = x;
        }
        EXPECT_LT(worst, 1.0) << row.name << " on [" << row.lo << ", " << row.hi << "] at " << at;
        std::printf("  %s on [%g, %g]: max %.3f ulp\n", row.name, row.lo, row.hi, worst);
    }
}

TEST(LaneMath, EdgeArguments) {
    const double tiny = 4.9406564584124654e-324;
    const std::tuple<double (*)(double), double, double> exact[] = {  // function, argument, value (bit for bit)
        {exp1, 709.7828, kInf}, {exp1, -745.1332191019411, tiny}, {exp1, -745.14, 0.0}, {exp1, 0.0, 1.0},
        {exp1, -0.0, 1.0},      {exp1, kInf, kInf},               {exp1, -kInf, 0.0},   {exp1, kNaN, kNaN},
        {log1, 1.0, 0.0},       {log1, 0.0, -kInf},               {log1, -0.0, -kInf},  {log1, -1.0, kNaN},
        {log1, kInf, kInf},     {log1, kNaN, kNaN},               {sin1, -0.0, -0.0},   {sin1, kInf, kNaN},
        {cos1, kNaN, kNaN}};
    for (const auto& [f, x, expected] : exact)
        EXPECT_TRUE(std::isnan(expected) ? std::isnan(f(x)) : same_bits(f(x), expected)) << x << " gives " << f(x);
    EXPECT_TRUE(std::isfinite(exp1(709.782712893384)));
    for (const double x : {2.2250738585072014e-308, tiny, 1e-310, 1.7976931348623157e308, 0.1})
        EXPECT_LT(ulp_error(log1(x), logl(x)), 1.0) << x;
    // Multiples of pi/2, where the reduction cancels most.
    for (int k = -4000; k <= 4000; k += 7) {
        const double x = k * 1.5707963267948966;
        EXPECT_LT(ulp_error(sin1(x), sinl(x)), 1.0) << k;
        EXPECT_LT(ulp_error(cos1(x), cosl(x)), 1.0) << k;
    }
}

// Arguments for the identity checks: random over each range plus the edges.
std::vector<double> identity_arguments() {
    std::vector<double> xs = {0.0, -0.0, 1.0, kInf, -kInf, kNaN, 1e-310, 709.78, -745.1, 0.02425, 0.97575};
    std::mt19937_64 bits(7);
    std::uniform_real_distribution<double> wide(-800.0, 800.0), unit(0.0, 1.0);
    for (int i = 0; i < 200'000; ++i) xs.push_back(i % 2 ? wide(bits) : unit(bits));
    while (xs.size() % 8) xs.push_back(0.5);
    return xs;
}

// Every function at 8 lanes on every supported target, at one lane, and
// through the block transforms: the same bits.
TEST(LaneMath, SameBitsOnEveryTargetAndWidth) {
    const std::vector<double> xs = identity_arguments();
    const auto by_lanes = [&xs](auto f) {
        std::vector<double> out(xs.size());
        simd::on_active_target([&] {
            for (std::size_t i = 0; i < xs.size(); i += 8) simd::store(out.data() + i, f(simd::load<V8>(xs.data() + i)));
        });
        return out;
    };
    const auto functions = std::make_tuple(
        [](auto x) { return lane_math::exp(x); }, [](auto x) { return lane_math::log(x); },
        [](auto x) {
            decltype(x) s, c;
            lane_math::sincos(x, s, c);
            return s;
        },
        [](auto x) {
            decltype(x) s, c;
            lane_math::sincos(x, s, c);
            return c;
        },
        [](auto x) { return lane_math::inverse_standard_normal(x); });
    std::apply(
        [&](auto... f) {
            (
                [&](auto fn) {
                    std::vector<double> single(xs.size());
                    for (std::size_t i = 0; i < xs.size(); ++i) single[i] = fn(V1{xs[i]})[0];
                    for (const simd::Target t : {simd::Target::scalar, simd::Target::avx2, simd::Target::avx512}) {
                        if (!simd::set_active_target(t)) continue;
                        const std::vector<double> got = by_lanes(fn);
                        EXPECT_EQ(std::memcmp(got.data(), single.data(), xs.size() * sizeof(double)), 0)
                            << simd::target_name(t);
                    }
                }(f),
                ...);
        },
        functions);
    simd::set_active_target(simd::best_target());

    // The block transforms, odd lengths included, give the scalar wrappers.
    for (const std::size_t n : {1u, 7u, 9u, 255u}) {
        std::vector<double> e(xs.begin(), xs.begin() + n), l = e, s(n), c(n);
        block_math::exp_block(e.data(), n);
        block_math::log_block(l.data(), n);
        block_math::sincos_block(xs.data(), s.data(), c.data(), n);
        for (std::size_t i = 0; i < n; ++i) {
            EXPECT_TRUE(same_bits(e[i], block_math::exp(xs[i])) || std::isnan(e[i])) << n << " " << i;
            EXPECT_TRUE(same_bits(l[i], block_math::log(xs[i])) || std::isnan(l[i])) << n << " " << i;
            double si, co;
            block_math::sincos(xs[i], &si, &co);
            EXPECT_TRUE((same_bits(s[i], si) && same_bits(c[i], co)) || std::isnan(si)) << n << " " << i;
        }
    }
}

}  // namespace
}  // namespace mc_core

// The lane math: accuracy against long double, edge arguments, and the same
// bits at every width, on every target and through the block transforms.
#include <cstdio>
#include <cstring>
#include <random>

#include "test_support.hpp"
#include "mc_core/block_math.hpp"
#include "mc_core/lane_math.hpp"

namespace mc_core {
namespace {

using namespace test_support;
using V1 = simd::f64x1;
using V8 = simd::f64x8;

#ifdef NDEBUG
constexpr int kArguments = 10'000'000;
#else
constexpr int kArguments = 100'000;  // the unoptimised sanitizer build
#endif

// |got - exact| in units of the last place of the double nearest `exact`.
double ulp_error(double got, long double exact) {
    const double nearest = static_cast<double>(exact);
    if (std::isnan(nearest) || std::isinf(nearest))
        return bits(got) == bits(nearest) || (std::isnan(got) && std::isnan(nearest)) ? 0.0 : 1e300;
    double ulp = std::nextafter(std::fabs(nearest), kInf) - std::fabs(nearest);
    if (std::fabs(nearest) < 2.2250738585072014e-308) ulp = 4.9406564584124654e-324;
    return static_cast<double>(std::fabs(static_cast<long double>(got) - exact) / ulp);
}

// One template per function, so that one lane, eight lanes on every target
// and the accuracy rows all run the same code.
enum class Function { exp, log, sin, cos, inverse_normal };

template <Function F, class V>
V lane(V x) {
    if constexpr (F == Function::exp) {
        return lane_math::exp(x);
    } else if constexpr (F == Function::log) {
        return lane_math::log(x);
    } else if constexpr (F == Function::inverse_normal) {
        return lane_math::inverse_standard_normal(x);
    } else {
        V s, c;
        lane_math::sincos(x, s, c);
        return F == Function::sin ? s : c;
    }
}

template <Function F>
double one_lane(double x) {
    return lane<F>(V1{x})[0];
}

constexpr auto exp1 = one_lane<Function::exp>;
constexpr auto log1 = one_lane<Function::log>;
constexpr auto sin1 = one_lane<Function::sin>;
constexpr auto cos1 = one_lane<Function::cos>;

struct AccuracyRow {
    const char* name;
    double (*f)(double);
    long double (*exact)(long double);
    double lo, hi;
    bool log_uniform;  // arguments 2^u, u uniform in [lo, hi]
};

// Measured maxima over these rows (10^7 arguments on the narrow ranges, a
// quarter of that on the wide ones): exp 0.77, log 0.92, sin 0.85, cos 0.82 ulp.
TEST(LaneMath, WithinOneUlpOverTheWorkingRanges) {
    const AccuracyRow rows[] = {
        {"exp", exp1, expl, -745.13, 709.78, false},   {"exp", exp1, expl, -40.0, 40.0, false},
        {"exp", exp1, expl, -1e-3, 1e-3, false},       {"log", log1, logl, -1074.0, 1024.0, true},
        {"log", log1, logl, 0.5, 2.0, false},          {"log", log1, logl, 0.0, 1.0, false},
        {"sin", sin1, sinl, 0.0, 6.283185307179586, false}, {"cos", cos1, cosl, 0.0, 6.283185307179586, false},
        {"sin", sin1, sinl, -1.6e6, 1.6e6, false},     {"cos", cos1, cosl, -1.6e6, 1.6e6, false},
    };
    for (const AccuracyRow& row : rows) {
        std::mt19937_64 engine(2024);
        std::uniform_real_distribution<double> draw(row.lo, row.hi);
        double worst = 0.0, at = 0.0;
        const int n = row.log_uniform || row.hi - row.lo < 10.0 ? kArguments : kArguments / 4;
        for (int i = 0; i < n; ++i) {
            const double x = row.log_uniform ? std::exp2(draw(engine)) : draw(engine);
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
        EXPECT_TRUE(std::isnan(expected) ? std::isnan(f(x)) : bits(f(x)) == bits(expected)) << x << " gives " << f(x);
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

// A multiply-add rounds once at every width and on every target: (1 + e)(1 - e) - 1
// is -e^2 exactly, where separate roundings give 0.
TEST(LaneMath, MulAddRoundsOnce) {
    const double e = 0x1p-52;
    on_every_target([&] {
        double one = 1.0, eight[8];
        simd::on_active_target([&] {
            one = simd::mul_add(V1{1.0 + e}, V1{1.0 - e}, V1{-1.0})[0];
            simd::store(eight, simd::mul_add(simd::broadcast<V8>(1.0 + e), simd::broadcast<V8>(1.0 - e), -1.0));
        });
        EXPECT_EQ(one, -0x1p-104);
        for (const double lane : eight) EXPECT_EQ(lane, -0x1p-104);
    });
}

// Every function at 8 lanes on every supported target gives its one-lane bits.
template <Function F>
void expect_one_lane_bits_at_every_width(const std::vector<double>& xs) {
    std::vector<double> single(xs.size()), wide(xs.size());
    for (std::size_t i = 0; i < xs.size(); ++i) single[i] = one_lane<F>(xs[i]);
    on_every_target([&] {
        simd::on_active_target([&] {
            for (std::size_t i = 0; i < xs.size(); i += 8) simd::store(wide.data() + i, lane<F>(simd::load<V8>(xs.data() + i)));
        });
        EXPECT_TRUE(bits(wide) == bits(single)) << "function " << static_cast<int>(F);
    });
}

TEST(LaneMath, SameBitsOnEveryTargetAndWidth) {
    // Random over each range plus the edges.
    std::vector<double> xs = {0.0, -0.0, 1.0, kInf, -kInf, kNaN, 1e-310, 709.78, -745.1, 0.02425, 0.97575};
    std::mt19937_64 engine(7);
    std::uniform_real_distribution<double> wide(-800.0, 800.0), unit(0.0, 1.0);
    for (int i = 0; i < 200'000; ++i) xs.push_back(i % 2 ? wide(engine) : unit(engine));
    while (xs.size() % 8) xs.push_back(0.5);
    expect_one_lane_bits_at_every_width<Function::exp>(xs);
    expect_one_lane_bits_at_every_width<Function::log>(xs);
    expect_one_lane_bits_at_every_width<Function::sin>(xs);
    expect_one_lane_bits_at_every_width<Function::cos>(xs);
    expect_one_lane_bits_at_every_width<Function::inverse_normal>(xs);

    // Rows of packs, their tail lanes gathered across rows, give each lane's own quantile.
    std::vector<double> quantiles(xs.size());
    for (std::size_t i = 0; i < xs.size(); ++i) quantiles[i] = one_lane<Function::inverse_normal>(xs[i]);
    for (const std::size_t n_rows : {1u, 3u, 64u}) {
        on_every_target([&] {
            V8 packs[64];  // aligned, as the engine's rows are
            std::memcpy(packs, xs.data(), n_rows * sizeof(V8));
            simd::on_active_target([&] { lane_math::inverse_standard_normal_rows(packs, n_rows); });
            std::vector<double> rows(8 * n_rows);
            std::memcpy(rows.data(), packs, n_rows * sizeof(V8));
            EXPECT_TRUE(bits(rows) == bits(std::vector<double>(quantiles.begin(), quantiles.begin() + 8 * n_rows)))
                << n_rows << " rows";
        });
    }

    // The block transforms, odd lengths included, give the scalar wrappers.
    for (const std::size_t n : {1u, 7u, 9u, 255u}) {
        std::vector<double> e(xs.begin(), xs.begin() + n), l = e, s(n), c(n);
        block_math::exp_block(e.data(), n);
        block_math::log_block(l.data(), n);
        block_math::sincos_block(xs.data(), s.data(), c.data(), n);
        for (std::size_t i = 0; i < n; ++i) {
            EXPECT_TRUE(bits(e[i]) == bits(block_math::exp(xs[i])) || std::isnan(e[i])) << n << " " << i;
            EXPECT_TRUE(bits(l[i]) == bits(block_math::log(xs[i])) || std::isnan(l[i])) << n << " " << i;
            double si, co;
            block_math::sincos(xs[i], &si, &co);
            EXPECT_TRUE((bits(s[i]) == bits(si) && bits(c[i]) == bits(co)) || std::isnan(si)) << n << " " << i;
        }
    }
}

}  // namespace
}  // namespace mc_core

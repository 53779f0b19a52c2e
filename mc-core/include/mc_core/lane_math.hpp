// Elementary functions over lane packs: exp, log, sqrt, sincos and the inverse
// normal CDF of every kernel, written once for every SIMD target.
//
// Contract
//  * Templates over any pack type V (simd::Pack<N>::f64, N >= 1), always
//    inlined: every lane computes every case and a select keeps its own; a
//    pack skips a case only when none of its lanes needs it. Only IEEE +, -,
//    *, /, sqrt, fused multiply-add (simd::mul_add, one rounding), compares,
//    selects and integer bit operations are used, in one fixed order: each
//    lane's result is the same bits at any width and on any target, and
//    equals the single-lane (scalar) call.
//  * The reductions are those of Sun's fdlibm (exp: Cody-Waite by ln 2; log:
//    to [sqrt(2)/2, sqrt(2)] and s = f/(2+f); sin/cos: Cody-Waite by pi/2 in
//    three 33-bit parts), its polynomials for log and sin/cos evaluated with
//    fused steps; exp(r) is a degree-13 Taylor polynomial without division.
//    Measured against long double over 10^7 arguments: exp 0.77, log 0.92,
//    sin 0.85, cos 0.82 ulp at most (lane_math_test.cpp).
//  * Ranges: exp over all doubles (overflow to +inf past 709.78, gradual
//    underflow to 0 below -745.13); log over [0, inf] including subnormals
//    (log 0 = -inf, log of a negative = NaN); sincos within 1 ulp for
//    |x| <= 2^20 pi/2 (about 1.6e6). Beyond, the reduction rounds and loses
//    accuracy progressively (about 5e-8 absolute at 1e9, none left past
//    about 1e15), but every finite argument still gives values in [-1, 1];
//    inf and NaN give NaN.
//  * inverse_standard_normal: Acklam's rational approximation in the Horner
//    order of the scalar function, its tails through this log and sqrt.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mc_core/simd.hpp"

namespace mc_core::lane_math {

namespace detail {

template <class V>
MC_LANE_INLINE simd::i64_of<V> as_int(V x) {
    return __builtin_bit_cast(simd::i64_of<V>, x);
}
template <class V>
MC_LANE_INLINE simd::u64_of<V> as_bits(V x) {
    return __builtin_bit_cast(simd::u64_of<V>, x);
}
template <class V, class I>
MC_LANE_INLINE V as_double(I bits) {
    return __builtin_bit_cast(V, bits);
}
// Packed 64-bit arithmetic right shifts do not exist before AVX-512, so the
// integer work below uses logical shifts and modular arithmetic only.
// round(x) for |x| < 2^51, ties to even: x + 1.5 * 2^52 holds round(x) in
// the low bits of its significand, i.e. its bits minus kRoundMagicBits.
constexpr double kRoundMagic = 6755399441055744.0;  // 1.5 * 2^52
constexpr std::uint64_t kRoundMagicBits = 0x4338000000000000ULL;

constexpr std::int64_t bits_of_double(double x) { return __builtin_bit_cast(std::int64_t, x); }
// |x| as its bits: integer order is the order of magnitudes, and NaNs lie
// above infinity. One integer comparison tests a range of |x| and NaN at once.
template <class V>
MC_LANE_INLINE simd::i64_of<V> magnitude_bits(V x) {
    return as_int(x) & 0x7FFFFFFFFFFFFFFF;
}
// Whether x is not in [DBL_MIN, DBL_MAX]: zero, subnormal, negative, infinite
// or NaN. Shifted by DBL_MIN's bits, the positive normals are exactly the
// integers 0 .. 0x7FDFFFFFFFFFFFFF; the sign flip makes the unsigned range
// test one signed comparison.
template <class V>
MC_LANE_INLINE auto outside_positive_normals(V x) {
    using U = simd::u64_of<V>;
    const U shifted = (as_bits(x) - 0x0010000000000000ULL) ^ 0x8000000000000000ULL;
    return __builtin_bit_cast(simd::i64_of<V>, shifted) > static_cast<std::int64_t>(0x7FDFFFFFFFFFFFFFULL ^ 0x8000000000000000ULL);
}

}  // namespace detail

template <class V>
MC_LANE_INLINE V sqrt(V x) {
    return simd::sqrt(x);
}

// Cody-Waite reduction as in fdlibm's e_exp.c, then exp(r) by its Taylor
// polynomial to degree 13 (truncation below 5e-18 for |r| <= ln(2)/2) in
// fused steps, with no division: on the wide targets it takes less time than
// fdlibm's rational form, whose division shares the divider with sqrt.
template <class V>
MC_LANE_INLINE V exp(V x) {
    constexpr double kOverflow = 7.09782712893383973096e+02;
    constexpr double kUnderflow = -7.45133219101941108420e+02;
    constexpr double kLn2Hi = 6.93147180369123816490e-01, kLn2Lo = 1.90821492927058770002e-10;
    constexpr double kInvLn2 = 1.44269504088896338700e+00;
    // 1/n! for n = 2 .. 13.
    constexpr double T2 = 1.0 / 2, T3 = 1.0 / 6, T4 = 1.0 / 24, T5 = 1.0 / 120, T6 = 1.0 / 720,
                     T7 = 1.0 / 5040, T8 = 1.0 / 40320, T9 = 1.0 / 362880, T10 = 1.0 / 3628800,
                     T11 = 1.0 / 39916800, T12 = 1.0 / 479001600, T13 = 1.0 / 6227020800;
    // Arguments beyond [-708, 708] (or NaN) need the clamps and the special
    // results below; packs without any such lane skip them.
    const bool any_unusual = simd::any(detail::magnitude_bits(x) > detail::bits_of_double(708.0));
    const V xc = any_unusual ? simd::select(x > 710.0, simd::broadcast<V>(710.0),
                                            simd::select(x < -746.0, simd::broadcast<V>(-746.0), x))
                             : x;
    const V shifted = xc * kInvLn2 + detail::kRoundMagic;
    const V fk = shifted - detail::kRoundMagic;
    const V hi = xc - fk * kLn2Hi;  // exact
    const V lo = fk * kLn2Lo;
    const V r = hi - lo;
    // Even and odd halves of the polynomial in r^2, so that the two chains
    // run side by side.
    using simd::mul_add;
    const V r2 = r * r;
    const V even = mul_add(r2, mul_add(r2, mul_add(r2, mul_add(r2, mul_add(r2, T12, T10), T8), T6), T4), T2);
    const V odd = mul_add(r2, mul_add(r2, mul_add(r2, mul_add(r2, mul_add(r2, T13, T11), T9), T7), T5), T3);
    // exp(r) - 1 - r, less the reduction's tail.
    const V above_linear = mul_add(r2, mul_add(r, odd, even), -lo);
    // 1 + hi split into its rounded sum and the exact error of that sum
    // (|hi| < 1), so that the result rounds once.
    const V head = 1.0 + hi;
    const V head_error = (1.0 - head) + hi;
    const V y = head + (head_error + above_linear);
    // y 2^k. Within [-708, 708] the result is normal and one scaling is
    // exact. Beyond, it is two exact scalings by 2^k1 and 2^k2, k1 + k2 = k,
    // so that only a subnormal result rounds (once, whatever the split): the
    // same bits wherever both apply.
    const auto k = detail::as_bits(shifted) - detail::kRoundMagicBits;
    if (!any_unusual) return y * detail::as_double<V>((k + 1023) << 52);
    const auto k1 = detail::as_bits(fk * 0.5 + detail::kRoundMagic) - detail::kRoundMagicBits;
    const auto k2 = k - k1;
    const V scaled = (y * detail::as_double<V>((k1 + 1023) << 52)) * detail::as_double<V>((k2 + 1023) << 52);
    V result = simd::select(x > kOverflow, simd::broadcast<V>(__builtin_inf()), scaled);
    result = simd::select(x < kUnderflow, V{}, result);
    return simd::select(x != x, x + x, result);
}

// fdlibm's e_log.c.
template <class V>
MC_LANE_INLINE V log(V x) {
    using U = simd::u64_of<V>;
    using I = simd::i64_of<V>;
    constexpr double kLn2Hi = 6.93147180369123816490e-01, kLn2Lo = 1.90821492927058770002e-10;
    constexpr double Lg1 = 6.666666666666735130e-01, Lg2 = 3.999999999940941908e-01,
                     Lg3 = 2.857142874366239149e-01, Lg4 = 2.222219843214978396e-01,
                     Lg5 = 1.818357216161805012e-01, Lg6 = 1.531383769920937332e-01,
                     Lg7 = 1.479819860511658591e-01;
    // Subnormal, zero, negative, infinite and NaN arguments need the scaling
    // and the special results below; packs without any such lane skip them.
    const auto subnormal = x < 2.2250738585072014e-308;
    const bool any_unusual = simd::any(detail::outside_positive_normals(x));
    const V xs = any_unusual ? simd::select(subnormal, x * 18014398509481984.0, x) : x;  // 2^54
    U bits = detail::as_bits(xs);
    U hx = bits >> 32;
    // The exponent, modulo 2^64 (negative values wrap and convert back below).
    U k = (hx >> 20 & 0x7FF) - 1023 - (__builtin_bit_cast(U, subnormal) & 54);
    hx = hx & 0x000FFFFF;
    const U i = (hx + 0x95F64) & 0x100000;
    // Normalise into [sqrt(2)/2, sqrt(2)): the high word gets exponent 0 or -1.
    bits = ((hx | (i ^ 0x3FF00000)) << 32) | (bits & 0xFFFFFFFFULL);
    k = k + (i >> 20);
    const V f = detail::as_double<V>(bits) - 1.0;
    // k is small: its double by the exponent-bias trick (no packed int64
    // conversion on the baseline targets).
    const V dk = detail::as_double<V>(k + detail::kRoundMagicBits) - detail::kRoundMagic;
    const V s = f / (2.0 + f);
    const V z = s * s;
    const V w = z * z;
    using simd::mul_add;
    const V t1 = w * mul_add(w, mul_add(w, Lg6, Lg4), Lg2);
    const V R = mul_add(z, mul_add(w, mul_add(w, mul_add(w, Lg7, Lg5), Lg3), Lg1), t1);
    // fdlibm's choice between the two recombinations, by the significand.
    const I wide = __builtin_bit_cast(I, (hx - 0x6147A) | (0x6B851 - hx));
    const V hfsq = 0.5 * f * f;
    const V with_hfsq = dk * kLn2Hi - ((hfsq - (s * (hfsq + R) + dk * kLn2Lo)) - f);
    const V without = dk * kLn2Hi - ((s * (f - R) - dk * kLn2Lo) - f);
    V result = simd::select(wide > 0, with_hfsq, without);
    if (!any_unusual) return result;
    result = simd::select(x == 0.0, simd::broadcast<V>(-__builtin_inf()), result);
    result = simd::select(x < 0.0, simd::broadcast<V>(__builtin_nan("")), result);
    return simd::select((x != x) | (x == __builtin_inf()), x + x, result);
}

namespace detail {

// fdlibm's __kernel_sin(x, y, 1) and __kernel_cos(x, y) on |x| <= ~pi/4, y the
// tail of the reduced argument.
template <class V>
MC_LANE_INLINE V kernel_sin(V x, V y) {
    constexpr double S1 = -1.66666666666666324348e-01, S2 = 8.33333333332248946124e-03,
                     S3 = -1.98412698298579493134e-04, S4 = 2.75573137070700676789e-06,
                     S5 = -2.50507602534068634195e-08, S6 = 1.58969099521155010221e-10;
    const V z = x * x;
    const V v = z * x;
    using simd::mul_add;
    const V r = mul_add(z, mul_add(z, mul_add(z, mul_add(z, S6, S5), S4), S3), S2);
    return x - ((z * (0.5 * y - v * r) - y) - v * S1);
}

template <class V>
MC_LANE_INLINE V kernel_cos(V x, V y) {
    using I = simd::i64_of<V>;
    constexpr double C1 = 4.16666666666666019037e-02, C2 = -1.38888888888741095749e-03,
                     C3 = 2.48015872894767294178e-05, C4 = -2.75573143513906633035e-07,
                     C5 = 2.08757232129817482790e-09, C6 = -1.13596475577881948265e-11;
    const V z = x * x;
    using simd::mul_add;
    const V r = z * mul_add(z, mul_add(z, mul_add(z, mul_add(z, mul_add(z, C6, C5), C4), C3), C2), C1);
    const V small = 1.0 - (0.5 * z - (z * r - x * y));
    const I abs_bits = as_int(x) & 0x7FFFFFFFFFFFFFFF;
    // x / 4 with its low word cleared, or 0.28125 beyond 0.78125.
    const V quarter = as_double<V>((abs_bits - (I{} + (std::int64_t{0x00200000} << 32))) &
                                   static_cast<std::int64_t>(0xFFFFFFFF00000000ULL));
    const V abs_x = as_double<V>(abs_bits);
    const V qx = simd::select(abs_x > 0.78125, simd::broadcast<V>(0.28125), quarter);
    const V hz = 0.5 * z - qx;
    const V a = 1.0 - qx;
    const V large = a - (hz - (z * r - x * y));
    return simd::select(abs_x < 0.3, small, large);
}

}  // namespace detail

template <class V>
MC_LANE_INLINE void sincos(V x, V& s, V& c) {
    using I = simd::i64_of<V>;
    constexpr double kInvPio2 = 6.36619772367581382433e-01;
    constexpr double kPio2_1 = 1.57079632673412561417e+00;  // first 33 bits of pi/2
    constexpr double kPio2_2 = 6.07710050630396597660e-11, kPio2_2t = 2.02226624879595063154e-21;
    constexpr double kPio2_3 = 2.02226624871116645580e-21, kPio2_3t = 8.47842766036889956997e-32;
    constexpr double kPio4 = 7.85398163397448278999e-01;
    const V shifted = x * kInvPio2 + detail::kRoundMagic;
    const V fn = shifted - detail::kRoundMagic;
    const I n = detail::as_int(shifted) & 3;
    // Cody-Waite reduction as in fdlibm's __ieee754_rem_pio2: each fn * part
    // is exact for |fn| < 2^20, and x - fn * kPio2_1 is exact. A third step
    // replaces the second where the second cancelled more than 49 bits (its
    // result is then exact, so nothing is lost).
    const V r1 = x - fn * kPio2_1;
    V w = fn * kPio2_2;
    V r = r1 - w;
    w = fn * kPio2_2t - ((r1 - r) - w);
    const V y_second = r - w;
    const I exponent_x = __builtin_bit_cast(I, (detail::as_bits(x) >> 52) & 0x7FF);
    const I exponent_y = __builtin_bit_cast(I, (detail::as_bits(y_second) >> 52) & 0x7FF);
    const auto third = (exponent_x - exponent_y) > 49;
    if (simd::any(third)) {
        const V w3 = fn * kPio2_3;
        const V r3 = r - w3;
        const V tail3 = fn * kPio2_3t - ((r - r3) - w3);
        r = simd::select(third, r3, r);
        w = simd::select(third, tail3, w);
    }
    V y0 = r - w;
    V y1 = (r - y0) - w;
    // Past 2^20 pi/2 the products fn * kPio2_k round, and past 2^51 fn is not
    // even the quotient: y0 can land far outside [-pi/4, pi/4], where the
    // kernels leave [-1, 1] and overflow. Within the limit |y0| < 0.79, so
    // only such wild lanes are clamped (to +-pi/4, tail dropped); the NaN of
    // inf and NaN arguments fails the comparison and stays. Unconditional:
    // a select costs less than a test.
    const auto wild = detail::as_double<V>(detail::as_bits(y0) & 0x7FFFFFFFFFFFFFFFULL) > 1.0;
    const V clamped = detail::as_double<V>((detail::as_bits(y0) & 0x8000000000000000ULL) |
                                           detail::as_bits(simd::broadcast<V>(kPio4)));
    y0 = simd::select(wild, clamped, y0);
    y1 = simd::select(wild, V{}, y1);
    const V ks = detail::kernel_sin(y0, y1);
    const V kc = detail::kernel_cos(y0, y1);
    const auto odd = (n & 1) != 0;
    const auto sin_negative = (n & 2) != 0;
    const auto cos_negative = ((n + 1) & 2) != 0;
    const V sin_value = simd::select(odd, kc, ks);
    const V cos_value = simd::select(odd, ks, kc);
    s = simd::select(sin_negative, -sin_value, sin_value);
    c = simd::select(cos_negative, -cos_value, cos_value);
}

// Acklam's rational approximation of the standard normal quantile (relative
// error about 1.15e-9), without a refinement step. The argument is clamped to
// [DBL_MIN, 1 - 2^-52] first; both tails use sqrt(-2 log q).
namespace acklam {
inline constexpr double a1 = -39.69683028665376, a2 = 220.9460984245205, a3 = -275.9285104469687,
                        a4 = 138.357751867269, a5 = -30.66479806614716, a6 = 2.506628277459239;
inline constexpr double b1 = -54.47609879822406, b2 = 161.5858368580409, b3 = -155.6989798598866,
                        b4 = 66.80131188771972, b5 = -13.28068155288572;
inline constexpr double c1 = -0.007784894002430293, c2 = -0.3223964580411365, c3 = -2.400758277161838,
                        c4 = -2.549732539343734, c5 = 4.374664141464968, c6 = 2.938163982698783;
inline constexpr double d1 = 0.007784695709041462, d2 = 0.3224671290700398, d3 = 2.445134137142996,
                        d4 = 3.754408661907416;
inline constexpr double kLowTail = 0.02425;
inline constexpr double kHighTail = 1.0 - kLowTail;
inline constexpr double kMin = 2.2250738585072014e-308;  // DBL_MIN
inline constexpr double kMax = 0.9999999999999998;       // 1 - 2^-52
}  // namespace acklam

namespace detail {

// std::max then std::min: a NaN argument stays NaN.
template <class V>
MC_LANE_INLINE V clamp_probability(V p) {
    using namespace acklam;
    p = simd::select(p < kMin, simd::broadcast<V>(kMin), p);
    return simd::select(kMax < p, simd::broadcast<V>(kMax), p);
}

template <class V>
MC_LANE_INLINE V central_quantile(V p) {
    using namespace acklam;
    const V q = p - 0.5;
    const V r = q * q;
    return q * (((((a1 * r + a2) * r + a3) * r + a4) * r + a5) * r + a6) /
           (((((b1 * r + b2) * r + b3) * r + b4) * r + b5) * r + 1.0);
}

// The quantile of a clamped p in either tail; lanes in neither give a
// value of no use.
template <class V>
MC_LANE_INLINE V tail_quantile(V p) {
    using namespace acklam;
    const V tail_p = simd::select(p < kLowTail, p, 1.0 - p);
    const V u = lane_math::sqrt(-2.0 * lane_math::log(tail_p));
    const V tail = (((((c1 * u + c2) * u + c3) * u + c4) * u + c5) * u + c6) /
                   ((((d1 * u + d2) * u + d3) * u + d4) * u + 1.0);
    return simd::select(p < kLowTail, tail, -tail);
}

// Two comparisons joined by | or & in a function of its own are lowered by
// GCC to one scalar comparison per lane: the upper tail is folded onto the
// lower one instead, leaving one comparison (NaN in neither tail).
template <class V>
MC_LANE_INLINE simd::mask_of<V> in_tails(V p) {
    return simd::select(p > acklam::kHighTail, V{}, p) < acklam::kLowTail;
}

}  // namespace detail

template <class V>
MC_LANE_INLINE V inverse_standard_normal(V p) {
    p = detail::clamp_probability(p);
    const V central = detail::central_quantile(p);
    const auto tails = detail::in_tails(p);
    // The tails hold under 5% of the probability: most packs skip them.
    if (!simd::any(tails)) return central;
    return simd::select(tails, detail::tail_quantile(p), central);
}

// rows[0 .. n) replaced by their quantiles, each lane's the one
// inverse_standard_normal gives it. The tail lanes of all rows are gathered
// into whole packs first: a pack of eight has a lane in the tails a third of
// the time, a lane only one time in twenty.
template <class V>
MC_LANE_INLINE void inverse_standard_normal_rows(V* rows, std::size_t n) {
    constexpr std::size_t kLanes = simd::lanes_of<V>;
    double* slots[kLanes];
    V gathered = simd::broadcast<V>(0.5);
    std::size_t queued = 0;
    const auto flush = [&]() MC_PACK_LAMBDA {
        const V tail = detail::tail_quantile(gathered);
        for (std::size_t i = 0; i < queued; ++i) *slots[i] = tail[i];
        queued = 0;
        gathered = simd::broadcast<V>(0.5);
    };
    for (std::size_t d = 0; d < n; ++d) {
        const V p = detail::clamp_probability(rows[d]);
        const auto tails = detail::in_tails(p);
        rows[d] = detail::central_quantile(p);
        if (!simd::any(tails)) continue;
        // A pack's lanes are its doubles (vector types alias their element type).
        double* lanes = reinterpret_cast<double*>(&rows[d]);
        for (std::size_t l = 0; l < kLanes; ++l) {
            if (!tails[l]) continue;
            gathered[queued] = p[l];
            slots[queued++] = lanes + l;
            if (queued == kLanes) flush();
        }
    }
    if (queued > 0) flush();
}

}  // namespace mc_core::lane_math

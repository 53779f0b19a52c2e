#include "mc_core/random.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>

#include "mc_core/error.hpp"
#include "mc_core/lane_math.hpp"

namespace mc_core {

// ---------------------------------------------------------------------------
// Inverse normal CDF: Acklam's approximation, the lane math on one lane.

double inverse_standard_normal(double p) { return lane_math::inverse_standard_normal(simd::f64x1{p})[0]; }

// ---------------------------------------------------------------------------
// Bulk normals. Pairs are drawn as (u1, u2) in stream order into small stack
// arrays, then transformed with the block functions; each pair yields its cosine
// value first and its sine value second, exactly as the scalar path does.

void NormalRng::fill_standard_normals(double* out, std::size_t n) {
    if (n == 0) return;
    if (has_spare) {
        has_spare = false;
        *out++ = spare;
        --n;
    }
    constexpr std::size_t kPairs = 128;
    double radius[kPairs], angle[kPairs], sines[kPairs], cosines[kPairs];
    while (n > 0) {
        const std::size_t pairs = std::min(kPairs, (n + 1) / 2);
        for (std::size_t j = 0; j < pairs; ++j) {
            radius[j] = next_uniform();
            angle[j] = next_uniform();
        }
        block_math::log_block(radius, pairs);
        for (std::size_t j = 0; j < pairs; ++j) {
            radius[j] = -2.0 * radius[j];
            angle[j] = kTwoPi * angle[j];
        }
        block_math::sqrt_block(radius, pairs);
        block_math::sincos_block(angle, sines, cosines, pairs);
        const std::size_t whole = std::min(pairs, n / 2);
        for (std::size_t j = 0; j < whole; ++j) {
            out[2 * j] = radius[j] * cosines[j];
            out[2 * j + 1] = radius[j] * sines[j];
        }
        out += 2 * whole;
        n -= 2 * whole;
        if (whole < pairs) {  // odd tail: the sine waits for the next draw
            *out++ = radius[whole] * cosines[whole];
            spare = radius[whole] * sines[whole];
            has_spare = true;
            n = 0;
        }
    }
}

// ---------------------------------------------------------------------------
// Structured samplers.

namespace {

// The first `count` primes by a sieve of Eratosthenes over a bound from the
// prime number theorem (p_n < n (ln n + ln ln n) for n >= 6, Rosser 1941),
// grown if ever too small.
std::vector<std::uint32_t> first_primes(std::uint64_t count) {
    std::vector<std::uint32_t> primes;
    primes.reserve(count);
    const double n = static_cast<double>(std::max<std::uint64_t>(count, 6));
    std::uint64_t limit = static_cast<std::uint64_t>(n * (std::log(n) + std::log(std::log(n)))) + 16;
    while (primes.size() < count) {
        primes.clear();
        std::vector<bool> composite(limit + 1, false);
        for (std::uint64_t candidate = 2; candidate <= limit && primes.size() < count; ++candidate) {
            if (composite[candidate]) continue;
            primes.push_back(static_cast<std::uint32_t>(candidate));
            for (std::uint64_t multiple = candidate * candidate; multiple <= limit; multiple += candidate)
                composite[multiple] = true;
        }
        limit *= 2;
    }
    return primes;
}

std::uint64_t coprime_odd_multiplier(std::uint64_t hash, std::uint64_t n) {
    if (n < 2) return 1;
    std::uint64_t a = (hash % n) | 1;
    while (std::gcd(a, n) != 1) {
        a = a > UINT64_MAX - 2 ? UINT64_MAX : a + 2;
        if (a >= n) a = 1;
    }
    return a;
}

double clamp_unit(double u) { return std::min(std::max(u, kDblMin), kOneMinusUlp); }

// floor(x) for 0 <= x < 2^52, as std::floor gives it.
template <class V>
MC_LANE_INLINE V floor_nonnegative(V x) {
    constexpr double kTwo52 = 4503599627370496.0;
    const V rounded = (x + kTwo52) - kTwo52;
    return simd::select(rounded > x, rounded - 1.0, rounded);
}

// The scalar Halton digit loop for one dimension of a pack of points, one lane
// per point. k holds the points' i + 1, all in [1, 2^52): every quotient,
// digit and product is then an exact double, so each lane adds the same
// digits times the same powers as the scalar loop. A lane whose digits have
// run out keeps adding f * 0, which leaves its sum unchanged. The last lane
// holds the largest k (lanes take ascending points), so its digits run out
// last: one lane tells when the pack is done.
template <class V>
MC_LANE_INLINE V halton_pack(V k, double base, double shift) {
    const double inverse = 1.0 / base;
    // The digit weights are the same in every lane: divided once, not per lane.
    double f = 1.0;
    V v{};
    do {
        f = f / base;
        // The quotient from the reciprocal is off by at most one.
        V q = floor_nonnegative(k * inverse);
        V digit = k - q * base;
        const auto low = digit < 0.0;
        q = simd::select(low, q - 1.0, q);
        digit = simd::select(low, digit + base, digit);
        const auto high = digit >= base;
        q = simd::select(high, q + 1.0, q);
        digit = simd::select(high, digit - base, digit);
        v = v + f * digit;
        k = q;
    } while (k[simd::lanes_of<V> - 1] != 0.0);
    v = simd::select(v < kDblMin, simd::broadcast<V>(kDblMin), v);
    const V u = shift + v;
    return u - floor_nonnegative(u);  // Cranley-Patterson rotation
}

// Dimensions 0 .. m-1 of points first .. first + points - 1 as rows (point l
// of dimension d at rows[d * points + l]), a pack of points at a time on the
// active target: value(pack, index, d) gives dimension d of the points whose
// indices `index` holds. Padding lanes repeat the last point.
template <class Value>
void fill_point_rows(std::uint64_t first, std::size_t points, std::uint64_t m, double* rows, Value value) {
    simd::on_active_target([&](auto pack) {
        using V = typename decltype(pack)::type;
        constexpr std::size_t kWidth = simd::lanes_of<V>;
        for (std::size_t l0 = 0; l0 < points; l0 += kWidth) {
            const std::size_t here = std::min(kWidth, points - l0);
            simd::u64_of<V> index;
            for (std::size_t l = 0; l < kWidth; ++l) index[l] = first + l0 + std::min(l, here - 1);
            for (std::uint64_t d = 0; d < m; ++d) {
                const V u = value(pack, index, d);
                if (here == kWidth)
                    simd::store(rows + d * points + l0, u);
                else
                    for (std::size_t l = 0; l < here; ++l) rows[d * points + l0 + l] = u[l];
            }
        }
    });
}

}  // namespace

StructuredNormalSampler::StructuredNormalSampler(SamplingMethod sampling, std::uint64_t seed,
                                                 std::uint64_t n_points, std::uint64_t dimensions,
                                                 SobolLength length)
    : n_points_(n_points),
      remainder_magic_(n_points == 0 ? 0 : ~static_cast<unsigned __int128>(0) / n_points + 1) {
    switch (sampling) {
        case SamplingMethod::randomized_halton: {
            kind_ = Kind::randomized_halton;
            const std::uint64_t count = std::max<std::uint64_t>(dimensions, 2);
            bases_ = first_primes(count);
            shifts_.reserve(count);
            for (std::uint64_t d = 0; d < count; ++d)
                shifts_.push_back(unit_from_bits(splitmix64_mix(seed + (d + 1) * kGoldenGamma)));
            return;
        }
        case SamplingMethod::latin_hypercube: {
            kind_ = Kind::latin_hypercube;
            const std::uint64_t count = std::max<std::uint64_t>(dimensions, 1);
            latin_ = allocate_vector<LatinHypercubeDimension>(count, "Latin hypercube dimensions");
            for (std::uint64_t d = 0; d < count; ++d) {
                const std::uint64_t h =
                    splitmix64_mix(((d * kGoldenGamma) ^ (seed ^ 0xD1B54A32D192ED03ULL)) + kGoldenGamma);
                const std::uint64_t offset_hash = splitmix64_mix((h ^ 0xA24BAED4963EE407ULL) + kGoldenGamma);
                latin_[d] = {coprime_odd_multiplier(h, n_points), n_points == 0 ? 0 : offset_hash % n_points,
                             splitmix64_mix((h ^ 0x9FB21C651E98DF25ULL) + kGoldenGamma)};
            }
            return;
        }
        case SamplingMethod::scrambled_sobol:
        case SamplingMethod::scrambled_sobol_brownian_bridge:
            kind_ = Kind::scrambled_sobol;
            sobol_seed_ = static_cast<std::uint32_t>(seed);
            sobol_length_ = length;
            // Refused up front rather than wrapped into a second pass over the sequence.
            if (length == SobolLength::full_length && n_points > sobol_burley::kFullLengthPoints)
                fail("scrambled Sobol sampling takes at most 2^32 = 4294967296 paths, got " +
                     std::to_string(n_points));
            return;
        case SamplingMethod::pseudorandom:
            break;
    }
    fail("internal error: entered unreachable code: pseudorandom sampling is handled by the PRNG runtime path");
}

double StructuredNormalSampler::halton_uniform(std::uint64_t i, std::uint64_t d) const {
    std::uint64_t k = i + 1;
    const std::uint64_t base = bases_[d];
    if (k != 0 && k < (std::uint64_t{1} << 52))
        return halton_pack(simd::f64x1{static_cast<double>(k)}, static_cast<double>(base), shifts_[d])[0];
    // Past the exact-double range, the same digits in integers.
    double v = kDblMin;
    if (k != 0) {
        double f = 1.0;
        v = 0.0;
        do {
            f = f / static_cast<double>(base);
            const std::uint64_t q = k / base;
            v = v + f * static_cast<double>(k - q * base);
            k = q;
        } while (k != 0);
        v = std::max(v, kDblMin);
    }
    double u = shifts_[d] + v;
    return u - std::floor(u);  // Cranley-Patterson rotation
}

// Dimension d of the points in `index`, one lane per point.
template <class V>
MC_LANE_INLINE V StructuredNormalSampler::latin_pack(simd::u64_of<V> index, std::uint64_t d) const {
    V stratum;
    for (std::size_t l = 0; l < simd::lanes_of<V>; ++l) stratum[l] = static_cast<double>(latin_stratum(index[l], d));
    return latin_unit(index, stratum, d);
}

// The strata of points first, first + 1, ... (one a lane), for point counts
// up to 2^32 and points below the count. There multiplier * i + offset stays
// below 2^64, so stratum(i + l) = (stratum(i) + l * multiplier) mod n: one
// remainder a pack instead of one a lane. The sum is below 8n and is reduced
// by 4n, 2n and n in turn; every value is below 2^35, so signed compares and
// the exponent-bias conversion are exact.
template <class V>
MC_LANE_INLINE V StructuredNormalSampler::latin_consecutive_strata(std::uint64_t first, std::uint64_t d) const {
    using I = simd::i64_of<V>;
    const auto n = static_cast<std::int64_t>(n_points_);
    I lane;
    for (std::size_t l = 0; l < simd::lanes_of<V>; ++l) lane[l] = static_cast<std::int64_t>(l);
    I t = static_cast<std::int64_t>(latin_stratum(first, d)) + lane * static_cast<std::int64_t>(latin_[d].multiplier);
    for (const std::int64_t multiple : {4 * n, 2 * n, n}) t = simd::select(t >= multiple, t - multiple, t);
    return simd::double_of_bits(__builtin_bit_cast(simd::u64_of<V>, t) | 0x4330000000000000ULL) - 4503599627370496.0;
}

template <class V>
MC_LANE_INLINE V StructuredNormalSampler::latin_unit(simd::u64_of<V> index, V stratum, std::uint64_t d) const {
    const V jitter =
        unit_from_bits(splitmix64_mix((latin_[d].jitter_key ^ (index * 0xBF58476D1CE4E5B9ULL)) + kGoldenGamma));
    const V u = (jitter + stratum) / static_cast<double>(n_points_);
    // clamp_unit, lane by lane.
    const V low = simd::select(u < kDblMin, simd::broadcast<V>(kDblMin), u);
    return simd::select(kOneMinusUlp < low, simd::broadcast<V>(kOneMinusUlp), low);
}

double StructuredNormalSampler::latin_uniform(std::uint64_t i, std::uint64_t d) const {
    return latin_pack<simd::f64x1>(simd::u64_of<simd::f64x1>{i}, d)[0];
}

double StructuredNormalSampler::halton_normal(std::uint64_t i, std::uint64_t d) const {
    return inverse_standard_normal(halton_uniform(i, d));
}

double StructuredNormalSampler::latin_normal(std::uint64_t i, std::uint64_t d) const {
    return inverse_standard_normal(latin_uniform(i, d));
}

void StructuredNormalSampler::fill_uniforms(std::uint64_t i, std::uint64_t m, double* out) const {
    switch (kind_) {
        case Kind::randomized_halton:
            if (m > bases_.size()) fail("randomized Halton dimension out of range");
            for (std::uint64_t d = 0; d < m; ++d) out[d] = halton_uniform(i, d);
            return;
        case Kind::latin_hypercube:
            if (m > latin_.size()) fail("Latin hypercube dimension out of range");
            for (std::uint64_t d = 0; d < m; ++d) out[d] = latin_uniform(i, d);
            return;
        case Kind::scrambled_sobol:
            fill_scrambled_sobol_point_uniforms(sobol_seed_, i, m, out, sobol_length_);
            return;
    }
}

void StructuredNormalSampler::fill_uniform_rows(std::uint64_t first, std::size_t points, std::uint64_t m,
                                                double* rows) const {
    switch (kind_) {
        case Kind::randomized_halton: {
            if (m > bases_.size()) fail("randomized Halton dimension out of range");
            constexpr std::uint64_t kExact = std::uint64_t{1} << 52;
            if (points >= kExact || first >= kExact - points) {
                for (std::uint64_t d = 0; d < m; ++d)
                    for (std::size_t l = 0; l < points; ++l) rows[d * points + l] = halton_uniform(first + l, d);
                return;
            }
            fill_point_rows(first, points, m, rows, [&](auto pack, auto index, std::uint64_t d) MC_PACK_LAMBDA {
                using V = typename decltype(pack)::type;
                // index + 1 < 2^52: its double by the exponent-bias trick.
                const V k = simd::double_of_bits((index + 1) | 0x4330000000000000ULL) - 4503599627370496.0;
                return halton_pack(k, static_cast<double>(bases_[d]), shifts_[d]);
            });
            return;
        }
        case Kind::latin_hypercube:
            if (m > latin_.size()) fail("Latin hypercube dimension out of range");
            // The choice stays outside the point loop: tested per pack it costs a few per cent.
            if (n_points_ <= (std::uint64_t{1} << 32) && first <= n_points_ && points <= n_points_ - first) {
                fill_point_rows(first, points, m, rows, [&](auto pack, auto index, std::uint64_t d) MC_PACK_LAMBDA {
                    using V = typename decltype(pack)::type;
                    // Padding lanes (index repeats the last point) get strata past it: they are not stored.
                    return latin_unit(index, latin_consecutive_strata<V>(index[0], d), d);
                });
                return;
            }
            fill_point_rows(first, points, m, rows, [&](auto pack, auto index, std::uint64_t d) MC_PACK_LAMBDA {
                return latin_pack<typename decltype(pack)::type>(index, d);
            });
            return;
        case Kind::scrambled_sobol:
            fill_scrambled_sobol_rows(sobol_seed_, first, points, m, rows, sobol_length_);
            return;
    }
}

double StructuredNormalSampler::normal(std::uint64_t i, std::uint64_t d) const {
    switch (kind_) {
        case Kind::randomized_halton:
            if (d >= bases_.size()) fail("randomized Halton dimension out of range");
            return halton_normal(i, d);
        case Kind::latin_hypercube:
            if (d >= latin_.size()) fail("Latin hypercube dimension out of range");
            return latin_normal(i, d);
        case Kind::scrambled_sobol:
            break;
    }
    const auto dimension = static_cast<std::uint32_t>(d % sobol_burley::kDimensions);
    if (sobol_length_ == SobolLength::full_length) {
        sobol_burley::check_full_length_points(i, 1);
        const double u = sobol_burley::sample_full_length(static_cast<std::uint32_t>(i), dimension,
                                                          sobol_seed_ + static_cast<std::uint32_t>(d >> 8));
        return inverse_standard_normal(clamp_unit(u));
    }
    const float u = sobol_burley::sample(static_cast<std::uint32_t>(i & 0xFFFF), dimension,
                                         sobol_burley::block_seed(sobol_seed_, i) + static_cast<std::uint32_t>(d >> 8));
    return inverse_standard_normal(clamp_unit(static_cast<double>(u)));
}

double StructuredNormalSampler::standard_normal(std::uint64_t i) const { return normal(i, 0); }

void StructuredNormalSampler::fill_standard_normals(std::uint64_t i, std::uint64_t m,
                                                    std::vector<double>& out) const {
    out.clear();
    out.reserve(m);
    switch (kind_) {
        case Kind::randomized_halton:
            if (m > bases_.size()) fail("randomized Halton dimension out of range");
            for (std::uint64_t d = 0; d < m; ++d) out.push_back(halton_normal(i, d));
            return;
        case Kind::latin_hypercube:
            if (m > latin_.size()) fail("Latin hypercube dimension out of range");
            for (std::uint64_t d = 0; d < m; ++d) out.push_back(latin_normal(i, d));
            return;
        case Kind::scrambled_sobol:
            fill_scrambled_sobol_point_standard_normals(sobol_seed_, i, m, out, sobol_length_);
            return;
    }
}

// ---------------------------------------------------------------------------
// Brownian bridge.

BrownianBridgeWorkspace::BrownianBridgeWorkspace(SamplingMethod sampling, std::uint64_t n, double maturity) {
    if (sampling != SamplingMethod::scrambled_sobol_brownian_bridge) return;
    // The standardised increments do not depend on the horizon, but at a zero
    // horizon they would be 0/0; build that degenerate bridge on a unit horizon.
    if (maturity == 0.0) maturity = 1.0;
    n_steps_ = n;
    sqrt_t_ = std::sqrt(maturity);
    const double dt = maturity / static_cast<double>(n);
    inv_sqrt_dt_ = 1.0 / std::sqrt(dt);
    positions_ = allocate_vector<double>(n + 1, "Brownian bridge positions");
    increments_ = allocate_vector<double>(n, "Brownian bridge increments");
    normals_.reserve(n);

    std::vector<BridgeNode> plan;
    plan.reserve(n > 0 ? n - 1 : 0);
    struct Interval {
        std::uint64_t left, right;
    };
    std::vector<Interval> stack{{0, n}};
    std::uint64_t coordinate = 1;
    while (!stack.empty()) {
        const Interval interval = stack.back();
        stack.pop_back();
        if (interval.right <= interval.left + 1) continue;
        const std::uint64_t mid = (interval.left + interval.right) / 2;
        const double t_left = dt * static_cast<double>(interval.left);
        const double t_mid = dt * static_cast<double>(mid);
        const double t_right = dt * static_cast<double>(interval.right);
        plan.push_back({interval.left, mid, interval.right, (t_right - t_mid) / (t_right - t_left),
                        (t_mid - t_left) / (t_right - t_left),
                        std::sqrt((t_mid - t_left) * (t_right - t_mid) / (t_right - t_left)), coordinate++});
        stack.push_back({mid, interval.right});
        stack.push_back({interval.left, mid});  // the left half is split next
    }
    plan_ = std::move(plan);
}

std::optional<std::span<const double>> BrownianBridgeWorkspace::step_normals(const StructuredNormalSampler& sampler,
                                                                            std::uint64_t i) {
    if (!plan_) return std::nullopt;
    sampler.fill_standard_normals(i, n_steps_, normals_);
    const double* z = normals_.data();
    double* w = positions_.data();
    w[0] = 0.0;  // every other grid point is written below
    w[n_steps_] = sqrt_t_ * z[0];
    for (const BridgeNode& node : *plan_)
        w[node.mid] = (node.left_weight * w[node.left] + node.right_weight * w[node.right]) +
                      node.std_dev * z[node.normal_index];
    for (std::uint64_t k = 1; k <= n_steps_; ++k) increments_[k - 1] = inv_sqrt_dt_ * (w[k] - w[k - 1]);
    return std::span<const double>(increments_);
}

}  // namespace mc_core

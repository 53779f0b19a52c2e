#include "mc_core/early_exercise.hpp"
#include "mc_core/internal/lsm.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstring>
#include <numeric>
#include <type_traits>
#include <utility>

#include "mc_core/block_math.hpp"
#include "mc_core/engine.hpp"
#include "mc_core/error.hpp"
#include "mc_core/random.hpp"
#include "mc_core/simd.hpp"

namespace mc_core::runtime::cpu {

using block_math::positive_part;

// ---------------------------------------------------------------------------
// Building blocks.

namespace lsm {

int effective_basis_degree(std::uint64_t requested) {
    if (requested == 0) return 1;
    return static_cast<int>(std::min(requested, kMaxBasisDegree));
}

double integer_power(double base, std::int32_t exponent) {
    // The magnitude as unsigned, so that INT32_MIN has one too.
    std::uint32_t bits = exponent < 0 ? 0u - static_cast<std::uint32_t>(exponent) : static_cast<std::uint32_t>(exponent);
    double result = 1.0;
    double power = base;
    while (bits != 0) {
        if (bits & 1u) result *= power;
        power *= power;
        bits >>= 1;
    }
    return exponent < 0 ? 1.0 / result : result;
}

int pivot_row(const NormalEquations& system, int column, int degree) {
    int best = column;
    double largest = std::fabs(system.a[column][column]);
    for (int row = column + 1; row <= degree; ++row) {
        const double magnitude = std::fabs(system.a[row][column]);
        if (magnitude > largest) {
            best = row;
            largest = magnitude;
        }
    }
    return best;
}

bool solve_normal_equations(NormalEquations& system, int degree) {
    auto& a = system.a;
    auto& b = system.b;
    for (int c = 0; c <= degree; ++c) {
        const int p = pivot_row(system, c, degree);
        const double pivot = a[p][c];
        if (std::fabs(pivot) <= kSingularPivot) return false;
        if (p != c) {
            std::swap(a[p], a[c]);
            std::swap(b[p], b[c]);
        }
        for (int j = c; j <= degree; ++j) a[c][j] = a[c][j] / pivot;
        b[c] = b[c] / pivot;
        // Jordan's variant: clear the column above the pivot as well as below,
        // so no back substitution follows.
        for (int r = 0; r <= degree; ++r) {
            if (r == c) continue;
            const double factor = a[r][c];
            if (factor == 0.0) continue;
            for (int j = c; j <= degree; ++j) a[r][j] = a[r][j] - factor * a[c][j];
            b[r] = b[r] - factor * b[c];
        }
    }
    return true;
}

LsmGrid LsmGrid::from(double r, double sigma, double t, std::uint64_t n_steps) {
    const double dt = t / static_cast<double>(n_steps);
    return {dt, block_math::exp(-(r * dt)), dt * (r - 0.5 * (sigma * sigma)), sigma * block_math::sqrt(dt)};
}

namespace {

using simd::f64x8;
constexpr std::size_t kLanes = simd::kLanes;

// Calls f(std::integral_constant<int, I>{}) for I = 0..N-1. The kernels index
// their small arrays (basis values, sums) only through it: constant indices
// let the compiler keep every element in a register.
template <int N, class F, int... I>
MC_LANE_INLINE void static_for_impl(F& f, std::integer_sequence<int, I...>) {
    (f(std::integral_constant<int, I>{}), ...);
}
template <int N, class F>
MC_LANE_INLINE void static_for(F&& f) {
    static_for_impl<N>(f, std::make_integer_sequence<int, N>{});
}

// Transposes a square of packs in place: m[i][j] <-> m[j][i]. Afterwards
// m[l] holds lane l of every input pack, so one addition of m[l] to a pack of
// sums adds path l's terms to each of them.
template <class V>
MC_LANE_INLINE void transpose(V (&m)[simd::lanes_of<V>]) {
    constexpr std::size_t kWidth = simd::lanes_of<V>;
    static_assert(kWidth == 2 || kWidth == 4 || kWidth == 8);
    if constexpr (kWidth == 2) {
        const V r0 = __builtin_shufflevector(m[0], m[1], 0, 2);
        const V r1 = __builtin_shufflevector(m[0], m[1], 1, 3);
        m[0] = r0;
        m[1] = r1;
    } else if constexpr (kWidth == 4) {
        const V a0 = __builtin_shufflevector(m[0], m[1], 0, 4, 2, 6);
        const V a1 = __builtin_shufflevector(m[0], m[1], 1, 5, 3, 7);
        const V a2 = __builtin_shufflevector(m[2], m[3], 0, 4, 2, 6);
        const V a3 = __builtin_shufflevector(m[2], m[3], 1, 5, 3, 7);
        m[0] = __builtin_shufflevector(a0, a2, 0, 1, 4, 5);
        m[1] = __builtin_shufflevector(a1, a3, 0, 1, 4, 5);
        m[2] = __builtin_shufflevector(a0, a2, 2, 3, 6, 7);
        m[3] = __builtin_shufflevector(a1, a3, 2, 3, 6, 7);
    } else {
        // Interleave single lanes, then pairs, then quadruples.
        V a[8], b[8];
        for (int k = 0; k < 4; ++k) {
            a[2 * k] = __builtin_shufflevector(m[2 * k], m[2 * k + 1], 0, 8, 2, 10, 4, 12, 6, 14);
            a[2 * k + 1] = __builtin_shufflevector(m[2 * k], m[2 * k + 1], 1, 9, 3, 11, 5, 13, 7, 15);
        }
        for (int h = 0; h < 2; ++h)
            for (int k = 0; k < 2; ++k) {
                b[4 * h + k] = __builtin_shufflevector(a[4 * h + k], a[4 * h + k + 2], 0, 1, 8, 9, 4, 5, 12, 13);
                b[4 * h + k + 2] = __builtin_shufflevector(a[4 * h + k], a[4 * h + k + 2], 2, 3, 10, 11, 6, 7, 14, 15);
            }
        for (int k = 0; k < 4; ++k) {
            m[k] = __builtin_shufflevector(b[k], b[k + 4], 0, 1, 2, 3, 8, 9, 10, 11);
            m[k + 4] = __builtin_shufflevector(b[k], b[k + 4], 4, 5, 6, 7, 12, 13, 14, 15);
        }
    }
}

// Runs body(PackTag<V>) with V the active target's own pack, compiled for
// that target (lanes == 0), or with V a pack of exactly `lanes` doubles
// compiled for the baseline (2, 4 or 8; see the header).
// The forced packs come with a tag type of their own: sharing the body's
// instantiation with a target's run would keep the compiler from inlining it
// there, leaving that target to call the baseline code.
template <class V>
struct BaselinePack {
    using type = V;
};

template <class Body>
void on_lanes(std::size_t lanes, Body&& body) {
    switch (lanes) {
        case 2: body(BaselinePack<simd::Pack<2>::f64>{}); return;
        case 4: body(BaselinePack<simd::Pack<4>::f64>{}); return;
        case 8: body(BaselinePack<simd::Pack<8>::f64>{}); return;
        default: simd::on_active_target(body); return;
    }
}

// ---------------------------------------------------------------------------
// Path generation.

// Paths first_path .. first_path + paths - 1 run through all of their steps
// from the lane streams of `seed` (engine.hpp), whose normals go to the paths
// in order and, within a path, to its steps in order: lane l of a tile of C
// paths per lane runs paths first + l C .. first + l C + C - 1. Each date's
// price goes to that date's column at the path's index, so the columns hold
// what one path at a time would write, whichever range a call covers.
void simulate_stream_paths(const LsmGrid& grid, double s0, std::uint64_t n_paths, std::uint64_t n_steps,
                           std::uint64_t seed, const std::vector<std::uint64_t>& schedule, double* values,
                           std::size_t lanes_per_pack, std::uint64_t first_path, std::uint64_t paths) {
    on_lanes(lanes_per_pack, [&](auto pack) {
        using V = typename decltype(pack)::type;
        constexpr std::size_t kWidth = simd::lanes_of<V>;
        const auto tile = [&](StreamDraw<V>& draw, std::uint64_t first, std::uint64_t c_units) {
            for (std::uint64_t u = 0; u < c_units; ++u) {
                double* const path = values + first + u;
                simulate_lane_paths<V>(draw, grid, s0, n_steps, schedule, [&](std::uint64_t date, V prices) MC_PACK_LAMBDA {
                    double* const column = path + date * n_paths;
                    for (std::size_t l = 0; l < kWidth; ++l) column[l * c_units] = prices[l];
                });
            }
        };
        const auto single = [&](StreamDraw<simd::f64x1>& draw, std::uint64_t path) {
            simulate_lane_paths<simd::f64x1>(draw, grid, s0, n_steps, schedule,
                                             [&](std::uint64_t date, simd::f64x1 price) {
                                                 values[date * n_paths + path] = price[0];
                                             });
        };
        // Few paths a lane: a date's prices from one pack then land in a few
        // neighbouring cache lines instead of one line a lane (the engine's
        // default share, sized for the jumps' cost, spreads a tile's lanes
        // far apart in every column). Jumps stay cheap beside 4 whole paths.
        const std::uint64_t tile_units = std::min<std::uint64_t>(4, lane_tile_units(paths, n_steps, kWidth));
        for_each_stream_tile<V>(seed, first_path, paths, n_steps, tile_units, tile, single);
    });
}

}  // namespace

Buffer<double> exercise_date_storage(std::uint64_t n_paths, std::uint64_t dates) {
    constexpr const char* kWhat = "exercise-date path prices (n_paths x exercise dates)";
    return Buffer<double>(checked_product(n_paths, dates, kWhat), kWhat);
}

ExerciseDatePrices simulate_exercise_date_prices(const LsmGrid& grid, double s0, std::uint64_t n_paths,
                                                 std::uint64_t n_steps, std::uint64_t seed,
                                                 const std::vector<std::uint64_t>& schedule, std::size_t lanes,
                                                 const std::optional<BlockPlan>& plan, Buffer<double> storage) {
    const std::uint64_t dates = schedule.size();
    if (storage.empty()) storage = exercise_date_storage(n_paths, dates);
    ExerciseDatePrices prices{n_paths, dates, std::move(storage)};
    // Every path runs through all of its steps, in path order, from the one
    // stream, whatever is kept: the normals a path draws never depend on the
    // schedule, so the kept prices are those of the whole path matrix.
    double* const values = prices.values.data();
    if (!plan) {
        simulate_stream_paths(grid, s0, n_paths, n_steps, seed, schedule, values, lanes, 0, n_paths);
        return prices;
    }
    // Blocks write disjoint ranges of every column.
    struct Written {
        Written& operator+=(const Written&) { return *this; }
    };
    run_blocks(
        split_blocks(n_paths, plan->blocks, seed, BlockSeeds::range),
        [&](const WorkerBlock& block) {
            simulate_stream_paths(grid, s0, n_paths, n_steps, seed, schedule, values, lanes, block.first_unit,
                                  block.units);
            return Written{};
        },
        kWorkerFailureText, plan_threads(plan));
    return prices;
}

namespace {

// ---------------------------------------------------------------------------
// Backward induction.

// discount^m by `integer_power`, from a table of m = 0..maturity when that is
// small next to the prices kept (always for a schedule of every step), else
// computed on each call. Either way the exponent is the 32-bit step count the
// per-path code used, so the bits are those of integer_power.
class DiscountPowers {
public:
    static constexpr std::uint64_t kAlwaysTabulated = 4096;

    DiscountPowers(double discount, std::uint64_t maturity, std::uint64_t dates) : discount_(discount) {
        const bool small = maturity < kAlwaysTabulated ||
                           (maturity <= static_cast<std::uint64_t>(INT32_MAX) && maturity / 4 <= dates);
        if (!small) return;
        table_ = Buffer<double>(maturity + 1, "discount powers (n_steps + 1)");
        for (std::uint64_t m = 0; m <= maturity; ++m) table_[m] = integer_power(discount, static_cast<std::int32_t>(m));
    }

    MC_LANE_INLINE double operator()(std::uint64_t steps) const {
        return table_.empty() ? integer_power(discount_, static_cast<std::int32_t>(steps)) : table_[steps];
    }
    // The table, or null when each power is computed on demand.
    const double* table() const { return table_.empty() ? nullptr : table_.data(); }
    double discount() const { return discount_; }

private:
    double discount_;
    Buffer<double> table_;
};

// A sum's product: phi_p phi_q, or phi_p y when q < 0.
struct TermFactors {
    int p;
    int q;
};

// The sums of one date's normal equations: the upper triangle of A without
// A[0][0] (row by row), then b, and the in-the-money count.
template <int Degree>
struct Sums {
    static constexpr int kMatrixTerms = (Degree + 1) * (Degree + 2) / 2 - 1;
    static constexpr int kTerms = kMatrixTerms + Degree + 1;
    static constexpr std::array<TermFactors, kTerms> kFactors = [] {
        std::array<TermFactors, kTerms> factors{};
        int t = 0;
        for (int p = 0; p <= Degree; ++p)
            for (int q = p; q <= Degree; ++q)
                if (p != 0 || q != 0) factors[t++] = {p, q};
        for (int p = 0; p <= Degree; ++p) factors[t++] = {p, -1};
        return factors;
    }();

    double term[kTerms] = {};
    std::uint64_t in_the_money = 0;

    // A[0][0] sums 1.0 once per in-the-money path, exactly their count (below
    // 2^53). The lower triangle mirrors the upper one: phi_p phi_q and
    // phi_q phi_p are the same double, summed in the same order.
    NormalEquations equations() const {
        NormalEquations system;
        system.a[0][0] = static_cast<double>(in_the_money);
        for (int t = 0; t < kTerms; ++t) {
            const TermFactors f = kFactors[t];
            if (f.q < 0)
                system.b[f.p] = term[t];
            else
                system.a[f.p][f.q] = term[t];
        }
        for (int p = 1; p <= Degree; ++p)
            for (int q = 0; q < p; ++q) system.a[p][q] = system.a[q][p];
        return system;
    }
};

struct SweepConstants {
    double k;
    double strike_floor;
    double beta[4];      // the date's fitted coefficients
    std::uint64_t step;  // the date's grid step
    const double* powers;  // discount^m, m = 0..maturity, or null: compute them
    double discount;
};

template <class V>
MC_LANE_INLINE simd::u64_of<V> load_steps(const std::uint64_t* p) {
    simd::u64_of<V> v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <class U>
MC_LANE_INLINE void store_steps(std::uint64_t* p, U v) {
    std::memcpy(p, &v, sizeof v);
}

// discount^steps lane by lane, from the table or by integer_power. Built in
// one expression from the lane values: assembled element by element through
// memory, the pack would wait for a store it cannot take over.
template <class U, std::size_t... L>
MC_LANE_INLINE simd::f64_of<U> discount_powers(const SweepConstants& c, U steps, std::index_sequence<L...>) {
    using V = simd::f64_of<U>;
    if (c.powers != nullptr) return V{c.powers[steps[L]]...};
    return V{integer_power(c.discount, static_cast<std::int32_t>(steps[L]))...};
}
template <class U>
MC_LANE_INLINE simd::f64_of<U> discount_powers(const SweepConstants& c, U steps) {
    return discount_powers(c, steps, std::make_index_sequence<sizeof(U) / sizeof(std::uint64_t)>{});
}

template <int Degree, class V>
MC_LANE_INLINE void laguerre_basis(V x, V (&phi)[Degree + 1]) {
    phi[0] = simd::broadcast<V>(1.0);
    if constexpr (Degree >= 1) phi[1] = laguerre_term<1>(x);
    if constexpr (Degree >= 2) phi[2] = laguerre_term<2>(x);
    if constexpr (Degree >= 3) phi[3] = laguerre_term<3>(x);
}

// One pack of paths: the decision at the decision date (exercise when the
// intrinsic value strictly beats the floored continuation value; a positive
// intrinsic value is implied, as positive_part is never negative).
template <int Degree, class V>
MC_LANE_INLINE void decide_block(const SweepConstants& c, V s, V& cash, simd::u64_of<V>& when) {
    const V exercise = simd::positive_part(c.k - s);
    const V x = s / c.strike_floor;
    V phi[Degree + 1];
    laguerre_basis<Degree>(x, phi);
    V continuation = simd::broadcast<V>(c.beta[0]);
    static_for<Degree>([&](auto i) { continuation = continuation + c.beta[i + 1] * phi[i + 1]; });
    const simd::mask_of<V> now = exercise > simd::positive_part(continuation);
    cash = simd::select(now, exercise, cash);
    when = simd::select(now, simd::u64_of<V>{} + c.step, when);
}

// The running sums of one sweep, held across lanes: sum t is lane t % W of
// pack t / W (W lanes per pack), the lanes past the last sum unused.
template <int Degree, class V>
struct LaneSums {
    static constexpr int kWidth = static_cast<int>(simd::lanes_of<V>);
    static constexpr int kPacks = (Sums<Degree>::kTerms + kWidth - 1) / kWidth;
    V pack[kPacks];
    simd::i64_of<V> in_the_money;
};

// One pack of paths: their terms of the accumulation date's normal equations,
// added path after path to the sums. Out-of-the-money lanes have their basis
// values and cash flow replaced by +0.0 first: every term of theirs is then
// +0.0 (each has one such factor; phi_0 = 1 is never the only one), which
// changes no sum (see the header). A pack without any in-the-money path adds
// nothing at all.
template <int Degree, class V>
MC_LANE_INLINE void accumulate_block(const SweepConstants& c, V s, V discounted, LaneSums<Degree, V>& sums) {
    constexpr int kWidth = LaneSums<Degree, V>::kWidth;
    const simd::mask_of<V> itm = simd::positive_part(c.k - s) > 0.0;
    if (!simd::any(itm)) return;
    const V zero{};
    const V x = s / c.strike_floor;
    V phi[Degree + 1];
    laguerre_basis<Degree>(x, phi);
    static_for<Degree>([&](auto i) { phi[i + 1] = simd::select(itm, phi[i + 1], zero); });
    const V y = simd::select(itm, discounted, zero);
    static_for<LaneSums<Degree, V>::kPacks>([&](auto g) {
        V terms[kWidth];
        static_for<kWidth>([&](auto j) {
            constexpr int t = g * kWidth + j;
            if constexpr (t < Sums<Degree>::kTerms) {
                constexpr TermFactors f = Sums<Degree>::kFactors[t];
                if constexpr (f.q < 0)
                    terms[j] = phi[f.p] * y;
                else
                    terms[j] = phi[f.p] * phi[f.q];
            } else {
                terms[j] = zero;
            }
        });
        transpose(terms);
        static_for<kWidth>([&](auto l) { sums.pack[g] = sums.pack[g] + terms[l]; });
    });
    sums.in_the_money -= itm;
}

// Pack g of the running sums (see LaneSums), the unused lanes 0.
template <class V, int Degree, std::size_t... L>
MC_LANE_INLINE V sums_pack(const Sums<Degree>& sums, int g, std::index_sequence<L...>) {
    constexpr int kWidth = static_cast<int>(sizeof...(L));
    return V{(g * kWidth + static_cast<int>(L) < Sums<Degree>::kTerms ? sums.term[g * kWidth + L] : 0.0)...};
}

// The last partial pack of a sweep, `real` paths padded with paths that are
// never in the money (price k, no cash flow, the date's own step).
template <std::size_t W>
struct PaddedTail {
    double s[W], cash[W];
    std::uint64_t when[W];
    std::size_t real;

    PaddedTail(const SweepConstants& c, const double* s0, const double* cash0, const std::uint64_t* when0,
               std::size_t real_paths)
        : real(real_paths) {
        for (std::size_t l = 0; l < W; ++l) {
            s[l] = l < real ? s0[l] : c.k;
            cash[l] = l < real ? cash0[l] : 0.0;
            when[l] = l < real ? when0[l] : c.step;
        }
    }
    void write_back(double* cash0, std::uint64_t* when0) const {
        for (std::size_t l = 0; l < real; ++l) {
            cash0[l] = cash[l];
            when0[l] = when[l];
        }
    }
};

// The exercise decisions at one date, pack after pack; of the padded last
// pack only the real lanes are kept.
template <int Degree>
void decide_sweep(std::size_t lanes, const SweepConstants& constants, std::uint64_t n, const double* prices,
                  double* cash, std::uint64_t* when) {
    on_lanes(lanes, [&](auto pack) {
        using V = typename decltype(pack)::type;
        constexpr std::size_t kWidth = simd::lanes_of<V>;
        // Local copies: the stores to the cash flows cannot alias them.
        const SweepConstants c = constants;
        const double* const s = prices;
        double* const cf = cash;
        std::uint64_t* const ws = when;
        auto block = [&](const double* sp, double* cp, std::uint64_t* wp) {
            V cash_v = simd::load<V>(cp);
            simd::u64_of<V> when_v = load_steps<V>(wp);
            decide_block<Degree>(c, simd::load<V>(sp), cash_v, when_v);
            simd::store(cp, cash_v);
            store_steps(wp, when_v);
        };
        std::uint64_t i = 0;
        for (; i + kWidth <= n; i += kWidth) block(s + i, cf + i, ws + i);
        if (i < n) {
            PaddedTail<kWidth> tail(c, s + i, cf + i, ws + i, static_cast<std::size_t>(n - i));
            block(tail.s, tail.cash, tail.when);
            tail.write_back(cf + i, ws + i);
        }
    });
}

// The normal-equation sums of one date over the paths, in path order, added
// to `sums`. In runs of packs: first the discounted realised cash flows of the
// run, which carry nothing from one pack to the next, so that the table
// look-ups of many packs overlap; then the terms and the additions.
template <int Degree>
void accumulate_sweep(std::size_t lanes, const SweepConstants& constants, std::uint64_t n, const double* prices,
                      const double* cash, const std::uint64_t* when, Sums<Degree>& sums) {
    on_lanes(lanes, [&](auto pack) {
        using V = typename decltype(pack)::type;
        constexpr std::size_t kWidth = simd::lanes_of<V>;
        constexpr std::size_t kRun = 256;  // paths, a multiple of every pack width
        const SweepConstants c = constants;
        const double* const s = prices;
        const double* const cf = cash;
        const std::uint64_t* const ws = when;
        alignas(64) double discounted[kRun];
        LaneSums<Degree, V> local;
        static_for<LaneSums<Degree, V>::kPacks>(
            [&](auto g) { local.pack[g] = sums_pack<V>(sums, g, std::make_index_sequence<kWidth>{}); });
        local.in_the_money = simd::i64_of<V>{};
        auto run = [&](const double* sp, const double* cp, const std::uint64_t* wp, std::size_t count) {
            for (std::size_t i = 0; i < count; i += kWidth) {
                // Discounted realised cash flow; the step count is a 32-bit exponent.
                const V powers = discount_powers(c, load_steps<V>(wp + i) - c.step);
                simd::store(discounted + i, simd::load<V>(cp + i) * powers);
            }
            for (std::size_t i = 0; i < count; i += kWidth)
                accumulate_block<Degree>(c, simd::load<V>(sp + i), simd::load<V>(discounted + i), local);
        };
        const std::uint64_t whole = n - n % kWidth;
        for (std::uint64_t i = 0; i < whole; i += kRun)
            run(s + i, cf + i, ws + i, static_cast<std::size_t>(std::min<std::uint64_t>(kRun, whole - i)));
        if (whole < n) {
            const PaddedTail<kWidth> tail(c, s + whole, cf + whole, ws + whole, static_cast<std::size_t>(n - whole));
            run(tail.s, tail.cash, tail.when, kWidth);
        }
        static_for<Sums<Degree>::kTerms>([&](auto t) { sums.term[t] = local.pack[t / kWidth][t % kWidth]; });
        for (std::size_t l = 0; l < kWidth; ++l) sums.in_the_money += static_cast<std::uint64_t>(local.in_the_money[l]);
    });
}

// One backward pass of Longstaff and Schwartz (2001) with a basis of fixed
// degree: per date, the sums over the paths, the fit, then the decisions.
template <int Degree>
void backward_induction(const ExerciseDatePrices& prices, const std::vector<std::uint64_t>& schedule, double k,
                        const DiscountPowers& powers, std::size_t lanes, ExercisePolicy& policy, ExerciseRule* rule) {
    const std::uint64_t n = prices.n_paths;
    double* const cash = policy.cash_flow.data();
    std::uint64_t* const when = policy.exercise_step.data();
    SweepConstants c{k, std::fmax(k, kDblMin), {}, 0, powers.table(), powers.discount()};
    // Maturity (the last date) is never visited: its payoff is already planned.
    for (std::size_t date = schedule.size() - 1; date-- > 0;) {
        check_stop();
        const double* const s = prices.column(date);
        c.step = schedule[date];
        Sums<Degree> sums;
        accumulate_sweep<Degree>(lanes, c, n, s, cash, when, sums);
        if (sums.in_the_money <= static_cast<std::uint64_t>(Degree)) continue;  // too few points to fit
        NormalEquations system = sums.equations();
        if (!solve_normal_equations(system, Degree)) continue;
        ++policy.regression_steps;
        for (int p = 0; p <= Degree; ++p) c.beta[p] = system.b[p];
        if (rule != nullptr) {
            std::copy(std::begin(c.beta), std::end(c.beta), rule->beta[date].begin());
            rule->fitted[date] = 1;
        }
        decide_sweep<Degree>(lanes, c, n, s, cash, when);
    }
}

}  // namespace

ExercisePolicy longstaff_schwartz_policy(const ExerciseDatePrices& prices, const std::vector<std::uint64_t>& schedule,
                                         double k, double discount, int degree, std::size_t lanes, ExerciseRule* rule) {
    const std::uint64_t n = prices.n_paths;
    ExercisePolicy policy{Buffer<double>(n, "cash flows (n_paths)"),
                          Buffer<std::uint64_t>(n, "exercise steps (n_paths)"), 0};
    const std::uint64_t maturity = schedule.back();
    const double* const terminal = prices.column(schedule.size() - 1);
    for (std::uint64_t i = 0; i < n; ++i) {
        policy.cash_flow[i] = positive_part(k - terminal[i]);
        policy.exercise_step[i] = maturity;
    }
    const DiscountPowers powers(discount, maturity, schedule.size());
    if (rule != nullptr) {
        rule->steps = schedule;
        rule->beta = allocate_vector<std::array<double, 4>>(schedule.size(), "exercise rule coefficients (dates)");
        rule->fitted = allocate_vector<std::uint8_t>(schedule.size(), "exercise rule dates");
        rule->k = k;
        rule->strike_floor = std::fmax(k, kDblMin);
        rule->degree = degree;
    }
    switch (degree) {
        case 1: backward_induction<1>(prices, schedule, k, powers, lanes, policy, rule); break;
        case 2: backward_induction<2>(prices, schedule, k, powers, lanes, policy, rule); break;
        default: backward_induction<3>(prices, schedule, k, powers, lanes, policy, rule); break;
    }
    return policy;
}

}  // namespace lsm

// ---------------------------------------------------------------------------
// The regression core.

namespace {

// The pricing, keeping the fitted rule in `rule` when one is given.
PutLsmCoreResult fit_put_lsm(PutLsmCoreConfig config, lsm::ExerciseRule* rule) {
    using namespace lsm;
    const int degree = effective_basis_degree(config.basis_degree);
    const LsmGrid grid = LsmGrid::from(config.r, config.sigma, config.t, config.n_steps);
    const std::vector<std::uint64_t>& schedule = config.exercise_schedule;

    ExercisePolicy policy;
    {
        const ExerciseDatePrices prices =
            simulate_exercise_date_prices(grid, config.s0, config.n_paths, config.n_steps, config.seed, schedule, 0,
                                          config.plan, std::move(config.path_prices));
        policy = longstaff_schwartz_policy(prices, schedule, config.k, grid.discount, degree, 0, rule);
    }  // the prices are released before the estimate

    PutLsmCoreResult result;
    PathSums sums;
    const DiscountPowers powers(grid.discount, config.n_steps, schedule.size());
    for (std::uint64_t i = 0; i < config.n_paths; ++i) {
        const double cash = policy.cash_flow[i];
        const std::uint64_t step = policy.exercise_step[i];
        sums.add(cash * powers(step));
        if (step < config.n_steps)
            ++result.early_exercise_count;
        else if (cash > 0.0)
            ++result.maturity_exercise_count;
    }
    const EuropeanCallResult estimate = plain_estimate(sums, config.n_paths);
    result.price = estimate.price;
    result.std_error = estimate.std_error;
    if (rule != nullptr) {
        rule->start_continuation = estimate.price;
        rule->immediate_exercise_allowed = config.allow_immediate_exercise;
    }
    if (config.allow_immediate_exercise) {
        const double intrinsic = positive_part(config.k - config.s0);
        if (intrinsic > estimate.price) {
            result.price = intrinsic;
            result.std_error = 0.0;
        }
    }
    result.regression_steps = policy.regression_steps;
    result.regression_basis = "laguerre_lsm_degree_" + std::to_string(degree);

    result.warnings.emplace_back(kLsmEstimatorWarning);
    result.warnings.push_back(std::move(config.product_note));
    if (config.basis_degree != static_cast<std::uint64_t>(degree)) result.warnings.emplace_back(kBasisClampWarning);
    if (config.n_threads >= 2) result.warnings.emplace_back(kThreadsWarning);
    if (config.extra_warning) result.warnings.push_back(std::move(*config.extra_warning));
    result.exercise_schedule = std::move(config.exercise_schedule);
    return result;
}

}  // namespace

PutLsmCoreResult price_put_lsm_cpu(PutLsmCoreConfig config) { return fit_put_lsm(std::move(config), nullptr); }

// ---------------------------------------------------------------------------
// American and Bermudan puts.

void validate_american_put_config(const AmericanPutConfig& c) {
    using R = AmericanPutConfig;
    static constexpr std::array<Check<R>, 7> kChecks{{
        above<R>(&R::n_paths, 0, "n_paths must be > 0"),
        at_least<R>(&R::n_steps, 2, "n_steps must be >= 2 for LSM regression"),
        above<R>(&R::s0, 0.0, "s0 must be > 0"),
        above<R>(&R::k, 0.0, "k must be > 0"),
        at_least<R>(&R::sigma, 0.0, "sigma must be >= 0"),
        above<R>(&R::t, 0.0, "t must be > 0"),
        above<R>(&R::basis_degree, 0, "basis_degree must be > 0"),
    }};
    check_rows(c, kChecks);
}

void validate_bermudan_put_config(const BermudanPutConfig& c) {
    validate_american_put_config(c);
    if (c.exercise_steps.empty()) fail("exercise_steps must include at least one exercise date");
    for (const std::uint64_t step : c.exercise_steps)
        if (step == 0 || step > c.n_steps) fail("exercise_steps must be in 1..=n_steps");
}

BermudanSchedule normalize_bermudan_exercise_schedule(const std::vector<std::uint64_t>& exercise_steps,
                                                      std::uint64_t n_steps) {
    BermudanSchedule schedule{exercise_steps, std::nullopt};
    std::vector<std::uint64_t>& steps = schedule.steps;
    std::sort(steps.begin(), steps.end());
    steps.erase(std::unique(steps.begin(), steps.end()), steps.end());
    if (steps != exercise_steps) schedule.note = "exercise_steps were sorted and deduplicated before LSM execution.";
    if (std::find(steps.begin(), steps.end(), n_steps) == steps.end()) {
        steps.push_back(n_steps);
        if (schedule.note)
            *schedule.note += " Maturity was appended because terminal payoff is always evaluated.";
        else
            schedule.note = "Maturity was appended to exercise_steps because terminal payoff is always evaluated.";
    }
    return schedule;
}

namespace {

PutLsmCoreConfig core_config(const AmericanPutConfig& c, std::vector<std::uint64_t> schedule,
                             std::optional<std::string> extra_warning, const char* product_note,
                             bool allow_immediate_exercise, const std::optional<BlockPlan>& plan,
                             Buffer<double> path_prices = {}) {
    return {std::move(schedule), std::move(extra_warning), product_note, c.s0, c.k, c.r, c.sigma, c.t, c.n_paths,
            c.n_steps, c.seed, c.n_threads, c.basis_degree, allow_immediate_exercise, plan, std::move(path_prices)};
}

// The fields both result records take from the core and the configuration.
template <class Result>
void copy_core_result(const AmericanPutConfig& c, PutLsmCoreResult& core, Result& result) {
    result.price = core.price;
    result.std_error = core.std_error;
    result.paths = c.n_paths;
    result.steps = c.n_steps;
    result.seed = c.seed;
    result.early_exercise_count = core.early_exercise_count;
    result.maturity_exercise_count = core.maturity_exercise_count;
    result.regression_steps = core.regression_steps;
    result.regression_basis = std::move(core.regression_basis);
    result.warnings = std::move(core.warnings);
}

}  // namespace

AmericanPutResult american_put_price_lsm_cpu(const AmericanPutConfig& c) {
    return american_put_price_lsm_cpu_planned(c, std::nullopt);
}

BermudanPutResult bermudan_put_price_lsm_cpu(const BermudanPutConfig& c) {
    return bermudan_put_price_lsm_cpu_planned(c, std::nullopt);
}

namespace {

AmericanPutResult american_put(const AmericanPutConfig& c, const std::optional<BlockPlan>& plan,
                               lsm::ExerciseRule* rule) {
    validate_american_put_config(c);
    // A date per step: the path prices dwarf the schedule, so claim them first.
    Buffer<double> path_prices = lsm::exercise_date_storage(c.n_paths, c.n_steps);
    std::vector<std::uint64_t> every_step = allocate_vector<std::uint64_t>(c.n_steps, "American exercise schedule (n_steps)");
    std::iota(every_step.begin(), every_step.end(), std::uint64_t{1});
    PutLsmCoreResult core = fit_put_lsm(core_config(c, std::move(every_step), std::nullopt, kAmericanPutNote, true,
                                                    plan, std::move(path_prices)),
                                        rule);
    AmericanPutResult result;
    copy_core_result(c, core, result);
    return result;
}

BermudanPutResult bermudan_put(const BermudanPutConfig& c, const std::optional<BlockPlan>& plan,
                               lsm::ExerciseRule* rule) {
    validate_bermudan_put_config(c);
    BermudanSchedule schedule = normalize_bermudan_exercise_schedule(c.exercise_steps, c.n_steps);
    PutLsmCoreResult core = fit_put_lsm(
        core_config(c, std::move(schedule.steps), std::move(schedule.note), kBermudanPutNote, false, plan), rule);
    BermudanPutResult result;
    copy_core_result(c, core, result);
    result.exercise_schedule = std::move(core.exercise_schedule);
    result.exercise_date_count = result.exercise_schedule.size();
    return result;
}

}  // namespace

AmericanPutResult american_put_price_lsm_cpu_planned(const AmericanPutConfig& c, const std::optional<BlockPlan>& plan) {
    return american_put(c, plan, nullptr);
}

BermudanPutResult bermudan_put_price_lsm_cpu_planned(const BermudanPutConfig& c, const std::optional<BlockPlan>& plan) {
    return bermudan_put(c, plan, nullptr);
}

AmericanPutResult lsm::american_put_fit(const AmericanPutConfig& c, const std::optional<BlockPlan>& plan,
                                        ExerciseRule& rule) {
    return american_put(c, plan, &rule);
}

BermudanPutResult lsm::bermudan_put_fit(const BermudanPutConfig& c, const std::optional<BlockPlan>& plan,
                                        ExerciseRule& rule) {
    return bermudan_put(c, plan, &rule);
}

}  // namespace mc_core::runtime::cpu

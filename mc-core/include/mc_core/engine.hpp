// The model engine: one loop for every product, composed of a model, a
// technique and a normal source, vectorised one lane per path.
//
// Contract
//  * A model knows how one unit turns normals into values. It provides, for a
//    draw whose packs hold one lane per unit,
//        std::uint64_t normals_per_unit() const;   // D, the same for every unit
//        double control_mean() const;              // expectation of the control
//        V discounted_payoff(Draw&) const;         // standard technique
//        Valued<V> payoff_and_control(Draw&) const; // control variate
//        V antithetic_pair(Draw&) const;           // the value of one pair
//    where `draw(n)` hands out the unit's next n (<= kDrawBlock) normals as n
//    packs. The model fixes its own operation order; the engine never
//    reorders it, and every lane runs exactly the arithmetic of one unit alone.
//  * Techniques (standard, antithetic, control variate) pick the model
//    function and the partial-result type; they are chosen once per call.
//  * Normal sources:
//     - a pseudorandom stream: `stream_chunk` is the runner's unit of work. Its
//       units take their D normals each from one xorshift64* stream in unit
//       order. Lanes run consecutive segments of that same stream, started at
//       jumped-ahead states (stream_jump.hpp), in tiles of lanes x C units:
//       lane l takes units l*C .. l*C + C - 1 of the tile. Units left over
//       after the last whole tile run on one lane from where the tiles ended.
//       A chunk may start at any unit of its stream (a range block of a
//       plan): it starts at the jumped-ahead position of that unit's first
//       normal, and a unit that begins on a pair's second value runs alone.
//     - a structured point set: unit i reads the coordinates of point i; lanes
//       take consecutive points.
//    Either way every unit sees exactly the normals it would see if units ran
//    one at a time, and the per-unit values are added to the partial result in
//    unit order, so results do not depend on the lane count, the tile size or
//    the SIMD target.
//  * Pseudorandom blocks go through the parallel runner (runner.hpp) or run on
//    the calling thread with the raw seed, as the product says; structured
//    sampling always runs on the calling thread.
//  * Between tiles (and every kStopCheckUnits units or point packs otherwise)
//    a run checks for a requested stop (interrupt.hpp).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "mc_core/block_math.hpp"
#include "mc_core/error.hpp"
#include "mc_core/estimators.hpp"
#include "mc_core/interrupt.hpp"
#include "mc_core/lane_math.hpp"
#include "mc_core/random.hpp"
#include "mc_core/runner.hpp"
#include "mc_core/simd.hpp"
#include "mc_core/stream_jump.hpp"

namespace mc_core {

// The most normals a model asks for at once.
inline constexpr std::size_t kDrawBlock = 128;

// A heap array of packs at their natural alignment (std::vector would not
// keep the alignment of a vector-extension element type), or
// AllocationFailure naming `what`.
template <class V>
class PackBuffer {
public:
    PackBuffer(std::uint64_t count, const char* what) {
        if (count > SIZE_MAX / sizeof(V)) throw AllocationFailure(std::string("cannot allocate ") + what);
        packs_.reset(new (std::nothrow) V[static_cast<std::size_t>(count)]());
        if (!packs_ && count > 0) throw AllocationFailure(std::string("cannot allocate ") + what);
    }
    V* data() { return packs_.get(); }
    V& operator[](std::size_t i) { return packs_[i]; }

private:
    std::unique_ptr<V[]> packs_;
};

// ---- Lane streams ---------------------------------------------------------------

// One xorshift64* stream position per lane, turned into Box-Muller normals
// exactly as NormalRng does it: each uniform pair gives R cos first, then
// R sin, and the sine waits as the spare when a request ends between the two.
// All lanes share one phase (all hold a spare or none), which is what tiles
// of even lengths give.
template <class V>
class LaneStream {
public:
    using Bits = simd::u64_of<V>;

    explicit LaneStream(Bits states) : state_(states) {}

    Bits states() const { return state_; }
    bool has_spare() const { return has_spare_; }

    // The next uniform of every lane, in [DBL_MIN, 1 - 2^-53].
    MC_LANE_INLINE V next_uniform() {
        Bits x = state_;
        x ^= x >> 12;
        x ^= x << 25;
        x ^= x >> 27;
        state_ = x;
        return unit_from_bits(x * 0x2545F4914F6CDD1DULL);
    }

    // Fills out[0 .. n) with every lane's next n normals.
    MC_LANE_INLINE void fill(V* out, std::size_t n) {
        std::size_t j = 0;
        if (n == 0) return;
        if (has_spare_) {
            out[j++] = spare_;
            has_spare_ = false;
        }
        for (; j + 1 < n; j += 2) pair(out[j], out[j + 1]);
        if (j < n) {
            pair(out[j], spare_);
            has_spare_ = true;
        }
    }

private:
    MC_LANE_INLINE void pair(V& first, V& second) {
        const V u1 = next_uniform();
        const V u2 = next_uniform();
        const V radius = lane_math::sqrt(-2.0 * lane_math::log(u1));
        V s, c;
        lane_math::sincos(kTwoPi * u2, s, c);
        first = radius * c;
        second = radius * s;
    }

    Bits state_;
    V spare_{};
    bool has_spare_ = false;
};

// The draw of a model over a lane stream: normals a block at a time.
template <class V>
class StreamDraw {
public:
    using Pack = V;
    explicit StreamDraw(LaneStream<V>& stream) : stream_(stream) {}
    MC_LANE_INLINE const V* operator()(std::size_t n) {
        // A stop is checked every kStopCheckNormals normals drawn, so that
        // even one path of 10^12 steps can be stopped, however few normals
        // its model draws at a time.
        drawn_ += n;
        if (drawn_ >= kStopCheckNormals) {
            drawn_ = 0;
            check_stop();
        }
        stream_.fill(block_, n);
        return block_;
    }

private:
    static constexpr std::uint64_t kStopCheckNormals = 8192;
    LaneStream<V>& stream_;
    std::uint64_t drawn_ = 0;
    V block_[kDrawBlock];
};

// The draw of a model over points: the unit's coordinates, already laid out
// one pack per coordinate.
template <class V>
class PointDraw {
public:
    using Pack = V;
    explicit PointDraw(const V* coordinates) : next_(coordinates) {}
    MC_LANE_INLINE const V* operator()(std::size_t n) {
        const V* block = next_;
        next_ += n;
        return block;
    }

private:
    const V* next_;
};

// `step(z)` for each of a unit's next n_steps normals, in order, drawn a
// block at a time: the walk of every model whose normals are time steps.
template <class Draw, class Step>
MC_LANE_INLINE void for_each_step_normal(Draw& draw, std::uint64_t n_steps, Step&& step) {
    for (std::uint64_t done = 0; done < n_steps;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kDrawBlock, n_steps - done));
        const auto* z = draw(n);
        for (std::size_t j = 0; j < n; ++j) step(z[j]);
        done += n;
    }
}

// ---- Techniques -------------------------------------------------------------------
//
// A technique names the model function a unit is valued by (`value`), what a
// unit's value is (`Sample<V>`, one lane per unit) and the partial result its
// lanes are added to (`add`), lane by lane in unit order.

template <MonteCarloTechnique T>
struct Technique;

// A summed unit's value comes with its square, multiplied for a whole pack at
// once: the serial, lane-by-lane additions that follow then carry no
// multiplication of their own (the square is the one the sum would form, so
// the bits are unchanged). Control-variate and Greek values keep their
// products in the additions: carried, they double the tiles' memory or
// more, which measured slower than the multiplications it saves.
template <class V>
struct Squared {
    V y, y_sq;
};

// A technique whose units are worth one number each, summed.
struct SummedValues {
    using Partial = PathSums;
    template <class V>
    using Sample = Squared<V>;
    template <class V>
    MC_LANE_INLINE static Squared<V> sample(V y) {
        return {y, y * y};
    }
    template <class V>
    static void add(Partial& acc, const Squared<V>& s, std::size_t lane) {
        acc.add(s.y[lane], s.y_sq[lane]);
    }
};

template <>
struct Technique<MonteCarloTechnique::standard> : SummedValues {
    static constexpr bool kPairs = false;
    static std::uint64_t units(std::uint64_t n_paths) { return n_paths; }
    template <class Model, class Draw>
    MC_LANE_INLINE static auto value(const Model& m, Draw& draw) {
        return sample(m.discounted_payoff(draw));
    }
};

template <>
struct Technique<MonteCarloTechnique::control_variate> {
    using Partial = ControlVariateMoments;
    template <class V>
    using Sample = Valued<V>;
    static constexpr bool kPairs = false;
    static std::uint64_t units(std::uint64_t n_paths) { return n_paths; }
    template <class Model, class Draw>
    MC_LANE_INLINE static auto value(const Model& m, Draw& draw) {
        return m.payoff_and_control(draw);
    }
    template <class V>
    static void add(Partial& acc, const Valued<V>& v, std::size_t lane) {
        acc.add(v.y[lane], v.c[lane]);
    }
};

template <>
struct Technique<MonteCarloTechnique::antithetic> : SummedValues {
    static constexpr bool kPairs = true;
    static std::uint64_t units(std::uint64_t n_paths) { return antithetic_pairs(n_paths); }
    template <class Model, class Draw>
    MC_LANE_INLINE static auto value(const Model& m, Draw& draw) {
        return sample(m.antithetic_pair(draw));
    }
};

// ---- The pseudorandom kernel ------------------------------------------------------

// Units between two stop checks where units run one at a time.
inline constexpr std::uint64_t kStopCheckUnits = 256;

// Units per lane in a tile: even (so every lane starts on a Box-Muller pair),
// at most 1024, and about 2048 normals per lane, so a tile's jumps cost little
// beside its work. 0 when the run is too small, or its normals too many to
// count, for whole tiles.
inline std::uint64_t lane_tile_units(std::uint64_t units, std::uint64_t normals_per_unit, std::uint64_t lanes) {
    constexpr std::uint64_t kMaxUnits = 1024;
    constexpr std::uint64_t kNormalsPerLane = 2048;
    if (normals_per_unit == 0 || normals_per_unit > (UINT64_MAX / 2) / (simd::kLanes * kMaxUnits)) return 0;
    std::uint64_t c = std::max<std::uint64_t>(2, kNormalsPerLane / normals_per_unit);
    c = std::min(c, kMaxUnits);
    c = std::min<std::uint64_t>(c, units / lanes);
    return c & ~std::uint64_t{1};
}

// Walks units first_unit .. first_unit + units - 1 of `per_unit` normals each,
// taken in unit order from the stream seeded `stream_seed` (unit 0 starts on
// its first normal), the way the lanes run them:
//   tile(draw, first, c): the pack draw's lane l runs units first + l c + u
//                         for u = 0 .. c - 1, in that order;
//   single(draw, unit):   one unit on a single lane (a unit that starts on the
//                         second value of a Box-Muller pair, the units after
//                         the last whole tile, or all of them for small runs).
// `tile_units` (even) forces the lanes' share of a tile; every choice, 0 (a
// single lane throughout) included, hands every unit the same normals.
template <class V, class Tile, class Single>
MC_LANE_INLINE void for_each_stream_tile(std::uint64_t stream_seed, std::uint64_t first_unit, std::uint64_t units,
                                         std::uint64_t per_unit, std::optional<std::uint64_t> tile_units, Tile&& tile,
                                         Single&& single) {
    using V1 = simd::f64x1;
    constexpr std::uint64_t kLanes = simd::lanes_of<V>;
    std::uint64_t start = NormalRng(stream_seed).state;
    std::uint64_t unit = first_unit;
    const std::uint64_t end = first_unit + units;
    if (first_unit > 0) {
        const std::uint64_t offset = checked_product(first_unit, per_unit, "stream offset (first unit x normals)");
        start = jump(start, jump_ahead(offset & ~std::uint64_t{1}));
        if (offset & 1) {
            // The unit starts on a pair's sine: it runs alone, and ends on a
            // pair boundary (per_unit is odd), where the lanes can start.
            LaneStream<V1> lead(simd::u64_of<V1>{start});
            StreamDraw<V1> draw(lead);
            draw(1);
            if (unit < end) single(draw, unit++);
            start = lead.states()[0];
        }
    }
    const std::uint64_t left = end - unit;
    const std::uint64_t c_units = tile_units ? *tile_units : lane_tile_units(left, per_unit, kLanes);
    const std::uint64_t tiles = c_units == 0 ? 0 : left / (kLanes * c_units);
    std::uint64_t tail_state = start;
    if (tiles > 0) {
        const std::uint64_t lane_normals = c_units * per_unit;  // even: lanes start on a pair
        simd::u64_of<V> states;
        const JumpAhead lane_gap = jump_ahead(lane_normals);
        states[0] = start;
        for (std::size_t l = 1; l < kLanes; ++l) states[l] = jump(states[l - 1], lane_gap);
        const JumpAhead tile_gap = jump_ahead((kLanes - 1) * lane_normals);
        for (std::uint64_t t = 0; t < tiles; ++t) {
            check_stop();
            if (t > 0) states = jump_lanes(states, tile_gap);
            LaneStream<V> stream(states);
            StreamDraw<V> draw(stream);
            tile(draw, unit + t * kLanes * c_units, c_units);
            states = stream.states();
        }
        // The last lane stopped where the next tile would have begun.
        tail_state = states[kLanes - 1];
        unit += tiles * kLanes * c_units;
    }
    LaneStream<V1> stream(simd::u64_of<V1>{tail_state});
    StreamDraw<V1> draw(stream);
    for (std::uint64_t i = 0; unit < end; ++unit, ++i) {
        if (i % kStopCheckUnits == 0) check_stop();
        single(draw, unit);
    }
}

template <class Tech, class Model>
struct TechniqueStreamKernel {
    using Partial = typename Tech::Partial;

    template <class V>
    MC_LANE_INLINE static Partial run(std::uint64_t stream_seed, std::uint64_t units, const Model& m,
                                      std::optional<std::uint64_t> tile_units = std::nullopt,
                                      std::uint64_t first_unit = 0) {
        using Sample = typename Tech::template Sample<V>;
        constexpr std::size_t kLanes = simd::lanes_of<V>;
        Partial acc{};
        // A tile's values are added in unit order while the next tile is
        // computed, a lane's worth per unit: the serial chain of additions
        // then overlaps the independent work of the paths instead of
        // following it. The order of the additions is unchanged.
        PackBuffer<Sample> current(0, "lane tile values"), previous(0, "lane tile values");
        std::uint64_t buffered = 0, pending_units = 0, pending_unit = 0;
        std::size_t pending_lane = kLanes;  // kLanes: nothing pending
        const auto add_pending = [&](std::uint64_t count) {
            for (; count > 0 && pending_lane < kLanes; --count) {
                Tech::add(acc, previous[pending_unit], pending_lane);
                if (++pending_unit == pending_units) {
                    pending_unit = 0;
                    ++pending_lane;
                }
            }
        };
        const auto tile = [&](StreamDraw<V>& draw, std::uint64_t, std::uint64_t c_units) {
            if (buffered < c_units) {
                add_pending(UINT64_MAX);
                current = PackBuffer<Sample>(c_units, "lane tile values");
                previous = PackBuffer<Sample>(c_units, "lane tile values");
                buffered = c_units;
            }
            for (std::uint64_t u = 0; u < c_units; ++u) {
                current[u] = Tech::value(m, draw);
                add_pending(kLanes);
            }
            add_pending(UINT64_MAX);
            std::swap(current, previous);
            pending_units = c_units;
            pending_unit = 0;
            pending_lane = 0;
        };
        const auto single = [&](StreamDraw<simd::f64x1>& draw, std::uint64_t) {
            add_pending(UINT64_MAX);
            Tech::add(acc, Tech::value(m, draw), 0);
        };
        for_each_stream_tile<V>(stream_seed, first_unit, units, m.normals_per_unit(), tile_units, tile, single);
        add_pending(UINT64_MAX);
        return acc;
    }
};

template <MonteCarloTechnique T, class Model>
using StreamKernel = TechniqueStreamKernel<Technique<T>, Model>;

// The runner's unit of work: `units` units of technique Tech from one stream
// seeded `stream_seed`, from its unit `first_unit` on, compiled for the
// process's SIMD target.
template <class Tech, class Model>
typename Tech::Partial technique_stream_chunk(std::uint64_t stream_seed, std::uint64_t units, const Model& m,
                                              std::uint64_t first_unit = 0) {
    return simd::on_active_target([&](auto pack) {
        return TechniqueStreamKernel<Tech, Model>::template run<typename decltype(pack)::type>(
            stream_seed, units, m, std::nullopt, first_unit);
    });
}

template <MonteCarloTechnique T, class Model>
typename Technique<T>::Partial stream_chunk(std::uint64_t stream_seed, std::uint64_t units, const Model& m,
                                            std::uint64_t first_unit = 0) {
    return technique_stream_chunk<Technique<T>>(stream_seed, units, m, first_unit);
}

// ---- Structured points ----------------------------------------------------------

// `points.fill(first, rows)` writes the coordinates of points first ..
// first + lanes - 1 as D packs, one lane per point (D = the model's normals per
// unit). Lanes take consecutive points; values are added in point order.
template <class Tech, class Model, class Points>
typename Tech::Partial technique_structured_run(const Model& m, std::uint64_t units, Points& points,
                                                std::uint64_t first_unit = 0) {
    using Partial = typename Tech::Partial;
    const std::uint64_t per_unit = m.normals_per_unit();
    PackBuffer<simd::f64x8> lanes(per_unit, "structured point coordinates");
    PackBuffer<simd::f64x8> scratch(per_unit + 1, "structured point workspace");
    return simd::on_active_target([&](auto pack) {
        using V = typename decltype(pack)::type;
        using V1 = simd::f64x1;
        constexpr std::uint64_t kLanes = simd::lanes_of<V>;
        // The buffers hold the widest pack; narrower ones use their front.
        V* rows = reinterpret_cast<V*>(lanes.data());
        V* work = reinterpret_cast<V*>(scratch.data());
        Partial acc{};
        const std::uint64_t groups = units / kLanes;
        for (std::uint64_t g = 0; g < groups; ++g) {
            if (g % kStopCheckUnits == 0) check_stop();
            points.fill(first_unit + g * kLanes, rows, work);
            PointDraw<V> draw(rows);
            const auto sample = Tech::value(m, draw);
            for (std::size_t l = 0; l < kLanes; ++l) Tech::add(acc, sample, l);
        }
        V1* single = reinterpret_cast<V1*>(lanes.data());
        V1* single_work = reinterpret_cast<V1*>(scratch.data());
        for (std::uint64_t i = groups * kLanes; i < units; ++i) {
            if (i % kStopCheckUnits == 0) check_stop();
            points.fill(first_unit + i, single, single_work);
            PointDraw<V1> draw(single);
            Tech::add(acc, Tech::value(m, draw), 0);
        }
        return acc;
    });
}

template <MonteCarloTechnique T, class Model, class Points>
typename Technique<T>::Partial structured_run(const Model& m, std::uint64_t units, Points& points,
                                              std::uint64_t first_unit = 0) {
    return technique_structured_run<Technique<T>>(m, units, points, first_unit);
}

// The points of a structured sampler, `dimensions` coordinates each: the
// sampler's probabilities for every lane, then the inverse normal CDF of a
// whole pack at once, then the Brownian bridge when the workspace is active.
// Each value is the one the sampler gives for that point alone.
class SamplerPoints {
public:
    SamplerPoints(const StructuredNormalSampler& sampler, const BrownianBridgeWorkspace& bridge,
                  std::uint64_t dimensions)
        : sampler_(sampler), bridge_(bridge), dimensions_(dimensions) {}

    // `work` has room for dimensions + 1 packs.
    template <class V>
    MC_LANE_INLINE void fill(std::uint64_t first, V* rows, V* work) {
        // A pack's lanes are its doubles (vector types alias their element type).
        sampler_.fill_uniform_rows(first, simd::lanes_of<V>, dimensions_, reinterpret_cast<double*>(rows));
        const std::size_t dims = static_cast<std::size_t>(dimensions_);
        lane_math::inverse_standard_normal_rows(rows, dims);
        if (bridge_.active()) bridge_.build(rows, work);
    }

private:
    const StructuredNormalSampler& sampler_;
    const BrownianBridgeWorkspace& bridge_;
    std::uint64_t dimensions_;
};

// ---- Pricing a model --------------------------------------------------------------

// Where a call's units run.
struct ModelRun {
    std::uint64_t n_paths;
    std::uint64_t seed;
    std::uint64_t n_threads;
    SamplingMethod sampling;
    double bridge_horizon;      // maturity, for the Brownian bridge (when the model has steps)
    bool bridge;                // the model's normals are time steps a bridge may build
    bool on_workers;            // pseudorandom blocks through the runner, or on the calling thread
    bool antithetic_on_workers;  // the same for antithetic pairs
    std::optional<BlockPlan> plan = std::nullopt;  // the caller's blocks, in place of the above
    SobolLength sobol_length = SobolLength::blocks_of_65536;
};

// Without a plan, pseudorandom units run as the product says (worker blocks
// or one serial block) and structured points on the calling thread. With
// one, the plan's blocks run on its threads: the blocks of a parallel run of
// `blocks` workers where the product runs on workers, otherwise ranges of the
// one serial run (jumped-ahead streams, or point offsets), whose per-unit
// values are the serial run's.
template <class Tech, class Model>
auto price_model_by(const Model& m, const ModelRun& run) {
    const std::uint64_t units = Tech::units(run.n_paths);
    if (run.sampling == SamplingMethod::pseudorandom) {
        const bool workers = Tech::kPairs ? run.antithetic_on_workers : run.on_workers;
        const auto kernel = [&m](const WorkerBlock& block) {
            return technique_stream_chunk<Tech>(block.stream_seed, block.units, m, block.first_unit);
        };
        const auto blocks = workers ? worker_blocks(units, run.n_threads, run.seed, run.plan)
                                    : split_blocks(units, run.plan ? run.plan->blocks : 1, run.seed, BlockSeeds::range);
        return estimate(run_plan_blocks(blocks, kernel, kWorkerFailureText, run.plan), units, m.control_mean());
    }
    const std::uint64_t dims = m.normals_per_unit();
    const StructuredNormalSampler sampler(run.sampling, run.seed, run.n_paths, dims, run.sobol_length);
    const BrownianBridgeWorkspace bridge(run.bridge ? run.sampling : SamplingMethod::pseudorandom, dims,
                                         run.bridge_horizon);
    const auto kernel = [&](const WorkerBlock& block) {
        SamplerPoints points(sampler, bridge, dims);
        return technique_structured_run<Tech>(m, block.units, points, block.first_unit);
    };
    const auto blocks = split_blocks(units, run.plan ? run.plan->blocks : 1, run.seed, BlockSeeds::range);
    return estimate(run_plan_blocks(blocks, kernel, kWorkerFailureText, run.plan), units, m.control_mean());
}

template <MonteCarloTechnique T, class Model>
EuropeanCallResult price_model_with(const Model& m, const ModelRun& run) {
    return price_model_by<Technique<T>>(m, run);
}

// Chooses the technique once per call; no per-step branching follows.
template <class Model>
EuropeanCallResult price_model(const Model& m, MonteCarloTechnique technique, const ModelRun& run) {
    switch (technique) {
        case MonteCarloTechnique::standard:
            return price_model_with<MonteCarloTechnique::standard>(m, run);
        case MonteCarloTechnique::antithetic:
            return price_model_with<MonteCarloTechnique::antithetic>(m, run);
        case MonteCarloTechnique::control_variate:
            return price_model_with<MonteCarloTechnique::control_variate>(m, run);
    }
    fail("internal error: unknown Monte Carlo technique");
}

}  // namespace mc_core

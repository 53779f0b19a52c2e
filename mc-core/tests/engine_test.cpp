// The model engine: lanes reproduce the sequential stream, every tile layout
// gives the same bits. Every product with every sampler and technique on every
// SIMD target: tests/python/test_engine.py.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

#include "mc_core/dynamics.hpp"
#include "mc_core/engine.hpp"
#include "mc_core/european.hpp"
#include "mc_core/path_dependent.hpp"
#include "mc_core/simd.hpp"
#include "mc_core/stream_jump.hpp"

namespace mc_core {
namespace {

using U64 = std::uint64_t;

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Every lane, started at a jumped-ahead position, reads on exactly as one
// stream would from there, in requests of odd and even sizes; a lane may
// start on the second value of a pair.
TEST(LaneStream, LanesContinueTheSequentialStream) {
    using V = simd::f64x8;
    constexpr U64 kSeed = 12345;
    NormalRng sequential(kSeed);
    std::vector<double> expected(4000);
    sequential.fill_standard_normals(expected.data(), expected.size());
    for (const U64 gap : {U64{0}, U64{2}, U64{252}, U64{317}}) {
        for (const bool odd_start : {false, true}) {
            simd::u64_of<V> states;
            const U64 pair_gap = gap & ~U64{1};
            states[0] = NormalRng(kSeed).state;
            for (std::size_t l = 1; l < simd::kLanes; ++l) states[l] = jump(states[l - 1], jump_ahead(pair_gap));
            LaneStream<V> lanes(states);
            V skipped;
            if (odd_start) lanes.fill(&skipped, 1);  // each lane now holds the sine of its first pair
            U64 read = odd_start ? 1 : 0;
            for (const std::size_t request : {1, 2, 7, 128, 3, 64}) {
                V block[128];
                lanes.fill(block, request);
                for (std::size_t j = 0; j < request; ++j)
                    for (std::size_t l = 0; l < simd::kLanes; ++l)
                        ASSERT_TRUE(same_bits(block[j][l], expected[l * pair_gap + read + j]))
                            << "gap " << gap << " lane " << l << " normal " << read + j;
                read += request;
            }
        }
    }
}

template <class Partial>
std::vector<double> fields(const Partial& p) {
    if constexpr (std::is_same_v<Partial, PathSums>)
        return {p.sum, p.sum_sq};
    else
        return {static_cast<double>(p.count), p.sum_y, p.sum_y2, p.sum_c, p.sum_c2, p.sum_cy};
}

// Every tile layout (one lane throughout; 2, 4 or 6 units per lane; the
// default) gives the bits of one lane, for odd and even normal counts, ragged
// tails and every technique.
template <MonteCarloTechnique T, class Model>
void expect_layouts_agree(const Model& m, U64 units, const char* what) {
    using Kernel = StreamKernel<T, Model>;
    const auto reference = fields(Kernel::template run<simd::f64x8>(77, units, m, U64{0}));
    for (const std::optional<U64> tile : {std::optional<U64>(2), std::optional<U64>(4), std::optional<U64>(6),
                                          std::optional<U64>()}) {
        const auto got = simd::on_active_target([&](auto pack) {
            return fields(Kernel::template run<typename decltype(pack)::type>(77, units, m, tile));
        });
        const auto wide = fields(Kernel::template run<simd::f64x8>(77, units, m, tile));
        for (std::size_t f = 0; f < got.size(); ++f) {
            EXPECT_TRUE(same_bits(got[f], reference[f]))
                << what << ", " << units << " units, tile " << tile.value_or(99) << ", field " << f;
            EXPECT_TRUE(same_bits(wide[f], reference[f])) << what << ", 8 lanes, " << units << " units";
        }
    }
}

template <class Model>
void expect_all_techniques(const Model& m, const char* what) {
    for (const U64 units : {U64{1}, U64{16}, U64{53}, U64{203}}) {
        expect_layouts_agree<MonteCarloTechnique::standard>(m, units, what);
        expect_layouts_agree<MonteCarloTechnique::antithetic>(m, units, what);
        expect_layouts_agree<MonteCarloTechnique::control_variate>(m, units, what);
    }
}

TEST(ModelEngine, EveryTileLayoutGivesTheSequentialBits) {
    expect_all_techniques(TerminalModel::from({}), "terminal");
    for (const U64 steps : {U64{1}, U64{7}, U64{130}}) {
        expect_all_techniques(make_stepwise_model(ArithmeticAverage{100.0, double(steps)}, steps, 100.0, 0.03, 0.2, 1.0),
                              "asian");
        expect_all_techniques(make_stepwise_model(KnockOut{100.0, 100.0, 95.0}, steps, 100.0, 0.03, 0.2, 1.0), "dao");
        expect_all_techniques(HestonPathParams::from({.n_steps = steps}), "heston");
    }
}

}  // namespace
}  // namespace mc_core

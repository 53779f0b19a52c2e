// Stopping a run: a requested stop ends every kind of run with Interrupted
// and no thread left behind; a scope that never stops changes no bit.
#include <gtest/gtest.h>

#include <atomic>
#include <bit>

#include "mc_core/dynamics.hpp"
#include "mc_core/early_exercise.hpp"
#include "mc_core/european.hpp"
#include "mc_core/interrupt.hpp"

namespace mc_core {
namespace {

// Says stop from the `after`-th poll on, counting the polls.
struct Poll {
    int after;
    std::atomic<int> calls{0};
    static bool answer(void* self) {
        Poll& p = *static_cast<Poll*>(self);
        return ++p.calls >= p.after;
    }
};

EuropeanCallConfig long_european(MonteCarloTechnique technique, SamplingMethod sampling, std::uint64_t threads) {
    EuropeanCallConfig c;
    c.n_paths = 4'000'000'000;  // minutes of work: only a stop ends it in time
    c.n_threads = threads;
    c.technique = technique;
    c.sampling = sampling;
    return c;
}

TEST(Stop, EndsRunsOnWorkersAndOnTheCallingThread) {
    struct Case {
        MonteCarloTechnique technique;
        SamplingMethod sampling;
        std::uint64_t threads;
    };
    for (const Case& c : {Case{MonteCarloTechnique::standard, SamplingMethod::pseudorandom, 2},
                          Case{MonteCarloTechnique::control_variate, SamplingMethod::pseudorandom, 1},
                          Case{MonteCarloTechnique::antithetic, SamplingMethod::pseudorandom, 2},
                          Case{MonteCarloTechnique::standard, SamplingMethod::scrambled_sobol, 2}}) {
        SCOPED_TRACE(testing::Message() << "threads " << c.threads << ", sampling " << static_cast<int>(c.sampling));
        Poll poll{3};
        {
            const StopScope scope(Poll::answer, &poll);
            EXPECT_THROW(european_call_price_mc_cpu(long_european(c.technique, c.sampling, c.threads)), Interrupted);
        }
        EXPECT_EQ(poll.calls.load(), 3);  // the third poll stops the run, and no poll comes after it
    }
}

TEST(Stop, EndsMertonWorkersAndLongstaffSchwartzRuns) {
    MertonJumpDiffusionCallConfig merton;
    merton.n_paths = 4'000'000'000;
    merton.n_threads = 2;
    runtime::cpu::AmericanPutConfig put;  // 100,000 paths: their generation outlasts the second poll
    for (int which = 0; which < 2; ++which) {
        Poll poll{2};
        const StopScope scope(Poll::answer, &poll);
        if (which == 0)
            EXPECT_THROW(merton_jump_diffusion_call_price_mc_cpu(merton), Interrupted);
        else
            EXPECT_THROW(runtime::cpu::american_put_price_lsm_cpu(put), Interrupted);
    }
}

TEST(Stop, AScopeThatNeverStopsChangesNoBit) {
    EuropeanCallConfig c;
    c.n_paths = 200'000;
    c.n_threads = 2;
    const EuropeanCallResult plain = european_call_price_mc_cpu(c);
    Poll never{1 << 30};
    const StopScope scope(Poll::answer, &never);
    const EuropeanCallResult polled = european_call_price_mc_cpu(c);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(polled.price), std::bit_cast<std::uint64_t>(plain.price));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(polled.std_error), std::bit_cast<std::uint64_t>(plain.std_error));
}

}  // namespace
}  // namespace mc_core

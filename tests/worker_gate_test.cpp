#include "core/scan/worker_gate.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <thread>
#include <tuple>
#include <utility>

namespace bramwex::core {
namespace {

TEST(WorkerGate, NextLimitRules) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // utilisation, pending, limit, min, max; the next limit
    const std::tuple<double, uint64_t, uint32_t, uint32_t, uint32_t, uint32_t> rows[] = {
        {0.10, 3, 2, 1, 8, 4},    // idle with a backlog (one more than the limit) doubles
        {0.10, 2, 2, 1, 8, 2},    // idle without a backlog stays
        {0.25, 10, 4, 4, 8, 5},   // a quarter busy with a backlog grows by one
        {0.75, 10, 5, 4, 8, 5},   // three quarters busy stays
        {0.76, 10, 5, 4, 8, 4},   // busy shrinks by one
        {0.10, 10, 2, 2, 2, 2},   // min equal to max never moves
        {0.60, 10, 12, 4, 8, 8},  // a limit above max is brought down
        {0.60, 10, 1, 4, 8, 4},   // a limit below min is brought up
        {nan, 10, 4, 4, 8, 4},    // no measurement stays
    };
    for (const auto& [utilisation, pending, limit, min, max, expected] : rows) {
        EXPECT_EQ(WorkerGate::next_limit(utilisation, pending, limit, min, max), expected)
            << utilisation << " " << pending << " " << limit;
    }
}

TEST(WorkerGate, ParkReturnsOnceNothingIsPending) {
    WorkerGate gate(GateSettings{std::pair{1u, 8u}, 1});
    // Nothing pending, or an index below the limit: no wait at all.
    gate.park(5);
    gate.add_pending(1);
    gate.park(0);

    gate.add_pending(1);
    EXPECT_EQ(gate.pending(), 2u);
    std::thread parked([&] { gate.park(3); });
    gate.finish_one();
    gate.finish_one();
    parked.join();  // returns, or the test hangs
    EXPECT_EQ(gate.pending(), 0u);
}

}  // namespace
}  // namespace bramwex::core

#include "nonce_cache/shared_engine.hpp"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace veltrix {
namespace {

MonotonicInstant fixed_clock() noexcept { return MonotonicInstant{}; }

TEST(StateEngineSlot, FirstQueryCreatesAnEmptyEngine) {
    EngineSlot slot(fixed_clock);
    EXPECT_FALSE(slot.with_read_access([](const StateEngine& e) { return e.is_ip_banned("a", 0); }));
    const StateEngineStats stats = slot.with_write_access([](StateEngine& e) { return e.stats(0); });
    EXPECT_EQ(stats.current_bucket_nonces + stats.previous_bucket_nonces + stats.active_ip_bans, 0u);
    slot.with_write_access([](StateEngine& e) { e.ban_ip("a", 10, 0); });
    EXPECT_TRUE(slot.with_read_access([](const StateEngine& e) { return e.is_ip_banned("a", 0); }));
}

TEST(StateEngineSlot, ConcurrentConsumersAcceptEachNonceExactlyOnce) {
    constexpr int nonce_count = 10000;
    constexpr int thread_count = 8;
    EngineSlot slot(fixed_clock);
    std::vector<std::string> nonces;
    for (int i = 0; i < nonce_count; ++i) nonces.push_back("nonce-" + std::to_string(i));
    std::array<std::atomic<int>, nonce_count> acceptances{};

    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < nonce_count; ++i) {
                const bool accepted = slot.with_write_access([&](StateEngine& e) {
                    return e.consume_nonce(nonces[i], fixed_clock(), fixed_clock) == NonceCheck::fresh;
                });
                if (accepted) ++acceptances[i];
            }
        });
    }
    for (std::thread& thread : threads) thread.join();

    for (int i = 0; i < nonce_count; ++i) ASSERT_EQ(acceptances[i].load(), 1) << nonces[i];
}

}  // namespace
}  // namespace veltrix

#include "nonce_cache/ban_table.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <string>

namespace veltrix {
namespace {

constexpr SipHashKey test_key{7, 11};
constexpr std::uint64_t now = 1'700'000'000;
constexpr std::uint64_t last_second = std::numeric_limits<std::uint64_t>::max();

TEST(BanTable, BanThenUnbanThenUnbanAgain) {
    BanTable bans(test_key);
    EXPECT_FALSE(bans.is_banned("10.0.0.1", now));
    bans.ban("10.0.0.1", now + 3600, now);
    EXPECT_TRUE(bans.is_banned("10.0.0.1", now));
    EXPECT_FALSE(bans.is_banned("10.0.0.01", now));
    bans.unban("10.0.0.1");
    EXPECT_FALSE(bans.is_banned("10.0.0.1", now));
    bans.unban("10.0.0.1");
    EXPECT_EQ(bans.size(), 0u);
}

TEST(BanTable, BanEndingNowLiftsAnEarlierBanAndStoresNothing) {
    BanTable bans(test_key);
    bans.ban("10.0.0.2", now + 3600, now);
    bans.ban("10.0.0.2", now, now);  // a zero-second ban
    EXPECT_FALSE(bans.is_banned("10.0.0.2", now));
    EXPECT_EQ(bans.size(), 0u);
    EXPECT_EQ(bans.count_active(now), 0u);
}

TEST(BanTable, NewBanReplacesLongerOne) {
    BanTable bans(test_key);
    bans.ban("10.0.0.3", now + 3600, now);
    bans.ban("10.0.0.3", now + 10, now);
    EXPECT_EQ(bans.size(), 1u);
    EXPECT_TRUE(bans.is_banned("10.0.0.3", now + 9));
    EXPECT_FALSE(bans.is_banned("10.0.0.3", now + 10));
    // The replaced expiry left the expiry order too: nothing is forgotten at it.
    EXPECT_EQ(bans.count_active(now + 9), 1u);
    EXPECT_EQ(bans.count_active(now + 10), 0u);
}

TEST(BanTable, ExpiryComparesAcrossTheWholeUnsignedRange) {
    BanTable bans(test_key);
    bans.ban("forever", last_second, 0);
    bans.ban("epoch", 0, 0);
    EXPECT_TRUE(bans.is_banned("forever", last_second - 1));
    EXPECT_FALSE(bans.is_banned("forever", last_second));
    EXPECT_FALSE(bans.is_banned("epoch", 0));
    EXPECT_EQ(bans.count_active(0), 1u);
    EXPECT_EQ(bans.count_active(last_second - 1), 1u);
    EXPECT_EQ(bans.count_active(last_second), 0u);
}

TEST(BanTable, ClearDropsEveryEntry) {
    BanTable bans(test_key);
    bans.ban("a", now + 1, now);
    bans.ban("b", now + 1, now);
    bans.clear();
    EXPECT_EQ(bans.size(), 0u);
    EXPECT_FALSE(bans.is_banned("a", now));
    EXPECT_EQ(bans.count_active(0), 0u);
}

std::string address(int i) { return "2001:db8::" + std::to_string(i); }

// Expiries out of order and repeated, with replacements and lifts among them:
// the table must hold exactly the bans in force after every ban and count.
TEST(BanTable, HoldsOnlyTheBansInForce) {
    BanTable bans(test_key);
    std::map<std::string, std::uint64_t> in_force;
    std::mt19937_64 rng(17);
    std::uniform_int_distribution<int> addresses(0, 499), lifetimes(0, 40), actions(0, 9);
    std::uint64_t clock = now;
    for (int step = 0; step < 20000; ++step) {
        clock += actions(rng) == 0 ? 3 : 0;
        std::erase_if(in_force, [&](const auto& ban) { return ban.second <= clock; });
        const std::string ip = address(addresses(rng));
        switch (actions(rng)) {
            case 0:
                bans.unban(ip);
                in_force.erase(ip);
                break;
            case 1: ASSERT_EQ(bans.count_active(clock), in_force.size()) << step; break;
            default: {
                const std::uint64_t expiry = clock + static_cast<std::uint64_t>(lifetimes(rng));
                bans.ban(ip, expiry, clock);
                if (expiry > clock) {
                    in_force[ip] = expiry;
                } else {
                    in_force.erase(ip);
                }
                ASSERT_EQ(bans.size(), in_force.size()) << step;
            }
        }
        ASSERT_EQ(bans.is_banned(ip, clock), in_force.contains(ip)) << step;
    }
}

TEST(BanTable, CountingForgetsEveryExpiredBan) {
    BanTable bans(test_key);
    for (int i = 0; i < 10000; ++i) bans.ban(address(i), now + 1 + static_cast<std::uint64_t>(i % 100), now);
    EXPECT_EQ(bans.count_active(now + 50), 5000u);
    EXPECT_EQ(bans.size(), 5000u);
    EXPECT_EQ(bans.count_active(now + 100), 0u);
    EXPECT_EQ(bans.size(), 0u);
}

struct ExpiryCase {
    std::uint64_t now;
    std::uint64_t duration;
    std::uint64_t expected;
};

class BanSaturatingExpiry : public testing::TestWithParam<ExpiryCase> {};

TEST_P(BanSaturatingExpiry, NeverWrapsAround) {
    const ExpiryCase& c = GetParam();
    EXPECT_EQ(saturating_expiry(c.now, c.duration), c.expected);
}

INSTANTIATE_TEST_SUITE_P(BanExpiry, BanSaturatingExpiry,
                         testing::Values(ExpiryCase{now, 0, now}, ExpiryCase{now, 3600, now + 3600},
                                         ExpiryCase{last_second - 10, 10, last_second},
                                         ExpiryCase{last_second - 10, 11, last_second},
                                         ExpiryCase{now, last_second, last_second},
                                         ExpiryCase{0, last_second, last_second}));

}  // namespace
}  // namespace veltrix

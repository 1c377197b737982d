#include "nonce_cache/ban_table.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace veltrix {
namespace {

constexpr SipHashKey test_key{7, 11};
constexpr std::uint64_t now = 1'700'000'000;
constexpr std::uint64_t last_second = std::numeric_limits<std::uint64_t>::max();

TEST(BanTable, BanThenUnbanThenUnbanAgain) {
    BanTable bans(test_key);
    EXPECT_FALSE(bans.is_banned("10.0.0.1", now));
    bans.ban("10.0.0.1", now + 3600);
    EXPECT_TRUE(bans.is_banned("10.0.0.1", now));
    EXPECT_FALSE(bans.is_banned("10.0.0.01", now));
    bans.unban("10.0.0.1");
    EXPECT_FALSE(bans.is_banned("10.0.0.1", now));
    bans.unban("10.0.0.1");
    EXPECT_EQ(bans.size(), 0u);
}

TEST(BanTable, ExpiredEntryStaysStoredButInactive) {
    BanTable bans(test_key);
    bans.ban("10.0.0.2", now);  // a zero-second ban
    EXPECT_FALSE(bans.is_banned("10.0.0.2", now));
    EXPECT_EQ(bans.size(), 1u);
    EXPECT_EQ(bans.count_active(now), 0u);
    EXPECT_TRUE(bans.is_banned("10.0.0.2", now - 1));
}

TEST(BanTable, NewBanReplacesLongerOne) {
    BanTable bans(test_key);
    bans.ban("10.0.0.3", now + 3600);
    bans.ban("10.0.0.3", now + 10);
    EXPECT_EQ(bans.size(), 1u);
    EXPECT_TRUE(bans.is_banned("10.0.0.3", now + 9));
    EXPECT_FALSE(bans.is_banned("10.0.0.3", now + 10));
}

TEST(BanTable, ExpiryComparesAcrossTheWholeUnsignedRange) {
    BanTable bans(test_key);
    bans.ban("forever", last_second);
    bans.ban("epoch", 0);
    EXPECT_TRUE(bans.is_banned("forever", last_second - 1));
    EXPECT_FALSE(bans.is_banned("forever", last_second));
    EXPECT_FALSE(bans.is_banned("epoch", 0));
    EXPECT_EQ(bans.count_active(0), 1u);
}

TEST(BanTable, ClearDropsEveryEntry) {
    BanTable bans(test_key);
    bans.ban("a", now + 1);
    bans.ban("b", now + 1);
    bans.clear();
    EXPECT_EQ(bans.size(), 0u);
    EXPECT_FALSE(bans.is_banned("a", now));
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

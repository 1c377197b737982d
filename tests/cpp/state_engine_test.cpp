#include "nonce_cache/state_engine.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace veltrix {
namespace {

using namespace std::chrono_literals;

constexpr MonotonicInstant at(std::chrono::nanoseconds since_origin) { return {since_origin}; }

constexpr std::chrono::nanoseconds t0 = 1000s;
constexpr MonotonicInstant start = at(t0);

// Consumes with a clock that keeps reading `now`, as when a rotation takes no time.
bool consume(StateEngine& engine, std::string_view nonce, MonotonicInstant now) {
    return engine.consume_nonce(nonce, now, [now] { return now; }) == NonceCheck::fresh;
}

std::size_t current_count(StateEngine& engine) { return engine.stats(0).current_bucket_nonces; }
std::size_t previous_count(StateEngine& engine) { return engine.stats(0).previous_bucket_nonces; }

TEST(StateEngineNonces, SecondUseIsRefusedAndNotRecorded) {
    StateEngine engine(start);
    EXPECT_TRUE(consume(engine, "n1", start));
    EXPECT_FALSE(consume(engine, "n1", at(t0 + 500ms)));
    EXPECT_TRUE(consume(engine, "N1", at(t0 + 500ms)));
    EXPECT_TRUE(consume(engine, "", at(t0 + 500ms)));
    EXPECT_FALSE(consume(engine, "", at(t0 + 500ms)));
    EXPECT_EQ(current_count(engine), 3u);
}

TEST(StateEngineNonces, RefusedUntilTheSecondRotationAfterUse) {
    StateEngine engine(start);
    ASSERT_TRUE(consume(engine, "n", start));
    EXPECT_FALSE(consume(engine, "n", at(t0 + 61s)));  // rotates; now in the previous bucket
    EXPECT_EQ(previous_count(engine), 1u);
    EXPECT_TRUE(consume(engine, "n", at(t0 + 122s)));  // rotates again; the replay was not re-recorded
}

struct BoundaryCase {
    std::chrono::nanoseconds elapsed;
    bool rotates;
};

class StateEngineBucketBoundary : public testing::TestWithParam<BoundaryCase> {};

TEST_P(StateEngineBucketBoundary, RotatesFromExactlySixtySeconds) {
    StateEngine engine(start);
    ASSERT_TRUE(consume(engine, "old", start));
    ASSERT_TRUE(consume(engine, "probe", at(t0 + GetParam().elapsed)));
    EXPECT_EQ(previous_count(engine), GetParam().rotates ? 1u : 0u);
    EXPECT_EQ(current_count(engine), GetParam().rotates ? 1u : 2u);
}

INSTANTIATE_TEST_SUITE_P(StateEngineBuckets, StateEngineBucketBoundary,
                         testing::Values(BoundaryCase{59s + 999'999'999ns, false}, BoundaryCase{60s, true},
                                         BoundaryCase{600s, true}, BoundaryCase{-5s, false}));

TEST(StateEngineNonces, LongQuietSpellRotatesOnlyOnce) {
    StateEngine engine(start);
    ASSERT_TRUE(consume(engine, "before pause", at(t0 + 10s)));
    EXPECT_FALSE(consume(engine, "before pause", at(t0 + 610s)));
    EXPECT_EQ(previous_count(engine), 1u);
}

TEST(StateEngineNonces, ClockBehindBucketStartCountsAsNoTime) {
    StateEngine engine(start);
    ASSERT_TRUE(consume(engine, "n", start));
    EXPECT_FALSE(consume(engine, "n", at(t0 - 3600s)));
    EXPECT_TRUE(consume(engine, "m", at(t0 + 59s)));
    EXPECT_EQ(previous_count(engine), 0u);
}

TEST(StateEngineNonces, NewBucketStartsAtTheReadingTakenWhenRotating) {
    StateEngine engine(start);
    ASSERT_TRUE(consume(engine, "a", start));
    // Step-three reading 61 s; the rotation itself reads 75 s.
    ASSERT_EQ(engine.consume_nonce("b", at(t0 + 61s), [] { return at(t0 + 75s); }), NonceCheck::fresh);
    // 134 s is 73 s after the first reading but only 59 s after the bucket start.
    ASSERT_TRUE(consume(engine, "c", at(t0 + 134s)));
    EXPECT_EQ(previous_count(engine), 1u);
    EXPECT_EQ(current_count(engine), 2u);
    EXPECT_FALSE(consume(engine, "a", at(t0 + 134s)));
}

TEST(StateEngineNonces, StatsAfterRotationSplitTheBuckets) {
    StateEngine engine(start);
    for (const char* nonce : {"a", "b", "c"}) ASSERT_TRUE(consume(engine, nonce, start));
    ASSERT_FALSE(consume(engine, "a", at(t0 + 1s)));
    EXPECT_EQ(current_count(engine), 3u);

    ASSERT_TRUE(consume(engine, "d", at(t0 + 60s)));
    ASSERT_TRUE(consume(engine, "e", at(t0 + 61s)));
    const StateEngineStats stats = engine.stats(0);
    EXPECT_EQ(stats.previous_bucket_nonces, 3u);
    EXPECT_EQ(stats.current_bucket_nonces, 2u);
    EXPECT_EQ(stats.active_ip_bans, 0u);
}

constexpr std::uint64_t now = 1'700'000'000;

TEST(StateEngineBans, StatsCountOnlyBansStillInForce) {
    StateEngine engine(start);
    engine.ban_ip("10.0.0.1", saturating_expiry(now, 0), now);
    engine.ban_ip("10.0.0.2", saturating_expiry(now, 3600), now);
    EXPECT_FALSE(engine.is_ip_banned("10.0.0.1", now));
    EXPECT_TRUE(engine.is_ip_banned("10.0.0.2", now));
    EXPECT_EQ(engine.stats(now).active_ip_bans, 1u);
    engine.unban_ip("10.0.0.2");
    EXPECT_EQ(engine.stats(now).active_ip_bans, 0u);
}

TEST(StateEngineBans, HydrateSkipsPastAndPresentAndLaterPairWins) {
    StateEngine engine(start);
    const std::vector<BanRecord> bans = {
        {"past", now - 1},  {"present", now},    {"twice", now + 100},
        {"twice", now + 5}, {"stale", now + 50}, {"stale", now - 50},
    };
    engine.hydrate_bans(bans, now);
    EXPECT_FALSE(engine.is_ip_banned("past", now - 2));
    EXPECT_FALSE(engine.is_ip_banned("present", now - 1));
    EXPECT_TRUE(engine.is_ip_banned("twice", now + 4));
    EXPECT_FALSE(engine.is_ip_banned("twice", now + 5));
    EXPECT_TRUE(engine.is_ip_banned("stale", now + 49));  // a skipped pair removes nothing
    EXPECT_EQ(engine.stats(now).active_ip_bans, 2u);
}

TEST(StateEngineBans, HydrateMergesAndOverwritesExistingBans) {
    StateEngine engine(start);
    engine.ban_ip("kept", now + 3600, now);
    engine.ban_ip("shortened", now + 3600, now);
    engine.hydrate_bans({}, now);
    EXPECT_EQ(engine.stats(now).active_ip_bans, 2u);

    const std::vector<BanRecord> bans = {{"shortened", now + 10}, {"added", now + 20}};
    engine.hydrate_bans(bans, now);
    EXPECT_TRUE(engine.is_ip_banned("kept", now + 3599));
    EXPECT_FALSE(engine.is_ip_banned("shortened", now + 10));
    EXPECT_TRUE(engine.is_ip_banned("added", now + 19));
    EXPECT_EQ(engine.stats(now).active_ip_bans, 3u);
}

TEST(StateEngineClear, ForgetsEverythingAndRestartsTheBucket) {
    StateEngine engine(start);
    ASSERT_TRUE(consume(engine, "old", start));
    ASSERT_TRUE(consume(engine, "n", at(t0 + 60s)));
    engine.ban_ip("10.0.0.1", now + 3600, now);

    engine.clear(at(t0 + 100s));
    engine.clear(at(t0 + 100s));
    const StateEngineStats stats = engine.stats(now);
    EXPECT_EQ(stats.current_bucket_nonces, 0u);
    EXPECT_EQ(stats.previous_bucket_nonces, 0u);
    EXPECT_EQ(stats.active_ip_bans, 0u);
    EXPECT_FALSE(engine.is_ip_banned("10.0.0.1", now));

    EXPECT_TRUE(consume(engine, "n", at(t0 + 159s)));  // 59 s into the restarted bucket
    EXPECT_TRUE(consume(engine, "old", at(t0 + 159s)));
    EXPECT_EQ(previous_count(engine), 0u);
}

}  // namespace
}  // namespace veltrix

#include <algorithm>
#include <compare>
#include <cstddef>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kinematics/time_ordered_path.hpp"

namespace veltrix {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Each sample's x is its list position, so the path's x series names the samples chosen.
std::vector<MovementPoint> samples_at(const std::vector<double>& times) {
    std::vector<MovementPoint> samples;
    for (const double t : times) {
        samples.push_back({.x = static_cast<double>(samples.size()), .y = -t, .t = t});
    }
    return samples;
}

std::vector<double> reference_ids(std::vector<MovementPoint> samples, std::size_t limit) {
    std::ranges::stable_sort(
        samples, [](const MovementPoint& a, const MovementPoint& b) { return std::is_lt(std::weak_order(a.t, b.t)); });
    std::vector<double> ids;
    for (std::size_t i = 0; i < std::min(limit, samples.size()); ++i) {
        ids.push_back(samples[i].x);
    }
    return ids;
}

// Room for `limit` samples, and the series of the path written into it.
struct ChosenPath {
    ChosenPath(const std::vector<MovementPoint>& samples, std::size_t limit)
        : room_x(limit), room_y(limit), room_t(limit) {
        const TimeOrderedPath path = earliest_path(samples, {room_x, room_y, room_t});
        x.assign(path.x.begin(), path.x.end());
        y.assign(path.y.begin(), path.y.end());
        t.assign(path.t.begin(), path.t.end());
    }
    std::vector<double> room_x, room_y, room_t;
    std::vector<double> x, y, t;
};

TEST(TimeOrderedPath, CoordinatesFollowTheChosenSamples) {
    const ChosenPath path(samples_at({30, 10, 20}), 2);
    EXPECT_EQ(path.x, (std::vector<double>{1, 2}));
    EXPECT_EQ(path.y, (std::vector<double>{-10, -20}));
    EXPECT_EQ(path.t, (std::vector<double>{10, 20}));
}

TEST(TimeOrderedPath, NaNTimesGoToTheEndTheirSignPicks) {
    EXPECT_EQ(ChosenPath(samples_at({5, kNaN, 1, -kNaN, 3}), 10).x, (std::vector<double>{3, 2, 4, 0, 1}));
}

// A full room gives up its latest sample for an earlier one, the later of two
// equal times first, and passes over samples later than all it holds.
TEST(TimeOrderedPath, FullRoomKeepsTheEarliestSamples) {
    EXPECT_EQ(ChosenPath(samples_at({4, 6, 2, 6, 5, 1, 9}), 3).x, (std::vector<double>{5, 2, 0}));
    EXPECT_EQ(ChosenPath(samples_at({1, 3, 3, 3, 2}), 3).x, (std::vector<double>{0, 4, 1}));
    EXPECT_TRUE(ChosenPath(samples_at({1, 2}), 0).x.empty());
}

// Orders from nearly sorted (the insertion sort finishes) to shuffled (it gives
// up part way and a stable sort starts over), with ties, in rooms from a half
// of the samples to more than all of them.
TEST(TimeOrderedPath, MatchesAStableSortAtEveryLevelOfDisorder) {
    std::mt19937_64 random(20260513);
    const struct {
        const char* name;
        std::size_t neighbour_swaps;
        bool shuffle;
    } disorders[] = {{"in order", 0, false},
                     {"one swap", 1, false},
                     {"few swaps", 5, false},
                     {"many swaps", 60, false},
                     {"shuffled", 0, true}};
    for (const auto& disorder : disorders) {
        for (const std::size_t count : {3, 17, 150, 700}) {
            SCOPED_TRACE(std::string(disorder.name) + ", " + std::to_string(count) + " samples");
            std::vector<double> times(count);
            std::uniform_int_distribution<int> step(0, 3);  // zero steps make ties
            for (std::size_t i = 1; i < count; ++i) {
                times[i] = times[i - 1] + step(random);
            }
            std::uniform_int_distribution<std::size_t> position(0, count - 2);
            for (std::size_t swap = 0; swap < disorder.neighbour_swaps; ++swap) {
                const std::size_t at = position(random);
                std::swap(times[at], times[at + 1]);
            }
            if (disorder.shuffle) {
                std::ranges::shuffle(times, random);
            }
            const std::vector<MovementPoint> samples = samples_at(times);
            for (const std::size_t limit : {count, count / 2, std::size_t{300}}) {
                EXPECT_EQ(ChosenPath(samples, limit).x, reference_ids(samples, limit));
            }
        }
    }
}

}  // namespace
}  // namespace veltrix

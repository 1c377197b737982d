#include "nonce_cache/nonce_arena.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

namespace veltrix {
namespace {

constexpr std::uint32_t hint = 0xA5C3E1F7;
constexpr std::uint32_t kept_hint = hint & ((std::uint32_t{1} << NonceArena::hint_bits) - 1);

struct HintCase {
    std::size_t key_length;
    std::optional<std::uint32_t> expected_hint;
};

class NonceArenaHint : public testing::TestWithParam<HintCase> {};

TEST_P(NonceArenaHint, KeepsBytesAndTheHintOfShortKeysOnly) {
    NonceArena arena;
    const std::string before(5, 'b');
    const std::string key(GetParam().key_length, '\xff');
    const std::string after(7, 'a');
    const std::uint32_t before_unit = arena.store(before, 1).value();
    const std::uint32_t key_unit = arena.store(key, hint).value();
    const std::uint32_t after_unit = arena.store(after, 2).value();

    EXPECT_EQ(arena.entry(key_unit).key, key);
    EXPECT_EQ(arena.entry(key_unit).hint, GetParam().expected_hint);
    EXPECT_EQ(arena.entry(before_unit).key, before);
    EXPECT_EQ(arena.entry(before_unit).hint, 1u);
    EXPECT_EQ(arena.entry(after_unit).key, after);
    EXPECT_EQ(arena.entry(after_unit).hint, 2u);
}

INSTANTIATE_TEST_SUITE_P(AroundTheShortKeyLimit, NonceArenaHint,
                         testing::Values(HintCase{0, kept_hint}, HintCase{36, kept_hint},
                                         HintCase{NonceArena::short_key_limit - 1, kept_hint},
                                         HintCase{NonceArena::short_key_limit, std::nullopt},
                                         HintCase{NonceArena::chunk_bytes, std::nullopt}));

// An entry larger than a chunk takes one chunk's units whatever its length, and
// an entry that would pass the end of the unit space is refused, changing nothing.
TEST(NonceArena, RefusesEntriesPastTheEndOfItsUnitsAndKeepsTheRest) {
    NonceArena arena(3 * NonceArena::units_per_chunk);
    const std::string huge(5 * NonceArena::chunk_bytes, 'h');
    const std::string filler(NonceArena::chunk_bytes - NonceArena::long_header_bytes - NonceArena::unit_bytes, 'f');
    const auto huge_unit = arena.store(huge, 0);
    const auto short_unit = arena.store("short", 3);
    ASSERT_TRUE(huge_unit && short_unit);
    // One unit short of a whole chunk: too long to fit beside "short", so it starts the last chunk.
    const auto filler_unit = arena.store(filler, 0);
    ASSERT_TRUE(filler_unit);
    EXPECT_EQ(*filler_unit, 2 * NonceArena::units_per_chunk);

    EXPECT_FALSE(arena.store(huge, 0));
    EXPECT_FALSE(arena.store(std::string(2 * NonceArena::unit_bytes, 's'), 0));
    const auto last_fit = arena.store("", 4);  // one header unit is all that is left
    ASSERT_TRUE(last_fit);
    EXPECT_FALSE(arena.store("", 5));

    EXPECT_EQ(arena.entry(*huge_unit).key, huge);
    EXPECT_EQ(arena.entry(*short_unit).key, "short");
    EXPECT_EQ(arena.entry(*short_unit).hint, 3u);
    EXPECT_EQ(arena.entry(*filler_unit).key, filler);
    EXPECT_EQ(arena.entry(*last_fit).key, "");
    EXPECT_EQ(arena.entry(*last_fit).hint, 4u);

    arena.clear();
    EXPECT_TRUE(arena.store(huge, 0));
}

}  // namespace
}  // namespace veltrix

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
    const std::uint32_t before_unit = arena.store(before, 1);
    const std::uint32_t key_unit = arena.store(key, hint);
    const std::uint32_t after_unit = arena.store(after, 2);

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

}  // namespace
}  // namespace veltrix

#include "nonce_cache/nonce_set.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace veltrix {
namespace {

constexpr SipHashKey test_key{0x0123456789abcdefULL, 0xfedcba9876543210ULL};

std::string numbered(std::string prefix, int i) { return prefix.append(std::to_string(i)); }

TEST(NonceSet, InsertsOnceAndComparesBytesExactly) {
    NonceSet set(test_key);
    EXPECT_EQ(set.insert("Nonce-A"), NonceCheck::fresh);
    EXPECT_EQ(set.insert("Nonce-A"), NonceCheck::replayed);
    EXPECT_TRUE(set.contains("Nonce-A"));
    EXPECT_FALSE(set.contains("nonce-a"));
    EXPECT_FALSE(set.contains("Nonce-A "));
    EXPECT_FALSE(set.contains("Nonce-"));
    EXPECT_EQ(set.size(), 1u);
}

TEST(NonceSet, EmptyAndEmbeddedNulKeysAreOrdinaryKeys) {
    NonceSet set(test_key);
    EXPECT_FALSE(set.contains(""));
    EXPECT_EQ(set.insert(""), NonceCheck::fresh);
    EXPECT_EQ(set.insert(""), NonceCheck::replayed);
    const std::string with_nul("a\0b", 3);
    EXPECT_FALSE(set.contains(with_nul));
    EXPECT_EQ(set.insert(with_nul), NonceCheck::fresh);
    EXPECT_FALSE(set.contains("a"));
    EXPECT_EQ(set.size(), 2u);
}

TEST(NonceSet, DoublesOnlyPastSevenEighthsLoad) {
    NonceSet set(test_key);
    constexpr int initial_room = 14336;
    for (int i = 0; i < initial_room; ++i) ASSERT_EQ(set.insert(numbered("k", i)), NonceCheck::fresh);
    EXPECT_EQ(set.slot_count(), NonceSet::initial_slot_count);
    EXPECT_EQ(set.insert("one more"), NonceCheck::fresh);
    EXPECT_EQ(set.slot_count(), 2 * NonceSet::initial_slot_count);
}

TEST(NonceSet, KeepsEveryKeyThroughSeveralDoublings) {
    NonceSet set(test_key);
    constexpr int key_count = 200000;
    for (int i = 0; i < key_count; ++i) ASSERT_EQ(set.insert(numbered("nonce-", i)), NonceCheck::fresh);
    EXPECT_EQ(set.size(), static_cast<std::size_t>(key_count));
    EXPECT_EQ(set.slot_count(), 262144u);
    for (int i = 0; i < key_count; ++i) {
        ASSERT_TRUE(set.contains(numbered("nonce-", i))) << i;
        ASSERT_FALSE(set.contains(numbered("absent-", i))) << i;
    }
    EXPECT_EQ(set.insert(numbered("nonce-", 12345)), NonceCheck::replayed);
}

TEST(NonceSet, KeysAroundAndBeyondTheChunkSizeSurviveGrowth) {
    // Exactly one chunk with its header, one byte more (an allocation of its
    // own), and a key of two chunks' length.
    const std::size_t fills_chunk = NonceArena::chunk_bytes - NonceArena::long_header_bytes;
    const std::vector<std::string> large = {std::string(fills_chunk, 'e'), std::string(fills_chunk + 1, 'o'),
                                            std::string(2 * NonceArena::chunk_bytes, 'h')};
    // Varied lengths leave chunk tails unused, which the rebuild must skip.
    std::vector<std::string> small;
    for (int i = 0; i < 30000; ++i) small.push_back(numbered(std::string(i % 37, '-'), i));

    NonceSet set(test_key);
    ASSERT_EQ(set.insert(small[0]), NonceCheck::fresh);
    for (const std::string& key : large) {
        ASSERT_EQ(set.insert(key), NonceCheck::fresh);
        ASSERT_EQ(set.insert(key.substr(0, 3)), NonceCheck::fresh);
    }
    for (std::size_t i = 1; i < small.size(); ++i) ASSERT_EQ(set.insert(small[i]), NonceCheck::fresh);
    ASSERT_GT(set.slot_count(), NonceSet::initial_slot_count);

    for (const std::string& key : large) {
        EXPECT_EQ(set.insert(key), NonceCheck::replayed) << key.size();
        std::string last_byte_changed = key;
        last_byte_changed.back() = 'x';
        EXPECT_FALSE(set.contains(last_byte_changed)) << key.size();
    }
    for (const std::string& key : small) ASSERT_TRUE(set.contains(key)) << key;
    EXPECT_EQ(set.size(), large.size() * 2 + small.size());
}

TEST(NonceSet, KeysEitherSideOfTheShortKeyLimitSurviveGrowth) {
    // Short keys move by their stored hash bits, longer ones are hashed again;
    // both must land where a lookup searches for them.
    std::vector<std::string> keys;
    for (int i = 0; i < 40000; ++i) {
        const std::size_t length = NonceArena::short_key_limit - 2 + static_cast<std::size_t>(i % 4);
        std::string key = numbered("", i);
        key.resize(length, '.');
        keys.push_back(std::move(key));
    }
    NonceSet set(test_key);
    for (const std::string& key : keys) ASSERT_EQ(set.insert(key), NonceCheck::fresh);
    ASSERT_EQ(set.slot_count(), 4 * NonceSet::initial_slot_count);
    for (const std::string& key : keys) {
        ASSERT_EQ(set.insert(key), NonceCheck::replayed) << key.size();
        ASSERT_FALSE(set.contains(key + '.')) << key.size();
        ASSERT_FALSE(set.contains(key.substr(0, key.size() - 1))) << key.size();
    }
    EXPECT_EQ(set.size(), keys.size());
}

TEST(NonceSet, ClearForgetsKeysButKeepsCapacity) {
    NonceSet set(test_key);
    for (int i = 0; i < 20000; ++i) set.insert(numbered("k", i));
    const std::size_t grown_slots = set.slot_count();
    set.clear();
    EXPECT_EQ(set.size(), 0u);
    EXPECT_EQ(set.slot_count(), grown_slots);
    EXPECT_FALSE(set.contains("k1"));
    EXPECT_EQ(set.insert("k1"), NonceCheck::fresh);
    EXPECT_TRUE(set.contains("k1"));
}

}  // namespace
}  // namespace veltrix

#include "nonce_cache/siphash.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace veltrix {
namespace {

// Expected values are CPython's hash of the bytes object (SipHash-1-3), taken
// under PYTHONHASHSEED=0 (all-zero key) and PYTHONHASHSEED=20240607, whose key
// the interpreter derives with its seeded generator. Lengths cover every tail
// size and several whole words.
struct Vector {
    std::size_t length;  // message is the bytes 0, 1, ..., length - 1
    std::uint64_t zero_key_hash;
    std::uint64_t seeded_key_hash;
};

constexpr SipHashKey seeded_key{0x83185d4424e1a1c0ULL, 0x1e0782ca2a4ebc5bULL};

class SipHashReference : public testing::TestWithParam<Vector> {};

std::string counting_bytes(std::size_t length) {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(i);
    return bytes;
}

TEST_P(SipHashReference, MatchesInterpreterHash) {
    const Vector& vector = GetParam();
    const std::string message = counting_bytes(vector.length);
    EXPECT_EQ(siphash13(SipHashKey{}, message), vector.zero_key_hash);
    EXPECT_EQ(siphash13(seeded_key, message), vector.seeded_key_hash);
}

INSTANTIATE_TEST_SUITE_P(SipHashByLength, SipHashReference,
                         testing::Values(Vector{1, 0x68a914128e01e473ULL, 0x7fd0d0c91033741fULL},
                                         Vector{3, 0x4d4c9a4a8ef6e0adULL, 0x88cdda8564b18115ULL},
                                         Vector{7, 0x2f098ab0c751325aULL, 0xf8180e5919f1f894ULL},
                                         Vector{8, 0xead411e67ebe2eeaULL, 0xda6e53b81d010de5ULL},
                                         Vector{9, 0x75927f9d95124362ULL, 0xdc73b358d8d54ef9ULL},
                                         Vector{15, 0xf30eb725bb91c9eaULL, 0x6b857c409116b862ULL},
                                         Vector{16, 0x8972188433a5c5b7ULL, 0x60c3a3c4cd52305fULL},
                                         Vector{17, 0x4883c49a2c009c1dULL, 0x2738452e658de59aULL},
                                         Vector{63, 0x385d3e39e5f37359ULL, 0x9085bb10bbae8348ULL}));

TEST(SipHash, TextMessageMatchesInterpreterHash) {
    EXPECT_EQ(siphash13(SipHashKey{}, "veltrix-nonce-0001"), 0xa3d50def71c71141ULL);
    EXPECT_EQ(siphash13(seeded_key, "veltrix-nonce-0001"), 0x7ba90943e16455ecULL);
}

}  // namespace
}  // namespace veltrix

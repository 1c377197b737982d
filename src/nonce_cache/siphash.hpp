#pragma once
// SipHash-1-3: keyed hashing for the state engine's tables, so that clients who
// choose nonces or addresses cannot aim them at one probe sequence.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace veltrix {

// The 128-bit key as its two little-endian 64-bit halves.
struct SipHashKey {
    std::uint64_t k0 = 0;
    std::uint64_t k1 = 0;
};

namespace siphash_detail {

constexpr std::uint64_t rotate_left(std::uint64_t value, int bits) noexcept {
    return (value << bits) | (value >> (64 - bits));
}

// Byte-wise assembly is endian-independent; compilers fold it into one load.
inline std::uint64_t load_little_endian(const char* bytes, std::size_t count) noexcept {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        value |= std::uint64_t{static_cast<unsigned char>(bytes[i])} << (8 * i);
    }
    return value;
}

struct SipState {
    std::uint64_t v0, v1, v2, v3;

    constexpr void round() noexcept {
        // clang-format off
        v0 += v1; v1 = rotate_left(v1, 13); v1 ^= v0; v0 = rotate_left(v0, 32);
        v2 += v3; v3 = rotate_left(v3, 16); v3 ^= v2;
        v0 += v3; v3 = rotate_left(v3, 21); v3 ^= v0;
        v2 += v1; v1 = rotate_left(v1, 17); v1 ^= v2; v2 = rotate_left(v2, 32);
        // clang-format on
    }

    constexpr void compress(std::uint64_t word) noexcept {
        v3 ^= word;
        round();
        v0 ^= word;
    }
};

}  // namespace siphash_detail

inline std::uint64_t siphash13(const SipHashKey& key, std::string_view message) noexcept {
    using namespace siphash_detail;
    constexpr std::size_t word_bytes = 8;
    constexpr int finalization_rounds = 3;

    SipState state{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL, key.k0 ^ 0x6c7967656e657261ULL,
                   key.k1 ^ 0x7465646279746573ULL};
    const std::size_t whole_words = message.size() / word_bytes;
    for (std::size_t i = 0; i < whole_words; ++i) {
        state.compress(load_little_endian(message.data() + i * word_bytes, word_bytes));
    }
    const std::size_t tail_bytes = message.size() % word_bytes;
    // Only the low byte of the length enters the last word, by the algorithm's definition.
    const std::uint64_t last_word = (std::uint64_t{message.size()} << 56) |
                                    load_little_endian(message.data() + whole_words * word_bytes, tail_bytes);
    state.compress(last_word);

    state.v2 ^= 0xff;
    for (int i = 0; i < finalization_rounds; ++i) state.round();
    return state.v0 ^ state.v1 ^ state.v2 ^ state.v3;
}

// Hash functor for standard unordered containers of std::string; transparent so
// lookups by std::string_view copy nothing.
struct KeyedSipHash {
    using is_transparent = void;
    SipHashKey key;

    std::size_t operator()(std::string_view text) const noexcept {
        return static_cast<std::size_t>(siphash13(key, text));
    }
};

}  // namespace veltrix

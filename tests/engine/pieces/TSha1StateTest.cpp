#include "engine/pieces/TSha1State.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/meta/QSha1.h"

namespace engine {
namespace {

// The SHA1Context of RFC 3174, section 7.1, processed exactly as its sample
// code does, and laid out as the engine stores it (little-endian fields,
// 2 padding bytes before the flags).
struct Rfc3174 {
    uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    uint32_t length_low = 0;
    uint32_t length_high = 0;
    int16_t index = 0;
    uint8_t block[64] = {};

    static uint32_t Rotl(int bits, uint32_t word) { return (word << bits) | (word >> (32 - bits)); }

    void ProcessBlock() {
        const uint32_t k[] = {0x5A827999, 0x6ED9EBA1, 0x8F1BBCDC, 0xCA62C1D6};
        uint32_t w[80];
        for (int t = 0; t < 16; ++t) {
            w[t] = static_cast<uint32_t>(block[t * 4]) << 24 | static_cast<uint32_t>(block[t * 4 + 1]) << 16 |
                   static_cast<uint32_t>(block[t * 4 + 2]) << 8 | block[t * 4 + 3];
        }
        for (int t = 16; t < 80; ++t) w[t] = Rotl(1, w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16]);
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
        for (int t = 0; t < 80; ++t) {
            uint32_t f;
            if (t < 20) f = (b & c) | (~b & d);
            else if (t < 40 || t >= 60) f = b ^ c ^ d;
            else f = (b & c) | (b & d) | (c & d);
            const uint32_t temp = Rotl(5, a) + f + e + w[t] + k[t / 20];
            e = d;
            d = c;
            c = Rotl(30, b);
            b = a;
            a = temp;
        }
        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
        h[4] += e;
        index = 0;
    }

    void Input(const uint8_t* data, size_t length) {
        for (size_t i = 0; i < length; ++i) {
            block[index++] = data[i];
            length_low += 8;
            if (length_low == 0) ++length_high;
            if (index == 64) ProcessBlock();
        }
    }

    void Store(uint8_t* out) const {
        std::memset(out, 0, TSha1State::Size);
        auto put = [&](size_t at, uint32_t v) {
            for (int k = 0; k < 4; ++k) out[at + static_cast<size_t>(k)] = static_cast<uint8_t>(v >> (8 * k));
        };
        for (int i = 0; i < 5; ++i) put(static_cast<size_t>(i) * 4, h[i]);
        put(20, length_low);
        put(24, length_high);
        out[28] = static_cast<uint8_t>(index);
        out[29] = static_cast<uint8_t>(static_cast<uint16_t>(index) >> 8);
        // Bytes of the block beyond the index are stale in the sample code;
        // only the pending ones are compared.
        std::memcpy(out + 30, block, static_cast<size_t>(index));
    }
};

std::string Message(size_t length) {
    std::string m(length, '\0');
    for (size_t i = 0; i < length; ++i) m[i] = static_cast<char>(i * 7 + 3);
    return m;
}

TEST(TSha1StateLayout, MatchesTheRfc3174ContextForEveryLength) {
    for (size_t length : {size_t{0}, size_t{1}, size_t{3}, size_t{55}, size_t{56}, size_t{63}, size_t{64},
                          size_t{65}, size_t{127}, size_t{1000}, size_t{16384 + 7}, size_t{131072}}) {
        SCOPED_TRACE(length);
        const std::string m = Message(length);
        uint8_t ours[TSha1State::Size];
        TSha1State::Reset(ours);
        ASSERT_TRUE(TSha1State::Update(ours, m.data(), m.size()));
        Rfc3174 ref;
        ref.Input(reinterpret_cast<const uint8_t*>(m.data()), m.size());
        uint8_t theirs[TSha1State::Size];
        ref.Store(theirs);
        EXPECT_EQ(0, std::memcmp(ours, theirs, TSha1State::Size));
        EXPECT_EQ(TSha1State::LengthBytes(ours), length);
    }
}

TEST(TSha1StateLayout, AReferenceStateContinuesToTheRightDigest) {
    // A state produced by the plain RFC 3174 code (as a file written by
    // another build would hold) is continued by libcrypto.
    const std::string m = Message(300000);
    for (size_t split : {size_t{0}, size_t{64}, size_t{100}, size_t{131072}, size_t{131075}}) {
        SCOPED_TRACE(split);
        Rfc3174 ref;
        ref.Input(reinterpret_cast<const uint8_t*>(m.data()), split);
        uint8_t state[TSha1State::Size];
        ref.Store(state);
        ASSERT_TRUE(TSha1State::Update(state, m.data() + split, m.size() - split));
        TSha1State::Digest digest;
        ASSERT_TRUE(TSha1State::Final(state, digest));
        const Sha1Digest expected = QSha1::Digest(m.data(), m.size());
        EXPECT_TRUE(std::equal(digest.begin(), digest.end(), expected.begin()));
        // Final leaves the state as it was.
        TSha1State::Digest again;
        ASSERT_TRUE(TSha1State::Final(state, again));
        EXPECT_EQ(again, digest);
    }
}

TEST(TSha1StateLayout, HashingWhileCopyingGivesTheSameStateAndAnExactCopy) {
    // Lengths around the copy's slices and cache lines, from a state that
    // already holds a partial SHA-1 block, into targets aligned or not.
    const std::string m = Message(3 * 16384);
    for (size_t start : {size_t{0}, size_t{5}}) {
        for (size_t length : {size_t{0}, size_t{1}, size_t{63}, size_t{64}, size_t{1023}, size_t{1024}, size_t{1025},
                              size_t{16384 - 3}, size_t{16384}, size_t{2 * 16384 + 77}}) {
            for (size_t misalign : {size_t{0}, size_t{1}}) {
                SCOPED_TRACE(::testing::Message() << start << "+" << length << " misalign " << misalign);
                uint8_t plain[TSha1State::Size];
                TSha1State::Reset(plain);
                ASSERT_TRUE(TSha1State::Update(plain, m.data(), start));
                uint8_t copying[TSha1State::Size];
                std::memcpy(copying, plain, sizeof copying);
                ASSERT_TRUE(TSha1State::Update(plain, m.data() + start, length));
                // Guard bytes on both sides show a copy that strays.
                std::vector<uint8_t> target(length + 64 + misalign, 0xA5);
                ASSERT_TRUE(TSha1State::UpdateCopying(copying, m.data() + start, target.data() + 32 + misalign, length));
                EXPECT_EQ(0, std::memcmp(plain, copying, TSha1State::Size));
                EXPECT_EQ(0, std::memcmp(target.data() + 32 + misalign, m.data() + start, length));
                for (size_t i = 0; i < 32 + misalign; ++i) ASSERT_EQ(target[i], 0xA5) << i;
                for (size_t i = 32 + misalign + length; i < target.size(); ++i) ASSERT_EQ(target[i], 0xA5) << i;
            }
        }
    }
    uint8_t bad[TSha1State::Size];
    TSha1State::Reset(bad);
    bad[96] = 1;
    uint8_t target[4] = {7, 7, 7, 7};
    EXPECT_FALSE(TSha1State::UpdateCopying(bad, "abcd", target, 4));
    EXPECT_EQ(target[0], 7) << "nothing copied for an unusable state";
}

TEST(TSha1StateLayout, RefusesStatesItCouldNotHaveWritten) {
    uint8_t state[TSha1State::Size];
    TSha1State::Reset(state);
    TSha1State::Update(state, "abc", 3);
    struct Damage {
        const char* name;
        size_t at;
        uint8_t value;
    };
    for (const Damage& d : {Damage{"index beyond the block", 28, 64}, Damage{"index out of step", 28, 4},
                            Damage{"length not whole bytes", 20, 25}, Damage{"computed flag", 96, 1},
                            Damage{"corrupted flag", 100, 1}}) {
        SCOPED_TRACE(d.name);
        uint8_t bad[TSha1State::Size];
        std::memcpy(bad, state, sizeof bad);
        bad[d.at] = d.value;
        EXPECT_FALSE(TSha1State::IsUsable(bad));
        EXPECT_FALSE(TSha1State::Update(bad, "x", 1));
    }
}

}  // namespace
}  // namespace engine

// The stream packet's wire form: the seeded Adler-32 against zlib's, and a
// control message against a layout written out by hand.

#include <gtest/gtest.h>
#include <zlib.h>

#include <array>
#include <random>
#include <vector>

#include "engine/udp/QUStreamPacket.h"
#include "platform/Socket.h"

namespace engine {
namespace {

TEST(QUWireAdler32, MatchesZlibForAnyStartValue) {
    std::mt19937 random(5);
    std::vector<uint8_t> bytes(9000);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    // Start values include halves above the modulus (a handle may be any
    // 32-bit value) and lengths across the 5552-byte reduction run.
    const std::array<uint32_t, 5> starts{1, 0xFFFFFFFFu, 0xFFF1FFF1u, 0x00010002u, 0x8000FFFFu};
    const std::array<size_t, 6> lengths{32, 1352, 5551, 5552, 5553, 9000};
    for (uint32_t start : starts) {
        for (size_t length : lengths) {
            SCOPED_TRACE(testing::Message() << "start " << start << " length " << length);
            EXPECT_EQ(QUWire::Adler32(start, bytes.data(), length),
                      adler32(start, bytes.data(), static_cast<uInt>(length)));
        }
    }
    const uint8_t text[] = {'W', 'i', 'k', 'i', 'p', 'e', 'd', 'i', 'a'};
    EXPECT_EQ(QUWire::Adler32(1, text, sizeof text), 0x11E60398u);
}

TEST(QUWireControl, LaysOutHeadAndBodyBigEndian) {
    QUWire::Head head;
    head.handle = 0x01020304;
    head.sequence = 7;
    head.type = QUWire::ConnectAck;
    head.receiver = MakeQUIdentity({9, 8, 7, 6, 5, 4, 3, 2});
    const QUWire::Control p = QUWire::BuildControl(head, {0x1AE1, 0, 0, 0, 6881, 0, 0xAABBCCDD, 0x11});

    const std::array<uint8_t, 32> expected_head{0, 0, 0, 64,  // length
                                                0, 0, 0, 0,   // checksum, compared below
                                                1, 2, 3, 4,   // handle
                                                0, 0, 0, 7,   // sequence
                                                0, 1, 0, 1,   // type
                                                9, 8, 7, 6, 5, 4, 3, 2, 'U', 'D', 'P', '0'};
    for (size_t i = 0; i < expected_head.size(); ++i) {
        if (i >= 4 && i < 8) continue;
        EXPECT_EQ(p[i], expected_head[i]) << "byte " << i;
    }
    const std::array<uint8_t, 32> expected_body{0, 0, 0x1A, 0xE1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                0, 0, 0x1A, 0xE1, 0, 0, 0, 0, 0xAA, 0xBB, 0xCC, 0xDD, 0, 0, 0, 0x11};
    for (size_t i = 0; i < expected_body.size(); ++i) EXPECT_EQ(p[32 + i], expected_body[i]) << "byte " << 32 + i;
    EXPECT_EQ(QUWire::Get32(p.data() + 4), adler32(0x01020304u, p.data() + 32, 32));
    EXPECT_TRUE(QUWire::Verify(p.data(), p.size()));
}

TEST(QUWireVerify, RejectsWrongLengthWordAndAnyChangedByte) {
    QUWire::Head head;
    head.handle = 77;
    head.type = QUWire::Data;
    std::vector<uint8_t> p(64 + 5, 0);
    QUWire::WriteHead(p.data(), head);
    QUWire::Put32(p.data() + 32, 5);
    QUWire::Seal(p.data(), p.size());
    ASSERT_TRUE(QUWire::Verify(p.data(), p.size()));
    EXPECT_FALSE(QUWire::Verify(p.data(), p.size() - 1));  // length word disagrees
    for (size_t at : {size_t{8}, size_t{40}, p.size() - 1}) {
        SCOPED_TRACE(at);
        auto changed = p;
        changed[at] ^= 0x01;
        EXPECT_FALSE(QUWire::Verify(changed.data(), changed.size()));
    }
}

TEST(QUWirePlaceholder, NamesAnEndpointInNetworkOrder) {
    const uint32_t ip = platform::MakeIpv4(127, 0, 0, 1);
    EXPECT_TRUE(IsPlaceholderFor({0, 0, 127, 0, 0, 1, 0x1A, 0xE1}, ip, 6881));
    EXPECT_FALSE(IsPlaceholderFor({0, 0, 127, 0, 0, 1, 0x1A, 0xE2}, ip, 6881));
    EXPECT_FALSE(IsPlaceholderFor({1, 0, 127, 0, 0, 1, 0x1A, 0xE1}, ip, 6881));
}

}  // namespace
}  // namespace engine

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "engine/udp/LanMessage.h"
#include "platform/Socket.h"

namespace {

using engine::LanMessage;
using engine::LanMessageKind;
using engine::LanParseError;

LanMessage Sample(LanMessageKind kind) {
    LanMessage m;
    m.address = platform::MakeIpv4(192, 168, 1, 20);
    m.port = 6881;
    m.kind = kind;
    for (uint8_t i = 0; i < 20; ++i) {
        m.info_hash[i] = static_cast<uint8_t>(i + 1);
        m.peer_id[i] = static_cast<uint8_t>(0xA0 + i);
    }
    return m;
}

TEST(LanMessage, LaysOutTheFieldsAsPeersExpect) {
    const engine::LanDatagram bytes = engine::BuildLanMessage(Sample(LanMessageKind::Answer));
    const std::array<uint8_t, 16> head = {0, 0, 0, 0, 192, 168, 1, 20, 0x1A, 0xE1, 0, 0, 1, 0, 0, 0};
    EXPECT_TRUE(std::equal(head.begin(), head.end(), bytes.begin()));
    EXPECT_EQ(bytes[16], 1);
    EXPECT_EQ(bytes[35], 20);
    EXPECT_EQ(bytes[36], 0xA0);
    EXPECT_EQ(bytes[55], 0xA0 + 19);
}

TEST(LanMessage, RoundTripsBothKindsAndIgnoresTrailingBytes) {
    for (LanMessageKind kind : {LanMessageKind::Announcement, LanMessageKind::Answer}) {
        const LanMessage m = Sample(kind);
        const engine::LanDatagram bytes = engine::BuildLanMessage(m);
        std::string longer(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        longer += "trailing";
        EXPECT_EQ(engine::ParseLanMessage(bytes.data(), bytes.size()), m);
        EXPECT_EQ(engine::ParseLanMessage(reinterpret_cast<const uint8_t*>(longer.data()), longer.size()), m);
    }
}

TEST(LanMessage, RejectsWhatNamesNoReachablePeer) {
    struct Case {
        const char* name;
        void (*mutate)(engine::LanDatagram& bytes);
        size_t length;
        LanParseError expected;
    };
    const std::array<Case, 7> cases = {{
        {.name = "one byte short", .mutate = [](engine::LanDatagram&) {}, .length = 55,
         .expected = LanParseError::TooShort},
        {.name = "empty", .mutate = [](engine::LanDatagram&) {}, .length = 0, .expected = LanParseError::TooShort},
        {.name = "header byte set", .mutate = [](engine::LanDatagram& b) { b[3] = 1; }, .length = 56,
         .expected = LanParseError::NonZeroHeader},
        {.name = "kind 2", .mutate = [](engine::LanDatagram& b) { b[12] = 2; }, .length = 56,
         .expected = LanParseError::UnknownKind},
        {.name = "kind in the high byte", .mutate = [](engine::LanDatagram& b) { b[15] = 1; }, .length = 56,
         .expected = LanParseError::UnknownKind},
        {.name = "port zero", .mutate = [](engine::LanDatagram& b) { b[8] = b[9] = 0; }, .length = 56,
         .expected = LanParseError::NoEndpoint},
        {.name = "address zero", .mutate = [](engine::LanDatagram& b) { b[4] = b[5] = b[6] = b[7] = 0; },
         .length = 56, .expected = LanParseError::NoEndpoint},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        engine::LanDatagram bytes = engine::BuildLanMessage(Sample(LanMessageKind::Announcement));
        c.mutate(bytes);
        LanParseError error = LanParseError::None;
        EXPECT_FALSE(engine::ParseLanMessage(bytes.data(), c.length, &error).has_value());
        EXPECT_EQ(error, c.expected);
    }
}

}  // namespace

// The rendezvous messages against byte layouts written out by hand, and the
// dispatch's reading of a datagram's kind.

#include "engine/udp/RendezvousCodec.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "UdpTestSupport.h"

namespace {

using engine::QUNodeId;
using Bytes = std::vector<uint8_t>;
using udp_test::Ip;

const QUNodeId Id{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
// 0x11..0x88 then "UDP0".
const Bytes IdentityBytes{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 'U', 'D', 'P', '0'};

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes Zero(size_t n) { return Bytes(n, 0); }

engine::QURequestHead Head(uint32_t request_id) {
    engine::QURequestHead head;
    head.identity = engine::MakeIdentity(Id);
    head.request_id = request_id;
    head.local_address = Ip(10, 1, 2, 3);
    head.local_port = 8000;
    return head;
}

TEST(RendezvousCodec, RegisterMatchesHandWrittenLayout) {
    const Bytes expected = Cat({Zero(12), {0, 0, 0, 2}, IdentityBytes, {0, 0, 0, 7}, {10, 1, 2, 3},
                                {0, 0, 0x1F, 0x40}, Zero(24)});
    EXPECT_EQ(engine::BuildRegister(Head(7)), expected);
    auto parsed = engine::ParseRendezvousRequest(expected.data(), expected.size());
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->head.type, engine::RequestTypeRegister);
    EXPECT_EQ(parsed->head.request_id, 7u);
    EXPECT_EQ(parsed->head.local_address, Ip(10, 1, 2, 3));
    EXPECT_EQ(parsed->head.local_port, 8000u);
}

TEST(RendezvousCodec, LookupGrowsByEntriesOfSixteenBytes) {
    Bytes lookup = engine::BuildLookupHead(Head(9));
    engine::AppendLookupEntry(lookup, {Ip(198, 51, 100, 4), Id});
    const QUNodeId placeholder = engine::MakePlaceholderId(Ip(203, 0, 113, 5), 6881);
    engine::AppendLookupEntry(lookup, {Ip(203, 0, 113, 5), placeholder});
    const Bytes expected =
        Cat({Zero(12), {0, 0, 0, 3}, IdentityBytes, {0, 0, 0, 9}, {10, 1, 2, 3}, {0, 0, 0x1F, 0x40},
             {0, 0, 0, 1}, {0, 0, 0, 2},
             {198, 51, 100, 4}, Zero(4), {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88},
             {203, 0, 113, 5}, Zero(4), {0, 0, 203, 0, 113, 5, 0x1A, 0xE1}});
    EXPECT_EQ(lookup, expected);
    auto parsed = engine::ParseRendezvousRequest(lookup.data(), lookup.size());
    ASSERT_TRUE(parsed);
    ASSERT_EQ(parsed->entries.size(), 2u);
    EXPECT_TRUE(engine::IsPlaceholderId(parsed->entries[1].node_id));
    EXPECT_EQ(engine::PlaceholderAddress(parsed->entries[1].node_id), Ip(203, 0, 113, 5));
    EXPECT_EQ(engine::PlaceholderPort(parsed->entries[1].node_id), 6881);
}

TEST(RendezvousCodec, SmallMessagesMatchHandWrittenLayouts) {
    EXPECT_EQ(engine::BuildPing(), Zero(8));
    EXPECT_EQ(engine::BuildPingReply({Ip(203, 0, 113, 9), 40000}), (Bytes{203, 0, 113, 9, 0, 0, 0x9C, 0x40}));
    const Bytes call_me = Cat({{0x33, 0x33, 0x33, 0x33}, IdentityBytes, Zero(4), {198, 51, 100, 7},
                               {0, 0, 0x13, 0x88}, Zero(4)});
    EXPECT_EQ(engine::BuildCallMe({engine::MakeIdentity(Id), Ip(198, 51, 100, 7), 5000}), call_me);
    auto call = engine::ParseCallMe(call_me.data(), call_me.size());
    ASSERT_TRUE(call);
    EXPECT_EQ(call->port, 5000u);
    const Bytes receiver{9, 9, 9, 9, 9, 9, 9, 9, 'U', 'D', 'P', '0'};
    const Bytes punch = Cat({Zero(20), receiver, {0x1F, 0x40}, Zero(2), IdentityBytes});
    engine::QUPunch p;
    std::copy(receiver.begin(), receiver.end(), p.receiver.begin());
    p.sender_local_port = 8000;
    p.sender = engine::MakeIdentity(Id);
    EXPECT_EQ(engine::BuildPunch(p), punch);
    auto parsed = engine::ParsePunch(punch.data(), punch.size());
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->sender_local_port, 8000);
    EXPECT_EQ(parsed->sender, engine::MakeIdentity(Id));
}

TEST(RendezvousCodec, LookupReplyCountMustFitTheDatagram) {
    const Bytes head = Cat({Zero(12), {0x80, 0, 0, 3}, IdentityBytes, {0, 0, 0, 5}, Zero(8), {0, 0, 0, 1}});
    const Bytes entry = Cat({{198, 51, 100, 4}, {0, 0, 0x1F, 0x41}, {1, 2, 3, 4, 5, 6, 7, 8}});
    struct Case {
        const char* name;
        Bytes count;
        size_t entries;
        bool valid;
    };
    const std::array<Case, 5> cases{{
        {.name = "one entry", .count = {0, 0, 0, 1}, .entries = 1, .valid = true},
        {.name = "two claimed, one there", .count = {0, 0, 0, 2}, .entries = 1, .valid = false},
        // 0x10000000 * 16 wraps to 0 in 32 bits: "n - 48 >= 16 N" would hold.
        {.name = "count that wraps", .count = {0x10, 0, 0, 0}, .entries = 1, .valid = false},
        {.name = "negative count", .count = {0xFF, 0xFF, 0xFF, 0xFF}, .entries = 1, .valid = false},
        {.name = "fourteen entries", .count = {0, 0, 0, 14}, .entries = 14, .valid = false},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes reply = Cat({head, c.count});
        for (size_t i = 0; i < c.entries; ++i) reply = Cat({reply, entry});
        auto parsed = engine::ParseLookupReply(reply.data(), reply.size());
        ASSERT_TRUE(parsed);
        EXPECT_EQ(parsed->request_id, 5u);
        EXPECT_EQ(parsed->entries_valid, c.valid);
        if (c.valid) {
            ASSERT_EQ(parsed->entries.size(), 1u);
            EXPECT_EQ(parsed->entries[0].port, 8001u);
            EXPECT_EQ(parsed->entries[0].address, Ip(198, 51, 100, 4));
        } else {
            EXPECT_TRUE(parsed->entries.empty());
        }
    }
}

TEST(RendezvousCodec, DispatchReadsTheKindInTheDescribedOrder) {
    const Bytes punch_to_us = Cat({Zero(20), IdentityBytes, {0x1F, 0x40}, Zero(2), IdentityBytes});
    Bytes punch_to_other = punch_to_us;
    punch_to_other[20] = 0x99;
    Bytes stream = Zero(64);
    stream[3] = 64;
    Bytes bencoded = Zero(64);
    bencoded[0] = 'd';
    Bytes d8 = Zero(8);
    d8[0] = 'd';
    Bytes negative = Zero(64);
    negative[0] = 0x80;
    Bytes call_me = Zero(32);
    call_me[0] = call_me[1] = call_me[2] = call_me[3] = 0x33;
    using K = engine::QUDatagramKind;
    struct Case {
        const char* name;
        Bytes bytes;
        bool from_server;
        K kind;
    };
    const std::vector<Case> cases{
        {"8 bytes from the server, even beginning with d", d8, true, K::PingReply},
        {"8 bytes from elsewhere", Zero(8), false, K::Dropped},
        {"9 bytes beginning with d", Cat({d8, {0}}), true, K::Bencoded},
        {"64 bytes beginning with d", bencoded, false, K::Bencoded},
        {"under 32 bytes", Zero(31), true, K::Dropped},
        {"CALL_ME", call_me, true, K::CallMe},
        {"CALL_ME of 33 bytes", Cat({call_me, {0}}), true, K::Dropped},
        {"PUNCH to this node", punch_to_us, false, K::Punch},
        {"PUNCH to another node", punch_to_other, false, K::Dropped},
        {"stream packet", stream, false, K::StreamPacket},
        {"zero word from the server", Zero(64), true, K::LookupReply},
        {"negative word from the server", negative, true, K::LookupReply},
        {"zero word from elsewhere", Zero(64), false, K::Dropped},
        {"63 bytes", Zero(63), true, K::Dropped},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(engine::ClassifyDatagram(c.bytes.data(), c.bytes.size(), c.from_server, Id), c.kind);
    }
}

TEST(RendezvousCodec, RequestsOfTheWrongShapeAreRefused) {
    Bytes lookup = engine::BuildLookupHead(Head(1));
    engine::AppendLookupEntry(lookup, {Ip(198, 51, 100, 4), Id});
    struct Case {
        const char* name;
        Bytes bytes;
    };
    Bytes wrong_count = lookup;
    wrong_count[47] = 2;
    Bytes nonzero_head = lookup;
    nonzero_head[3] = 1;
    Bytes padded_entry = lookup;
    padded_entry[52] = 1;
    Bytes long_register = engine::BuildRegister(Head(1));
    long_register.push_back(0);
    Bytes unknown_type = engine::BuildRegister(Head(1));
    unknown_type[15] = 9;
    const std::vector<Case> cases{
        {"count disagrees with size", wrong_count}, {"non-zero first word", nonzero_head},
        {"entry padding not zero", padded_entry},   {"REGISTER of 65 bytes", long_register},
        {"unknown type", unknown_type},             {"LOOKUP cut short", Bytes(lookup.begin(), lookup.end() - 1)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(engine::ParseRendezvousRequest(c.bytes.data(), c.bytes.size()));
    }
}

}  // namespace

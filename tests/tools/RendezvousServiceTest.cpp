// The rendezvous server's protocol side, against byte layouts written out by
// hand: what it answers, what it keeps, and that it answers an unregistered
// source nothing larger than it was sent.

#include "tools/rendezvous/RendezvousService.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/Socket.h"

namespace {

using Bytes = std::vector<uint8_t>;
using rendezvous::Datagram;
using rendezvous::RendezvousService;

uint32_t Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) { return platform::MakeIpv4(a, b, c, d); }

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes Zero(size_t n) { return Bytes(n, 0); }
Bytes Identity(uint8_t b) { return {b, b, b, b, b, b, b, b, 'U', 'D', 'P', '0'}; }

// REGISTER of node bbbbbbbb with request id 1, local 10.0.0.b port 8000.
Bytes Register(uint8_t b) {
    return Cat({Zero(12), {0, 0, 0, 2}, Identity(b), {0, 0, 0, 1}, {10, 0, 0, b}, {0, 0, 0x1F, 0x40}, Zero(24)});
}
// LOOKUP by node `asker` with these 16-byte entries.
Bytes Lookup(uint8_t asker, const std::vector<Bytes>& entries) {
    Bytes out = Cat({Zero(12), {0, 0, 0, 3}, Identity(asker), {0, 0, 0, 7}, {10, 0, 0, asker}, {0, 0, 0x1F, 0x40},
                     {0, 0, 0, 1}, {0, 0, 0, uint8_t(entries.size())}});
    for (const Bytes& e : entries) out = Cat({out, e});
    return out;
}
Bytes Entry(uint8_t target) { return Cat({{198, 51, 100, target}, Zero(4), Bytes(8, target)}); }

class RendezvousServiceTest : public ::testing::Test {
protected:
    std::vector<Datagram> Send(const Bytes& bytes, uint32_t from, uint16_t port, int64_t now = 1000) {
        return m_service.Handle(bytes.data(), bytes.size(), from, port, now);
    }
    RendezvousService m_service;
    const uint32_t m_a = Ip(198, 51, 100, 2);
    const uint32_t m_b = Ip(203, 0, 113, 2);
};

TEST_F(RendezvousServiceTest, PingAndRegisterAreAnsweredWithTheEndpointSeen) {
    for (const Bytes& request : {Zero(8), Register(0xAA)}) {
        auto out = Send(request, m_a, 40000);
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0].bytes, (Bytes{198, 51, 100, 2, 0, 0, 0x9C, 0x40}));
        EXPECT_EQ(out[0].address, m_a);
        EXPECT_EQ(out[0].port, 40000);
    }
    EXPECT_EQ(m_service.RegistrationCount(), 1u);
}

TEST_F(RendezvousServiceTest, LookupAnswersEndpointsAndCallsTheTargets) {
    Send(Register(0xAA), m_a, 40000);
    Send(Register(0xBB), m_b, 50000);
    auto out = Send(Lookup(0xAA, {Entry(0xBB), Entry(0xCC)}), m_a, 40000);
    ASSERT_EQ(out.size(), 2u);
    const Bytes reply = Cat({Zero(12), {0x80, 0, 0, 3}, Identity(0xAA), {0, 0, 0, 7}, {10, 0, 0, 0xAA},
                             {0, 0, 0x1F, 0x40}, {0, 0, 0, 1}, {0, 0, 0, 2},
                             {203, 0, 113, 2}, {0, 0, 0xC3, 0x50}, Bytes(8, 0xBB),
                             Zero(4), {0xFF, 0xFF, 0xFF, 0xFF}, Bytes(8, 0xCC)});
    EXPECT_EQ(out[0].bytes, reply);
    EXPECT_EQ(out[0].address, m_a);
    const Bytes call_me = Cat({{0x33, 0x33, 0x33, 0x33}, Identity(0xAA), Zero(4), {198, 51, 100, 2},
                               {0, 0, 0x9C, 0x40}, Zero(4)});
    EXPECT_EQ(out[1].bytes, call_me);
    EXPECT_EQ(out[1].address, m_b);
    EXPECT_EQ(out[1].port, 50000);
}

TEST_F(RendezvousServiceTest, PlaceholderResolvesToTheNodeAtThatEndpoint) {
    Send(Register(0xBB), m_b, 50000);
    Send(Register(0xAA), m_a, 40000);
    // Placeholder for 203.0.113.2:50000, then room for its pair.
    const Bytes placeholder{0, 0, 203, 0, 113, 2, 0xC3, 0x50};
    const Bytes entry = Cat({{203, 0, 113, 2}, Zero(4), placeholder});
    const Bytes pair = Cat({{203, 0, 113, 2}, {0xFF, 0xFF, 0xFF, 0xFF}, placeholder, {203, 0, 113, 2},
                            {0, 0, 0xC3, 0x50}, Bytes(8, 0xBB)});
    auto out = Send(Lookup(0xAA, {entry, Entry(0xDD)}), m_a, 40000);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(Bytes(out[0].bytes.begin() + 44, out[0].bytes.end()),
              Cat({{0, 0, 0, 3}, pair, Zero(4), {0xFF, 0xFF, 0xFF, 0xFF}, Bytes(8, 0xDD)}));
    // Alone, as a node asks for one stream: the registered asker still gets
    // the pair, and the node behind it is called.
    out = Send(Lookup(0xAA, {entry}), m_a, 40000);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(Bytes(out[0].bytes.begin() + 44, out[0].bytes.end()), Cat({{0, 0, 0, 2}, pair}));
    EXPECT_EQ(out[1].address, m_b);
    // From a source where the asker is not registered the pair does not fit
    // the one-entry request: left out, and nobody is called.
    out = Send(Lookup(0xAA, {entry}), Ip(192, 0, 2, 99), 1234);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].bytes.size(), 48u);
}

TEST_F(RendezvousServiceTest, NoAnswerIsLargerThanItsRequestAndCallsNeedARegisteredAsker) {
    for (uint8_t n = 0x10; n < 0x1D; ++n) Send(Register(n), Ip(203, 0, 113, n), 50000);
    std::vector<Bytes> entries;
    for (uint8_t n = 0x10; n < 0x1D; ++n) entries.push_back(Entry(n));
    const Bytes lookup = Lookup(0xAA, entries);
    // The asker is not registered at this source: a reply, no CALL_ME.
    auto out = Send(lookup, Ip(192, 0, 2, 99), 1234);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_LE(out[0].bytes.size(), lookup.size());
    // Registered here: the CALL_MEs (32 bytes each) go to the registered
    // targets, never to the asker, and within a budget per minute.
    Send(Register(0xAA), m_a, 40000);
    size_t calls = 0;
    for (int i = 0; i < 20; ++i) {
        out = Send(lookup, m_a, 40000, 1000 + i);
        for (const Datagram& d : out) {
            if (d.address == m_a) {
                EXPECT_LE(d.bytes.size(), lookup.size());
            } else {
                ++calls;
                EXPECT_EQ(d.bytes.size(), 32u);
            }
        }
    }
    EXPECT_EQ(calls, rendezvous::Limits{}.calls_per_minute);
    // Anything else gets no answer at all.
    for (const Bytes& junk : {Zero(7), Bytes(8, 1), Zero(9), Bytes(64, 0xFF), Cat({Register(1), {0}})}) {
        EXPECT_TRUE(Send(junk, m_a, 40000).empty());
    }
}

TEST_F(RendezvousServiceTest, StorageIsBoundedPerSourceAndRegistrationsExpire) {
    RendezvousService service(rendezvous::Limits{.per_source = 3, .total = 5, .expiry_s = 600, .calls_per_minute = 1});
    for (uint8_t n = 1; n <= 10; ++n) {
        const Bytes r = Register(n);
        service.Handle(r.data(), r.size(), m_a, 40000, 1000 + n);
    }
    EXPECT_EQ(service.RegistrationsFrom(m_a), 3u);
    for (uint8_t n = 11; n <= 14; ++n) {
        const Bytes r = Register(n);
        service.Handle(r.data(), r.size(), Ip(203, 0, 113, n), 40000, 1000);
    }
    EXPECT_EQ(service.RegistrationCount(), 5u);
    const Bytes ping = Zero(8);
    service.Handle(ping.data(), ping.size(), m_a, 40000, 1000 + 611);
    EXPECT_EQ(service.RegistrationCount(), 0u);
    // A placeholder id is no node.
    Bytes placeholder = Register(7);
    placeholder[16] = placeholder[17] = 0;
    service.Handle(placeholder.data(), placeholder.size(), m_a, 40000, 2000);
    EXPECT_EQ(service.RegistrationCount(), 0u);
}

}  // namespace

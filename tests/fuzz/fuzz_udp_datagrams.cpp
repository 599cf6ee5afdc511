// Feeds arbitrary bytes to the UDP server's datagram dispatch, the way the
// socket would: the input is cut into datagrams (a 2-byte big-endian length
// before each; the top bit of the length says "from the rendezvous server"),
// handed to a server whose socket is a capture buffer, with a few LOOKUP
// requests pending so replies reach the entry processing. Between datagrams
// the server runs a pass with its timers. Also runs the codecs' parsers on
// the whole input. Checks that nothing the server sends exceeds 8192 bytes
// and that every endpoint handed to the stream layer is usable.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <vector>

#include "engine/udp/QUInternalServer.h"
#include "engine/udp/RendezvousCodec.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

constexpr uint32_t ServerAddress = 0x0100000Au;  // 10.0.0.1 in memory order
constexpr uint16_t ServerPort = 82;

struct Incoming {
    std::vector<uint8_t> bytes;
    uint32_t address = 0;
};

class FuzzSocket final : public engine::QUDatagramSocket {
public:
    explicit FuzzSocket(std::deque<Incoming>* queue) : m_queue(queue) {}
    engine::QUOpenResult Open(uint16_t, int) override {
        m_open = true;
        return engine::QUOpenResult::Ok;
    }
    void Close() override { m_open = false; }
    bool IsOpen() const override { return m_open; }
    engine::QUSendStatus SendTo(const uint8_t* data, size_t size, uint32_t address, uint16_t port) override {
        Check(data != nullptr && size >= 1 && size <= engine::MaxDatagramSize && address != 0 && port != 0);
        return engine::QUSendStatus::Sent;
    }
    engine::QURecvResult RecvFrom(uint8_t* buffer, size_t capacity) override {
        engine::QURecvResult r;
        if (m_queue->empty()) return r;
        Incoming in = std::move(m_queue->front());
        m_queue->pop_front();
        r.status = engine::QURecvStatus::Datagram;
        r.size = std::min(in.bytes.size(), capacity);
        std::copy_n(in.bytes.begin(), r.size, buffer);
        r.address = in.address;
        r.port = ServerPort;
        return r;
    }
    int LastError() const override { return 0; }

private:
    std::deque<Incoming>* m_queue;
    bool m_open = false;
};

class FuzzClock final : public engine::QUClock {
public:
    uint32_t TickMs() override { return m_ms += 25; }
    int64_t Seconds() override { return 1000 + m_ms / 1000; }

private:
    uint32_t m_ms = 0;
};

class CheckingStreams final : public engine::QUStreamHandler {
public:
    void OnStreamPacket(const uint8_t* data, size_t size, uint32_t, uint16_t) override {
        Check(data != nullptr && size >= engine::StreamHeaderSize && size <= engine::MaxDatagramSize);
    }
    void OnLookupResolved(const engine::QUNodeId&, const engine::QUNodeId&, uint32_t address, uint16_t port) override {
        Check(address != 0 && address != 0xFFFFFFFFu && port != 0);
    }
    void OnLookupFinished(uint32_t) override {}
    void OnPunch(const engine::QUPunch&, uint32_t, uint16_t) override {}
    void RetransmissionPass() override {}
    void AcknowledgementPass() override {}
    void MaintenancePass() override {}
    void DropAll() override {}
};

void RunParsers(const uint8_t* data, size_t size) {
    engine::ClassifyDatagram(data, size, true, engine::QUNodeId{1, 2, 3, 4, 5, 6, 7, 8});
    engine::ParsePingReply(data, size);
    engine::ParseCallMe(data, size);
    engine::ParsePunch(data, size);
    if (auto request = engine::ParseRendezvousRequest(data, size)) {
        Check(request->entries.size() <= engine::LookupMaxEntries);
    }
    if (auto reply = engine::ParseLookupReply(data, size)) {
        Check(reply->entries.size() <= engine::LookupMaxEntries);
        Check(engine::LookupHeadSize + reply->entries.size() * engine::LookupEntrySize <= size);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    RunParsers(data, size);
    std::deque<Incoming> queue;
    FuzzClock clock;
    CheckingStreams streams;
    engine::QUEnvironment env;
    env.clock = &clock;
    env.make_socket = [&queue] { return std::make_unique<FuzzSocket>(&queue); };
    env.resolve_host = [](const std::string&) { return ServerAddress; };
    env.choose_local_address = [] { return 0x0201A8C0u; };
    engine::QUInternalServer server(env);
    engine::QUConfig config =
        engine::MakeQUConfig("rendezvous", ServerPort, 52, 30, 8000, 0, engine::QUNodeId{1, 2, 3, 4, 5, 6, 7, 8});
    server.Configure(config);
    server.SetStreamHandler(&streams);
    if (!server.Prepare()) return 0;
    for (int i = 0; i < 3; ++i) server.AddLookupEntry(0x04030201u, engine::MakePlaceholderId(0x04030201u, 6881));
    server.RunPass();
    server.AddLookupEntry(0x04030201u, engine::QUNodeId{9, 9, 9, 9, 9, 9, 9, 9});
    size_t at = 0;
    while (at + 2 <= size) {
        const size_t header = (size_t(data[at]) << 8) | data[at + 1];
        const size_t length = std::min(header & 0x7FFF, size - at - 2);
        const uint32_t from = (header & 0x8000) ? ServerAddress : 0x05050505u;
        queue.push_back(Incoming{std::vector<uint8_t>(data + at + 2, data + at + 2 + length), from});
        at += 2 + length;
        server.RunPass();
    }
    return 0;
}

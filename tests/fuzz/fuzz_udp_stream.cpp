// Drives two connected stream cores with arbitrary stream packets mixed with
// sends, reads, punches, lookup answers and the passing of time. Packets can
// be taken as they come (to exercise the receiver's checks) or repaired first
// (length, identity, a live handle, checksum), so the fuzzer reaches the
// handshake and data paths behind the checks. The oracle: whatever arrives,
// every datagram the cores send is a well-formed stream packet, and a read
// never reports more than it was asked for.
//
// Input, repeated: one op byte, then its operands.
//   op % 6 == 0  packet: 2-byte length (mod 1500) and the bytes; op bit 7
//                repairs it, bits 3-4 pick the handle, bit 5 picks the core
//   op % 6 == 1  the client sends 1-byte-length bytes
//   op % 6 == 2  the server's side reads
//   op % 6 == 3  1 byte: time passes (x 37 ms)
//   op % 6 == 4  48 bytes: a PUNCH to the client's core
//   op % 6 == 5  12 bytes: a lookup answer to the client's core

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tests/support/StreamLinkSim.h"

namespace {

using namespace stream_sim;

void Check(bool condition) {
    if (!condition) std::abort();
}

struct Reader {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    bool More() const { return at < size; }
    uint8_t Byte() { return at < size ? data[at++] : 0; }
    std::vector<uint8_t> Take(size_t n) {
        n = std::min(n, size - at);
        std::vector<uint8_t> out(data + at, data + at + n);
        at += n;
        return out;
    }
};

void Repair(std::vector<uint8_t>& p, const Node& to, uint32_t handle) {
    if (p.size() < engine::QUWire::HeaderSize) p.resize(engine::QUWire::HeaderSize, 0);
    const engine::QUIdentity identity = engine::MakeQUIdentity(to.node_id);
    std::memcpy(p.data() + engine::QUWire::IdentityAt, identity.data(), identity.size());
    engine::QUWire::Put32(p.data() + engine::QUWire::HandleAt, handle);
    engine::QUWire::Seal(p.data(), p.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Network net(LinkFaults{.drop_percent = 0, .duplicate_percent = 0, .reorder_percent = 0, .delay_ms = 1});
    Node& a = net.AddNode({platform::MakeIpv4(127, 0, 0, 1), 7001}, {1, 2, 3, 4, 5, 6, 7, 8}, 30);
    Node& b = net.AddNode({platform::MakeIpv4(127, 0, 0, 2), 7002}, {9, 8, 7, 6, 5, 4, 3, 2}, 30);
    const Connection c = Connect(net, a, b, 6881);
    Check(c.accepted != engine::InvalidQUHandle);
    const uint32_t handles[4] = {c.client, c.accepted, c.listener, 0x00020003};

    Reader in{data, size};
    int ops = 0;
    while (in.More() && ++ops < 256) {
        const uint8_t op = in.Byte();
        switch (op % 6) {
            case 0: {
                const size_t length = ((size_t{in.Byte()} << 8) | in.Byte()) % 1500;
                std::vector<uint8_t> p = in.Take(length);
                Node& to = (op & 0x20) ? a : b;
                Node& from = (op & 0x20) ? b : a;
                if (op & 0x80) Repair(p, to, handles[(op >> 3) & 3]);
                if (p.size() >= engine::QUWire::HeaderSize) {
                    to.core.OnStreamPacket(p.data(), p.size(), from.address, net.Now());
                }
                break;
            }
            case 1: {
                const std::vector<uint8_t> bytes = in.Take(in.Byte());
                if (!bytes.empty()) {
                    a.core.QUSend(c.client, bytes.data(), static_cast<int64_t>(bytes.size()), net.Now());
                }
                break;
            }
            case 2: {
                uint8_t buffer[3000];
                const int64_t n = b.core.QURecv(c.accepted, buffer, 1500);
                Check(n <= 1500);
                break;
            }
            case 3:
                net.RunFor(uint64_t{in.Byte()} * 37);
                break;
            case 4: {
                const std::vector<uint8_t> punch = in.Take(48);
                a.core.OnPunch(punch.data(), punch.size(), b.address);
                break;
            }
            case 5: {
                const std::vector<uint8_t> entry = in.Take(12);
                if (entry.size() < 12) break;
                engine::QUNodeId id{};
                std::memcpy(id.data(), entry.data(), 8);
                a.core.OnLookupEntry(id, id, engine::QUWire::Get32(entry.data() + 8), b.address.port);
                a.core.OnLookupDone(1);
                break;
            }
        }
    }
    net.RunFor(3000);
    for (const Datagram& d : net.sent) {
        Check(d.bytes.size() >= engine::QUWire::HeaderSize && d.bytes.size() <= engine::QUWire::MaxDatagram);
        Check(engine::QUWire::Verify(d.bytes.data(), d.bytes.size()));
    }
    return 0;
}

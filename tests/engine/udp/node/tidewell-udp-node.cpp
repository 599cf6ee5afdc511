// One engine UDP server in a process of its own, for tests that put nodes in
// network namespaces. Runs the server with its thread and a real socket and
// reports on standard output what reaches it; commands come on standard
// input, one per line:
//
//   status                    -> "status nat=<0|1> public=<a.b.c.d>:<port> local=<a.b.c.d>"
//   lookup <16 hex digits>    asks the rendezvous server for that node
//   send <a.b.c.d> <port>     sends a 64-byte probe (a stream-shaped packet)
//   raw <lport> <a.b.c.d> <port>  the probe from another socket bound to lport
//   quit
//
// Reports: "ready id=<hex>", "resolved <hex> <a.b.c.d>:<port>",
// "punch <hex> from <a.b.c.d>:<port>", "probe <hex> from <a.b.c.d>:<port>".
//
//   tidewell-udp-node --server <host> --server-port <p> --port <local port> --id <hex>
//                     [--local <a.b.c.d>]  (this host's address; default: chosen)

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>

#include "engine/udp/QUInternalServer.h"
#include "platform/Socket.h"

namespace {

std::mutex g_out;

void Say(const std::string& line) {
    std::lock_guard lock(g_out);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

std::string Hex(const uint8_t* p, size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

engine::QUNodeId ParseId(const std::string& hex) {
    engine::QUNodeId id{};
    for (size_t i = 0; i < id.size() && 2 * i + 1 < hex.size(); ++i) {
        id[i] = static_cast<uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    }
    return id;
}

std::string Endpoint(uint32_t address, uint32_t port) {
    return platform::FormatIpv4(address) + ":" + std::to_string(port);
}

// A probe: first word 64 (a stream packet's length), then "PROBE" and the
// sender's node id.
std::vector<uint8_t> Probe(const engine::QUNodeId& id) {
    std::vector<uint8_t> bytes(64, 0);
    bytes[3] = 64;
    const std::string tag = "PROBE";
    std::copy(tag.begin(), tag.end(), bytes.begin() + 32);
    std::copy(id.begin(), id.end(), bytes.begin() + 40);
    return bytes;
}

class ReportingStreams final : public engine::QUStreamHandler {
public:
    void OnStreamPacket(const uint8_t* data, size_t size, uint32_t address, uint16_t port) override {
        if (size == 64 && std::string(reinterpret_cast<const char*>(data) + 32, 5) == "PROBE") {
            Say("probe " + Hex(data + 40, 8) + " from " + Endpoint(address, port));
        }
    }
    void OnLookupResolved(const engine::QUNodeId&, const engine::QUNodeId& node, uint32_t address,
                          uint16_t port) override {
        Say("resolved " + Hex(node.data(), 8) + " " + Endpoint(address, port));
    }
    void OnLookupFinished(uint32_t) override {}
    void OnPunch(const engine::QUPunch& punch, uint32_t address, uint16_t port) override {
        Say("punch " + Hex(punch.sender.data(), 8) + " from " + Endpoint(address, port));
    }
    void RetransmissionPass() override {}
    void AcknowledgementPass() override {}
    void MaintenancePass() override {}
    void DropAll() override {}
};

}  // namespace

int main(int argc, char** argv) {
    std::string host;
    int server_port = 82;
    int port = 8000;
    std::string id_hex = "0102030405060708";
    uint32_t local = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--server") host = argv[i + 1];
        if (flag == "--server-port") server_port = std::atoi(argv[i + 1]);
        if (flag == "--port") port = std::atoi(argv[i + 1]);
        if (flag == "--id") id_hex = argv[i + 1];
        if (flag == "--local") platform::ParseIpv4(argv[i + 1], &local);
    }
    const engine::QUNodeId id = ParseId(id_hex);
    ReportingStreams streams;
    engine::QUInternalServer server;
    server.SetStreamHandler(&streams);
    // Keep-alive at its minimum, so a test sees PINGs within seconds.
    if (server.Startup(engine::MakeQUConfig(host, server_port, 10, 30, port, local, id)) != 0) {
        std::fprintf(stderr, "tidewell-udp-node: bad start-up values\n");
        return 2;
    }
    Say("ready id=" + Hex(id.data(), id.size()));
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string command;
        in >> command;
        if (command == "quit") break;
        if (command == "status") {
            Say("status nat=" + std::to_string(server.IsBehindNat() ? 1 : 0) + " public=" +
                Endpoint(server.PublicAddress(), server.PublicPort()) + " local=" +
                platform::FormatIpv4(server.LocalAddress()));
        } else if (command == "lookup") {
            std::string target;
            in >> target;
            server.AddLookupEntry(0, ParseId(target));
        } else if (command == "send" || command == "raw") {
            std::string address_text;
            int to_port = 0;
            int from_port = 0;
            if (command == "raw") in >> from_port;
            in >> address_text >> to_port;
            uint32_t address = 0;
            platform::ParseIpv4(address_text, &address);
            const std::vector<uint8_t> probe = Probe(id);
            if (command == "send") {
                server.Send(probe.data(), probe.size(), address, static_cast<uint16_t>(to_port));
            } else {
                platform::SocketHandle s = platform::CreateUdpSocket();
                platform::Bind(s, platform::SocketAddress{0, static_cast<uint16_t>(from_port)});
                platform::SendTo(s, probe.data(), probe.size(), platform::SocketAddress{address, uint16_t(to_port)});
                platform::CloseSocket(s);
            }
        }
    }
    server.Stop();
    return 0;
}

// tidewell-rendezvous: the rendezvous server the engine's UDP service talks
// to, for the demo, the tests and anyone running their own.
//
//   tidewell-rendezvous [--address <a.b.c.d>] [--port <udp port>]
//                       [--expiry <seconds>] [--per-source <nodes>] [--verbose]
//
// Listens on one UDP socket (default 0.0.0.0:82; port 0 picks a free one)
// and prints "listening on <address>:<port>" once it is ready. Ends on
// SIGINT or SIGTERM.

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Socket.h"
#include "tools/rendezvous/RendezvousService.h"

namespace {

std::atomic<bool> g_stop{false};

extern "C" void OnSignal(int) { g_stop.store(true); }

struct Options {
    uint32_t address = 0;
    uint16_t port = 82;
    rendezvous::Limits limits;
    bool verbose = false;
};

long Number(const std::string& text, long low, long high, const std::string& what) {
    size_t used = 0;
    long value = 0;
    try {
        value = std::stol(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || value < low || value > high) throw std::runtime_error("bad " + what + ": " + text);
    return value;
}

Options ParseArguments(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--verbose") {
            o.verbose = true;
            continue;
        }
        if (i + 1 >= argc) throw std::runtime_error(flag + " needs a value");
        const std::string value = argv[++i];
        if (flag == "--address") {
            if (!platform::ParseIpv4(value, &o.address)) throw std::runtime_error("bad address: " + value);
        } else if (flag == "--port") {
            o.port = static_cast<uint16_t>(Number(value, 0, 65535, "port"));
        } else if (flag == "--expiry") {
            o.limits.expiry_s = Number(value, 1, 86400, "expiry");
        } else if (flag == "--per-source") {
            o.limits.per_source = static_cast<size_t>(Number(value, 1, 65536, "per-source"));
        } else {
            throw std::runtime_error("unknown option " + flag);
        }
    }
    return o;
}

platform::SocketHandle OpenSocket(const Options& o, platform::SocketAddress* bound) {
    platform::SocketHandle s = platform::CreateUdpSocket();
    if (s == platform::InvalidSocket) throw std::runtime_error("cannot create a UDP socket");
    if (!platform::Bind(s, platform::SocketAddress{o.address, o.port}) || !platform::LocalAddressOf(s, bound)) {
        platform::CloseSocket(s);
        throw std::runtime_error("cannot bind " + platform::FormatIpv4(o.address) + ":" + std::to_string(o.port) +
                                 " (error " + std::to_string(platform::LastSocketError()) + ")");
    }
    platform::SetNonBlocking(s, true);
    return s;
}

void Serve(platform::SocketHandle s, const Options& o) {
    rendezvous::RendezvousService service(o.limits);
    std::vector<uint8_t> buffer(engine::MaxDatagramSize + 1);
    // The poll wakes up often enough to notice a stop request promptly.
    constexpr int PollMs = 200;
    while (!g_stop.load()) {
        std::vector<platform::PollEntry> entries{platform::PollEntry{s, true, false}};
        if (platform::PollSockets(entries, PollMs) <= 0) continue;
        platform::SocketAddress from;
        const int64_t n = platform::RecvFrom(s, buffer.data(), buffer.size(), &from);
        if (n < 0 || static_cast<size_t>(n) > engine::MaxDatagramSize) continue;
        const auto replies =
            service.Handle(buffer.data(), static_cast<size_t>(n), from.ip, from.port, platform::WallSeconds());
        for (const rendezvous::Datagram& d : replies) {
            platform::SendTo(s, d.bytes.data(), d.bytes.size(), platform::SocketAddress{d.address, d.port});
        }
        if (o.verbose && !replies.empty()) {
            std::printf("%s:%u sent %lld bytes; %zu answer(s); %zu node(s) registered\n",
                        platform::FormatIpv4(from.ip).c_str(), unsigned(from.port), static_cast<long long>(n),
                        replies.size(), service.RegistrationCount());
            std::fflush(stdout);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Options options = ParseArguments(argc, argv);
        std::signal(SIGINT, OnSignal);
        std::signal(SIGTERM, OnSignal);
        platform::SocketAddress bound;
        platform::SocketHandle s = OpenSocket(options, &bound);
        std::printf("listening on %s:%u\n", platform::FormatIpv4(bound.ip).c_str(), unsigned(bound.port));
        std::fflush(stdout);
        Serve(s, options);
        platform::CloseSocket(s);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tidewell-rendezvous: %s\n", e.what());
        return 1;
    }
    return 0;
}

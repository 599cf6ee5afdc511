// lossy-udp-relay: the tests' lossy UDP relay as a program of its own, for
// paths between network namespaces (and by hand), where a thread of the test
// cannot sit.
//
//   lossy-udp-relay --target <a.b.c.d>:<port> [--listen <a.b.c.d>:<port>]
//                   [--drop <percent>] [--seed <n>]
//
// Listens on 127.0.0.1 and a free port by default, prints "listening on
// <address>:<port>" once ready, relays until SIGINT or SIGTERM, then prints
// "relayed <to target> dropped <n> returned <to clients> dropped <n>".

#include <atomic>
#include <csignal>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "platform/Clock.h"
#include "platform/Socket.h"
#include "tests/support/LossyUdpRelay.h"

namespace {

std::atomic<bool> g_stop{false};

extern "C" void OnSignal(int) { g_stop.store(true); }

platform::SocketAddress Endpoint(const std::string& text) {
    const size_t colon = text.rfind(':');
    platform::SocketAddress a;
    size_t used = 0;
    long port = -1;
    if (colon != std::string::npos && platform::ParseIpv4(text.substr(0, colon), &a.ip)) {
        try {
            port = std::stol(text.substr(colon + 1), &used);
        } catch (const std::exception&) {
            port = -1;
        }
    }
    if (port < 0 || port > 65535 || used != text.size() - colon - 1) {
        throw std::runtime_error("bad endpoint: " + text);
    }
    a.port = static_cast<uint16_t>(port);
    return a;
}

testing_support::LossyUdpRelayOptions ParseArguments(int argc, char** argv) {
    testing_support::LossyUdpRelayOptions o;
    bool has_target = false;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (i + 1 >= argc) throw std::runtime_error(flag + " needs a value");
        const std::string value = argv[++i];
        if (flag == "--target") {
            o.target = Endpoint(value);
            has_target = o.target.port != 0;
        } else if (flag == "--listen") {
            o.listen = Endpoint(value);
        } else if (flag == "--drop") {
            o.drop_percent = std::stod(value);
            if (o.drop_percent < 0 || o.drop_percent > 100) throw std::runtime_error("bad drop share: " + value);
        } else if (flag == "--seed") {
            o.seed = std::stoull(value);
        } else {
            throw std::runtime_error("unknown option " + flag);
        }
    }
    if (!has_target) throw std::runtime_error("--target <address>:<port> is needed");
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const testing_support::LossyUdpRelayOptions options = ParseArguments(argc, argv);
        std::signal(SIGINT, OnSignal);
        std::signal(SIGTERM, OnSignal);
        testing_support::LossyUdpRelay relay(options);
        if (!relay.Start()) throw std::runtime_error("cannot listen on " + platform::FormatIpv4(options.listen.ip));
        std::printf("listening on %s:%u\n", platform::FormatIpv4(options.listen.ip).c_str(), unsigned(relay.Port()));
        std::fflush(stdout);
        while (!g_stop.load()) platform::SleepMs(100);
        relay.Stop();
        const auto t = relay.Totals();
        std::printf("relayed %llu dropped %llu returned %llu dropped %llu\n",
                    static_cast<unsigned long long>(t.to_target), static_cast<unsigned long long>(t.to_target_dropped),
                    static_cast<unsigned long long>(t.to_client), static_cast<unsigned long long>(t.to_client_dropped));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lossy-udp-relay: %s\n", e.what());
        return 1;
    }
    return 0;
}

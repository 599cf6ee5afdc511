#include "tests/support/LoopbackPeer.h"

#include <chrono>
#include <vector>

#include "platform/Clock.h"

namespace testing_support {
namespace {

// Each wait polls in short slices so a stop request ends the thread quickly;
// the whole life of a peer is bounded by this.
constexpr int SliceMs = 20;
constexpr auto LifeLimit = std::chrono::seconds(30);
// Between two trickled bytes: long enough for each to travel on its own.
constexpr uint32_t TricklePauseMs = 2;

}  // namespace

LoopbackPeer::LoopbackPeer(Mode mode, std::string payload, int receive_buffer_bytes)
    : m_mode(mode), m_payload(std::move(payload)) {
    m_listener = platform::CreateTcpSocket();
    if (m_listener == platform::InvalidSocket) return;
    if (receive_buffer_bytes > 0) platform::SetReceiveBufferSize(m_listener, receive_buffer_bytes);
    platform::SocketAddress local{Address(), 0};
    if (!platform::Bind(m_listener, local) || !platform::Listen(m_listener, 4) ||
        !platform::LocalAddressOf(m_listener, &local)) {
        platform::CloseSocket(m_listener);
        m_listener = platform::InvalidSocket;
        return;
    }
    m_port = local.port;
    m_thread = std::thread([this] { Run(); });
}

LoopbackPeer::~LoopbackPeer() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    if (m_listener != platform::InvalidSocket) platform::CloseSocket(m_listener);
}

bool LoopbackPeer::WaitReady(platform::SocketHandle s, bool for_write) {
    const auto deadline = std::chrono::steady_clock::now() + LifeLimit;
    while (!m_stop && std::chrono::steady_clock::now() < deadline) {
        std::vector<platform::PollEntry> entries(1);
        entries[0].socket = s;
        entries[0].want_read = !for_write;
        entries[0].want_write = for_write;
        if (platform::PollSockets(entries, SliceMs) > 0) return true;
    }
    return false;
}

void LoopbackPeer::Run() {
    if (!WaitReady(m_listener, false)) return;
    platform::SocketAddress from;
    const platform::SocketHandle s = platform::Accept(m_listener, &from);
    if (s == platform::InvalidSocket) return;
    m_accepted = true;
    switch (m_mode) {
        case Mode::NeverRead: {
            const auto deadline = std::chrono::steady_clock::now() + LifeLimit;
            while (!m_stop && std::chrono::steady_clock::now() < deadline) platform::SleepMs(SliceMs);
            break;
        }
        case Mode::ResetOnData:
            WaitReady(s, false);
            break;
        case Mode::Trickle:
            Trickle(s);
            break;
        case Mode::Echo:
            Echo(s);
            break;
    }
    platform::CloseSocket(s);
}

void LoopbackPeer::Trickle(platform::SocketHandle s) {
    for (char c : m_payload) {
        if (m_stop || !WaitReady(s, true) || platform::Send(s, &c, 1) != 1) return;
        ++m_trickle_writes;
        platform::SleepMs(TricklePauseMs);
    }
}

void LoopbackPeer::Echo(platform::SocketHandle s) {
    char buffer[4096];
    while (WaitReady(s, false)) {
        const int64_t n = platform::Recv(s, buffer, sizeof buffer);
        if (n <= 0) return;
        for (int64_t done = 0; done < n;) {
            if (!WaitReady(s, true)) return;
            const int64_t sent = platform::Send(s, buffer + done, static_cast<size_t>(n - done));
            if (sent <= 0) return;
            done += sent;
        }
    }
}

}  // namespace testing_support

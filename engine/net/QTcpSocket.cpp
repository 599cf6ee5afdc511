#include "engine/net/QTcpSocket.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>

#include "engine/net/NameResolver.h"
#include "engine/base/EngineClock.h"
#include "engine/net/SourceUrl.h"
#include "engine/net/TSourceInfo.h"
#include "platform/Clock.h"
#include "platform/Socket.h"

namespace engine {
namespace {

// Until the shared services read the system's limit, connects may pile up
// to 64; afterwards the limit is 32 or the system's, whichever is lower.
constexpr int32_t InitialHalfOpenLimit = 64;
constexpr int32_t DefaultHalfOpenLimit = 32;
// A blocking send that the kernel took only in part waits a moment before
// the next try rather than spinning on a socket that keeps polling ready.
constexpr uint32_t BlockingSendPauseMs = 5;

std::atomic<int32_t> g_half_open_count{0};
std::atomic<int32_t> g_half_open_limit{InitialHalfOpenLimit};

bool IsValidAddress(uint32_t address) { return address != 0 && address != NoAddress; }

bool IsInProgress(int error) {
    return platform::IsWouldBlock(error) || error == platform::SocketError::InProgress;
}

// accept(2) on Linux hands pending network errors of a connection that died
// before it was taken back as the accept error; they mean "nothing to take
// now", not a broken listener.
bool IsTransientAcceptError(int error) {
    return platform::IsWouldBlock(error) || error == ECONNABORTED || error == EINTR ||
           error == EPROTO || error == ENETDOWN || error == ENOPROTOOPT || error == EHOSTDOWN ||
           error == ENONET || error == EHOSTUNREACH || error == EOPNOTSUPP || error == ENETUNREACH;
}

}  // namespace

QTcpSocket::QTcpSocket() : m_send(DefaultSendCap), m_receive(DefaultReceiveCap) {}

QTcpSocket::~QTcpSocket() { Close(); }

QSocketCalls* QTcpSocket::Calls() const { return m_udp_stream ? UdpStreamCalls() : &TcpSocketCalls(); }

void QTcpSocket::MarkInputWaiting(const std::vector<QTcpSocket*>& sockets, std::vector<uint8_t>* waiting) {
    waiting->assign(sockets.size(), 0);
    std::vector<QSocketHandle> handles;
    std::vector<size_t> at;
    for (size_t i = 0; i < sockets.size(); ++i) {
        const QTcpSocket* s = sockets[i];
        if (!s || !s->IsOpen() || s->m_udp_stream || s->m_listening) continue;
        handles.push_back(s->m_socket);
        at.push_back(i);
    }
    std::vector<uint8_t> ready;
    PollTcpInput(handles, &ready);
    for (size_t k = 0; k < at.size(); ++k) (*waiting)[at[k]] = ready[k];
}

int QTcpSocket::WaitForActivity(const std::vector<QTcpSocket*>& sockets, int timeout_ms) {
    std::vector<QSocketHandle> handles;
    std::vector<uint8_t> want_write;
    for (const QTcpSocket* s : sockets) {
        if (!s || !s->IsOpen() || s->m_udp_stream || s->m_listening) continue;
        handles.push_back(s->m_socket);
        want_write.push_back(s->m_send.Count() > 0 ? 1 : 0);
    }
    if (handles.empty()) return -1;
    return WaitTcpActivity(handles, want_write, timeout_ms) ? 1 : 0;
}

bool QTcpSocket::Fail() {
    m_last_error = platform::LastSocketError();
    Close();
    return false;
}

void QTcpSocket::SetBufferCaps(size_t send_cap, size_t receive_cap) {
    m_send.SetCap(send_cap);
    m_receive.SetCap(receive_cap);
}

bool QTcpSocket::Open(bool blocking, bool udp_stream) {
    if (IsOpen()) {
        if (m_udp_stream != udp_stream) return false;
        m_blocking = blocking;
        return true;
    }
    m_udp_stream = udp_stream;
    m_blocking = blocking;
    QSocketCalls* calls = Calls();
    if (calls == nullptr) {
        m_last_error = platform::SocketError::NetworkUnreachable;
        return false;
    }
    m_socket = calls->Socket();
    if (m_socket == InvalidSocketHandle) {
        m_last_error = platform::LastSocketError();
        return false;
    }
    // Blocking mode is carried out by waiting before each call, so the socket
    // itself is always non-blocking.
    if (!udp_stream && !calls->SetNonBlocking(m_socket)) return Fail();
    return true;
}

void QTcpSocket::TakeNodeIdentity(const QSocketAddress& address) {
    static constexpr char Suffix[] = {'U', 'D', 'P', '0', '\0'};
    std::copy(address.node_id.begin(), address.node_id.end(), m_node_identity.begin());
    std::copy(std::begin(Suffix), std::end(Suffix), m_node_identity.begin() + 8);
}

bool QTcpSocket::ReadLocalName() {
    QSocketAddress local;
    if (Calls()->GetSockName(m_socket, &local) != 0) {
        m_last_error = platform::LastSocketError();
        return false;
    }
    m_local_address = local.address;
    m_local_port = local.port;
    TakeNodeIdentity(local);
    m_connect_time = GetUptimeSeconds();
    m_connected = true;
    CountHalfOpen(false);
    return true;
}

bool QTcpSocket::Connect(uint32_t address, int32_t port, bool blocking, uint32_t local_address,
                         const std::array<uint8_t, 8>* node_id) {
    Close();
    if (!IsValidAddress(address) || port < 1 || port > 65535) {
        m_last_error = platform::SocketError::Invalid;
        return false;
    }
    m_remote_address = address;
    m_remote_port = port;
    if (!Open(blocking, node_id != nullptr)) {
        Close();
        return false;
    }
    QSocketAddress to;
    to.address = address;
    to.port = static_cast<uint16_t>(port);
    if (node_id) to.node_id = *node_id;
    // A UDP stream leaves from the UDP server's one endpoint; binding would
    // turn its record into a listener that can no longer connect.
    if (local_address != 0 && !m_udp_stream) {
        QSocketAddress local;
        local.address = local_address;
        if (Calls()->Bind(m_socket, local) != 0) return Fail();
    }
    if (Calls()->Connect(m_socket, to) == 0) {
        if (!ReadLocalName()) return Fail();
    } else {
        const int error = platform::LastSocketError();
        if (!IsInProgress(error)) return Fail();
        CountHalfOpen(true);
        if (m_blocking) {
            if (!Wait(true, WaitForever) || Calls()->ConnectState(m_socket) != 1 || !ReadLocalName()) {
                return Fail();
            }
        }
    }
    m_peer_text = DottedText(address);
    m_established_time = GetUptimeSeconds();
    return true;
}

bool QTcpSocket::ConnectHost(const std::string& host, int32_t port, bool blocking, uint32_t local_address,
                             const std::array<uint8_t, 8>* node_id) {
    const uint32_t address = ResolveHost(host);
    if (!Connect(address, port, blocking, local_address, node_id)) return false;
    m_peer_text = host;
    return true;
}

bool QTcpSocket::Listen(int32_t port, uint32_t local_address, bool udp_stream) {
    Close();
    if (port < 1 || port > 65535) {
        m_last_error = platform::SocketError::Invalid;
        return false;
    }
    const uint32_t local = local_address != 0 ? local_address : LocalAddress();
    if (!Open(false, udp_stream)) {
        Close();
        return false;
    }
    QSocketCalls* calls = Calls();
    // A listener restarted on its port must not wait out old connections'
    // TIME_WAIT (binding over them is allowed where this engine came from).
    if (!udp_stream) calls->SetReuseAddress(m_socket);
    QSocketAddress address;
    address.address = local;
    address.port = static_cast<uint16_t>(port);
    if (calls->Bind(m_socket, address) != 0) return Fail();
    if (calls->Listen(m_socket, udp_stream ? UdpStreamBacklog : TcpBacklog) != 0) return Fail();
    m_listening = true;
    m_local_address = local;
    m_local_port = port;
    m_established_time = GetUptimeSeconds();
    return true;
}

std::unique_ptr<QTcpSocket> QTcpSocket::AcceptNext() {
    if (!m_listening || !IsOpen()) return nullptr;
    if (m_blocking) Wait(false, WaitForever);
    QSocketAddress peer;
    const QSocketHandle accepted = Calls()->Accept(m_socket, &peer);
    if (accepted == InvalidSocketHandle) {
        const int error = platform::LastSocketError();
        if (!IsTransientAcceptError(error) && !m_udp_stream) {
            m_last_error = error;
            Close();
        }
        return nullptr;
    }
    auto socket = std::make_unique<QTcpSocket>();
    socket->m_socket = accepted;
    socket->m_udp_stream = m_udp_stream;
    socket->m_local_address = m_local_address;
    socket->m_local_port = m_local_port;
    socket->m_remote_address = peer.address;
    socket->m_remote_port = peer.port;
    socket->m_connected = true;
    socket->m_peer_text = DottedText(peer.address);
    socket->m_connect_time = GetUptimeSeconds();
    socket->m_established_time = socket->m_connect_time;
    socket->TakeNodeIdentity(peer);
    if (!m_udp_stream && !Calls()->SetNonBlocking(accepted)) {
        socket->m_last_error = platform::LastSocketError();
        socket->Close();
    }
    return socket;
}

bool QTcpSocket::IsEstablished() {
    if (!IsOpen() || m_listening || !IsValidAddress(m_remote_address)) return false;
    if (m_connected) return true;
    const int state = Calls()->ConnectState(m_socket);
    if (state == 0) return false;
    // A refused or unreachable connect ends here, so the owner sees the loss
    // on its next call instead of waiting for its own time-out.
    if (state < 0) return Fail();
    if (!ReadLocalName()) return Fail();
    return true;
}

int64_t QTcpSocket::SendBuffered(int64_t limit) {
    size_t count = m_send.Count();
    if (limit > 0) count = std::min(count, static_cast<size_t>(limit));
    if (count == 0) return 0;
    int64_t sent = Calls()->Send(m_socket, m_send.Data(), count);
    if (sent < 0) {
        const int error = platform::LastSocketError();
        if (!platform::IsWouldBlock(error)) {
            m_last_error = error;
            Close();
            return -1;
        }
        sent = 0;
    }
    m_send.Consume(sent, true);
    m_sent_total += sent;
    return sent;
}

int64_t QTcpSocket::SendBlocking() {
    int64_t total = 0;
    while (m_send.Count() > 0) {
        if (!Wait(true, WaitForever)) {
            Fail();
            return -1;
        }
        const int64_t sent = SendBuffered(-1);
        if (sent < 0) return -1;
        total += sent;
        if (m_send.Count() > 0) platform::SleepMs(BlockingSendPauseMs);
    }
    m_send.Consume(0, m_keep_buffers);
    return total;
}

int64_t QTcpSocket::Send(const uint8_t* data, int64_t length) {
    if (!IsOpen()) return 0;
    if (data != nullptr && length <= 0) data = nullptr;
    if (data == nullptr && m_send.Count() == 0) return 0;
    const size_t size = data ? static_cast<size_t>(length) : 0;
    // Bytes that do not fit under the cap would be lost from the middle of
    // the stream: the connection cannot go on.
    auto overflow = [this] {
        m_last_error = ENOBUFS;
        Close();
        return int64_t{-1};
    };
    if (!IsEstablished()) {
        if (!IsOpen()) return -1;
        if (data && !m_send.Append(data, size, SendSlack)) return overflow();
        return 0;
    }
    if (data && m_blocking) {
        if (!m_send.Append(data, size, SendSlack)) return overflow();
        return SendBlocking();
    }
    if (m_blocking) return SendBlocking();
    if (data == nullptr) {
        const int64_t sent = SendBuffered(length);
        if (sent > 0 && m_send.Count() == 0) m_send.Consume(0, m_keep_buffers);
        return sent;
    }

    int64_t sent = 0;
    if (m_send.Count() > 0) {
        sent = SendBuffered(length);
        if (sent < 0) return -1;
    }
    if (m_send.Count() > 0 || sent >= length) {
        if (!m_send.Append(data, size, SendSlack)) return overflow();
        return sent;
    }
    int64_t direct = Calls()->Send(m_socket, data, size);
    if (direct < 0) {
        const int error = platform::LastSocketError();
        if (!platform::IsWouldBlock(error)) {
            m_last_error = error;
            Close();
            return -1;
        }
        direct = 0;
    }
    m_sent_total += direct;
    sent += direct;
    const auto unsent = static_cast<size_t>(length - direct);
    if (!m_send.Append(data + direct, unsent, SendSlack)) return overflow();
    return sent;
}

int64_t QTcpSocket::Flush() {
    m_writable_pending = true;
    return Send(nullptr, -1);
}

int64_t QTcpSocket::Receive(int32_t size) {
    if (!IsOpen()) return -1;
    if (!IsEstablished()) return IsOpen() ? 0 : -1;
    if (size <= 0) size = DefaultReceiveSize;
    const auto wanted = static_cast<size_t>(size);
    m_receive.Reserve(wanted, ReceiveSlack);
    const size_t room = std::min(m_receive.Free(), wanted);
    // At the cap nothing more is read until the owner consumes; the kernel's
    // window then holds the sender back.
    if (room == 0) return static_cast<int64_t>(m_receive.Count());
    const int64_t got = RecvInto(m_receive.WritePosition(), room);
    if (got < 0) return -1;
    m_receive.Commit(static_cast<size_t>(got));
    return static_cast<int64_t>(m_receive.Count());
}

int64_t QTcpSocket::RecvInto(uint8_t* place, size_t room) {
    if (m_blocking) Wait(false, WaitForever);
    const int64_t got = Calls()->Recv(m_socket, place, room);
    if (got < 0) {
        const int error = platform::LastSocketError();
        if (platform::IsWouldBlock(error)) return 0;
        m_last_error = error;
        Close();
        return -1;
    }
    if (got == 0) {
        Close();
        return -1;
    }
    m_received_total += got;
    return got;
}

int64_t QTcpSocket::ReceiveInto(uint8_t* place, size_t room) {
    if (!IsOpen()) return -1;
    if (!IsEstablished()) return IsOpen() ? 0 : -1;
    if (!place || room == 0) return 0;
    return RecvInto(place, room);
}

bool QTcpSocket::PutBack(const uint8_t* data, size_t length) {
    return m_receive.Count() == 0 && m_receive.Append(data, length, ReceiveSlack);
}

void QTcpSocket::Consume(int64_t count, bool keep) { m_receive.Consume(count, keep || m_keep_buffers); }

void QTcpSocket::ConsumeSent(int64_t count, bool keep) { m_send.Consume(count, keep || m_keep_buffers); }

int QTcpSocket::WaitMs(int seconds, bool blocking) {
    if (seconds == WaitForever) return -1;
    if (seconds == WaitPerMode) return blocking ? -1 : 0;
    if (seconds < 0) return 0;
    return seconds > INT_MAX / 1000 ? INT_MAX : seconds * 1000;
}

bool QTcpSocket::Wait(bool for_write, int seconds) {
    if (!IsOpen()) return false;
    return Calls()->Wait(m_socket, for_write, WaitMs(seconds, m_blocking)) > 0;
}

bool QTcpSocket::WaitWritable(int seconds) {
    if (m_writable_pending) {
        m_writable_pending = false;
        return true;
    }
    return Wait(true, seconds);
}

bool QTcpSocket::WaitReadable(int seconds) {
    if (m_readable_pending) {
        m_readable_pending = false;
        return true;
    }
    return Wait(false, seconds);
}

bool QTcpSocket::SetReceiveBufferSize(int bytes) {
    if (!IsOpen()) return false;
    if (m_udp_stream) return true;
    if (bytes < 1 || bytes > MaxReceiveBufferOption) bytes = FallbackReceiveBufferOption;
    return Calls()->SetReceiveBufferSize(m_socket, bytes);
}

int64_t QTcpSocket::AverageSendRate(int64_t now) const {
    if (m_connect_time == 0 || m_sent_total == 0) return 0;
    return m_sent_total / std::max<int64_t>(now - m_connect_time, 1);
}

int64_t QTcpSocket::AverageReceiveRate(int64_t now) const {
    if (m_connect_time == 0 || m_received_total == 0) return 0;
    return m_received_total / std::max<int64_t>(now - m_connect_time, 1);
}

void QTcpSocket::Close() {
    if (IsOpen()) {
        if (QSocketCalls* calls = Calls()) calls->CloseSocket(m_socket);
    }
    CountHalfOpen(false);
    m_send.Release();
    m_receive.Release();
    // The last error stays readable: the owner asks for it after a failure,
    // and every failure closes.
    m_peer_text.clear();
    m_socket = InvalidSocketHandle;
    m_remote_address = 0;
    m_local_address = 0;
    m_remote_port = 0;
    m_local_port = 0;
    m_sent_total = 0;
    m_received_total = 0;
    m_connect_time = 0;
    m_established_time = 0;
    m_node_identity = {};
    m_readable_pending = false;
    m_writable_pending = false;
    m_connected = false;
    m_listening = false;
    m_blocking = false;
    m_http_wrapped = false;
    m_udp_stream = false;
    m_keep_buffers = false;
}

void QTcpSocket::CountHalfOpen(bool pending) {
    if (pending && !m_half_open && !m_udp_stream) {
        m_half_open = true;
        ++g_half_open_count;
    } else if (!pending && m_half_open) {
        m_half_open = false;
        --g_half_open_count;
    }
}

int32_t QTcpSocket::HalfOpenCount() { return g_half_open_count.load(); }

int32_t QTcpSocket::HalfOpenLimit() { return g_half_open_limit.load(); }

void QTcpSocket::SetHalfOpenLimitFromSystem(int32_t system_limit) {
    g_half_open_limit = system_limit > 2 ? std::min(DefaultHalfOpenLimit, system_limit - 2) : DefaultHalfOpenLimit;
}

void QTcpSocket::ResetHalfOpenLimit() { g_half_open_limit = InitialHalfOpenLimit; }

}  // namespace engine

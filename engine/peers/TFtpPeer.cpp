#include "engine/peers/TFtpPeer.h"

#include <algorithm>

#include "engine/base/CTidewellLog.h"
#include "engine/base/EngineClock.h"
#include "engine/net/QTcpSocket.h"
#include "engine/peers/TPeerTask.h"

namespace engine {

namespace {

constexpr int64_t BlockBytes = BlockSize;
// Step changes are traced below the default debug threshold; refused replies
// are logged like other peer failures.
constexpr int32_t StepTraceLevel = 1;
constexpr int32_t PeerLogLevel = 13;
// A 4xx reply (the server is busy, RFC 959 "transient negative completion")
// lowers the connections allowed to the source, but never below this.
constexpr int32_t MinConnectionsAfterBusy = 2;

const char* StepName(FtpStep step) {
    switch (step) {
        case FtpStep::Data: return "data";
        case FtpStep::Welcome: return "welcome";
        case FtpStep::User: return "user";
        case FtpStep::Pass: return "pass";
        case FtpStep::Cwd: return "cwd";
        case FtpStep::Size: return "size";
        case FtpStep::Type: return "type";
        case FtpStep::Pasv: return "pasv";
        case FtpStep::Rest: return "rest";
        case FtpStep::Retr: return "retr";
        case FtpStep::TransferEnd: return "transfer end";
    }
    return "?";
}

}  // namespace

TFtpPeer::TFtpPeer() : TWebPeer(4) {}

TFtpPeer::~TFtpPeer() { CloseData(); }

void TFtpPeer::SetStep(FtpStep step, FtpSubState sub_state) {
    if (step != m_step) {
        LogFormat(StepTraceLevel, "FTP %s: %s -> %s", m_socket ? m_socket->PeerText().c_str() : "-", StepName(m_step),
                  StepName(step));
    }
    m_step = step;
    m_sub_state = sub_state;
}

void TFtpPeer::NoteActivity() { m_activity_time = GetClockSeconds(); }

QTcpSocket* TFtpPeer::PumpSocket() const {
    return m_step == FtpStep::Data && m_data ? m_data.get() : m_socket.get();
}

int64_t TFtpPeer::TrafficReceivedTotal() const {
    return m_closed_data_bytes + (m_data ? m_data->ReceivedTotal() : 0);
}

void TFtpPeer::CloseData() {
    if (!m_data) return;
    m_closed_data_bytes += m_data->ReceivedTotal();
    m_data.reset();
}

void TFtpPeer::EndTransfer() {
    CloseData();
    SetStep(FtpStep::TransferEnd, FtpSubState::Waiting);
}

void TFtpPeer::ResetState() {
    TWebPeer::ResetState();
    m_control.reset();
    CloseData();
    m_closed_data_bytes = 0;
    SetStep(FtpStep::Welcome, FtpSubState::Waiting);
    m_position = 0;
    m_skip = 0;
    m_activity_time = 0;
}

void TFtpPeer::ReleaseRange() {
    TWebPeer::ReleaseRange();
    m_skip = 0;
    // A running transfer carries the released run: it ends, and the next one
    // starts where the connection's next claim does. A transfer still being
    // set up goes on; its first bytes are read through or abandoned like any
    // other gap.
    if (m_step == FtpStep::Data) {
        EndTransfer();
        m_position = 0;
    }
}

bool TFtpPeer::ConnectTo(TPeerId* candidate) {
    if (!TPeerObject::ConnectTo(candidate)) return false;
    CloseData();
    m_position = 0;
    m_skip = 0;
    NoteActivity();
    SetStep(FtpStep::Welcome, FtpSubState::Waiting);
    TSourceInfo& info = Info();
    if (info.whole_body) {
        info.body.clear();
        info.body_complete = 0;
    }
    QTcpSocket& socket = EnsureSocket();
    m_control = std::make_unique<FtpControlChannel>(&socket);
    if (socket.Connect(candidate->m_address, candidate->m_port, false)) SetPhase(PeerPhase::Connecting);
    return IsConnected();
}

bool TFtpPeer::IsStalled() {
    const int64_t since = std::max({m_stats.connect_time, m_stats.last_data_time, m_activity_time});
    return StalledSince(since, m_step == FtpStep::Data ? DataStallS : ReplyStallS);
}

bool TFtpPeer::FlushOutput() {
    if (m_sub_state != FtpSubState::Sending) return true;
    if (!m_socket || !m_socket->IsOpen()) return false;
    if (m_socket->SendCount() > 0 && m_socket->Flush() < 0) return false;
    if (m_socket->SendCount() == 0) m_sub_state = FtpSubState::Waiting;
    return m_socket->IsOpen();
}

bool TFtpPeer::ReadInput() {
    if (!IsConnected() || !m_control) return false;
    // Checked in every sub-state: a command the server never takes off the
    // wire must not hold the connection for ever either.
    if (IsStalled()) {
        if (m_task && m_candidate) m_task->PenalizeSource(*m_candidate, true, StallPenalty);
        return false;
    }
    if (m_sub_state != FtpSubState::Waiting) return true;
    if (m_step == FtpStep::Data) return ReadData();
    FtpReply reply;
    switch (m_control->ReadReply(&reply)) {
        case FtpControlChannel::ReadResult::Lost: return false;
        case FtpControlChannel::ReadResult::NotYet: return true;
        case FtpControlChannel::ReadResult::Reply: break;
    }
    NoteActivity();
    HandleReplyClass(reply);
    if (!Accepts(reply)) {
        LogFormat(PeerLogLevel, "FTP %s: reply %d to %s refused: %s", m_socket->PeerText().c_str(), reply.code,
                  StepName(m_step), reply.text.c_str());
        return false;
    }
    return OnReply(reply);
}

void TFtpPeer::HandleReplyClass(const FtpReply& reply) {
    // The answer to a transfer this connection abandoned itself says nothing
    // about the server's load.
    const bool own_abort = m_step == FtpStep::TransferEnd && reply.code == 426;
    if (m_control->TransientError() && !own_abort && m_candidate &&
        m_candidate->m_max_connections > MinConnectionsAfterBusy) {
        --m_candidate->m_max_connections;
    }
    if (m_control->PermanentError() && m_task && m_candidate) m_task->PenalizeSource(*m_candidate, true, ErrorPenalty);
    m_control->ClearErrors();
}

bool TFtpPeer::Accepts(const FtpReply& reply) const {
    const int32_t code = reply.code;
    switch (m_step) {
        case FtpStep::Welcome: return code == 220;
        // A server that needs no password answers 230 here; only 331 leads
        // on to the password this connection was given.
        case FtpStep::User: return code == 331;
        case FtpStep::Pass: return code == 230 || code == 332;
        case FtpStep::Cwd: return code == 250;
        case FtpStep::Size: return code == 213;
        case FtpStep::Type: return code == 200;
        case FtpStep::Pasv: return code == 227;
        case FtpStep::Rest: return code == 350;
        case FtpStep::Retr: return code == 125 || code == 150;
        case FtpStep::TransferEnd: return code == 226 || code == 250 || code == 426;
        case FtpStep::Data: return false;
    }
    return false;
}

bool TFtpPeer::OnReply(const FtpReply& reply) {
    switch (m_step) {
        case FtpStep::Welcome:
            SetPhase(PeerPhase::Established);
            SetStep(FtpStep::User, FtpSubState::ToSend);
            return true;
        case FtpStep::User: SetStep(FtpStep::Pass, FtpSubState::ToSend); return true;
        case FtpStep::Pass: SetStep(FtpStep::Cwd, FtpSubState::ToSend); return true;
        // Binary mode comes before the size: servers that count the size of
        // an ASCII transfer refuse SIZE in ASCII mode (RFC 3659, 4: "the
        // SIZE command ... in ASCII mode ... may be refused"), and a refusal
        // would delay the source for a minute.
        case FtpStep::Cwd: SetStep(FtpStep::Type, FtpSubState::ToSend); return true;
        case FtpStep::Type: SetStep(FtpStep::Size, FtpSubState::ToSend); return true;
        case FtpStep::Size: return OnSizeReply(reply);
        case FtpStep::Pasv: return OnPasvReply(reply);
        case FtpStep::Rest: SendRetrieve(); return true;
        case FtpStep::Retr: SetStep(FtpStep::Data, FtpSubState::Waiting); return true;
        case FtpStep::TransferEnd: SetStep(FtpStep::Pasv, FtpSubState::ToSend); return true;
        case FtpStep::Data: return false;
    }
    return false;
}

bool TFtpPeer::OnSizeReply(const FtpReply& reply) {
    const int64_t size = ParseFtpSize(reply.text);
    if (size <= 0) return false;
    TSourceInfo& info = Info();
    // A body fetched into memory is a metainfo file: a bigger one is not.
    if (info.whole_body && size > MaxWholeBody) return Punish(true, ErrorPenalty);
    info.content_length = size;
    SetStep(FtpStep::Pasv, FtpSubState::ToSend);
    return true;
}

bool TFtpPeer::OnPasvReply(const FtpReply& reply) {
    PasvAddress address;
    if (!ParsePasvReply(reply.text, &address)) return false;
    // The reply's host only has to be well formed: the data connection goes
    // where the control connection goes, so a server cannot point it at
    // another host (RFC 2577, 3: "FTP bounce attack").
    CloseData();
    m_data = std::make_unique<QTcpSocket>();
    if (!m_data->Connect(m_socket->RemoteAddress(), address.port, false)) {
        // Nothing is sent: the connection waits until it counts as stalled.
        CloseData();
        SetStep(FtpStep::Pasv, FtpSubState::Waiting);
        return true;
    }
    m_data->SetReceiveBufferSize(ReceiveBufferBytes);
    SendRestart();
    return true;
}

void TFtpPeer::SendRestart() {
    if (!Info().whole_body) {
        // With nothing queued any more, nothing is sent and the connection
        // waits until it counts as stalled.
        if (m_requests.empty()) {
            SetStep(FtpStep::Pasv, FtpSubState::Waiting);
            return;
        }
        m_position = int64_t{m_requests.front().block} * BlockBytes;
    }
    m_skip = 0;
    SetStep(FtpStep::Rest, FtpSubState::Sending);
    if (!m_control->SendRest(m_position)) m_sub_state = FtpSubState::Waiting;
}

void TFtpPeer::SendRetrieve() {
    if (!Info().whole_body && m_requests.empty()) {
        SetStep(FtpStep::Rest, FtpSubState::Waiting);
        return;
    }
    SetStep(FtpStep::Retr, FtpSubState::Sending);
    if (!m_control->SendRetr(Info().path)) m_sub_state = FtpSubState::Waiting;
}

bool TFtpPeer::RequestBlocks() {
    if (!IsConnected() || !m_candidate) return false;
    TSourceInfo& info = Info();
    if (info.content_length > 0 && !info.whole_body && m_task) {
        if (!SourceLengthMatches()) return false;
        if ((m_step == FtpStep::Data || m_step == FtpStep::Pasv) && !FillRangedRequests(&m_skip)) return false;
    }
    if (m_sub_state != FtpSubState::ToSend) return true;
    return SendStepCommand();
}

bool TFtpPeer::SendStepCommand() {
    TSourceInfo& info = Info();
    bool sent = false;
    switch (m_step) {
        case FtpStep::User: sent = m_control->SendUser(info.user); break;
        case FtpStep::Pass: sent = m_control->SendPass(info.password); break;
        case FtpStep::Cwd: sent = m_control->SendCwd(FtpDirectoryOf(info.path)); break;
        case FtpStep::Type: sent = m_control->SendTypeBinary(); break;
        case FtpStep::Size: sent = m_control->SendSize(FtpFileNameOf(info.path)); break;
        case FtpStep::Pasv:
            // A ranged transfer starts only with blocks to fetch.
            if (!info.whole_body && m_requests.empty()) return true;
            sent = m_control->SendPasv();
            break;
        default: return true;
    }
    if (!sent) return false;
    m_sub_state = FtpSubState::Sending;
    return true;
}

bool TFtpPeer::ReadData() {
    if (!m_data) {
        EndTransfer();
        return true;
    }
    // The task's download allowance for this second is spent: the data
    // waits in the kernel (a connection still setting up goes on).
    if (Phase() != PeerPhase::Connecting && ReadBudget() <= 0) return true;
    if (Info().whole_body) return ReadWholeData();
    return ReadRangedData();
}

bool TFtpPeer::ReadWholeData() {
    TSourceInfo& info = Info();
    for (int i = 0; i < ReadsPerStep && !info.body_complete; ++i) {
        const int64_t got = m_data->Receive(ReadSize);
        if (got < 0) {
            // The server closed the data connection: the body is whole if it
            // has the announced length.
            CloseData();
            if (info.body.empty() || static_cast<int64_t>(info.body.size()) < info.content_length) return false;
            info.body_complete = 1;
            break;
        }
        const size_t n = m_data->ReceiveCount();
        if (n == 0) return true;
        if (!AppendToBody(m_data->ReceiveData(), n)) return false;
        m_data->Consume(static_cast<int64_t>(n), true);
        NoteActivity();
        if (static_cast<int64_t>(info.body.size()) >= info.content_length) info.body_complete = 1;
    }
    if (!info.body_complete) return true;
    // The body is in: the task takes it, and this connection is done.
    if (m_task) m_task->AdoptFetchedBody(*m_candidate);
    SetState(PeerState::Finished);
    return false;
}

bool TFtpPeer::ReadRangedData() {
    // Buffered bytes are used up before the socket is read again: the read
    // that meets the end of the transfer drops whatever the buffer still
    // holds.
    for (int i = 0; i < ReadsPerStep; ++i) {
        const DataNeed need = ProcessData();
        if (need == DataNeed::Refused) return false;
        if (need == DataNeed::End) {
            EndTransfer();
            return true;
        }
        // Nothing queued: the bytes stay where they are (the kernel's window
        // holds the server back) until the queue is filled again.
        if (need == DataNeed::Requests) return true;
        const int32_t budget = ReadBudget();
        if (budget <= 0) return true;
        const size_t before = m_data->ReceiveCount();
        if (m_data->Receive(budget) < 0) {
            EndTransfer();
            return true;
        }
        if (m_data->ReceiveCount() == before) return true;
    }
    return true;
}

TFtpPeer::DataNeed TFtpPeer::ProcessData() {
    for (;;) {
        size_t n = m_data->ReceiveCount();
        if (m_skip > 0) {
            const int64_t drop = std::min<int64_t>(m_skip, static_cast<int64_t>(n));
            m_data->Consume(drop, true);
            m_position += drop;
            m_skip -= drop;
            if (m_skip > 0) return DataNeed::MoreBytes;
            n = m_data->ReceiveCount();
        }
        if (m_requests.empty()) return DataNeed::Requests;
        m_skip = int64_t{m_requests.front().block} * BlockBytes - m_position;
        // The next wanted block lies behind the stream or too far ahead: this
        // transfer is of no more use.
        if (m_skip < 0 || m_skip > MaxSkipBytes) {
            m_position = 0;
            m_skip = 0;
            return DataNeed::End;
        }
        if (m_skip > 0) continue;
        if (n < static_cast<size_t>(m_requests.front().length)) return DataNeed::MoreBytes;
        if (!HandOverBlocks()) return DataNeed::Refused;
        if (!m_data) return DataNeed::End;
    }
}

bool TFtpPeer::HandOverBlocks() {
    const uint8_t* data = m_data->ReceiveData();
    const size_t n = m_data->ReceiveCount();
    size_t used = 0;
    int32_t previous = -1;
    bool ok = true;
    while (!m_requests.empty()) {
        const TBlockRequest head = m_requests.front();
        if ((previous >= 0 && head.block != previous + 1) || n - used < static_cast<size_t>(head.length)) break;
        // A block the piece map refuses ends the transfer (and the refusal
        // is not passed off as progress).
        if (!ReceiveBlock(head.block, head.length, data + used, 0)) {
            ok = false;
            break;
        }
        used += static_cast<size_t>(head.length);
        m_position += head.length;
        previous = head.block;
        if (!m_data) break;
    }
    if (m_data) m_data->Consume(static_cast<int64_t>(used), true);
    return ok;
}

}  // namespace engine

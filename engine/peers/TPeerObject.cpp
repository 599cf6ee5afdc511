#include "engine/peers/TPeerObject.h"

#include <algorithm>

#include "engine/base/CTidewellLog.h"
#include "engine/base/EngineClock.h"
#include "engine/base/EngineSettings.h"
#include "engine/peers/TPeerTask.h"
#include "engine/net/QTcpSocket.h"
#include "engine/peers/TClaims.h"

namespace engine {

namespace {

// Asking the piece map for a piece to fetch gives up after this many empty
// answers in one fill.
constexpr int PieceTries = 4;
// Phase and state changes are a trace: below the default thresholds, so
// they cost a formatted line only while someone asks for them.
constexpr int32_t TransitionLogLevel = 1;

const char* KindName(int32_t kind) {
    switch (kind) {
        case PeerKindBt: return "BT";
        case PeerKindHttp: return "HTTP";
        case PeerKindFtp: return "FTP";
        case PeerKindTracker: return "Tracker";
        default: return "Peer";
    }
}
// A web connection whose claim lags the task's pending read by more than this
// many pieces moves to the read position.
constexpr int32_t ReadPositionJump = 6;

}  // namespace

TPeerObject::TPeerObject(int32_t kind) : m_kind(kind) {}

TPeerObject::~TPeerObject() {
    // Not ResetState(): a subclass's part is already gone, so only the
    // common part is undone here.
    if (m_task && !m_requests.empty()) m_task->ReturnBlocks(m_requests);
    if (m_socket) m_socket->Close();
    // The claim list may outlive this object: the claim must not point here.
    if (m_claim && m_claim->owner == this) m_claim->owner = nullptr;
    m_claim = nullptr;
    if (m_candidate) {
        m_candidate->m_in_use = std::max(m_candidate->m_in_use - 1, 0);
        TRefObject::Release(m_candidate);
    }
}

void TPeerObject::Initialize(TPeerTask* task) {
    ResetState();
    m_task = task;
}

void TPeerObject::SetPhase(PeerPhase phase) { Transition(phase, m_state); }

void TPeerObject::SetState(int32_t state) { Transition(m_phase, state); }

void TPeerObject::Transition(PeerPhase phase, int32_t state) {
    if (phase == m_phase && state == m_state) return;
    LogFormat(TransitionLogLevel, "%s peer %s: phase %d state %d -> phase %d state %d", KindName(m_kind),
              m_socket ? m_socket->PeerText().c_str() : "-", static_cast<int>(m_phase), m_state,
              static_cast<int>(phase), state);
    m_phase = phase;
    m_state = state;
    if (phase == PeerPhase::Established) m_was_active = true;
}

QTcpSocket& TPeerObject::EnsureSocket() {
    if (!m_socket) m_socket = std::make_unique<QTcpSocket>();
    return *m_socket;
}

void TPeerObject::ClearCounters() {
    m_step_sent = m_step_received = m_step_payload = 0;
    m_total_received = m_period_payload = m_period_uploaded = m_kilobytes = 0;
    m_download_rate = m_upload_rate = 0;
}

void TPeerObject::ResetState() {
    if (!m_requests.empty() && m_task) {
        m_task->ReturnBlocks(m_requests);
    }
    m_requests.clear();
    m_uploads.clear();
    if (m_socket) m_socket->Close();
    ReleaseRange();
    Transition(PeerPhase::Idle, PeerState::Idle);
    m_last_position = 0;
    m_was_active = false;
    m_stats = TPeerStats{};
    ClearCounters();
    if (m_candidate) {
        m_candidate->m_in_use = std::max(m_candidate->m_in_use - 1, 0);
        TRefObject::Release(m_candidate);
        m_candidate = nullptr;
    }
}

bool TPeerObject::ConnectTo(TPeerId* candidate) {
    if (!candidate || !candidate->IsValid() || m_candidate) return false;
    candidate->AddRef();
    m_candidate = candidate;
    if (m_socket) {
        m_socket->Close();
    } else {
        EnsureSocket();
    }
    m_stats.connect_time = GetClockSeconds();
    return true;
}

bool TPeerObject::AcceptSocket(std::unique_ptr<QTcpSocket> socket) {
    ResetState();
    m_socket.reset();
    m_stats.incoming = 1;
    m_socket = std::move(socket);
    if (m_socket) SetPhase(PeerPhase::Connecting);
    m_stats.connect_time = GetClockSeconds();
    return IsConnected();
}

int64_t TPeerObject::TrafficReceivedTotal() const { return m_socket ? m_socket->ReceivedTotal() : 0; }

bool TPeerObject::IsConnected() const { return m_phase != PeerPhase::Idle && m_socket != nullptr; }

bool TPeerObject::ShouldDrop(bool near_end) {
    if (!IsConnected() || IsUseless()) return true;
    if (!near_end && IsUninteresting()) return true;
    return m_task && m_task->IsDownloadCompleteForPeers() && IsSeed();
}

bool TPeerObject::ProcessStep() { return RunSteps(false); }

bool TPeerObject::UploadStep() {
    if (m_kind != 1) return true;
    return RunSteps(true);
}

bool TPeerObject::RunSteps(bool upload) {
    if (!IsConnected()) return false;
    if (m_kind == PeerKindBt && !IsP2PEnabled()) return false;
    const int64_t sent_before = m_socket->SentTotal();
    const int64_t received_before = TrafficReceivedTotal();
    m_step_sent = m_step_received = m_step_payload = 0;
    m_stats.busy = 0;
    bool ok = upload ? ServeUploads() : (ReadInput() && RequestBlocks() && SendRequests() && FlushOutput());
    if (!ok || !IsConnected()) return false;
    m_step_sent = std::max<int64_t>(m_socket->SentTotal() - sent_before, 0);
    m_step_received = std::max<int64_t>(TrafficReceivedTotal() - received_before, 0);
    m_total_received += m_step_received;
    m_period_uploaded += m_step_sent;
    if (m_step_sent > 0 || m_step_received > 0) m_stats.idle_checks = 0;
    if (m_task) {
        // Payload was counted block by block; the rest is protocol traffic.
        m_task->CountReceived(m_kind, static_cast<uint64_t>(std::max<int64_t>(m_step_received - m_step_payload, 0)), 0);
        m_task->CountSent(static_cast<uint64_t>(m_step_sent));
    }
    if (IsActive() && m_socket->SendCount() > 0) {
        m_stats.busy = 1;
        if (m_task) m_task->NoteOutputPending();
    }
    return true;
}

bool TPeerObject::RequestBlocks() {
    if (!m_task) return true;
    if (static_cast<int32_t>(m_requests.size()) > DesiredQueueDepth()) return true;
    int32_t piece = -1;
    int32_t offset = 0;
    int32_t bytes = 0;
    for (int tries = 0; tries < PieceTries; ++tries) {
        piece = NextPiece();
        if (piece < 0) break;
        if (m_task->MissingPartOfPiece(piece, &offset, &bytes)) break;
        piece = -1;
    }
    const int32_t read_position = m_task->ReadPosition();
    if (m_candidate && m_candidate->IsWebSource() && read_position > 0 && piece > 0 &&
        std::abs(read_position - m_last_position) > ReadPositionJump) {
        ReleaseRange();
        if (!ClaimRangeAt(read_position)) return true;
        piece = NextPiece();
        if (piece < 0 || !m_task->MissingPartOfPiece(piece, &offset, &bytes)) piece = -1;
    }
    m_last_position = read_position;
    if (piece < 0) return true;
    SetClaimCursor(piece);
    AppendMissingBlocks(piece, offset, bytes);
    return true;
}

void TPeerObject::AppendMissingBlocks(int32_t piece, int32_t offset, int32_t bytes) {
    const int64_t piece_start = int64_t{piece} * m_task->PeerPieceLength();
    int64_t at = piece_start + offset / BlockSize * BlockSize;
    const int64_t end = piece_start + offset + bytes;
    const int32_t now = static_cast<int32_t>(GetClockSeconds());
    for (; at < end; at += BlockSize) {
        const int32_t block = static_cast<int32_t>(at / BlockSize);
        const int32_t length = static_cast<int32_t>(std::min<int64_t>(BlockSize, end - at));
        bool queued = std::any_of(m_requests.begin(), m_requests.end(),
                                  [&](const TBlockRequest& r) { return r.block == block; });
        if (queued || m_task->HasBlock(block)) continue;
        m_requests.push_back(TBlockRequest{block, length, now});
    }
}

void TPeerObject::EraseRequest(size_t index) {
    if (index >= m_requests.size()) return;
    RequestErased(index);
    m_requests.erase(m_requests.begin() + static_cast<std::ptrdiff_t>(index));
}

bool TPeerObject::FindAndTakeRequest(int32_t block, int32_t length) {
    const size_t window = std::min(AnswerWindow(), m_requests.size());
    for (size_t i = 0; i < window; ++i) {
        if (m_requests[i].block == block && m_requests[i].length == length) {
            EraseRequest(i);
            return true;
        }
    }
    return m_task->TakeReturnedRequest(block, length);
}

bool TPeerObject::ReceiveBlock(int32_t block, int32_t length, const uint8_t* data, int32_t /*reserved*/) {
    if (block < 0 || length < 0 || !data || !IsConnected() || !m_task) return false;
    if (!m_task->HasPieceMap()) return true;
    m_stats.last_data_time = GetClockSeconds();
    CountClaimBlock();
    if (!FindAndTakeRequest(block, length)) return false;
    m_stats.idle_checks = 0;
    if (m_state == PeerState::Waiting) SetState(PeerState::Requesting);
    BlockWriteResult written = m_task->WriteBlock(this, block, length, data);
    if (written.piece_failed) {
        ForgetPieceRequests(written.failed_piece);
        ++m_stats.bad_events;
    }
    if (!written.written) return false;
    if (!written.is_new && (m_kind & 6) != 0) {  // HTTP or FTP
        m_task->CountWebTraffic(WebTrafficEvent::Duplicate, static_cast<uint64_t>(length));
    }
    if (written.is_new) {
        // Only new data is payload; a copy of a held block stays in the
        // step's traffic (which the allowance governs all the same).
        m_step_payload += length;
        m_task->CountReceived(m_kind, 0, static_cast<uint64_t>(length));
        m_kilobytes += length / 1024;
        m_period_payload += length;
    }
    if (written.completed_piece >= 0 && m_task->IsEndGame()) DropCompletedPieceRequests(written.completed_piece);
    return true;
}

void TPeerObject::ForgetPieceRequests(int32_t piece) {
    const int32_t piece_length = m_task ? m_task->PeerPieceLength() : 0;
    if (piece < 0 || piece_length <= 0) return;
    for (size_t i = m_requests.size(); i-- > 0;) {
        if (int64_t{m_requests[i].block} * BlockSize / piece_length == piece) EraseRequest(i);
    }
}

void TPeerObject::DropCompletedPieceRequests(int32_t piece) { ForgetPieceRequests(piece); }

}  // namespace engine

#include "engine/peers/THttpPeer.h"

#include <algorithm>
#include <cstring>

#include "engine/base/CTidewellLog.h"
#include "engine/base/EngineClock.h"
#include "engine/peers/TPeerTask.h"
#include "engine/net/QTcpSocket.h"
#include "engine/peers/TClaims.h"

namespace engine {

namespace {

constexpr int64_t BlockBytes = BlockSize;
constexpr int32_t RedirectScore = 28;
constexpr int32_t FreshSourceScore = 29;
constexpr int MaxRepeatedRedirects = 2;
constexpr int64_t StallBeforeHeaderS = 15;
constexpr int64_t StallAfterHeaderS = 30;

bool EqualNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace

void THttpPeer::ResetState() {
    CountDiscarded();
    TWebPeer::ResetState();
    ForgetReply();
    m_skip = 0;
    m_position = 0;
    m_no_length = false;
    m_requested_end = 0;
}

void THttpPeer::ForgetReply() {
    m_reply.Clear();
    m_chunks.Reset();
    m_header_received = false;
    m_chunked = false;
    m_body_left = -1;
    m_run = 0;
}

void THttpPeer::ReleaseRange() {
    TWebPeer::ReleaseRange();
    m_skip = 0;
    m_run = 0;
}

void THttpPeer::CountDiscarded() {
    // Body bytes already read from a reply that is given up are traffic the
    // server sent for nothing.
    if (!m_task || !m_socket || !m_header_received || !m_candidate || Info().whole_body) return;
    const size_t unused = m_socket->ReceiveCount();
    if (unused > 0) m_task->CountWebTraffic(WebTrafficEvent::Discarded, unused);
    if (m_body_left != 0) {
        LogFormat(13, "web connection gives up its reply at %lld with %lld body bytes left, %zu buffered",
                  static_cast<long long>(m_position), static_cast<long long>(m_body_left), unused);
    }
}

bool THttpPeer::ConnectTo(TPeerId* candidate) {
    if (!TPeerObject::ConnectTo(candidate)) return false;
    TSourceInfo& info = Info();
    ForgetReply();
    m_skip = 0;
    if (!info.whole_body) {
        // A task whose map is built (from its metainfo, or from this source's
        // length) asks for its first missing block at once: a first request
        // from offset 0 would fetch bytes of another claim (or an earlier
        // run's) only to learn the length, which the reply's Content-Range
        // tells all the same.
        const bool map_known = info.content_length > 0 || (m_task && m_task->HasPieceMap());
        if (m_requests.empty() && map_known) TPeerObject::RequestBlocks();
        if (m_requests.empty() && info.content_length > 0) return false;
        m_position = m_requests.empty() ? 0 : int64_t{m_requests.front().block} * BlockBytes;
    } else {
        m_position = 0;
        info.body.clear();
        info.body_complete = 0;
    }
    QTcpSocket& socket = EnsureSocket();
    if (!socket.Connect(candidate->m_address, candidate->m_port, false)) return false;
    socket.SetReceiveBufferSize(ReceiveBufferBytes);
    SetPhase(PeerPhase::Connecting);
    const std::string& url = candidate->m_url;
    size_t slash = url.rfind('/');
    info.base_url = slash == std::string::npos ? std::string() : url.substr(0, slash);
    // "http://host/file" has its last "/" inside the scheme's pair: no base.
    if (info.base_url.size() <= 7 && info.base_url.find("//") != std::string::npos) info.base_url.clear();
    return SendRangeRequest();
}

bool THttpPeer::SendRangeRequest() {
    TSourceInfo& info = Info();
    // A ranged request ends where this connection's run of open pieces
    // ends: a server sends what it was asked for, and bytes asked for beyond
    // the pieces this connection will take would be sent for nothing once
    // it moves on (or fetched twice, by a peer that takes them).
    const int64_t end = info.whole_body ? 0 : RequestEnd();
    m_requested_end = end > m_position ? end : 0;
    const std::string request =
        BuildHttpRequest(info.request_path.empty() ? "/" : info.request_path, info.host,
                         info.base_url.empty() ? m_candidate->m_url : info.base_url, m_position,
                         m_requested_end > 0 ? m_requested_end - 1 : 0);
    if (m_task) m_task->CountWebTraffic(WebTrafficEvent::Request, 1);
    return m_socket->Send(request) >= 0 && m_socket->IsOpen();
}

int64_t THttpPeer::RequestEnd() {
    TPieceRange* claim = Claim();
    TClaims* claims = Claims();
    if (!m_task || !claim || !claims || m_requests.empty() || m_position <= 0) return 0;
    const int64_t piece_length = m_task->PeerPieceLength();
    const int64_t total = m_task->TaskTotalBytes();
    if (piece_length <= 0 || total <= 0) return 0;
    // A window of about two seconds at the connection's rate: the pieces
    // above it stay open for the peers that take a run's tail.
    const int64_t window = std::clamp<int64_t>(2 * int64_t{DownloadRate()}, MinRequestWindow, MaxRequestWindow);
    // A request also ends where a stretch that a peer has begins: the
    // connection leaves its run there (or asks again when it goes on), and
    // what it asked for beyond would be on its way when it closes.
    int32_t last = static_cast<int32_t>(m_position / piece_length);
    const bool among_peers = claims->IsPieceAtPeer(last);
    while (last < claim->last && (int64_t{last} + 1) * piece_length - m_position < window &&
           claims->IsWanted(last + 1, nullptr) && (among_peers || !claims->IsPieceAtPeer(last + 1))) {
        ++last;
    }
    claim->requested_last = last;
    return std::min((int64_t{last} + 1) * piece_length, total);
}

bool THttpPeer::IsStalled() {
    return StalledSince(std::max(m_stats.connect_time, m_stats.last_data_time),
                        m_header_received ? StallAfterHeaderS : StallBeforeHeaderS);
}

bool THttpPeer::FlushOutput() {
    if (m_socket && m_socket->SendCount() > 0) return m_socket->Flush() >= 0 && m_socket->IsOpen();
    return IsConnected();
}

bool THttpPeer::ReadHeader(bool* complete) {
    *complete = false;
    const int64_t got = m_socket->Receive();
    if (got < 0) return false;
    if (m_socket->ReceiveCount() <= 2) return true;
    const int64_t end = THttpReply::FindHeaderEnd(m_socket->ReceiveData(), m_socket->ReceiveCount());
    if (end < 0) return false;
    if (end == 0) return true;
    const bool parsed =
        m_reply.Parse(std::string_view(reinterpret_cast<const char*>(m_socket->ReceiveData()), static_cast<size_t>(end)));
    m_socket->Consume(end, true);
    if (!parsed) return false;
    m_header_received = true;
    SetPhase(PeerPhase::Established);
    *complete = true;
    return true;
}

bool THttpPeer::ReadInput() {
    if (!IsConnected()) return false;
    if (IsStalled()) {
        if (m_task && m_candidate) m_task->PenalizeSource(*m_candidate, true, StallPenalty);
        return false;
    }
    // The task's download allowance for this second is spent: the body
    // waits (a connection still setting up goes on).
    if (Phase() != PeerPhase::Connecting && m_task && m_task->RemainingDownload() <= 0) return true;
    if (!m_header_received) {
        bool complete = false;
        if (!ReadHeader(&complete)) return false;
        if (!complete) return true;
        if (!OnReplyHeader()) return false;
    }
    if (!Info().whole_body) return ReadRangedBody();
    if (!ReadWholeBody()) return false;
    if (!Info().body_complete) return true;
    // The body is in: the task takes it, and this connection is done.
    if (m_task) m_task->AdoptFetchedBody(*m_candidate);
    SetState(PeerState::Finished);
    return false;
}

bool THttpPeer::OnReplyHeader() {
    const int32_t status = m_reply.Status();
    if (status >= 200 && status < 300) return OnSuccess();
    if (status >= 300 && status < 400) return OnRedirect();
    if (status >= 400 && status < 500) return Punish(false, ErrorPenalty);
    if (status >= 500 && status < 600) return Punish(true, ErrorPenalty);
    return false;
}

bool THttpPeer::OnSuccess() {
    TSourceInfo& info = Info();
    if (m_candidate->m_score == FreshSourceScore) m_candidate->m_score = RedirectScore;
    if (m_candidate->m_in_use <= 1) {
        info.redirected = 0;
        if (info.content_length == 0) {
            const int64_t length = m_reply.ContentLength();
            if (length > 0) {
                info.content_length = length;
            } else {
                m_no_length = true;
                if (info.whole_body) info.content_length = UnknownWholeLength;
            }
        }
        std::string name;
        if (m_reply.DispositionFileName(&name)) {
            info.file_name = name;
        } else if (info.file_name.empty()) {
            info.file_name = "index.htm";
        }
    }
    if (info.content_length == 0) return false;
    m_chunked = m_reply.IsChunked();
    m_body_left = m_chunked ? -1 : m_reply.BodyLength();
    if (info.whole_body) return true;
    // The body must start where this connection asked it to: anything else
    // would put the server's bytes at the wrong offsets.
    if (m_chunked) return Punish(true, ErrorPenalty);
    if (m_position > 0) {
        if (m_reply.Status() != 206 || m_reply.RangeStart() != m_position) return Punish(true, ErrorPenalty);
    } else if (m_reply.Status() == 206 && m_reply.RangeStart() > 0) {
        return Punish(true, ErrorPenalty);
    }
    return true;
}

bool THttpPeer::OnRedirect() {
    TSourceInfo& info = Info();
    info.redirected = 1;
    std::string location;
    m_reply.Find("Location", &location);
    const std::string target = THttpReply::AbsoluteLocation(location, info.host, m_candidate->m_port);
    if (m_socket) m_socket->Close();
    if (EqualNoCase(target, info.location)) {
        if (++info.redirections > MaxRepeatedRedirects) {
            if (m_task) m_task->PenalizeSource(*m_candidate, false, ErrorPenalty);
            SetState(PeerState::Finished);
            return false;
        }
    } else {
        info.location = target;
        ++info.redirections;
    }
    auto* next = new TPeerId;
    next->m_url = target;
    next->m_origin = m_candidate->m_origin;
    next->m_max_connections = m_candidate->m_max_connections;
    next->Info().whole_body = info.whole_body;
    next->Info().location = info.location;
    next->Info().redirections = info.redirections;
    if (next->ParseUrl()) {
        next->m_score = RedirectScore;
        if (m_task) m_task->AddCandidate(*next, false, false);
    } else if (next->m_resolve_failed && m_task) {
        m_task->ReportRedirectUnresolved();
    }
    TRefObject::Release(next);
    SetState(PeerState::Finished);
    return false;
}

bool THttpPeer::ReadWholeBody() {
    TSourceInfo& info = Info();
    const int64_t got = m_socket->Receive();
    auto finish_at_end = [&]() {
        const bool reached = m_no_length || static_cast<int64_t>(info.body.size()) >= info.content_length;
        if (reached && !info.body.empty() && (!m_chunked || m_chunks.IsDone())) {
            info.body_complete = 1;
            return true;
        }
        return false;
    };
    if (got < 0) return finish_at_end();
    const size_t n = m_socket->ReceiveCount();
    if (n == 0) return true;
    const uint8_t* data = m_socket->ReceiveData();
    if (m_chunked) {
        size_t used = m_chunks.Feed(data, n, info.body);
        m_socket->Consume(static_cast<int64_t>(used), true);
        if (m_chunks.IsError()) return false;
        if (m_chunks.IsDone()) info.body_complete = 1;
    } else {
        size_t take = n;
        if (m_body_left >= 0) take = static_cast<size_t>(std::min<int64_t>(m_body_left, static_cast<int64_t>(n)));
        if (!AppendToBody(data, take)) return false;
        m_socket->Consume(static_cast<int64_t>(take), true);
        if (m_body_left >= 0) m_body_left -= static_cast<int64_t>(take);
        if (static_cast<int64_t>(info.body.size()) >= info.content_length || m_body_left == 0) info.body_complete = 1;
    }
    if (static_cast<int64_t>(info.body.size()) > MaxWholeBody) return false;
    return true;
}

bool THttpPeer::ReadRangedBody() {
    // A step takes what the socket has, up to ReadsPerStep reads, and then
    // reads ahead once more: a connection with bytes waiting in its buffer
    // is serviced again in the very next pass.
    for (int i = 0; i < ReadsPerStep && m_run > 0; ++i) {
        bool progress = false;
        if (!ReadRangedOnce(&progress)) return false;
        if (!progress) break;
    }
    if (m_run > 0 && m_socket->IsOpen() && m_socket->ReceiveCount() < static_cast<size_t>(ReadSize) &&
        (!m_task || m_task->RemainingDownload() > ReadSize)) {
        // Straight into the piece memory where it can go, as every read.
        bool progress = false;
        bool handled = false;
        if (!ReadIntoPlace(ReadSize, &progress, &handled)) return false;
        if (!handled) m_socket->Receive(ReadSize);
    }
    return true;
}

bool THttpPeer::ReadIntoPlace(int32_t budget, bool* progress, bool* handled) {
    *handled = false;
    if (!m_task || m_run <= 0 || m_requests.empty() || m_skip != 0) return true;
    const TBlockRequest first = m_requests.front();
    // The start of the first block may wait in the socket's buffer (the
    // rest of an earlier read); a whole block there goes the usual way.
    const auto have = static_cast<int64_t>(m_socket->ReceiveCount());
    if (int64_t{first.block} * BlockBytes != m_position || have >= first.length) return true;
    int32_t room = 0;
    uint8_t* place = m_task->BlockPlace(first.block, &room);
    if (!place) return true;
    // The queued blocks of the run that follow on in that memory.
    int64_t want = 0;
    for (size_t k = 0; k < m_requests.size() && static_cast<int32_t>(k) < m_run; ++k) {
        const TBlockRequest& r = m_requests[k];
        if (int64_t{r.block} * BlockBytes != m_position + want || want + r.length > room) break;
        want += r.length;
    }
    // The body's last block goes through the socket's buffer, which shows
    // bytes a server sends beyond the body it announced.
    if (m_body_left >= 0) want = std::min<int64_t>(want, (m_body_left - 1) / BlockBytes * BlockBytes);
    if (want <= have) {
        m_task->ReleasePlace(first.block);
        return true;
    }
    *handled = true;
    const int64_t got =
        m_socket->ReceiveInto(place + have, static_cast<size_t>(std::min<int64_t>(want - have, budget)));
    if (got <= 0) {
        m_task->ReleasePlace(first.block);
        return got == 0;
    }
    if (have > 0) {
        std::memcpy(place, m_socket->ReceiveData(), static_cast<size_t>(have));
        m_socket->Consume(have, true);
    }
    const int64_t total = have + got;
    // The whole blocks are stored from where they were read; what follows
    // them (the start of a block) waits in the socket's buffer for the rest.
    int64_t used = 0;
    while (m_run > 0 && !m_requests.empty() && IsConnected()) {
        const TBlockRequest head = m_requests.front();
        if (int64_t{head.block} * BlockBytes != m_position || used + head.length > total) break;
        if (!ReceiveBlock(head.block, head.length, place + used, 0)) return false;
        used += head.length;
        m_position += head.length;
        --m_run;
    }
    if (m_body_left >= 0) m_body_left -= used;
    if (used < total && !m_socket->PutBack(place + used, static_cast<size_t>(total - used))) return false;
    if (used == 0) m_task->ReleasePlace(first.block);
    *progress = true;
    return m_socket->IsOpen();
}

bool THttpPeer::ReadRangedOnce(bool* progress) {
    *progress = false;
    // Never read beyond what the task's allowance leaves of this second.
    const int32_t budget = ReadBudget();
    if (budget <= 0) return true;
    // Without a whole block buffered, the body is read straight into the
    // piece memory of the blocks it carries.
    bool handled = false;
    if (!ReadIntoPlace(budget, progress, &handled)) return false;
    if (handled) return true;
    const int64_t got = m_socket->Receive(budget);
    if (got < 0 && m_socket->ReceiveCount() == 0) return false;
    int64_t n = static_cast<int64_t>(m_socket->ReceiveCount());
    if (n == 0) return true;
    // Bytes after the announced body are not part of this reply.
    if (m_body_left >= 0 && n > m_body_left) return Punish(true, ErrorPenalty);
    const uint8_t* data = m_socket->ReceiveData();
    int64_t used = 0;
    if (m_skip > 0) {
        const int64_t drop = std::min(m_skip, n);
        if (m_task) m_task->CountWebTraffic(WebTrafficEvent::Skipped, static_cast<uint64_t>(drop));
        used += drop;
        m_skip -= drop;
        m_position += drop;
        if (m_skip > 0) {
            m_socket->Consume(used, true);
            if (m_body_left >= 0) m_body_left -= used;
            *progress = true;
            return true;
        }
    }
    while (m_run > 0 && !m_requests.empty()) {
        const TBlockRequest head = m_requests.front();
        if (int64_t{head.block} * BlockBytes != m_position) {
            m_run = 0;
            break;
        }
        if (n - used < head.length) break;
        if (!ReceiveBlock(head.block, head.length, data + used, 0)) {
            m_socket->Consume(used, true);
            return false;
        }
        used += head.length;
        m_position += head.length;
        --m_run;
        if (!IsConnected()) break;
    }
    if (m_socket->IsOpen()) m_socket->Consume(used, true);
    if (m_body_left >= 0) m_body_left -= used;
    *progress = used > 0;
    return m_socket->IsOpen();
}

bool THttpPeer::Reconnect() {
    CountDiscarded();
    m_skip = 0;
    if (ReplyConsumed()) return RequestAgain();
    m_header_received = false;
    TPeerId* candidate = m_candidate;
    m_candidate = nullptr;
    ++candidate->m_attempts;
    const bool ok = ConnectTo(candidate);
    TRefObject::Release(candidate);
    if (!ok && !m_candidate) {
        // The object still counts as a connection to the source until the
        // peer set releases it.
        candidate->AddRef();
        m_candidate = candidate;
    }
    return ok;
}

bool THttpPeer::ReplyConsumed() {
    if (!m_socket || !m_socket->IsOpen() || !m_header_received || m_body_left != 0 || m_chunked) return false;
    if (m_socket->ReceiveCount() != 0) return false;
    std::string connection;
    return !(m_reply.Find("Connection", &connection) && EqualNoCase(connection, "close"));
}

bool THttpPeer::RequestAgain() {
    // The last reply is read to its end and the server keeps the connection:
    // the next range goes out on it, without a new connection's set-up.
    ForgetReply();
    m_position = int64_t{m_requests.front().block} * BlockBytes;
    ++m_candidate->m_attempts;
    return SendRangeRequest();
}

bool THttpPeer::RequestBlocks() {
    if (!IsConnected()) return false;
    if (!m_header_received || m_run > 0 || Info().whole_body) return true;
    if (Info().content_length > 0 && m_task) {
        if (!SourceLengthMatches()) return false;
        // A connection without a claim takes the free one where it reads,
        // so its reply is not cut short by a claim somewhere else.
        const int64_t piece_length = m_task->PeerPieceLength();
        TClaims* claims = Claims();
        if (m_requests.empty() && !Claim() && claims && piece_length > 0) {
            claims->TakeFreeClaimAt(this, static_cast<int32_t>(m_position / piece_length));
        }
        if (!FillRangedRequests(&m_skip)) return false;
    }
    // An open-ended reply (a request from offset 0 carries no range) brings
    // the whole claim whoever else would take part of it.
    if (TPieceRange* claim = Claim(); claim && m_requested_end == 0 && !Info().whole_body) {
        claim->requested_last = claim->last;
    }
    if (m_requests.empty()) return true;
    m_run = 1;
    while (static_cast<size_t>(m_run) < m_requests.size() &&
           m_requests[static_cast<size_t>(m_run)].block == m_requests[static_cast<size_t>(m_run) - 1].block + 1) {
        ++m_run;
    }
    m_skip = int64_t{m_requests.front().block} * BlockBytes - m_position;
    if (m_body_left >= 0) {
        // Only the blocks the announced body still carries.
        int64_t covered = m_skip;
        int32_t fits = 0;
        while (fits < m_run && covered + m_requests[static_cast<size_t>(fits)].length <= m_body_left) {
            covered += m_requests[static_cast<size_t>(fits)].length;
            ++fits;
        }
        m_run = fits;
    }
    // The current reply carries the next wanted block soon enough, and the
    // announced body reaches it. Within what this connection asked for, the
    // bytes up to it are most likely sent already: a new request would not
    // spare the server them.
    const bool sent_anyway = m_requested_end > 0 && !m_requests.empty() &&
                             int64_t{m_requests.front().block} * BlockBytes < m_requested_end &&
                             m_skip <= TClaims::InFlightBytes(this);
    if (m_skip >= 0 && (m_skip <= MaxSkipBytes || sent_anyway) && m_run > 0 && m_socket && m_socket->IsOpen()) {
        return true;
    }
    m_run = 0;
    return Reconnect();
}

}  // namespace engine

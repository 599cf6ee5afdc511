#pragma once
// TPeerObject: one live connection of a task with one candidate over one
// QTcpSocket, and the behaviour every kind shares: attaching a candidate or an
// accepted socket, the download step (read, request, send, flush), the
// request pipeline of the web kinds, the common path of received blocks and
// the return to idle. The BitTorrent, HTTP, FTP and tracker peers derive from
// it and open their connections in ConnectTo.
//
// Owner: reference counted; the task's active list or its peer pool holds
// one reference, a piece that last received data from it may hold another.
// Thread: the task's work thread only.

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/peers/TPeerId.h"
#include "engine/peers/TRefObject.h"
#include "engine/peers/TVirtualPeer.h"
#include "engine/pieces/TBlockRequest.h"

namespace engine {

class QTcpSocket;
class TPeerTask;
struct TPieceRange;

// Activity codes shared by all kinds (BitTorrent adds its choking codes).
namespace PeerState {
inline constexpr int32_t Idle = 0;
inline constexpr int32_t Requesting = 1;
inline constexpr int32_t Waiting = 4;    // no data for a while; data returns it to 1
inline constexpr int32_t Stalled = 5;    // stopped for stalling
inline constexpr int32_t Finished = 6;   // nothing more to do
}  // namespace PeerState

enum class PeerPhase : int32_t { Idle = 0, Connecting = 1, Established = 2 };

struct TPeerStats {
    uint8_t incoming = 0;       // the remote connected to us
    uint8_t busy = 0;           // output still pending after the last step
    int64_t connect_time = 0;   // engine clock seconds
    int32_t idle_checks = 0;    // checks without traffic (5 end the connection)
    int32_t current_piece = -1;
    int32_t claim_count = 0;
    int64_t last_data_time = 0;  // engine clock seconds of the last block
    int32_t bad_events = 0;      // pieces from this connection that failed their check
};

class TPeerObject : public TVirtualPeer, public TRefObject {
public:
    explicit TPeerObject(int32_t kind);
    ~TPeerObject() override;
    TPeerObject(const TPeerObject&) = delete;
    TPeerObject& operator=(const TPeerObject&) = delete;

    // Binds a new or pooled object to its task before use.
    void Initialize(TPeerTask* task);
    int32_t Kind() const { return m_kind; }
    TPeerTask* Task() const { return m_task; }

    // TVirtualPeer, common behaviour.
    bool FlushOutput() override { return true; }
    bool RequestBlocks() override;
    bool ServeUploads() override { return true; }
    void ResetState() override;
    bool ProcessStep() override;
    bool UploadStep() override;
    bool SendRequests() override { return true; }
    bool ConnectTo(TPeerId* candidate) override;
    bool AcceptSocket(std::unique_ptr<QTcpSocket> socket) override;
    bool BeginExchange() override { return true; }
    bool CheckHandshake(QTcpSocket*) override { return true; }
    bool IsUseless() override { return false; }
    bool ShouldDrop(bool near_end) override;
    bool IsStalled() override { return false; }
    const void* GetRecord(int which) override { return which == 0 ? &m_stats : nullptr; }
    bool IsConnected() const override;
    int32_t GetPeerRate() override { return 0; }
    bool IsUninteresting() override { return false; }
    bool IsLongSeed() override { return false; }
    void CheckRequests() override {}
    bool IsSeed() override { return true; }
    void ReleaseRange() override {}
    int32_t NextPiece() override { return -1; }

    // The range claim this connection works on (a web connection's run, or
    // a BitTorrent peer's backward claim), owned by the task's claim list.
    TPieceRange* Claim() const { return m_claim; }
    void SetClaim(TPieceRange* claim) { m_claim = claim; }

    // Claims a new run of pieces starting at `piece` (web kinds); false when
    // none can be claimed.
    virtual bool ClaimRangeAt(int32_t /*piece*/) { return false; }
    // Moves the claim's cursor to `piece`.
    virtual void SetClaimCursor(int32_t /*piece*/) {}
    // One more block arrived for this connection's claim.
    virtual void CountClaimBlock() {}
    // Whether the connection ever completed its kind's exchange, and whether
    // the remote lost our interest (both used when it is penalised).
    bool WasEverActive() const { return m_was_active; }
    virtual bool WasDroppedUninteresting() { return false; }

    // The common payload path of every kind: false refuses the block (and
    // the caller ends the connection).
    bool ReceiveBlock(int32_t block, int32_t length, const uint8_t* data, int32_t reserved);
    // Enough requests for two seconds at the pipeline rate, at least 2.
    int32_t DesiredQueueDepth() const { return 2 + 2 * PipelineRate() / BlockSize; }
    // The download rate the request pipeline is sized by: the measured rate,
    // or a kind's fresher estimate where that is higher.
    virtual int32_t PipelineRate() const { return m_download_rate; }

    // Socket and phase.
    bool IsActive() const { return m_socket && m_phase == PeerPhase::Established; }
    bool IsIncoming() const { return m_stats.incoming != 0; }
    QTcpSocket* Socket() const { return m_socket.get(); }
    // The socket whose input decides when the peer pump steps this peer:
    // its own, or where a kind's payload arrives on a second connection,
    // that one while it is in use.
    virtual QTcpSocket* PumpSocket() const { return m_socket.get(); }
    PeerPhase Phase() const { return m_phase; }
    void SetPhase(PeerPhase phase);
    int32_t State() const { return m_state; }
    // Every change of phase or state goes through these two, which log it
    // (at a level below the default thresholds: a trace to switch on).
    void SetState(int32_t state);

    TPeerId* Candidate() const { return m_candidate; }
    int32_t Serial() const { return m_serial; }
    void SetSerial(int32_t serial) { m_serial = serial; }
    TPeerStats& Stats() { return m_stats; }
    const TPeerStats& Stats() const { return m_stats; }
    std::vector<TBlockRequest>& RequestQueue() { return m_requests; }
    std::vector<TBlockRequest>& UploadQueue() { return m_uploads; }

    // Counters (rates are kept by the transfer statistics).
    int64_t StepSent() const { return m_step_sent; }
    int64_t StepReceived() const { return m_step_received; }
    int64_t TotalReceived() const { return m_total_received; }
    int64_t PeriodPayload() const { return m_period_payload; }
    int64_t PeriodUploaded() const { return m_period_uploaded; }
    int64_t KilobytesReceived() const { return m_kilobytes; }
    int32_t DownloadRate() const { return m_download_rate; }
    int32_t UploadRate() const { return m_upload_rate; }
    void SetRates(int32_t download_bps, int32_t upload_bps) {
        m_download_rate = download_bps;
        m_upload_rate = upload_bps;
    }
    void StartNewPeriod() { m_period_payload = m_period_uploaded = 0; }

protected:
    // The received total a step's traffic is measured by: the socket's, or a
    // kind's own count (an FTP peer counts its data connections).
    virtual int64_t TrafficReceivedTotal() const;
    // Drops the queued requests of `piece` (its data failed the check).
    void ForgetPieceRequests(int32_t piece);
    // How many entries at the head of the request queue an answer may match
    // (BitTorrent: the ones sent as REQUEST).
    virtual size_t AnswerWindow() const { return m_requests.size(); }
    // Entry `index` of the request queue is about to be erased.
    virtual void RequestErased(size_t /*index*/) {}
    void EraseRequest(size_t index);
    // Attaches the socket the subclass connected, or creates one.
    QTcpSocket& EnsureSocket();

    TPeerTask* m_task = nullptr;
    int32_t m_kind;
    int32_t m_serial = 0;
    std::vector<TBlockRequest> m_requests;
    std::vector<TBlockRequest> m_uploads;
    TPeerStats m_stats;
    TPeerId* m_candidate = nullptr;
    std::unique_ptr<QTcpSocket> m_socket;
    int32_t m_last_position = 0;
    bool m_was_active = false;
    TPieceRange* m_claim = nullptr;

private:
    void Transition(PeerPhase phase, int32_t state);

    PeerPhase m_phase = PeerPhase::Idle;
    int32_t m_state = PeerState::Idle;

private:
    bool RunSteps(bool upload);
    bool FindAndTakeRequest(int32_t block, int32_t length);
    void AppendMissingBlocks(int32_t piece, int32_t offset, int32_t bytes);
    void DropCompletedPieceRequests(int32_t piece);
    void ClearCounters();

    int64_t m_step_sent = 0;
    int64_t m_step_received = 0;
    int64_t m_step_payload = 0;
    int64_t m_total_received = 0;
    int64_t m_period_payload = 0;
    int64_t m_period_uploaded = 0;
    int64_t m_kilobytes = 0;
    int32_t m_download_rate = 0;
    int32_t m_upload_rate = 0;
};

}  // namespace engine

#pragma once
// TPieceScheduler: the task-wide piece services that the task's peers share,
// and the task side of the piece map's events. It is what the task work
// thread's piece layer (TWorkWithPieces) holds: the engaged-pieces registry
// with its end-game limit, the pool of returned block requests, the random
// starting piece, the have queue, the bitfield copy for status calls, the
// "part"/"bits" blobs, and the handling of events 1 to 1004 (codes 20210 and
// 20215 on disk faults).
//
// Owner: the task, which implements TPieceTask. Thread: the task's work
// thread, except the status copy (Status(), BitfieldCopy()), which status
// calls read under the task's own lock; the task takes that lock around
// OnPiecesEvent and PublishPieceStatus.

#include <cstdint>
#include <string>
#include <vector>

#include "engine/pieces/TBitfield.h"
#include "engine/pieces/TBlockRequest.h"
#include "engine/pieces/TPiecesOwner.h"

namespace engine {

class TPieces;

// Task state codes of disk faults.
inline constexpr int32_t StateDiskFull = 20210;
inline constexpr int32_t StateFileUnusable = 20215;

// What the scheduler needs from its task.
class TPieceTask {
public:
    virtual ~TPieceTask() = default;
    virtual void SetErrorCode(int32_t code) = 0;
    // Asks the work thread to stop; IsStopping() holds afterwards.
    virtual void RequestStop() = 0;
    virtual bool IsStopping() const = 0;
    virtual bool IsMetadataReady() const = 0;
    // Peer objects the task holds (for the engagement limit).
    virtual int32_t PeerObjectCount() const = 0;
    // Publishes the task status, recomputing its summaries when forced.
    virtual void PublishStatus(bool force) = 0;
    virtual int64_t NowSeconds() const = 0;
    virtual uint32_t TickCount() const = 0;
    virtual void PauseForDiskSpace(uint32_t ms) = 0;
};

// The piece figures the task status shows.
struct TPieceStatus {
    int64_t total_length = 0;
    int64_t completed_bytes = 0;
    int64_t wanted_bytes = 0;
    int64_t piece_count = 0;
    int32_t done_or_skipped = 0;
    int64_t wanted_pieces = 0;
    int32_t cached_bytes = 0;
    int32_t piece_length = 0;
    int64_t scanned_bytes = 0;
    std::string name;
};

class TPieceScheduler final : public TPiecesOwner {
public:
    explicit TPieceScheduler(TPieceTask* task);

    // The map whose events arrive here and whose pieces are scheduled.
    void SetPieces(TPieces* pieces) { m_pieces = pieces; }
    TPieces* Pieces() const { return m_pieces; }

    // TPiecesOwner.
    void OnPiecesEvent(const TPiecesEvent& event) override;
    bool IsStopping() const override { return m_task->IsStopping(); }
    bool IsMetadataReady() const override { return m_task->IsMetadataReady(); }
    int64_t NowSeconds() const override { return m_task->NowSeconds(); }
    void PauseForDiskSpace(uint32_t ms) override { m_task->PauseForDiskSpace(ms); }

    // Engagement: how many peers may fetch the same piece at once.
    bool EngagePiece(int32_t index);
    bool ReleasePiece(int32_t index, bool drop_data);
    int32_t EngagementCount(int32_t index) const;
    // Re-evaluates end game: every remaining piece is engaged at least once
    // (by count).
    bool UpdateEndGame();
    bool IsEndGame() const { return m_end_game; }
    bool WasEndGame() const { return m_end_game_reached; }

    // Returned block requests.
    void ReturnBlocks(std::vector<TBlockRequest>& list);
    bool TakeReturnedBlocks(std::vector<TBlockRequest>& list, const TBitfield& peer_bitfield, int32_t max,
                            const std::vector<int32_t>& excluded);
    void MaintainReturnedPool();
    // Takes one entry (block and length) out of the pool; false when absent.
    bool TakeReturnedBlock(int32_t block, int32_t length);
    const std::vector<TBlockRequest>& ReturnedPool() const { return m_returned; }

    int64_t RandomStartPiece() const;

    void QueueHave(int32_t index);
    // A piece verified and kept in memory (for uploads) is announced now, not
    // once it is written: peers can fetch it from us at once. Its later
    // completion on disk does not announce it again.
    void QueueVerifiedHave(int32_t index);
    // Hands the queued piece indices to the caller and empties the queue.
    std::vector<int32_t> TakeHaveQueue();
    // The piece waits for the next HAVE batch: the peers do not know yet
    // that this task has it.
    bool AwaitsHave(int32_t index) const;
    const std::vector<int32_t>& HaveQueue() const { return m_have_queue; }

    // Copies the map's figures into the status (once per work-loop pass).
    void PublishPieceStatus();
    // The scheduling half of the task's piece-layer reset: end game, engaged
    // pieces, have queue and returned pool are cleared.
    void ResetScheduling();

    const TPieceStatus& Status() const { return m_status; }
    const TBitfield& BitfieldCopy() const { return m_bitfield_copy; }
    bool HasDiskError() const { return m_disk_error; }
    const std::string& PartBlob() const { return m_part_blob; }
    const std::string& BitsBlob() const { return m_bits_blob; }
    bool IsPartDirty() const { return m_part_dirty; }
    bool IsBitsDirty() const { return m_bits_dirty; }
    void ClearBlobsDirty() { m_part_dirty = m_bits_dirty = false; }

private:
    void OnPieceChanged(const TPiecesEvent& event);
    void OnDiskFault(int32_t state_code);

    TPieceTask* m_task;
    TPieces* m_pieces = nullptr;
    std::vector<int32_t> m_engaged;
    std::vector<TBlockRequest> m_returned;
    std::vector<int32_t> m_have_queue;
    std::vector<bool> m_announced_early;  // by piece index
    TBitfield m_bitfield_copy;
    TPieceStatus m_status;
    std::string m_part_blob;
    std::string m_bits_blob;
    bool m_part_dirty = false;
    bool m_bits_dirty = false;
    bool m_disk_error = false;
    bool m_end_game = false;
    bool m_end_game_reached = false;
};

}  // namespace engine

#pragma once
// What a peer object needs from the task it works for. The task class
// implements it; peer objects see nothing else of the task, so the peer layer
// builds and tests without the task classes above it.
//
// Threads: every call comes from the task's work thread (the peer pump),
// except where a method says otherwise.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/base/TaskTypes.h"
#include "engine/pieces/TBlockRequest.h"

namespace engine {

class TClaims;
class TPeerId;
class TPeerObject;

// What the piece map did with a received block.
struct BlockWriteResult {
    bool written = false;          // stored (or already held)
    bool is_new = false;           // the block was not held before
    int32_t completed_piece = -1;  // the piece this block completed
    bool piece_failed = false;     // a piece failed its check
    int32_t failed_piece = -1;
};

// One selected file's pieces and its priority (-2..2), for the BitTorrent
// piece choice.
struct PeerFileSpan {
    int32_t first_piece = 0;
    int32_t last_piece = -1;
    int32_t priority = 0;
};

struct PieceCounters {
    uint64_t total_bytes = 0;
    uint64_t downloaded_bytes = 0;
    uint32_t piece_count = 0;
    uint32_t pieces_done = 0;
    uint32_t piece_length = 0;
};

// Bytes (or requests) of a web source's traffic that the payload count does
// not show.
enum class WebTrafficEvent { Request, Skipped, Duplicate, Discarded };

class TPeerTask {
public:
    virtual ~TPeerTask() = default;

    // Identity and sources.
    virtual const std::array<uint8_t, 20>& InfoHash() const = 0;
    virtual const std::array<uint8_t, 20>& OwnPeerId() const = 0;
    virtual bool IsPlainHttp() const = 0;
    virtual const std::vector<WebSource>& WebSources() const = 0;
    // The address and port of the process's TCP listener (0 while closed).
    virtual uint32_t ListenerAddress() = 0;
    virtual int32_t ListenerPort() = 0;
    // Whether outgoing BitTorrent connections may go over UDP streams: the
    // UDP server knows this node's public address and no peer has reached
    // this process over TCP yet.
    virtual bool UsesUdpStreams() { return false; }

    // The peer set.
    virtual const std::vector<TPeerObject*>& ActivePeers() const = 0;
    virtual bool AddCandidate(const TPeerId& candidate, bool spread, bool take_peer_id) = 0;
    virtual TPeerId* FindOrAddAddress(uint32_t address, int32_t port, int32_t kind, bool at_front,
                                      int32_t score) = 0;
    virtual bool PenalizeSource(const TPeerId& source, bool delay, int32_t cycles) = 0;
    virtual void NoteHandshaken(uint32_t address) = 0;
    virtual void NoteNewBtCandidates() = 0;
    virtual void NoteOutputPending() = 0;
    virtual void SetTrackerFigures(int32_t interval_s, int64_t done_peers, int64_t completed) = 0;
    virtual void ReportRedirectUnresolved() = 0;

    // Byte counts and the speed limits' allowance for this second.
    virtual void CountReceived(int kind, uint64_t protocol_bytes, uint64_t payload_bytes) = 0;
    virtual void CountSent(uint64_t bytes) = 0;
    virtual void CountWebTraffic(WebTrafficEvent /*event*/, uint64_t /*amount*/) {}
    virtual int64_t RemainingDownload() = 0;
    virtual int64_t RemainingUpload() = 0;
    virtual uint64_t SessionReceivedBytes() const = 0;
    virtual uint64_t SessionSentBytes() const = 0;
    virtual TaskStatusBlock LiveStatus() = 0;

    // The piece map, as the peers use it (defaults in the task class: no
    // piece map).
    virtual bool HasPieceMap() = 0;
    virtual PieceCounters Counters() = 0;
    virtual int64_t TaskTotalBytes() = 0;
    virtual int32_t PeerPieceLength() = 0;
    virtual int32_t PiecesMissing() = 0;
    virtual bool IsDownloadCompleteForPeers() = 0;
    virtual bool IsPieceComplete(int32_t piece) = 0;
    // The piece is verified: it may be announced and served.
    virtual bool HoldsPiece(int32_t piece) = 0;
    virtual bool HasBlock(int32_t block) = 0;
    virtual bool IsEndGame() = 0;
    // The part of `piece` still to fetch: offset inside the piece and bytes.
    virtual bool MissingPartOfPiece(int32_t piece, int32_t* offset, int32_t* bytes) = 0;
    // The piece a pending read of the task's files waits for, or -1.
    virtual int32_t ReadPosition() = 0;
    // The one way in for received data.
    virtual BlockWriteResult WriteBlock(TPeerObject* from, int32_t block, int32_t length, const uint8_t* data) = 0;
    // Memory where a wanted block not held yet goes, for a receiver that
    // reads it there and then hands that memory to WriteBlock (no copy);
    // `room`: bytes of absent blocks from there that the same memory takes.
    // Null when the block has no such place (the receiver reads it into its
    // own buffer). A place not handed to WriteBlock is given back.
    virtual uint8_t* BlockPlace(int32_t /*block*/, int32_t* room) {
        *room = 0;
        return nullptr;
    }
    virtual void ReleasePlace(int32_t /*block*/) {}
    // A whole metainfo file fetched by a web source becomes the task's.
    virtual void AdoptFetchedBody(TPeerId& source) = 0;
    // Reads a verified block for an upload: bytes read, 0 when not
    // available now, -1 when it cannot be read. `read_ahead`: bytes of the
    // same piece the remote asked for too, which a read from disk may bring
    // into memory along with the block.
    virtual int32_t ReadUploadBlock(int32_t block, int32_t length, uint8_t* out, int32_t read_ahead) = 0;

    // Requests handed back by connections that ended.
    virtual void ReturnBlocks(std::vector<TBlockRequest>& list) = 0;
    virtual bool TakeReturnedRequest(int32_t block, int32_t length) = 0;
    virtual bool TakeReturnedBlocksFor(std::vector<TBlockRequest>& list, const std::vector<uint8_t>& bits,
                                       int32_t max) = 0;
    virtual bool IsBlockReturned(int32_t block) = 0;

    // Piece choice of the BitTorrent peers: engagement through the task's
    // scheduler (so two peers are not sent after the same piece before every
    // piece is taken), the pieces already begun and the files in their
    // priority order.
    virtual bool EngagePiece(int32_t piece) = 0;
    virtual int32_t EngagementCount(int32_t piece) = 0;
    virtual void ReleaseEngagedPiece(int32_t piece) = 0;
    virtual std::vector<int32_t> PartialPieceList() = 0;
    virtual std::vector<PeerFileSpan> FileSpans() = 0;
    // The BitTorrent peers wait before choosing pieces (the web sources'
    // claims are not laid out yet).
    virtual bool PeersWaitForWebClaims() = 0;
    // The web sources' range claims (null without a piece map).
    virtual TClaims* WebClaims() = 0;
};

}  // namespace engine

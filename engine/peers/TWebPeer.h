#pragma once
// TWebPeer: the part the HTTP and FTP connections share: the range claim
// they work on and the claim operations of a web connection (next piece,
// release, moving to the task's read position), all served by the task's
// claim list (TClaims); the request step of a ranged connection (the
// source's length against the task's, the refill of the request queue, the
// end of a claim); the stall rule; the in-memory body of a source fetched
// whole, with its cap; and the read budget of one step.
//
// Owner: reference counted like every peer object. Thread: the task's work
// thread only.

#include <cstddef>
#include <cstdint>

#include "engine/peers/TPeerObject.h"

namespace engine {

struct TPieceRange;
struct TSourceInfo;
class TClaims;

class TWebPeer : public TPeerObject {
public:
    // Socket reads of one step of a ranged body, and their size.
    static constexpr int ReadsPerStep = 8;
    static constexpr int32_t ReadSize = 131072;
    // A connection that moves to another range throws away what the kernel
    // holds for it: a bounded buffer bounds that waste (and the memory).
    static constexpr int ReceiveBufferBytes = 524288;
    // A body fetched into memory never grows beyond this (a metainfo file).
    static constexpr int64_t MaxWholeBody = int64_t{64} << 20;
    // Back-off of a source that answered with an error or the wrong length.
    static constexpr int32_t ErrorPenalty = 60;
    // Back-off of a source whose connection stalled.
    static constexpr int32_t StallPenalty = 15;

    explicit TWebPeer(int32_t kind) : TPeerObject(kind) {}
    ~TWebPeer() override = default;

    int32_t NextPiece() override;
    void ReleaseRange() override;
    bool ClaimRangeAt(int32_t piece) override;
    void SetClaimCursor(int32_t piece) override;
    void CountClaimBlock() override;

protected:
    TClaims* Claims() const;
    TSourceInfo& Info();
    // Closes the (control) socket and delays or removes the source; false,
    // so a step can return it.
    bool Punish(bool delay, int32_t cycles);
    // A ranged source whose length differs from the task's total is not this
    // task's file: the source is delayed and the connection ends (false).
    bool SourceLengthMatches();
    // The request step of a ranged connection whose source length is known:
    // an empty queue is filled (the skip cleared first); with nothing left
    // to fetch the connection is finished (state 6, false); a claim whose
    // last piece is complete is closed (queue returned, skip cleared).
    bool FillRangedRequests(int64_t* skip);
    // Stalled when more than `limit_s` seconds (doubled while the rate is
    // between 1 and 2047 bytes per second) have passed since `since`: the
    // state becomes 5 and the claim is released.
    bool StalledSince(int64_t since, int64_t limit_s);
    // Appends to the source's in-memory body; false once the body would
    // pass MaxWholeBody.
    bool AppendToBody(const uint8_t* data, size_t size);
    // Bytes one read may take: what the task's allowance leaves of this
    // second, at least a block, at most ReadSize; 0 when it is spent.
    int32_t ReadBudget() const;
};

}  // namespace engine

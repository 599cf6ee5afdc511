#pragma once
// TWebPeer: the part the HTTP and FTP connections share: the range claim
// they work on and the claim operations of a web connection (next piece,
// release, moving to the task's read position), all served by the task's
// claim list (TClaims).
//
// Owner: reference counted like every peer object. Thread: the task's work
// thread only.

#include "engine/peers/TPeerObject.h"

namespace engine {

struct TPieceRange;
class TClaims;

class TWebPeer : public TPeerObject {
public:
    explicit TWebPeer(int32_t kind) : TPeerObject(kind) {}
    ~TWebPeer() override = default;

    int32_t NextPiece() override;
    void ReleaseRange() override;
    bool ClaimRangeAt(int32_t piece) override;
    void SetClaimCursor(int32_t piece) override;
    void CountClaimBlock() override;

protected:
    TClaims* Claims() const;
};

}  // namespace engine

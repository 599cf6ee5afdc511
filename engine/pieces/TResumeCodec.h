#pragma once
// TResumeCodec: the bencoded resume formats of a piece map, the piece-state
// blob ("bits") and the selection list ("part") of the task-information file.
// It checks a stored state against the files on disk before it restores
// anything, and it syncs every file before it records what the file holds.
//
// Piece-state blob: one dictionary in the engine's dialect (an integer rides
// on the text before it and is left out when 0):
//
//   "infohash" <20 bytes>
//   per file:  <path> "Low"i..e "High"i..e "Size"i..e "Priority"i..e
//   "PieceStatus" l( d "Index"i..e "Part"i..e "Status" <104-byte SHA-1 state>
//                      "CRC32"i..e e )...
//   "BitField" <bitfield bytes>
//   "BitFieldSHA1" <SHA-1 of the bitfield bytes>
//
// "CRC32" carries the Adler-32 of the 104 bytes started from the piece
// index. "BitFieldSHA1" guards the only field that marks pieces done without
// hashing them: a damaged or foreign bitfield restores nothing and the files
// are rechecked instead.
//
// Selection list: a list of (display name, carrying 1 when deselected; an
// empty dictionary) pairs, in file order.
//
// Owner: the task (one per piece map). Thread: the task's work thread.

#include <string>

#include "engine/pieces/TPieceStateCodec.h"

namespace engine {

class TResumeCodec final : public TPieceStateCodec {
public:
    bool LoadPieceState(TPieces& pieces) override;
    bool SavePieceState(TPieces& pieces) override;
    bool SaveSelectionList(TPieces& pieces) override;
    void ApplySelectionList(TPieces& pieces) override;

    // Adler-32 of a stored SHA-1 state, started from the piece index.
    static uint32_t StateChecksum(int32_t index, const uint8_t* state);
};

}  // namespace engine

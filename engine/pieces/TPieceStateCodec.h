#pragma once
// The resume-state formats a piece map reads and writes: the piece-state blob
// ("bits") and the selection list ("part") of the task-information file. The
// bencode side lives with the task-information code; the piece map only calls
// through this interface. Used on the task's work thread.

namespace engine {

class TPieces;

class TPieceStateCodec {
public:
    virtual ~TPieceStateCodec() = default;
    // Restores the bitfield (and partial pieces) from the map's "bits" blob
    // when it matches the files on disk.
    virtual bool LoadPieceState(TPieces& pieces) = 0;
    // Hands the current piece state to the task (event 1001).
    virtual bool SavePieceState(TPieces& pieces) = 0;
    // Hands the selection list to the task (event 1000).
    virtual bool SaveSelectionList(TPieces& pieces) = 0;
    // Applies the map's "part" blob to the file selection.
    virtual void ApplySelectionList(TPieces& pieces) = 0;
};

}  // namespace engine

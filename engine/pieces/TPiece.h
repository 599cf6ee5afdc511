#pragma once
// TPiece: one piece of a task's byte stream, with its place in the files and
// the progress of its data. Owned by the task's piece map (TPieces) and used
// only by the task's work thread.
//
// The block buffer, the incremental SHA-1 state and the delivering source are
// added by the buffer layer; this record keeps what the map and the storage
// need.

#include <cstdint>

namespace engine {

class TPieces;

class TPiece {
public:
    // Returns the piece to empty: no written prefix, no complete or verified
    // mark. (Buffered blocks are the buffer layer's to drop.)
    void Reset() {
        m_written_prefix = 0;
        m_complete = false;
        m_verified = false;
    }
    // The location cache of MapPieceToFiles is unknown.
    bool HasFilePosition() const { return m_file_index >= 0 && m_file_offset >= 0; }

    bool m_complete = false;  // every byte present (memory or disk) and verified
    bool m_skipped = false;   // lies only in deselected files
    int32_t m_index = 0;
    int32_t m_size = 0;
    int64_t m_file_offset = -1;  // offset inside the first file the piece touches
    int32_t m_file_index = -1;   // that file's index
    int32_t m_written_prefix = 0;
    bool m_verified = false;
    TPieces* m_owner = nullptr;
    const uint8_t* m_digest = nullptr;  // 20 bytes inside the map's digest buffer
    int64_t m_last_access = 0;
};

}  // namespace engine

#pragma once
// TFileEntry: one file of a task's byte stream, with its file object, its
// place in the stream and the temporary-name state. Owned by the storage of
// the task's piece map (TPieceStorage) and used only by the task's work
// thread; file I/O on it runs under the process-wide disk lock
// (TDiskLockHolder.h), taken by the storage.
//
// New files are written as path + ".twtmp" and moved to their final name when
// their data is complete; a file that already exists under its final name is
// written in place.

#include <cstdint>
#include <string>

#include "engine/pieces/QDiskFile.h"

namespace engine {

// Extension of files still being downloaded.
inline constexpr const char* TempExtension = ".twtmp";

class TFileEntry {
public:
    // Priority of a deselected file; every other value (−2 … 2) is selected.
    static constexpr int32_t PriorityDeselected = -3;

    TFileEntry() = default;
    TFileEntry(const TFileEntry&) = delete;
    TFileEntry& operator=(const TFileEntry&) = delete;

    bool IsSelected() const { return m_priority != PriorityDeselected; }
    int64_t End() const { return m_offset + m_size; }

    // Switches a file that does not exist yet to its temporary name.
    void ApplyTempName();
    // Moves a complete temporary file to its final name. The data is synced
    // first, so a crash right after the rename never leaves a final file with
    // missing data. A failed move changes nothing and is tried again at the
    // next finish.
    bool FinishTempName();
    // Clears or sets the read-only attribute of an existing path.
    static bool SetReadOnlyAttribute(const std::string& path, bool read_only);

    QDiskFile m_file;
    int32_t m_index = 0;
    int32_t m_priority = 0;
    std::string m_path;          // where the data is written now
    std::string m_display_name;  // relative path inside the torrent
    std::string m_final_path;    // set only while m_temp_name
    bool m_temp_name = false;
    int64_t m_size = 0;
    int64_t m_offset = 0;  // of the file's first byte in the byte stream
    int32_t m_first_piece = -1;
    int32_t m_piece_span = -1;
};

}  // namespace engine

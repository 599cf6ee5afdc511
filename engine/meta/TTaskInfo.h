#pragma once
// TTaskInfo: a task's resume blobs and its task-information file (".twinfo").
// The file is one bencoded dictionary holding, in this order and only when
// not empty, the byte strings "bits" (piece state), "part" (file selection),
// "seeds" (opaque: kept exactly as read) and "torrent" (metainfo bytes).
//
// Each blob has a dirty flag; Save writes only when one is set and clears
// them once the file is safely replaced. The file is replaced durably
// (platform/FileSync.h): a crash leaves the old or the new file, never a torn
// one. The data a "bits" blob calls done was synced when the blob was made
// (TResumeCodec), so the file never claims bytes the disk does not hold.
//
// Owner: the task. Thread: the task's work thread and the engine call that
// continues a task; both go through Load/Save, which take the task's lock
// when one is given.

#include <cstdint>
#include <string>

namespace engine {

class QTMutex;

class TTaskInfo {
public:
    enum class Blob { Bits, Part, Seeds, Torrent };

    explicit TTaskInfo(QTMutex* task_lock = nullptr) : m_lock(task_lock) {}

    // Reads the file (an empty path does nothing). Values longer than 2
    // bytes replace the blobs; a missing or unparsable file leaves them as
    // they were. Clears the dirty flags; false when nothing was read.
    bool Load(const std::string& path);
    // Writes the file when a blob is dirty (else succeeds without writing).
    // An empty path or a failed write fails and keeps the dirty flags.
    bool Save(const std::string& path);

    void Set(Blob which, std::string bytes);
    const std::string& Get(Blob which) const { return m_blobs[Index(which)]; }
    bool IsDirty(Blob which) const { return m_dirty[Index(which)]; }
    bool AnyDirty() const;
    // The file's bytes for the current blobs (what Save writes).
    std::string Encode() const;

private:
    static int Index(Blob which) { return static_cast<int>(which); }

    QTMutex* m_lock;
    std::string m_blobs[4];
    bool m_dirty[4] = {false, false, false, false};
};

}  // namespace engine

#pragma once
// TPieceWriter: a helper thread that performs one batch of positional writes
// while the work thread hashes a piece that has just completed, so writing
// one piece and hashing the next use two cores instead of taking turns.
//
// The batch is handed over whole by Start and taken back by Wait, both on the
// work thread and within one call into the piece map: between them the work
// thread touches neither the files nor the memory the batch names, so the
// batch needs no lock of its own. The writes themselves take the process-wide
// disk lock, as every piece write does.
//
// Owner: TPieces (one per piece map, the thread started on first use and
// joined by the destructor). Thread: Start/Wait on the owner's work thread;
// the writes on the helper. Lock: a private mutex for the hand-over only.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace engine {

class QDiskFile;

class TPieceWriter {
public:
    struct Write {
        QDiskFile* file = nullptr;
        const uint8_t* data = nullptr;
        int32_t length = 0;
        int64_t offset = 0;
    };

    TPieceWriter() = default;
    ~TPieceWriter();
    TPieceWriter(const TPieceWriter&) = delete;
    TPieceWriter& operator=(const TPieceWriter&) = delete;

    // Writes the batch in order on the helper thread, stopping at the first
    // failure. False when the thread cannot be started (nothing was written
    // then; the caller writes the batch itself). One batch at a time.
    bool Start(std::vector<Write> batch);
    // Waits for the batch started last; returns the bytes written before the
    // first failure and sets `failed` when one happened.
    int64_t Wait(bool& failed);
    bool IsBusy() const { return m_started; }

    // The writes of a batch, on the calling thread: what the helper runs, and
    // what a caller without a helper runs directly.
    static int64_t WriteAll(const std::vector<Write>& batch, bool& failed);

private:
    void Run();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::thread m_thread;
    // Guarded by m_mutex.
    std::vector<Write> m_batch;
    bool m_has_batch = false;
    bool m_done = false;
    bool m_stop = false;
    int64_t m_written = 0;
    bool m_failed = false;
    // The owner's thread only.
    bool m_started = false;
};

}  // namespace engine

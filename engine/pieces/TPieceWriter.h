#pragma once
// TPieceWriter: a helper thread that writes complete pieces behind the work
// thread. The work thread queues a piece's writes as soon as its last block
// arrived and goes on at once: it hashes that piece and receives the next
// ones while the helper copies earlier pieces into the files, so hashing and
// writing use two cores and the work thread neither waits for a write nor
// wakes the helper for every piece while the helper is busy.
//
// A job names memory that stays the work thread's property: the piece's
// chunks, which must stay untouched (not freed, not refilled) until the job
// is collected. Each write holds a reference on its file's open handle
// (QDiskFile::SharedHandle), so closing a file on the work thread never pulls
// a handle from under a write: the descriptor closes with the last
// reference. The writes themselves take the process-wide disk lock, as every
// piece write does, one gathering system call per file share.
//
// Owner: TPieces' cache (one per piece map, the thread started on first use
// and joined by the destructor after the queue ran dry). Thread: Queue,
// Collect and WaitBelow on the owner's work thread; the writes on the helper.
// Lock: a private mutex guards the queue and the finished list.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/File.h"

namespace engine {

class TPieceWriter {
public:
    // One file's share of a piece range: the buffers go one after the other
    // from `offset` of the file.
    struct Write {
        std::shared_ptr<const platform::File> handle;  // null: cannot be made (ends the job)
        int32_t file = -1;                              // the file's index in its map
        int64_t offset = 0;
        std::vector<platform::ConstBuffer> buffers;
        int64_t Bytes() const;
    };

    // One piece's writes, queued and later collected with their outcome.
    struct Job {
        int32_t piece = -1;
        int32_t from = 0;  // the piece offset the writes start at
        int64_t bytes = 0;
        bool keep_cached = false;  // the owner's: what to do once written
        std::vector<Write> writes;
        // Outcome: bytes written before the first failure, and the file of
        // the write that failed (-1: none, or no file could be named).
        int64_t written = 0;
        bool failed = false;
        int32_t failed_file = -1;
    };

    TPieceWriter() = default;
    ~TPieceWriter();
    TPieceWriter(const TPieceWriter&) = delete;
    TPieceWriter& operator=(const TPieceWriter&) = delete;

    // A job of a piece's writes, its byte count summed.
    static Job MakeJob(int32_t piece, int32_t from, std::vector<Write> writes);
    // Queues a job for the helper; false when the helper cannot be started
    // (nothing was queued then: the caller writes the piece itself). A
    // sleeping helper is woken only with `wake` (or by Wake, Collect with
    // `wait_all` or WaitBelow): waking it costs the caller a system call, so
    // the owner lets a few pieces gather first.
    bool Queue(Job job, bool wake);
    // Wakes the helper when it sleeps while jobs wait.
    void Wake();
    // Moves the jobs the helper has finished into `out`, in queue order;
    // with `wait_all`, first waits until every queued job is finished.
    void Collect(std::vector<Job>& out, bool wait_all);
    // Waits until the bytes of the jobs not yet finished are at most `bytes`.
    void WaitBelow(int64_t bytes);
    // Bytes of the queued jobs the helper has not finished.
    int64_t QueuedBytes() const { return m_queued_bytes.load(std::memory_order_relaxed); }
    // Whether a finished job waits to be collected; a hint without a lock.
    bool HasFinished() const { return m_has_finished.load(std::memory_order_acquire); }

    // The helper asks the OS to start writing a file's data to the device
    // after about this many bytes: the disk works while the download goes
    // on, instead of all at once in the sync that completes it.
    static constexpr int64_t WritebackEveryBytes = int64_t{16} << 20;

    // Makes a job's writes on the calling thread, in order, stopping at the
    // first that fails; the outcome is left in the job and its handle
    // references are let go.
    static void RunJob(Job& job);

private:
    void Run();
    // Starts the writeback of the job's last written file once enough bytes
    // were written since the last start (helper thread, no lock held).
    void StartWritebackAfter(const Job& job);

    std::mutex m_mutex;
    std::condition_variable m_work;      // the helper waits for jobs
    std::condition_variable m_finished;  // the owner waits for outcomes
    std::thread m_thread;
    // Guarded by m_mutex.
    std::deque<Job> m_queue;
    std::vector<Job> m_done;
    bool m_running = false;
    bool m_stop = false;
    // The level of unfinished bytes the owner waits for (0: all finished),
    // NoWaiter while it does not wait.
    static constexpr int64_t NoWaiter = -1;
    int64_t m_wait_target = NoWaiter;
    // Written under m_mutex, read without it as hints.
    std::atomic<int64_t> m_queued_bytes{0};
    std::atomic<bool> m_has_finished{false};
    // The helper's own: bytes written since it last started a writeback.
    int64_t m_unstarted_bytes = 0;
};

}  // namespace engine

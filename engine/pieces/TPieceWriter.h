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
// is collected. Each job carries handles of its own on its files, so closing
// a file on the work thread never pulls a handle from under a write. The
// writes themselves take the process-wide disk lock, as every piece write
// does.
//
// Owner: TPieces (one per piece map, the thread started on first use and
// joined by the destructor after the queue ran dry). Thread: Queue, Collect
// and WaitBelow on the owner's work thread; the writes on the helper. Lock: a
// private mutex guards the queue and the finished list.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/File.h"

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

    // One piece's writes, queued and later collected with their outcome.
    struct Job {
        int32_t piece = -1;
        int32_t from = 0;  // the piece offset the writes start at
        int64_t bytes = 0;
        bool keep_cached = false;  // the owner's: what to do once written
        // Outcome: bytes written before the first failure.
        int64_t written = 0;
        bool failed = false;

    private:
        friend class TPieceWriter;
        struct Part {
            size_t handle = 0;
            const uint8_t* data = nullptr;
            int32_t length = 0;
            int64_t offset = 0;
        };
        std::vector<platform::File> m_handles;
        std::vector<Part> m_parts;
        bool m_broken = false;  // a write that cannot be made ends the job
    };

    TPieceWriter() = default;
    ~TPieceWriter();
    TPieceWriter(const TPieceWriter&) = delete;
    TPieceWriter& operator=(const TPieceWriter&) = delete;

    // Turns a piece's writes into a job with handles of its own; a write
    // without a file, or whose file cannot lend a handle, makes the job fail
    // there (the writes before it are still made).
    static Job MakeJob(int32_t piece, int32_t from, const std::vector<Write>& writes);
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

    // The writes of a batch on the calling thread (a caller without the
    // helper); returns the bytes written before the first failure.
    static int64_t WriteAll(const std::vector<Write>& batch, bool& failed);

private:
    void Run();
    static void RunJob(Job& job);

    std::mutex m_mutex;
    std::condition_variable m_work;      // the helper waits for jobs
    std::condition_variable m_finished;  // the owner waits for outcomes
    std::thread m_thread;
    // Guarded by m_mutex.
    std::deque<Job> m_queue;
    std::vector<Job> m_done;
    bool m_running = false;
    bool m_stop = false;
    // Written under m_mutex, read without it as hints.
    std::atomic<int64_t> m_queued_bytes{0};
    std::atomic<bool> m_has_finished{false};
};

}  // namespace engine

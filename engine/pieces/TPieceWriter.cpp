#include "engine/pieces/TPieceWriter.h"

#include <algorithm>
#include <system_error>

#include "engine/pieces/TDiskLockHolder.h"
#include "platform/Thread.h"

namespace engine {

TPieceWriter::~TPieceWriter() {
    if (!m_thread.joinable()) return;
    {
        // Every queued write is made before the helper ends: the memory the
        // jobs name belongs to pieces that are freed after this.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_work.notify_all();
    m_thread.join();
}

int64_t TPieceWriter::Write::Bytes() const {
    int64_t n = 0;
    for (const platform::ConstBuffer& b : buffers) n += static_cast<int64_t>(b.length);
    return n;
}

TPieceWriter::Job TPieceWriter::MakeJob(int32_t piece, int32_t from, std::vector<Write> writes) {
    Job job;
    job.piece = piece;
    job.from = from;
    job.writes = std::move(writes);
    for (const Write& w : job.writes) job.bytes += w.Bytes();
    return job;
}

void TPieceWriter::RunJob(Job& job) {
    job.written = 0;
    job.failed = false;
    job.failed_file = -1;
    TDiskLockHolder lock;
    for (const Write& w : job.writes) {
        lock.Lock();
        if (!w.handle || !w.handle->WriteAtV(w.buffers.data(), w.buffers.size(), static_cast<uint64_t>(w.offset))) {
            job.failed = true;
            job.failed_file = w.file;
            break;
        }
        job.written += w.Bytes();
    }
    lock.Unlock();
    // The references let go here: on the helper, a handle whose file was
    // closed meanwhile closes off the work thread.
    job.writes.clear();
}

bool TPieceWriter::Queue(Job job, bool wake) {
    if (!m_thread.joinable()) {
        try {
            m_thread = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
            return false;
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queued_bytes.store(m_queued_bytes.load(std::memory_order_relaxed) + job.bytes, std::memory_order_relaxed);
        m_queue.push_back(std::move(job));
    }
    // Costs a system call only when the helper sleeps, i.e. when it has
    // caught up with the queue.
    if (wake) m_work.notify_one();
    return true;
}

void TPieceWriter::Wake() {
    if (QueuedBytes() > 0) m_work.notify_one();
}

void TPieceWriter::Collect(std::vector<Job>& out, bool wait_all) {
    if (wait_all) Wake();
    std::unique_lock<std::mutex> lock(m_mutex);
    if (wait_all) {
        m_wait_target = 0;
        m_finished.wait(lock, [this] { return m_queue.empty() && !m_running; });
        m_wait_target = NoWaiter;
    }
    for (Job& job : m_done) out.push_back(std::move(job));
    m_done.clear();
    m_has_finished.store(false, std::memory_order_release);
}

void TPieceWriter::WaitBelow(int64_t bytes) {
    Wake();
    std::unique_lock<std::mutex> lock(m_mutex);
    m_wait_target = std::max<int64_t>(bytes, 0);
    m_finished.wait(lock, [this, bytes] { return m_queued_bytes.load(std::memory_order_relaxed) <= bytes; });
    m_wait_target = NoWaiter;
}

void TPieceWriter::StartWritebackAfter(const Job& job) {
    // Called before the job runs, so its handles are still held; the data
    // of the jobs before it is what gets started (this one's follows with
    // the next start or the final sync).
    m_unstarted_bytes += job.bytes;
    if (m_unstarted_bytes < WritebackEveryBytes || job.writes.empty() || !job.writes.front().handle) return;
    m_unstarted_bytes = 0;
    job.writes.front().handle->StartWriteback();
}

void TPieceWriter::Run() {
    platform::SetCurrentThreadName("PieceWriter");
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_work.wait(lock, [this] { return m_stop || !m_queue.empty(); });
        if (m_queue.empty()) return;  // stopping, and nothing is left to write
        Job job = std::move(m_queue.front());
        m_queue.pop_front();
        m_running = true;
        lock.unlock();
        StartWritebackAfter(job);
        RunJob(job);
        lock.lock();
        m_running = false;
        m_queued_bytes.store(m_queued_bytes.load(std::memory_order_relaxed) - job.bytes, std::memory_order_relaxed);
        m_done.push_back(std::move(job));
        m_has_finished.store(true, std::memory_order_release);
        // Nobody waits unless the owner's queue is full or it drains it, and
        // then for a level: woken only once that is reached, the owner pays
        // one wake-up per wait instead of one per piece written meanwhile.
        const int64_t left = m_queued_bytes.load(std::memory_order_relaxed);
        if (m_wait_target != NoWaiter && left <= m_wait_target && (m_wait_target > 0 || m_queue.empty())) {
            m_finished.notify_all();
        }
    }
}

}  // namespace engine

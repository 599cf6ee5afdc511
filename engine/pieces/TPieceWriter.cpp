#include "engine/pieces/TPieceWriter.h"

#include <system_error>

#include "engine/pieces/QDiskFile.h"
#include "engine/pieces/TDiskLockHolder.h"
#include "platform/Thread.h"

namespace engine {

TPieceWriter::~TPieceWriter() {
    if (m_started) {
        bool failed = false;
        Wait(failed);
    }
    if (!m_thread.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

int64_t TPieceWriter::WriteAll(const std::vector<Write>& batch, bool& failed) {
    failed = false;
    int64_t written = 0;
    TDiskLockHolder lock;
    for (const Write& w : batch) {
        lock.Lock();
        if (!w.file || !w.data || w.file->Write(w.data, w.length, w.offset) != w.length) {
            failed = true;
            break;
        }
        written += w.length;
    }
    return written;
}

bool TPieceWriter::Start(std::vector<Write> batch) {
    if (m_started) return false;
    if (!m_thread.joinable()) {
        try {
            m_thread = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
            return false;
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_batch = std::move(batch);
        m_has_batch = true;
        m_done = false;
    }
    m_wake.notify_all();
    m_started = true;
    return true;
}

int64_t TPieceWriter::Wait(bool& failed) {
    failed = false;
    if (!m_started) return 0;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_wake.wait(lock, [this] { return m_done; });
    m_started = false;
    m_done = false;
    m_batch.clear();
    failed = m_failed;
    return m_written;
}

void TPieceWriter::Run() {
    platform::SetCurrentThreadName("PieceWriter");
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stop || m_has_batch; });
        if (m_has_batch) {
            m_has_batch = false;
            // The batch is this thread's until it reports done.
            const std::vector<Write> batch = std::move(m_batch);
            lock.unlock();
            bool failed = false;
            const int64_t written = WriteAll(batch, failed);
            lock.lock();
            m_written = written;
            m_failed = failed;
            m_done = true;
            m_wake.notify_all();
            continue;
        }
        if (m_stop) return;
    }
}

}  // namespace engine

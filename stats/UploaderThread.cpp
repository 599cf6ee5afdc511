#include "stats/UploaderThread.h"

#include "platform/Thread.h"

namespace engine {

UploaderThread::~UploaderThread() { Stop(); }

bool UploaderThread::Start(const char* name) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_running.load(std::memory_order_acquire)) return false;
    if (m_thread.joinable()) m_thread.join();  // a run that ended by itself
    m_stop.store(false, std::memory_order_release);
    // Running from Start on, so a report right after Start is not dropped.
    m_running.store(true, std::memory_order_release);
    try {
        m_thread = std::thread(&UploaderThread::ThreadProc, this, std::string(name ? name : ""));
    } catch (...) {
        m_running.store(false, std::memory_order_release);
        return false;
    }
    return true;
}

void UploaderThread::ThreadProc(std::string name) {
    platform::SetCurrentThreadName(name);
    m_thread_id.store(platform::CurrentThreadId(), std::memory_order_release);
    try {
        if (!m_stop.load(std::memory_order_acquire)) Run();
    } catch (...) {
        // Nothing may leave the thread; the run simply ends.
    }
    m_running.store(false, std::memory_order_release);
}

bool UploaderThread::Stop() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_thread.joinable()) return !IsRunning();
    if (m_thread.get_id() == std::this_thread::get_id()) return !IsRunning();
    m_stop.store(true, std::memory_order_release);
    m_thread.join();
    m_running.store(false, std::memory_order_release);
    return true;
}

}  // namespace engine

#include "stats/DataUpload.h"

#include <cerrno>
#include <cstdio>
#include <exception>

#include "engine/base/CTidewellLog.h"
#include "platform/Clock.h"
#include "stats/IDataStatisticsUser.h"

namespace engine {

namespace {

// Log level of the uploader's lines (the ".dataupload.log" file).
constexpr int32_t UploadLogLevel = 28;
// A log text longer than this is replaced by a short one.
constexpr size_t LogTextCap = 4096;

std::string ThreadPrefix(uint64_t thread_id) {
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "TID : %5lu] [", static_cast<unsigned long>(thread_id));
    return prefix;
}

}  // namespace

DataUpload::DataUpload(IDataStatisticsUser* component)
    : m_component(component), m_wait([](DataUpload&) { platform::SleepMs(IntervalMs); }) {}

DataUpload::~DataUpload() { Stop(); }

void DataUpload::Configure(const char* config_path, const char* game_id, const char* app_version,
                           const char* game_version, const char* channel) {
    if (m_component != nullptr) {
        m_component->SetConfigPath(config_path ? config_path : "");
        m_configured = true;
    }
    if (game_id && app_version && game_version && channel) {
        m_game_id = game_id;
        m_app_version = app_version;
        m_game_version = game_version;
        m_channel = channel;
    }
}

bool DataUpload::IsReady() const {
    return m_configured && !m_game_id.empty() && !m_app_version.empty() && !m_game_version.empty();
}

bool DataUpload::Queue(EventRecord record) {
    if (!IsReady() || m_component == nullptr) return false;
    std::lock_guard<std::mutex> guard(m_queue_lock);
    m_queue.push_back(std::move(record));
    return true;
}

size_t DataUpload::QueuedCount() {
    std::lock_guard<std::mutex> guard(m_queue_lock);
    return m_queue.size();
}

DataUpload::Counters DataUpload::GetCounters() {
    std::lock_guard<std::mutex> guard(m_counters_lock);
    return m_counters;
}

void DataUpload::LogHandOverException(const EventRecord& record, const char* what) {
    std::string text = ThreadPrefix(GetThreadId()) + "A exception catched in dataupload" + "CODE : (" +
                       record.code + ")";
    char error[48];
    std::snprintf(error, sizeof error, "ErrorCode : (%lu)", static_cast<unsigned long>(errno));
    text += error;
    if (what != nullptr) text += std::string(" ") + what;
    if (text.size() >= LogTextCap) text = ThreadPrefix(GetThreadId()) + "A exception catched in AddData";
    LogLine(text, UploadLogLevel);
}

void DataUpload::HandOver(const EventRecord& record) {
    try {
        if (!IsReady()) return;
        if (record.code.empty() && record.text.empty()) {
            LogLine(ThreadPrefix(GetThreadId()) + "Data Upload Failed with Empty Code Or Body", UploadLogLevel);
            return;
        }
        ++m_pending;
        const int32_t result = m_component->AddEvent(record.code.c_str(), record.text.c_str(), record.kind);
        std::lock_guard<std::mutex> guard(m_counters_lock);
        ++m_counters.handed_over;
        if (result == StatsOk) {
            ++m_counters.accepted;
        } else {
            ++m_counters.refused;
            if (result == StatsBatchFull) ++m_counters.refused_full;
        }
    } catch (const std::exception& e) {
        LogHandOverException(record, e.what());
    } catch (...) {
        LogHandOverException(record, nullptr);
    }
}

void DataUpload::Run() {
    for (;;) {
        m_wait(*this);
        // A stop ends the thread at the next wake-up even when events keep
        // arriving; whatever is still queued then is not sent.
        if (IsStopRequested()) return;
        std::deque<EventRecord> taken;
        {
            std::lock_guard<std::mutex> guard(m_queue_lock);
            taken.swap(m_queue);
        }
        if (taken.empty()) continue;
        for (const EventRecord& record : taken) HandOver(record);
        if (IsReady() && m_component != nullptr) {
            const int32_t result = m_component->SubmitEventDownloadSeveral();
            m_pending = 0;
            std::lock_guard<std::mutex> guard(m_counters_lock);
            ++m_counters.submissions;
            m_counters.last_submit_result = result;
        }
    }
}

}  // namespace engine

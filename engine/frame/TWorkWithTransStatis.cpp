#include "engine/frame/TWorkWithTransStatis.h"

#include <algorithm>
#include <cstdint>

namespace engine {

namespace {
constexpr int64_t Unlimited = 1048576000;
constexpr int64_t MinimumAllowance = 3072;
}  // namespace

void TWorkWithTransStatis::CountReceived(int kind, uint64_t protocol_bytes, uint64_t payload_bytes) {
    std::lock_guard<std::mutex> lock(m_counter_lock);
    m_second.received_bytes += protocol_bytes + payload_bytes;
    m_second.payload_bytes += payload_bytes;
    m_second.block_payload_bytes += payload_bytes;
    if (kind & PeerKindsWeb) {
        m_web_traffic.received += protocol_bytes + payload_bytes;
        m_second.web_payload_bytes += payload_bytes;
        m_kept.web += static_cast<int64_t>(payload_bytes);
    } else {
        m_kept.peer += static_cast<int64_t>(payload_bytes);
    }
}

void TWorkWithTransStatis::CountSent(uint64_t bytes) {
    std::lock_guard<std::mutex> lock(m_counter_lock);
    m_second.sent_bytes += bytes;
}

void TWorkWithTransStatis::CountWebTraffic(WebTrafficEvent event, uint64_t amount) {
    std::lock_guard<std::mutex> lock(m_counter_lock);
    switch (event) {
        case WebTrafficEvent::Request: m_web_traffic.requests += amount; break;
        case WebTrafficEvent::Skipped: m_web_traffic.skipped += amount; break;
        case WebTrafficEvent::Duplicate: m_web_traffic.duplicate += amount; break;
        case WebTrafficEvent::Discarded: m_web_traffic.discarded += amount; break;
    }
}

WebTraffic TWorkWithTransStatis::TakeWebTraffic() {
    std::lock_guard<std::mutex> lock(m_counter_lock);
    WebTraffic taken = m_web_traffic;
    m_web_traffic = WebTraffic{};
    return taken;
}

int64_t TWorkWithTransStatis::AllowanceFor(int32_t limit_kib) {
    int64_t allowance = limit_kib == 0 ? Unlimited : static_cast<int64_t>(limit_kib) * 1024;
    return std::max(allowance, MinimumAllowance);
}

int64_t TWorkWithTransStatis::RemainingDownload() {
    std::lock_guard<std::mutex> lock(m_counter_lock);
    return std::max<int64_t>(m_download_allowance - static_cast<int64_t>(m_second.received_bytes), 0);
}

int64_t TWorkWithTransStatis::RemainingUpload() {
    std::lock_guard<std::mutex> lock(m_counter_lock);
    return std::max<int64_t>(m_upload_allowance - static_cast<int64_t>(m_second.sent_bytes), 0);
}

SecondCounters TWorkWithTransStatis::TakeSecondCounters() {
    std::lock_guard<std::mutex> lock(m_counter_lock);
    SecondCounters taken = m_second;
    m_second = SecondCounters{};
    m_web_rate = static_cast<int32_t>(std::min<uint64_t>(taken.web_payload_bytes, INT32_MAX));
    return taken;
}

KeptBytes TWorkWithTransStatis::TakeKeptBytes() {
    std::lock_guard<std::mutex> lock(m_counter_lock);
    KeptBytes taken = m_kept;
    m_kept = KeptBytes{};
    return taken;
}

void TWorkWithTransStatis::ForgetKeptBytes(int64_t web, int64_t peer) {
    std::lock_guard<std::mutex> lock(m_counter_lock);
    m_kept.web -= web;
    m_kept.peer -= peer;
}

int32_t TWorkWithTransStatis::SourceKindRate(int kinds) {
    std::lock_guard<std::mutex> lock(m_counter_lock);
    return (kinds & PeerKindsWeb) ? m_web_rate : 0;
}

void TWorkWithTransStatis::RecomputeAllowances(const TaskOptions& options) {
    std::lock_guard<std::mutex> lock(m_counter_lock);
    m_download_allowance = AllowanceFor(options.download_limit_kib);
    m_upload_allowance = AllowanceFor(options.upload_limit_kib);
}

void TWorkWithTransStatis::ResetTransfers() {
    std::lock_guard<std::mutex> lock(m_counter_lock);
    m_second = SecondCounters{};
    m_web_rate = 0;
}

}  // namespace engine

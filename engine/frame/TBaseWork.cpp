#include "engine/frame/TBaseWork.h"

#include <algorithm>
#include <cstring>

#include "engine/frame/WorkList.h"
#include "engine/udp/LanDiscovery.h"

namespace engine {

namespace {

// Fixed-size text fields of the record may lack their NUL; never read past them.
std::string FieldText(const char (&field)[TW_TEXT_CAPACITY]) {
    return std::string(field, strnlen(field, TW_TEXT_CAPACITY));
}

bool IsTrimmed(unsigned char c) { return c >= 1 && c <= 32; }

}  // namespace

TBaseWork::TBaseWork() {
    m_live.Reset();
    m_published.Reset();
    m_options = TaskOptions{};
    RegisterWork(this);
}

TBaseWork::~TBaseWork() { UnregisterWork(this); }

std::vector<std::string> TBaseWork::SplitLines(const char* text) {
    std::vector<std::string> lines;
    if (!text) return lines;
    const char* p = text;
    while (*p) {
        const char* end = p;
        while (*end && *end != '\r' && *end != '\n') ++end;
        const char* first = p;
        const char* last = end;
        while (first < last && IsTrimmed(static_cast<unsigned char>(*first))) ++first;
        while (last > first && IsTrimmed(static_cast<unsigned char>(last[-1]))) --last;
        if (last > first) lines.emplace_back(first, last);
        p = end;
        if (*p == '\r') ++p;
        if (*p == '\n') ++p;
    }
    return lines;
}

void TBaseWork::Configure(const TaskParams& params, bool read_carried_bit) {
    m_web_sources.clear();
    for (std::string& line : SplitLines(params.source_text)) m_web_sources.push_back({std::move(line)});
    m_info_path = FieldText(params.info_path);
    m_info_path_df = m_info_path + "df";
    m_save_folder = FieldText(params.target);
    m_p2sp = (params.flags & TW_FLAG_P2SP) != 0;
    m_bt = (params.flags & TW_FLAG_BT) != 0;
    m_exact_target = (params.flags & TW_FLAG_EXACT_TARGET) != 0;
    m_alt_verify = (params.flags & TW_FLAG_ALT_VERIFY) != 0;
    m_carried = read_carried_bit && (params.flags & TW_FLAG_CARRIED) != 0;
    m_options.flags_b[5] = m_alt_verify ? 1 : 0;

    m_main_source.clear();
    if (m_p2sp) {
        m_main_source = FieldText(params.main_source);
    } else if (m_bt && !m_web_sources.empty()) {
        m_main_source = m_web_sources.front().url;
        m_web_sources.front().mark = SourceMark::Metainfo;
    }
    m_target_file.clear();
    if (m_exact_target) {
        m_target_file = m_save_folder;
        size_t slash = m_target_file.rfind('/');
        m_save_folder = slash == std::string::npos ? std::string() : m_target_file.substr(0, slash + 1);
    }
}

bool TBaseWork::IsDuplicateOf(const TBaseWork& other) const {
    if (m_exact_target && other.m_exact_target && m_target_file == other.m_target_file) return true;
    bool torrent_task = m_p2sp || m_bt;
    bool other_torrent_task = other.m_p2sp || other.m_bt;
    if (torrent_task && other_torrent_task && m_main_source == other.m_main_source) return true;
    size_t shared = 0;
    for (const WebSource& mine : m_web_sources) {
        bool found = std::any_of(other.m_web_sources.begin(), other.m_web_sources.end(),
                                 [&](const WebSource& theirs) { return theirs.url == mine.url; });
        if (found) ++shared;
    }
    return shared > 0 && m_web_sources.size() / shared <= 2;
}

const char* TBaseWork::KindName() const {
    if (m_p2sp) return "P2SP Task";
    if (m_bt) return "BT Task";
    return "HTTP Task";
}

void TBaseWork::ResetWebSourceMarks(bool has_metainfo_bytes) {
    for (WebSource& source : m_web_sources) {
        if (source.mark == SourceMark::InUse) source.mark = SourceMark::None;
        if (source.mark == SourceMark::MetainfoInUse && !has_metainfo_bytes) source.mark = SourceMark::Metainfo;
    }
}

void TBaseWork::MarkMetainfoSourcesInUse() {
    for (WebSource& source : m_web_sources) {
        if (source.mark == SourceMark::Metainfo) source.mark = SourceMark::MetainfoInUse;
    }
}

void TBaseWork::SetWebSourceMark(size_t index, SourceMark mark) {
    if (index < m_web_sources.size()) m_web_sources[index].mark = mark;
}

void TBaseWork::ClearIpSources() {
    QTMutexLocker lock(ObjectLock());
    m_ip_urls.clear();
    m_ip_hosts.clear();
    m_ip_in_use = false;
}

void TBaseWork::AddIpSources(const char* url_text, const char* host_text) {
    QTMutexLocker lock(ObjectLock());
    for (std::string& line : SplitLines(url_text)) m_ip_urls.push_back(std::move(line));
    for (std::string& line : SplitLines(host_text)) m_ip_hosts.push_back(std::move(line));
    m_ip_in_use = true;
}

bool TBaseWork::IpSourcesInUse() {
    QTMutexLocker lock(ObjectLock());
    return m_ip_in_use;
}

std::vector<std::string> TBaseWork::IpSourceUrls() {
    QTMutexLocker lock(ObjectLock());
    return m_ip_urls;
}

std::vector<std::string> TBaseWork::IpSourceHosts() {
    QTMutexLocker lock(ObjectLock());
    return m_ip_hosts;
}

TaskOptions TBaseWork::Options() {
    QTMutexLocker lock(ObjectLock());
    return m_options;
}

bool TBaseWork::SetLimit(int32_t direction, int32_t value_kib) {
    QTMutexLocker lock(ObjectLock());
    if (direction == 0) {
        m_options.upload_limit_kib = value_kib;
    } else if (direction == 1) {
        m_options.download_limit_kib = value_kib;
    } else {
        return false;
    }
    m_options.Normalise();
    return true;
}

TaskStatusBlock TBaseWork::PublishedStatus() {
    QTMutexLocker lock(ObjectLock());
    return m_published;
}

TaskStatusBlock TBaseWork::LiveStatus() {
    QTMutexLocker lock(ObjectLock());
    return m_live;
}

void TBaseWork::SetTrackerFigures(int32_t interval_s, int64_t done_peers, int64_t completed) {
    QTMutexLocker lock(ObjectLock());
    m_live.tracker_interval_s = interval_s;
    m_live.tracker_done_peers = done_peers;
    m_live.tracker_completed = completed;
}

// Messages parked for other tasks were read on this run's terms; a task that
// starts over announces again and collects fresh answers.
void TBaseWork::ResetBaseWork() { ClearLanPending(); }

}  // namespace engine

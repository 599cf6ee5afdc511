#include "stats/CDataStatisticsImp.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "platform/CrashHandler.h"
#include "stats/DeviceFacts.h"
#include "stats/DeviceInfo.h"
#include "stats/FormEncoding.h"
#include "stats/HttpPoster.h"
#include "stats/JsonValue.h"
#include "stats/StatsConfig.h"

namespace engine {

namespace {

// Kind bits: which hardware entries join the identity object.
constexpr int32_t KindCpu = 1;
constexpr int32_t KindMemory = 2;
constexpr int32_t KindVideoCard = 4;

bool ContainsAll(const std::string& text, const std::vector<std::string>& keys) {
    return std::all_of(keys.begin(), keys.end(),
                       [&](const std::string& key) { return text.find(key) != std::string::npos; });
}

// Every operation runs through here: the crash handler is (re)installed first,
// and nothing thrown inside escapes.
template <typename Body>
int32_t Guarded(Body body) {
    try {
        platform::InstallCrashHandler();
        return body();
    } catch (...) {
        return StatsException;
    }
}

}  // namespace

int32_t CreateStatisticsObject(const char* iid, IDataStatisticsUser** out) {
    if (iid == nullptr || out == nullptr) return 0;
    const std::string wanted = DataStatisticsUserIid;
    if (std::strlen(iid) != wanted.size()) return 0;
    for (size_t i = 0; i < wanted.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(iid[i]) != lower(wanted[i])) return 0;
    }
    try {
        *out = new CDataStatisticsImp();
    } catch (...) {
    }
    return 0;
}

CDataStatisticsImp::CDataStatisticsImp(DeviceInfo& device) : m_device(device) {}

CDataStatisticsImp::CDataStatisticsImp() : CDataStatisticsImp(DeviceInfo::Process()) {}

void CDataStatisticsImp::SetConfigPath(const std::string& path) {
    Guarded([&] {
        m_config_path = path;
        return 0;
    });
}

void CDataStatisticsImp::SetSessionId(const std::string& session_id) {
    Guarded([&] {
        m_session_id = session_id;
        return 0;
    });
}

std::string CDataStatisticsImp::ConfigPath() const {
    return m_config_path.empty() ? std::string(StatsDefaultConfigName) : m_config_path;
}

bool CDataStatisticsImp::ReadConfig(const std::string& url_section, StatsConfig* config) const {
    return ReadStatsConfig(ConfigPath(), url_section, config);
}

int32_t CDataStatisticsImp::AddEvent(const char* code, const char* text, int32_t kind) {
    return Guarded([&] {
        std::lock_guard<std::mutex> guard(m_lock);
        return AddEventLocked(code, text, kind);
    });
}

int32_t CDataStatisticsImp::AddEventLocked(const char* code, const char* text, int32_t kind) {
    if (code == nullptr || text == nullptr) return StatsNothingSent;
    // Refused events count too: the limit bounds the work between two
    // submissions, whatever becomes of the events.
    if (++m_batch_count > BatchLimit) return StatsBatchFull;
    StatsConfig config;
    if (!ReadConfig(StatsSingleSection, &config)) return StatsNoConfig;
    if (!ContainsAll(text, config.input_keys)) return StatsMissingInputKey;
    m_codes.emplace_back(code);
    m_texts.emplace_back(text);
    m_kinds.push_back(kind);
    return StatsOk;
}

JsonValue CDataStatisticsImp::IdentityObject(int32_t kind, bool with_sequence) {
    JsonValue identity = JsonValue::Object();
    identity.Set("Mac", m_device.MacText());
    identity.Set("OS", m_device.GetOsText());
    identity.Set("Sessionid", m_session_id);
    m_device.AddMachineId(identity);
    if (with_sequence) identity.Set("Sequence", m_sequence);
    if (kind & KindCpu) m_device.AddCpuInfo(identity);
    if (kind & KindMemory) m_device.AddMemoryInfo(identity);
    if (kind & KindVideoCard) m_device.AddVideoCardInfo(identity);
    return identity;
}

std::string CDataStatisticsImp::WrapEvent(const std::string& text, int32_t kind, bool with_sequence,
                                          const std::vector<std::string>& submit_keys) {
    // The writer gives "{members}\n"; the event text continues the member
    // list (it starts with ","), so both end up in one flat object.
    std::string identity = IdentityObject(kind, with_sequence).WriteFast();
    while (!identity.empty() && identity.back() == '\n') identity.pop_back();
    std::string members = identity.size() >= 2 ? identity.substr(1, identity.size() - 2) : std::string();
    std::string wrapped = "{" + members + text + "}";
    if (!ContainsAll(wrapped, submit_keys)) return {};
    return wrapped;
}

std::string CDataStatisticsImp::BuildBatchBody(const std::vector<std::string>& submit_keys) {
    JsonValue batch = JsonValue::Array();
    for (size_t i = 0; i < m_codes.size(); ++i) {
        ++m_sequence;
        std::string wrapped = WrapEvent(m_texts[i], m_kinds[i], true, submit_keys);
        if (wrapped.empty()) {
            batch.Append(JsonValue());  // refused for a missing submit key
            continue;
        }
        JsonValue event = JsonValue::Object();
        event.Set("code", m_codes[i]);
        event.Set("info", wrapped);
        batch.Append(event);
    }
    return FormEncodeData(batch.WriteFast());
}

bool CDataStatisticsImp::IsAcceptedReply(const std::string& reply) {
    return reply.find("\"error\":0") != std::string::npos;
}

bool CDataStatisticsImp::PostToServers(const std::vector<std::string>& urls, const std::string& body) const {
    for (const std::string& url : urls) {
        HttpPoster::Result result = HttpPoster::Post(url, body, PostTimeoutSeconds, PostTimeoutSeconds);
        if (result.transferred && IsAcceptedReply(result.reply)) return true;
    }
    return false;
}

void CDataStatisticsImp::ClearBatch() {
    m_batch_count = 0;
    m_codes.clear();
    m_texts.clear();
    m_kinds.clear();
}

int32_t CDataStatisticsImp::SubmitEventDownloadSeveral() {
    return Guarded([&] {
        std::lock_guard<std::mutex> guard(m_lock);
        return SubmitLocked();
    });
}

int32_t CDataStatisticsImp::SubmitLocked() {
    if (m_batch_count == 0) return StatsNothingSent;
    // From here on the batch is spent whatever happens: a batch that cannot be
    // sent is never retried, and the refusal count starts over.
    struct ClearOnExit {
        CDataStatisticsImp* self;
        ~ClearOnExit() { self->ClearBatch(); }
    } clear_on_exit{this};
    if (m_codes.empty()) return StatsNothingSent;

    StatsConfig single;
    StatsConfig batch;
    if (!ReadConfig(StatsSingleSection, &single) || !ReadConfig(StatsBatchSection, &batch)) return StatsNothingSent;
    m_device.OpenWmi(false);
    std::string body;
    try {
        body = BuildBatchBody(single.submit_keys);
    } catch (...) {
        return StatsBodyFailed;
    }
    return PostToServers(batch.server_urls, body) ? StatsOk : StatsNothingSent;
}

int32_t CDataStatisticsImp::GetDeviceCode(char* buffer, uint32_t* size) {
    return Guarded([&]() -> int32_t {
        const std::string code = DeviceCodeText(m_device.GetMachineId());
        if (code.empty()) return 0;
        if (size == nullptr) return 0;
        // The terminator needs room too.
        if (buffer == nullptr || *size < code.size() + 1) {
            *size = static_cast<uint32_t>(code.size() + 1);
            return static_cast<int32_t>(code.size());
        }
        std::memcpy(buffer, code.c_str(), code.size() + 1);
        return 1;
    });
}

}  // namespace engine

#pragma once
// Shared fixture of the net tests: a scripted resolver (no real DNS is ever
// asked) and a captured event sink, both removed again after each test.

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "engine/base/EngineEvents.h"
#include "engine/net/NameResolver.h"
#include "engine/net/SourceUrl.h"

namespace net_test {

inline uint32_t Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    return engine::HostToNetwork32((uint32_t{a} << 24) | (uint32_t{b} << 16) | (uint32_t{c} << 8) | d);
}

struct CapturedEvent {
    int32_t code;
    std::string text;
    int32_t kind;
};

class ScriptedResolverTest : public ::testing::Test {
protected:
    void SetUp() override {
        engine::ClearFailedHosts();
        engine::ClearResolveFailureFlag();
        engine::SetHostResolver([this](const std::string& host) { return Answer(host); });
        engine::SetEngineEventSink([this](int32_t code, const std::string& text, int32_t kind) {
            std::lock_guard lock(m_mutex);
            m_events.push_back({code, text, kind});
        });
    }
    void TearDown() override {
        engine::SetHostResolver({});
        engine::SetEngineEventSink({});
        engine::ClearFailedHosts();
        engine::ClearResolveFailureFlag();
    }

    // Names the resolver knows; every other name is "not found".
    void Know(const std::string& host, std::vector<uint32_t> addresses) {
        std::lock_guard lock(m_mutex);
        m_known[host] = std::move(addresses);
    }
    std::vector<CapturedEvent> Events() {
        std::lock_guard lock(m_mutex);
        return m_events;
    }
    int Asked(const std::string& host) {
        std::lock_guard lock(m_mutex);
        return m_asked[host];
    }

private:
    engine::ResolveAnswer Answer(const std::string& host) {
        std::lock_guard lock(m_mutex);
        ++m_asked[host];
        engine::ResolveAnswer answer;
        const auto it = m_known.find(host);
        if (it == m_known.end()) {
            answer.error = engine::ResolveError::HostNotFound;
            return answer;
        }
        answer.answered = true;
        answer.address_length = 4;
        answer.addresses = it->second;
        return answer;
    }

    std::mutex m_mutex;
    std::map<std::string, std::vector<uint32_t>> m_known;
    std::map<std::string, int> m_asked;
    std::vector<CapturedEvent> m_events;
};

}  // namespace net_test

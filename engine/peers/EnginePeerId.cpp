#include "engine/peers/EnginePeerId.h"

#include <openssl/evp.h>

#include <cstring>
#include <mutex>

#include "engine/base/NodeIdentity.h"
#include "platform/Random.h"

namespace engine {

namespace {

// What the current-thread pseudo-handle has always read as.
constexpr int64_t CurrentThreadPseudoHandle = -2;

}  // namespace

std::string EnginePeerIdSeed(const std::string& announce, int64_t task_address, int64_t tick_ms,
                             uint32_t local_address) {
    return announce + std::to_string(CurrentThreadPseudoHandle) + std::to_string(task_address) +
           std::to_string(tick_ms) + std::to_string(local_address);
}

std::array<uint8_t, 16> Md5Digest(const std::string& text) {
    std::array<uint8_t, 16> digest{};
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest.data(), &length, EVP_md5(), nullptr);
    return digest;
}

std::array<uint8_t, 20> BuildEnginePeerId(const std::string& seed, const std::array<uint8_t, 12>& uuid_head) {
    std::array<uint8_t, 20> id{};
    std::memcpy(id.data(), EnginePeerIdPrefix.data(), 4);
    std::array<uint8_t, 16> digest = Md5Digest(seed);
    std::memcpy(id.data() + 4, digest.data(), 4);
    std::memcpy(id.data() + 8, uuid_head.data(), 12);
    return id;
}

std::array<uint8_t, 12> ProcessUuidHead() {
    static std::once_flag once;
    static std::array<uint8_t, 4> tail{};
    std::call_once(once, [] { platform::RandomBytes(tail.data(), tail.size()); });
    std::array<uint8_t, 12> head{};
    std::array<uint8_t, 8> node = NodeIdentity();
    std::memcpy(head.data(), node.data(), 8);
    std::memcpy(head.data() + 8, tail.data(), 4);
    return head;
}

}  // namespace engine

#include "engine/base/NodeIdentity.h"

#include <algorithm>
#include <mutex>

#include "platform/Random.h"

namespace engine {

std::array<uint8_t, 8> NodeIdentity() {
    static std::once_flag once;
    static std::array<uint8_t, 8> id{};
    std::call_once(once, [] {
        const std::array<uint8_t, 16> uuid = platform::NewUuid();
        std::copy_n(uuid.begin(), id.size(), id.begin());
        if (id[0] == 0) id[0] = 1;
    });
    return id;
}

}  // namespace engine

#include "platform/Random.h"

#include <sys/random.h>

#include <cerrno>
#include <random>

namespace platform {

void RandomBytes(void* out, size_t length) {
    auto* p = static_cast<unsigned char*>(out);
    size_t done = 0;
    while (done < length) {
        ssize_t n = getrandom(p + done, length - done, 0);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            // getrandom is missing only on very old kernels; random_device
            // still reads the kernel's pool there.
            std::random_device rd;
            for (; done < length; ++done) p[done] = static_cast<unsigned char>(rd());
        }
    }
}

std::array<uint8_t, 16> NewUuid() {
    std::array<uint8_t, 16> id{};
    RandomBytes(id.data(), id.size());
    return id;
}

}  // namespace platform

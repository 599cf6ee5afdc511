#include "tests/support/ReplacementWatch.h"

#include <sys/stat.h>

#include <chrono>

namespace testing_support {

namespace {

ino_t InodeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

}  // namespace

ReplacementWatch::ReplacementWatch(std::string path) : m_path(std::move(path)) {
    ino_t first = InodeOf(m_path);
    m_thread = std::thread([this, first] {
        ino_t last = first;
        while (!m_stop.load()) {
            ino_t now = InodeOf(m_path);
            if (now != 0 && now != last) ++m_count;
            if (now != 0) last = now;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
}

ReplacementWatch::~ReplacementWatch() {
    m_stop = true;
    m_thread.join();
}

}  // namespace testing_support

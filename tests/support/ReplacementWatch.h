#pragma once
// Counts how often a file is written by replacement (a temporary file renamed
// over it), as the settings files are: a thread looks at the file's inode
// every millisecond. Replacements closer together than that may count once,
// which is plenty to tell "once a second" from "many times a second".

#include <sys/types.h>

#include <atomic>
#include <string>
#include <thread>

namespace testing_support {

class ReplacementWatch {
public:
    explicit ReplacementWatch(std::string path);
    ~ReplacementWatch();
    ReplacementWatch(const ReplacementWatch&) = delete;
    ReplacementWatch& operator=(const ReplacementWatch&) = delete;

    // Replacements seen since the watch began.
    int Count() const { return m_count.load(); }

private:
    std::string m_path;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_count{0};
    std::thread m_thread;
};

}  // namespace testing_support

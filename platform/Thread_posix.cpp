#include "platform/Thread.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

void SetCurrentThreadName(const std::string& name) {
    std::string shortened = name.substr(0, 15);
    pthread_setname_np(pthread_self(), shortened.c_str());
}

std::string CurrentThreadName() {
    char buf[32] = {};
    pthread_getname_np(pthread_self(), buf, sizeof buf);
    return buf;
}

uint64_t CurrentThreadId() { return static_cast<uint64_t>(syscall(SYS_gettid)); }

int CurrentProcessId() { return static_cast<int>(getpid()); }

}  // namespace platform

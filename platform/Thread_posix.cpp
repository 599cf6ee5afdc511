#include "platform/Thread.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

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

void LowerCurrentThreadPriority() {
    // Linux keeps a nice value per thread. Five steps down gives the thread
    // about a third of a normal thread's share when both want the CPU, and
    // all of it when nothing else runs.
    constexpr int BelowNormalSteps = 5;
    id_t tid = static_cast<id_t>(syscall(SYS_gettid));
    errno = 0;
    int current = getpriority(PRIO_PROCESS, tid);
    if (current == -1 && errno != 0) return;
    setpriority(PRIO_PROCESS, tid, current + BelowNormalSteps);
}

}  // namespace platform

#include "platform/CrashHandler.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/Clock.h"

namespace platform {

namespace {

// Everything the handler touches is prepared before a crash: the handler
// itself only uses async-signal-safe calls (clock_gettime, open, write, close,
// backtrace after a warm-up, sigaction, raise) and formats numbers by hand.

constexpr int FatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr int MaxFrames = 64;

std::atomic<long> g_utc_offset_s{0};
std::atomic<bool> g_reporting{false};
std::once_flag g_install_once;

// An alternate stack so that a stack overflow can still be reported.
alignas(16) char g_alt_stack[64 * 1024];

// Appends decimal digits of `value`, at least `width` of them.
char* PutDecimal(char* out, char* end, uint64_t value, int width) {
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 && n < 24);
    while (n < width && n < 24) digits[n++] = '0';
    while (n > 0 && out < end) *out++ = digits[--n];
    return out;
}

char* PutHex(char* out, char* end, uint64_t value) {
    static const char Hex[] = "0123456789abcdef";
    char digits[16];
    int n = 0;
    do {
        digits[n++] = Hex[value & 15];
        value >>= 4;
    } while (value != 0);
    if (out < end) *out++ = '0';
    if (out < end) *out++ = 'x';
    while (n > 0 && out < end) *out++ = digits[--n];
    return out;
}

char* PutText(char* out, char* end, const char* text) {
    while (*text && out < end) *out++ = *text++;
    return out;
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian calendar).
void CivilFromDays(int64_t z, int* year, int* month, int* day) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    *year = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
    *month = static_cast<int>(m);
    *day = static_cast<int>(d);
}

// Writes the report name into `out` (NUL-terminated); signal-safe.
void FormatReportName(char* out, size_t size, int year, int month, int day, int hour, int minute,
                      int second, int millisecond, int random_below_100) {
    char* p = out;
    char* end = out + size - 1;
    const int fields[] = {year, month, day, hour, minute, second, millisecond, random_below_100};
    for (size_t i = 0; i < 8; ++i) {
        if (i > 0 && p < end) *p++ = '-';
        p = PutDecimal(p, end, static_cast<uint64_t>(fields[i] < 0 ? 0 : fields[i]), i == 0 ? 4 : 2);
    }
    p = PutText(p, end, ".dmp");
    *p = '\0';
}

const char* SignalName(int sig) {
    switch (sig) {
        case SIGSEGV: return "SIGSEGV";
        case SIGBUS: return "SIGBUS";
        case SIGILL: return "SIGILL";
        case SIGFPE: return "SIGFPE";
        case SIGABRT: return "SIGABRT";
        default: return "signal";
    }
}

void WriteAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, data, length);
        if (n <= 0) return;
        data += n;
        length -= static_cast<size_t>(n);
    }
}

void WriteReport(int sig, siginfo_t* info) {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const int64_t local = static_cast<int64_t>(now.tv_sec) + g_utc_offset_s.load(std::memory_order_relaxed);
    int64_t days = local / 86400;
    int64_t rest = local % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    int year, month, day;
    CivilFromDays(days, &year, &month, &day);
    const int millisecond = static_cast<int>(now.tv_nsec / 1000000);
    // Any cheap varying number will do: it only separates two crashes within
    // the same millisecond.
    const int random = static_cast<int>((static_cast<uint64_t>(now.tv_nsec) * 2654435761u >> 7) % 100);
    char name[64];
    FormatReportName(name, sizeof name, year, month, day, static_cast<int>(rest / 3600),
                     static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60), millisecond, random);

    int fd = ::open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    char text[512];
    char* p = text;
    char* end = text + sizeof text;
    p = PutText(p, end, "crash report\nsignal: ");
    p = PutDecimal(p, end, static_cast<uint64_t>(sig), 1);
    p = PutText(p, end, " (");
    p = PutText(p, end, SignalName(sig));
    p = PutText(p, end, ")\ncode: ");
    const int code = info ? info->si_code : 0;
    if (code < 0) p = PutText(p, end, "-");
    p = PutDecimal(p, end, static_cast<uint64_t>(code < 0 ? -static_cast<int64_t>(code) : code), 1);
    p = PutText(p, end, "\naddress: ");
    p = PutHex(p, end, info ? reinterpret_cast<uintptr_t>(info->si_addr) : 0);
    p = PutText(p, end, "\npid: ");
    p = PutDecimal(p, end, static_cast<uint64_t>(::getpid()), 1);
    p = PutText(p, end, "\nbacktrace:\n");
    WriteAll(fd, text, static_cast<size_t>(p - text));
    void* frames[MaxFrames];
    int count = ::backtrace(frames, MaxFrames);
    ::backtrace_symbols_fd(frames, count, fd);
    ::close(fd);
}

void OnFatalSignal(int sig, siginfo_t* info, void*) {
    // A second fault while reporting (or in another thread) goes straight to
    // the default action.
    if (!g_reporting.exchange(true)) WriteReport(sig, info);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    ::sigaction(sig, &dfl, nullptr);
    // Returning re-executes a faulting instruction, which now kills the
    // process; a signal that was sent (raise, abort, kill) is sent again.
    if (info == nullptr || info->si_code <= 0 || sig == SIGABRT) ::raise(sig);
}

void InstallOnce() {
    // backtrace() loads its unwinder on first use, which allocates: do it now.
    void* warm[2];
    ::backtrace(warm, 2);

    stack_t current {};
    if (::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE)) {
        stack_t alt {};
        alt.ss_sp = g_alt_stack;
        alt.ss_size = sizeof g_alt_stack;
        ::sigaltstack(&alt, nullptr);
    }
    struct sigaction sa {};
    sa.sa_sigaction = &OnFatalSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    for (int sig : FatalSignals) ::sigaction(sig, &sa, nullptr);
}

}  // namespace

void InstallCrashHandler() {
    g_utc_offset_s.store(static_cast<long>(LocalUtcOffsetSeconds(WallSeconds())), std::memory_order_relaxed);
    std::call_once(g_install_once, &InstallOnce);
}

std::string CrashReportName(int year, int month, int day, int hour, int minute, int second, int millisecond,
                            int random_below_100) {
    char name[64];
    FormatReportName(name, sizeof name, year, month, day, hour, minute, second, millisecond, random_below_100);
    return name;
}

}  // namespace platform

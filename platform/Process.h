#pragma once
// Starting other programs: the installer, the desktop's opener for files,
// folders and web pages, and the shutdown command; plus waiting for and ending
// a child by pid. Failures are reported with the small result codes the
// downloader shows and logs (the numbering of the Windows shell's "open"), so
// callers need not know errno. Thread-safe; no shared state.

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

namespace SpawnError {
inline constexpr int None = 0;
inline constexpr int FileNotFound = 2;       // ENOENT
inline constexpr int PathNotFound = 3;       // ENOTDIR
inline constexpr int AccessDenied = 5;       // EACCES, EPERM
inline constexpr int OutOfMemory = 8;        // ENOMEM
inline constexpr int BadFormat = 11;         // ENOEXEC
inline constexpr int SharingViolation = 26;  // ETXTBSY
inline constexpr int NoAssociation = 31;     // no program to open the target with
}  // namespace SpawnError

struct SpawnResult {
    int error = SpawnError::None;  // one of SpawnError
    int os_error = 0;              // the errno behind it, for logs
    int pid = -1;
    bool Ok() const { return error == SpawnError::None; }
};

// The result code for an errno of a failed start; other values map to
// AccessDenied, the shell's catch-all for "could not run".
int SpawnErrorFromErrno(int error);

// Starts `program` (a path, or a bare name looked up in PATH) with `args`
// (not including the program name) in `working_folder` (empty: the current
// one). Returns once the program has been executed or has failed to; the
// failure of exec itself (missing file, no permission, bad format) is in the
// result. The caller reaps the child with WaitForProcess, or lets
// ReapInBackground do it.
SpawnResult SpawnProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::string& working_folder);

// Opens a file, folder or URL with the desktop's opener ("xdg-open"); the
// opener is reaped in the background. NoAssociation when the opener is not
// installed. `opener` is replaceable for tests.
SpawnResult OpenWithDesktop(const std::string& target, const std::string& opener = "xdg-open");

// Waits up to `timeout_ms` for the child `pid` to end. True when it ended;
// `*exit_code` is its exit status, or 128 + signal when a signal ended it.
bool WaitForProcess(int pid, uint32_t timeout_ms, int* exit_code);
// Ends the child `pid`: SIGTERM, then SIGKILL when it has not ended after
// `grace_ms`; reaps it. True when it is gone.
bool TerminateProcess(int pid, uint32_t grace_ms);
// Reaps `pid` on a background thread once it ends, so no zombie remains.
void ReapInBackground(int pid);

// A regular file the user may execute.
bool IsExecutableFile(const std::string& path);
// Full path of `name` found in PATH, or empty.
std::string FindInPath(const std::string& name);

}  // namespace platform

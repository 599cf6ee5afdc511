#pragma once
// Thread naming and identity. Threads themselves are std::thread; these are
// the OS-specific extras.

#include <cstdint>
#include <string>

namespace platform {

// Names the calling thread for debuggers and `ps`. Linux keeps 15 characters:
// "ContinueDownload" shows as "ContinueDownloa".
void SetCurrentThreadName(const std::string& name);
std::string CurrentThreadName();
// A small integer identifying the calling thread (the kernel thread id).
uint64_t CurrentThreadId();
// Process id of the running program.
int CurrentProcessId();
// Lets the calling thread yield the CPU to normal work ("below normal"
// priority): long background jobs such as checking the package files.
void LowerCurrentThreadPriority();

}  // namespace platform

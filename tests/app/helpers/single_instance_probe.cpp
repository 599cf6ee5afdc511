// A small program that runs the single-instance guard like the downloader's
// start-up does, for the guard's tests:
//
//   single_instance_probe <package id> <status file> [unresponsive]
//
// Appends "handed-over" and exits with 3 when a running copy took over, or
// "held" and exits with 4 when it must not run;
// otherwise appends "running <pid> <outcome>" and idles (at most two
// minutes) until it is ended. Every hand-over it receives appends
// "front <folder>"; an unresponsive copy, like a window whose thread hangs,
// declines them.
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "app/SingleInstanceGuard.h"
#include "platform/Thread.h"

namespace {

void Append(const std::string& path, const std::string& line) {
    std::ofstream out(path, std::ios::app);
    out << line << '\n';
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) return 2;
    std::string status = argv[2];
    bool responsive = argc == 3 || std::string(argv[3]) != "unresponsive";
    app::SingleInstanceGuard guard;
    guard.SetWindowActivator([&status, responsive](const std::string& folder) {
        Append(status, "front " + folder);
        return responsive;
    });
    if (!guard.Start(argv[1])) {
        bool held = guard.Outcome() == platform::SingleInstance::Outcome::Held;
        Append(status, held ? "held" : "handed-over");
        return held ? 4 : 3;
    }
    Append(status, "running " + std::to_string(platform::CurrentProcessId()) + " " + std::to_string(static_cast<int>(guard.Outcome())));
    auto end = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return 0;
}

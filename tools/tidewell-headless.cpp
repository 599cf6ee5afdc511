// tidewell-headless: the downloader without a window. The download controller
// is driven the way the main window drives it (its state update every 100 ms,
// its poll and speed text every second); state changes and progress are
// printed. Used by tests, which may kill it at any moment and start it again.
//
//   tidewell-headless [--save-root DIR] [--url-base URL] [--speed-limit KIB]
//                     [--seconds N] [--quiet]
//
// The work folder lies under $TIDEWELL_DATA_DIR (else the XDG data folder);
// "TidewellTaskLink.ini" is read from the current folder. --save-root is the
// folder the default save folder is made in; --url-base replaces the scheme,
// host and port of the package's download URLs (for a local server).
// Prints "state <n>", "progress <ten-thousandths> <bytes on disk> <speed>"
// and "message <text>"; exits 0 once the download is finished, 1 when start-up
// fails, 3 when the time is up.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "app/DownloadController.h"
#include "app/EmbeddedPackage.h"
#include "app/EngineCallsApi.h"
#include "app/StatsReporterApi.h"
#include "engine/frame/EngineApiHooks.h"

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: tidewell-headless [--save-root DIR] [--url-base URL] [--speed-limit KIB]\n"
                 "                         [--seconds N] [--quiet]\n");
    return 1;
}

// "http://host:port/path" with the part before the path replaced by `base`.
std::string Rebase(const std::string& url, const std::string& base) {
    size_t scheme = url.find("://");
    size_t path = scheme == std::string::npos ? std::string::npos : url.find('/', scheme + 3);
    return path == std::string::npos ? url : base + url.substr(path);
}

}  // namespace

int main(int argc, char** argv) {
    std::string save_root;
    std::string url_base;
    int speed_limit = 0;
    double seconds = 3600;
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : std::string(); };
        if (a == "--save-root") {
            save_root = next();
        } else if (a == "--url-base") {
            url_base = next();
        } else if (a == "--speed-limit") {
            speed_limit = std::atoi(next().c_str());
        } else if (a == "--seconds") {
            seconds = std::atof(next().c_str());
        } else if (a == "--quiet") {
            quiet = true;
        } else {
            return Usage();
        }
    }

    app::PackageConfig config = app::PackageConfig::FromSlotBlock(app::BuiltInSlotBlock());
    if (!url_base.empty()) {
        for (std::string& url : config.urls) url = Rebase(url, url_base);
    }
    app::EngineCallsApi engine;
    app::StatsReporterApi stats;
    app::SessionEnvironment env;
    env.engine = &engine;
    env.stats = &stats;
    if (!save_root.empty()) env.default_save_root = [save_root] { return save_root; };
    // Messages are printed rather than shown.
    engine::SetMessageHandler([](void*, const std::string& text, const std::string&, uint32_t) {
        std::printf("message %s\n", text.c_str());
        std::fflush(stdout);
    });
    app::ControllerHooks hooks;
    hooks.show_blocking_message = [](const std::string& text) {
        std::printf("message %s\n", text.c_str());
        std::fflush(stdout);
    };

    int result = 3;
    {
        app::DownloadController controller(config, env, hooks);
        int start = controller.Initialize();
        if (start < 0) {
            std::fprintf(stderr, "start-up failed: %d\n", start);
            return 1;
        }
        if (speed_limit > 0) controller.SetSpeedLimit(speed_limit);
        if (start == app::InitializeStarted) controller.OnMainButton();

        int shown_state = -1;
        const auto begin = std::chrono::steady_clock::now();
        const auto deadline = begin + std::chrono::duration<double>(seconds);
        auto next_second = begin;
        while (std::chrono::steady_clock::now() < deadline) {
            int state = controller.UpdateState();
            if (state != shown_state) {
                std::printf("state %d\n", state);
                std::fflush(stdout);
                shown_state = state;
            }
            if (state == app::StateFinished) {
                result = 0;
                break;
            }
            if (std::chrono::steady_clock::now() >= next_second) {
                next_second += std::chrono::seconds(1);
                if (state != app::StateCheckFinished) controller.PollTasks();
                std::string speed = controller.SpeedText();
                if (!quiet) {
                    std::printf("progress %u %llu %s\n", controller.Progress(),
                                static_cast<unsigned long long>(controller.BytesOnDisk()), speed.c_str());
                    std::fflush(stdout);
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    engine.EngineShutdown();
    stats.StopUploader();
    return result;
}

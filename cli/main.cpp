// tidewell-cli: the downloader without a window. Messages the engine and the
// controller show go to standard error; progress goes to standard output.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "app/ControllerFrontEnd.h"
#include "app/ProgramVersion.h"
#include "cli/TerminalFrontEnd.h"
#include "engine/base/CTidewellLog.h"
#include "engine/frame/EngineApiHooks.h"
#include "platform/Terminal.h"

namespace {

void OnSignal(int) {
    cli::TerminalFrontEnd::RequestStop();
}

}  // namespace

int main(int argc, char** argv) {
    cli::CliOptions options;
    bool help = false;
    std::string error;
    if (!cli::ParseArguments(std::vector<std::string>(argv + 1, argv + argc), &options, &help, &error)) {
        std::fprintf(stderr, "tidewell-cli: %s\n%s", error.c_str(), cli::Usage().c_str());
        return cli::ExitUsage;
    }
    if (help) {
        std::printf("%s", cli::Usage().c_str());
        return 0;
    }
    if (options.show_version) {
        std::printf("%s\n", app::VersionLine("tidewell-cli").c_str());
        return 0;
    }
    options.redraw = platform::StandardOutputIsTerminal();
    engine::SetMessageHandler([](void*, const std::string& text, const std::string& caption, uint32_t) {
        std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
        engine::LogLine("[" + caption + "] " + text, 34);
    });
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    app::FrontEndOptions front;
    if (!options.opener.empty()) front.opener = options.opener;
    front.port_forwarding = app::PortForwardingEnvironment{};
    app::ControllerFrontEnd control(front);
    cli::TerminalFrontEnd terminal(control, options);
    return terminal.Run();
}

#pragma once
// The program's own version. It is defined in one place, the CMake project
// version (TIDEWELL_VERSION), and reaches the statistics uploader,
// `tidewell-cli --version` and the window's about box through this header.

#include <string>

namespace app {

// The project version, or "1.0.3" should the build define none (the
// statistics server expects some version text).
inline std::string ProgramVersion() {
    std::string version = TIDEWELL_VERSION;
    return version.empty() ? std::string("1.0.3") : version;
}

// "<name> <version>", the line `--version` prints.
inline std::string VersionLine(const std::string& name) { return name + " " + ProgramVersion(); }

}  // namespace app

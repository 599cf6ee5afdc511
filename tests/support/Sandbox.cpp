#include "tests/support/Sandbox.h"

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testing_support {

namespace fs = std::filesystem;

Sandbox::Sandbox() {
    const char* tmp = std::getenv("TMPDIR");
    fs::path base = (tmp && *tmp) ? fs::path(tmp) : fs::path("/tmp");
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate = base / ("tidewell-test-" + std::to_string(rd()));
        std::error_code ec;
        if (fs::create_directory(candidate, ec)) {
            m_path = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a sandbox folder");
}

Sandbox::~Sandbox() {
    std::error_code ec;
    fs::permissions(m_path, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(m_path, ec);
}

std::string Sandbox::Write(const std::string& name, const std::string& bytes) const {
    fs::path p = m_path / name;
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return p.string();
}

std::string Sandbox::Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::string TestData(const std::string& relative) {
    return std::string(TIDEWELL_TEST_DATA) + "/" + relative;
}

}  // namespace testing_support

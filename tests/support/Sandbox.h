#pragma once
// Test helpers shared by every suite: a temporary folder per test and a
// bounded wait for a condition (tests never sleep for a fixed time).

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

namespace testing_support {

// Creates a fresh folder under $TMPDIR (or /tmp) and removes it with all its
// contents when destroyed.
class Sandbox {
public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    std::string File(const std::string& name) const { return (m_path / name).string(); }
    // Writes `bytes` to `name` inside the sandbox, creating parent folders.
    std::string Write(const std::string& name, const std::string& bytes) const;
    static std::string Read(const std::string& path);

private:
    std::filesystem::path m_path;
};

// Polls `pred` every few milliseconds until it holds or `limit` passes.
bool WaitFor(const std::function<bool()>& pred,
             std::chrono::milliseconds limit = std::chrono::seconds(10));

// Path of a file under tests/data.
std::string TestData(const std::string& relative);

}  // namespace testing_support

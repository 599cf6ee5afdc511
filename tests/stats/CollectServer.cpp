#include "tests/stats/CollectServer.h"

#include <fcntl.h>
#include <json/json.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>

#include "tests/support/Sandbox.h"

extern char** environ;

namespace testing_support {

namespace {

std::vector<Json::Value> ReadJsonLines(const std::string& path) {
    std::vector<Json::Value> values;
    std::ifstream in(path);
    std::string line;
    Json::CharReaderBuilder builder;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        Json::Value v;
        std::string errors;
        std::istringstream stream(line);
        if (Json::parseFromStream(builder, stream, &v, &errors)) values.push_back(v);
    }
    return values;
}

const char* ModeName(CollectServer::Mode mode) {
    switch (mode) {
        case CollectServer::Mode::Error: return "error";
        case CollectServer::Mode::Hang: return "hang";
        case CollectServer::Mode::Ok: break;
    }
    return "ok";
}

}  // namespace

CollectServer::CollectServer(const std::string& folder, Mode mode) : m_folder(folder) {
    const std::string script = std::string(TIDEWELL_SOURCE_DIR) + "/tools/collect-server.py";
    const std::string port_file = folder + "/port";
    std::vector<std::string> args = {"python3",         script,
                                     "--port",          "0",
                                     "--port-file",     port_file,
                                     "--events-file",   folder + "/events.jsonl",
                                     "--requests-file", folder + "/requests.jsonl",
                                     "--mode",          ModeName(mode),
                                     "--hang-seconds",  "30"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // The server prints its port on standard output; the tests read the file.
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (posix_spawnp(&m_pid, "python3", &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (m_pid <= 0) return;
    WaitFor([&] {
        std::ifstream in(port_file);
        int port = 0;
        if (in >> port) m_port = port;
        return m_port != 0;
    });
}

CollectServer::~CollectServer() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGTERM);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
}

std::string CollectServer::BatchUrl() const {
    return "http://127.0.0.1:" + std::to_string(m_port) + "/launchersubmit/eventListSubmit";
}

std::vector<std::string> CollectServer::RequestBodies() const {
    std::vector<std::string> bodies;
    for (const auto& v : ReadJsonLines(m_folder + "/requests.jsonl")) bodies.push_back(v["body"].asString());
    return bodies;
}

std::vector<CollectServer::Event> CollectServer::Events() const {
    std::vector<Event> events;
    for (const auto& v : ReadJsonLines(m_folder + "/events.jsonl")) {
        Event e;
        e.batch = v["batch"].asInt();
        e.is_null = v.isMember("event") && v["event"].isNull();
        if (!e.is_null) {
            e.code = v["code"].asString();
            e.info = v["info"].asString();
        }
        events.push_back(e);
    }
    return events;
}

}  // namespace testing_support

#include "tests/stats/CollectServer.h"

#include <json/json.h>

#include <fstream>
#include <sstream>

#include "platform/Process.h"
#include "tests/support/Sandbox.h"

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
    std::vector<std::string> args = {script,
                                     "--port",          "0",
                                     "--port-file",     port_file,
                                     "--events-file",   folder + "/events.jsonl",
                                     "--requests-file", folder + "/requests.jsonl",
                                     "--mode",          ModeName(mode),
                                     "--hang-seconds",  "30"};
    platform::SpawnResult spawned = platform::SpawnProcess("python3", args, folder);
    if (!spawned.Ok()) return;
    m_pid = spawned.pid;
    WaitFor([&] {
        std::ifstream in(port_file);
        int port = 0;
        if (in >> port) m_port = port;
        return m_port != 0;
    });
}

CollectServer::~CollectServer() {
    if (m_pid <= 0) return;
    platform::TerminateProcess(m_pid, 2000);
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

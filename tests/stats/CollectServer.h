#pragma once
// Starts tools/collect-server.py on 127.0.0.1 with a kernel-chosen port for one
// test and stops it (by its pid) at the end. Gives the batch address and what
// the server received: raw request bodies and decoded events.

#include <string>
#include <vector>

namespace testing_support {

class CollectServer {
public:
    enum class Mode { Ok, Error, Hang };

    struct Event {
        int batch = 0;
        bool is_null = false;
        std::string code;
        std::string info;
    };

    CollectServer(const std::string& folder, Mode mode);
    ~CollectServer();
    CollectServer(const CollectServer&) = delete;
    CollectServer& operator=(const CollectServer&) = delete;

    bool Started() const { return m_port != 0; }
    int Port() const { return m_port; }
    std::string BatchUrl() const;

    std::vector<std::string> RequestBodies() const;
    std::vector<Event> Events() const;

private:
    std::string m_folder;
    int m_pid = -1;
    int m_port = 0;
};

}  // namespace testing_support

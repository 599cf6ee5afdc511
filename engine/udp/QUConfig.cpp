#include "engine/udp/QUConfig.h"

#include <algorithm>

namespace engine {

QUConfig MakeQUConfig(const std::string& host, int32_t server_port, int32_t keep_alive_s, int32_t timeout_s,
                      int32_t local_port, uint32_t local_address, const QUNodeId& node_id) {
    QUConfig config;
    const size_t length = std::min(host.size(), sizeof config.server_host - 1);
    std::copy_n(host.begin(), length, config.server_host);
    config.server_port = server_port;
    config.keep_alive_s = keep_alive_s;
    config.timeout_s = timeout_s;
    config.local_port = local_port;
    config.local_address = local_address;
    config.node_id = node_id;
    return config;
}

}  // namespace engine

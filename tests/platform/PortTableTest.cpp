#include <gtest/gtest.h>

#include "platform/PortTable.h"
#include "platform/Socket.h"

namespace {

TEST(PortTable, ReadsTheLocalPortOfEveryEntry) {
    const std::string tcp =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
        "   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 1 1\n"
        "   1: 0200A8C0:9C40 0300A8C0:01BB 01 00000000:00000000 00:00000000 00000000     0        0 2 1\n";
    const std::string tcp6 =
        "  sl  local_address                         remote_address                        st\n"
        "   0: 00000000000000000000000000000000:A410 00000000000000000000000000000000:0000 0A\n"
        "   1: garbage\n";
    std::set<uint16_t> ports;
    platform::AddListedLocalPorts(tcp, ports);
    platform::AddListedLocalPorts(tcp6, ports);
    // The remote end's port (443) is somebody else's.
    EXPECT_EQ(ports, (std::set<uint16_t>{8080, 40000, 42000}));
}

TEST(PortTable, ListsBoundTcpAndUdpPorts) {
    struct Case {
        const char* name;
        platform::SocketHandle (*create)();
        bool listen;
    };
    for (const Case& c : {Case{"tcp", platform::CreateTcpSocket, true}, Case{"udp", platform::CreateUdpSocket, false}}) {
        SCOPED_TRACE(c.name);
        platform::SocketHandle s = c.create();
        platform::SocketAddress local{platform::LoopbackIpv4(), 0};
        ASSERT_TRUE(platform::Bind(s, local) && platform::LocalAddressOf(s, &local));
        if (c.listen) {
            ASSERT_TRUE(platform::Listen(s, 1));
        }
        EXPECT_EQ(platform::ListedLocalPorts().count(local.port), 1u);
        platform::CloseSocket(s);
    }
}

}  // namespace

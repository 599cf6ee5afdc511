#include "engine/frame/LanServices.h"

#include "engine/frame/SharedServices.h"
#include "engine/udp/LanDiscovery.h"
#include "platform/Socket.h"

namespace engine {

namespace {

// Called under the WorkListMutex by the shared-services check, after the
// listener has opened: the membership goes on the listener's interface, so
// our datagrams leave with the address they announce.
bool JoinOnListenerInterface() {
    const uint32_t address = ListenerAddress();
    if (platform::IsLoopbackIpv4(address) && !CurrentLanEndpointSettings().allow_loopback) {
        // Nobody on the LAN can reach a loopback listener: nothing to join,
        // and nothing has failed.
        LeaveLanGroup();
        return true;
    }
    return JoinLanGroup(address);
}

}  // namespace

void InstallLanDiscovery() {
    EditSharedServiceSeams([](SharedServiceSeams& seams) {
        seams.join_lan_group = JoinOnListenerInterface;
        seams.leave_lan_group = [] {
            LeaveLanGroup();
            ClearLanPending();
        };
        seams.forget_task = [](const TBaseWork* task) { ForgetLanTask(task); };
    });
}

}  // namespace engine

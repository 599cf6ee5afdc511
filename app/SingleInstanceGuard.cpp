#include "app/SingleInstanceGuard.h"

#include <utility>

#include "platform/Paths.h"

namespace app {

bool SingleInstanceGuard::Start(const std::string& package_id) {
    m_outcome = m_instance.Claim(NameFor(package_id), platform::CurrentFolder(), ReplyTimeoutMs,
                                 [this](const std::string& folder) { return OnHandover(folder); });
    return m_outcome != platform::SingleInstance::Outcome::HandedOver &&
           m_outcome != platform::SingleInstance::Outcome::Held;
}

void SingleInstanceGuard::SetWindowActivator(WindowActivator activator) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_activator = std::move(activator);
}

bool SingleInstanceGuard::OnHandover(const std::string& folder) {
    WindowActivator activator;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        activator = m_activator;
    }
    return activator ? activator(folder) : true;
}

}  // namespace app

#include "tools/rendezvous/RendezvousService.h"

#include <algorithm>

namespace rendezvous {

namespace {

using engine::QUNodeId;

constexpr int64_t CallWindowS = 60;

bool UsableSource(uint32_t address, uint16_t port) { return address != 0 && address != 0xFFFFFFFFu && port != 0; }

}  // namespace

RendezvousService::RendezvousService(Limits limits) : m_limits(limits) {}

size_t RendezvousService::RegistrationsFrom(uint32_t address) const {
    auto it = m_per_source.find(address);
    return it == m_per_source.end() ? 0 : it->second;
}

std::vector<Datagram> RendezvousService::Handle(const uint8_t* data, size_t size, uint32_t from_address,
                                                uint16_t from_port, int64_t now_s) {
    if (!data || !UsableSource(from_address, from_port)) return {};
    Expire(now_s);
    const engine::QUPingReply seen{from_address, from_port};
    if (engine::IsPing(data, size)) return {Datagram{engine::BuildPingReply(seen), from_address, from_port}};
    const std::optional<engine::QURendezvousRequest> request = engine::ParseRendezvousRequest(data, size);
    if (!request) return {};
    if (request->head.type == engine::RequestTypeRegister) {
        if (engine::IsPlaceholderId(engine::IdentityNodeId(request->head.identity))) return {};
        Register(request->head, from_address, from_port, now_s);
        // The answer tells the node it is known (and where it is seen from).
        return {Datagram{engine::BuildPingReply(seen), from_address, from_port}};
    }
    return Lookup(*request, from_address, from_port, size, now_s);
}

void RendezvousService::Expire(int64_t now_s) {
    if (now_s == m_last_sweep_s) return;
    m_last_sweep_s = now_s;
    for (auto it = m_nodes.begin(); it != m_nodes.end();) {
        auto next = std::next(it);
        if (it->second.expires_s <= now_s) Forget(it);
        it = next;
    }
    std::erase_if(m_budgets, [&](const auto& b) { return now_s - b.second.window_start_s >= CallWindowS; });
}

void RendezvousService::Forget(std::map<QUNodeId, Node>::iterator it) {
    auto source = m_per_source.find(it->second.public_address);
    if (source != m_per_source.end() && --source->second == 0) m_per_source.erase(source);
    m_nodes.erase(it);
}

void RendezvousService::MakeRoomFor(uint32_t from_address) {
    if (RegistrationsFrom(from_address) < m_limits.per_source) return;
    auto oldest = m_nodes.end();
    for (auto it = m_nodes.begin(); it != m_nodes.end(); ++it) {
        if (it->second.public_address != from_address) continue;
        if (oldest == m_nodes.end() || it->second.expires_s < oldest->second.expires_s) oldest = it;
    }
    if (oldest != m_nodes.end()) Forget(oldest);
}

void RendezvousService::Register(const engine::QURequestHead& head, uint32_t from_address, uint16_t from_port,
                                 int64_t now_s) {
    const QUNodeId id = engine::IdentityNodeId(head.identity);
    auto existing = m_nodes.find(id);
    if (existing != m_nodes.end()) Forget(existing);
    MakeRoomFor(from_address);
    if (m_nodes.size() >= m_limits.total || m_limits.per_source == 0) return;
    m_nodes[id] = Node{head.identity, from_address, from_port, head.local_address, head.local_port,
                       now_s + m_limits.expiry_s};
    ++m_per_source[from_address];
}

const RendezvousService::Node* RendezvousService::FindPlaceholder(const QUNodeId& placeholder) const {
    const uint32_t address = engine::PlaceholderAddress(placeholder);
    const uint16_t port = engine::PlaceholderPort(placeholder);
    const Node* local_match = nullptr;
    for (const auto& [id, node] : m_nodes) {
        if (node.public_address == address && node.public_port == port) return &node;
        if (!local_match && node.local_address == address && node.local_port == port) local_match = &node;
    }
    return local_match;
}

bool RendezvousService::SpendCall(uint32_t from_address, int64_t now_s) {
    CallBudget& budget = m_budgets[from_address];
    if (budget.used == 0 || now_s - budget.window_start_s >= CallWindowS) budget = CallBudget{now_s, 0};
    if (budget.used >= m_limits.calls_per_minute) return false;
    ++budget.used;
    return true;
}

std::vector<Datagram> RendezvousService::Lookup(const engine::QURendezvousRequest& request, uint32_t from_address,
                                                uint16_t from_port, size_t size, int64_t now_s) {
    // The reply has the request's head, so it stays within the request's
    // size as long as it carries no more entries than were asked for. A
    // found placeholder takes two entries, so a node asking for one alone
    // (the usual case: one stream, one LOOKUP) could never learn it; a node
    // registered at the very source it asks from may therefore get both
    // halves of every pair, at most twice the entries it sent.
    const size_t asked = (size - engine::LookupHeadSize) / engine::LookupEntrySize;
    const auto asker = m_nodes.find(engine::IdentityNodeId(request.head.identity));
    const bool asker_here = asker != m_nodes.end() && asker->second.public_address == from_address &&
                            asker->second.public_port == from_port;
    const size_t room = asker_here ? 2 * asked : asked;
    std::vector<engine::QULookupReplyEntry> entries;
    std::vector<const Node*> found;
    for (const engine::QULookupEntry& wanted : request.entries) {
        if (engine::IsPlaceholderId(wanted.node_id)) {
            // Found: the placeholder, marked unregistered, then the node it
            // stands for. Not found: left out, since a lone marked
            // placeholder would pair with whatever entry follows it.
            const Node* node = FindPlaceholder(wanted.node_id);
            if (!node) continue;
            if (entries.size() + 2 > room) break;
            entries.push_back({wanted.address, engine::NotRegisteredPort, wanted.node_id});
            entries.push_back({node->public_address, node->public_port, engine::IdentityNodeId(node->identity)});
            found.push_back(node);
            continue;
        }
        if (entries.size() + 1 > room) break;
        auto it = m_nodes.find(wanted.node_id);
        if (it == m_nodes.end()) {
            entries.push_back({0, engine::NotRegisteredPort, wanted.node_id});
            continue;
        }
        entries.push_back({it->second.public_address, it->second.public_port, wanted.node_id});
        found.push_back(&it->second);
    }
    std::vector<Datagram> out{Datagram{engine::BuildLookupReply(request.head, entries), from_address, from_port}};
    if (!asker_here) return out;
    const engine::QUCallMe call{request.head.identity, from_address, from_port};
    for (const Node* node : found) {
        if (node->identity == request.head.identity || !SpendCall(from_address, now_s)) continue;
        out.push_back(Datagram{engine::BuildCallMe(call), node->public_address, node->public_port});
    }
    return out;
}

}  // namespace rendezvous

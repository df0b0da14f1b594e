#include "proxy/ProxyMwiSubscriptions.h"

#include <algorithm>
#include <cstring>

ProxyMwiSubscription* ProxyMwiSubscriptions::Find(const char* call_id, const char* remote_tag,
                                                  const char* local_tag) {
    if (!call_id || !remote_tag) return nullptr;
    for (ProxyMwiSubscription& s : m_items) {
        if (std::strcmp(s.call_id, call_id) != 0 || std::strcmp(s.remote_tag, remote_tag) != 0) continue;
        if (local_tag && *local_tag && std::strcmp(s.local_tag, local_tag) != 0) continue;
        return &s;
    }
    return nullptr;
}

ProxyMwiSubscription& ProxyMwiSubscriptions::Add() {
    if (m_items.size() >= kMaxPerUser) {
        const auto oldest = std::min_element(m_items.begin(), m_items.end(),
                                             [](const auto& a, const auto& b) { return a.start < b.start; });
        *oldest = ProxyMwiSubscription{};
        return *oldest;
    }
    return m_items.emplace_back();
}

void ProxyMwiSubscriptions::Remove(const ProxyMwiSubscription* subscription) {
    std::erase_if(m_items, [subscription](const ProxyMwiSubscription& s) { return &s == subscription; });
}

std::vector<ProxyMwiSubscription> ProxyMwiSubscriptions::TakeExpired(int64_t now) {
    std::vector<ProxyMwiSubscription> expired;
    for (const ProxyMwiSubscription& s : m_items)
        if (!s.IsLive(now)) expired.push_back(s);
    std::erase_if(m_items, [now](const ProxyMwiSubscription& s) { return !s.IsLive(now); });
    return expired;
}

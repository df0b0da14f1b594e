#include "proxy/ProxySourceGuard.h"

bool ProxySourceGuard::CountChallenge(const std::string& address, int64_t now) {
    if (address.empty() || IsShutOut(address)) return false;
    auto found = m_counts.find(address);
    if (found == m_counts.end()) {
        if (m_counts.size() >= kMaxSources)
            for (auto it = m_counts.begin(); it != m_counts.end();)
                it = it->second.second != now ? m_counts.erase(it) : std::next(it);
        if (m_counts.size() >= kMaxSources) return false;
        found = m_counts.emplace(address, Second{now, 0}).first;
    }
    Second& count = found->second;
    if (count.second != now) count = Second{now, 0};
    if (++count.challenges <= kChallengesPerSecond) return false;
    m_counts.erase(found);
    m_shut_out[address] = now + kShutOutSeconds;
    return true;
}

std::vector<std::string> ProxySourceGuard::TakeReleased(int64_t now) {
    std::vector<std::string> released;
    for (auto it = m_shut_out.begin(); it != m_shut_out.end();) {
        if (now < it->second) {
            ++it;
            continue;
        }
        released.push_back(it->first);
        it = m_shut_out.erase(it);
    }
    return released;
}

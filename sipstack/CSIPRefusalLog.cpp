#include "sipstack/CSIPRefusalLog.h"

#include "host/CKZLogInterface.h"
#include "host/KZNetAddr.h"

#include <string>
#include <vector>

using KZAPI::CKZLogInterface;

bool CSIPRefusalLog::Count(uint32_t source, int64_t now, uint64_t* untold) {
    std::lock_guard lock(m_mutex);
    auto found = m_sources.find(source);
    if (found == m_sources.end()) {
        if (m_sources.size() >= kMaxSources) {
            ++m_others;
            return false;
        }
        found = m_sources.emplace(source, Source{now, 0}).first;
        *untold = 0;
        return true;
    }
    Source& s = found->second;
    if (now == s.logged) {
        ++s.untold;
        return false;
    }
    *untold = s.untold;
    s = Source{now, 0};
    return true;
}

void CSIPRefusalLog::Flush(int64_t now, const std::function<void(uint32_t, uint64_t)>& report) {
    std::vector<std::pair<uint32_t, uint64_t>> due;
    {
        std::lock_guard lock(m_mutex);
        for (auto it = m_sources.begin(); it != m_sources.end();) {
            Source& s = it->second;
            if (s.untold && now != s.logged) {
                due.emplace_back(it->first, s.untold);
                s.untold = 0;
            }
            if (!s.untold && now - s.logged >= kForgetSeconds)
                it = m_sources.erase(it);
            else
                ++it;
        }
        if (m_others) due.emplace_back(0, m_others);
        m_others = 0;
    }
    // Reported outside the lock: the transports go on refusing meanwhile.
    for (const auto& [source, untold] : due)
        report(source, untold);
}

void CSIPRefusalLog::LogUntold(uint32_t source, uint64_t untold) {
    const auto count = static_cast<unsigned long long>(untold);
    if (source == 0) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR,
                             "UDP connections from further sources are not allowed! Gave up %llu packets",
                             count);
        return;
    }
    const std::string from = KZAPI::KZ_InetNtoa(source);
    CKZLogInterface::Log(CKZLogInterface::LOG_ERROR,
                         "UDP connection %s is not allowed! Gave up %llu more packets since its last line",
                         from.c_str(), count);
}

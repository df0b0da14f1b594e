#include "proxy/CKZSIPProxySessionManager.h"

#include <algorithm>

CKZSIPProxySession* CKZSIPProxySessionManager::Add(std::unique_ptr<CKZSIPProxySession> session) {
    if (!session) return nullptr;
    m_sessions.push_back(std::move(session));
    return m_sessions.back().get();
}

CKZSIPProxySession* CKZSIPProxySessionManager::Get(size_t index) const {
    return index < m_sessions.size() ? m_sessions[index].get() : nullptr;
}

CKZSIPProxySession* CKZSIPProxySessionManager::FindByConnection(uint32_t connection) const {
    if (connection == 0) return nullptr;
    for (const auto& session : m_sessions)
        if (session->in_connection == connection || session->out_connection == connection)
            return session.get();
    for (const auto& session : m_sessions)
        for (const uint32_t released : session->released)
            if (released == connection) return session.get();
    return nullptr;
}

bool CKZSIPProxySessionManager::Contains(const CKZSIPProxySession* session) const {
    return std::any_of(m_sessions.begin(), m_sessions.end(),
                       [session](const auto& kept) { return kept.get() == session; });
}

bool CKZSIPProxySessionManager::Remove(CKZSIPProxySession* session) {
    const auto it = std::find_if(m_sessions.begin(), m_sessions.end(),
                                 [session](const auto& kept) { return kept.get() == session; });
    if (it == m_sessions.end()) return false;
    m_sessions.erase(it);
    return true;
}

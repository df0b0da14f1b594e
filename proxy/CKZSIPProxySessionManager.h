// CKZSIPProxySessionManager: the proxied call sessions of one site. It owns them; a session is
// found by the connection id of either of its legs.
#pragma once

#include "proxy/CKZSIPProxySession.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class CKZSIPProxySiteI;

class CKZSIPProxySessionManager {
public:
    explicit CKZSIPProxySessionManager(CKZSIPProxySiteI* site) : m_site(site) {}
    CKZSIPProxySessionManager(const CKZSIPProxySessionManager&) = delete;
    CKZSIPProxySessionManager& operator=(const CKZSIPProxySessionManager&) = delete;

    CKZSIPProxySiteI* Site() const { return m_site; }
    // A new session of this manager, not yet kept by it.
    std::unique_ptr<CKZSIPProxySession> Create(int64_t now) {
        return std::make_unique<CKZSIPProxySession>(this, now);
    }
    CKZSIPProxySession* Add(std::unique_ptr<CKZSIPProxySession> session);
    size_t Count() const { return m_sessions.size(); }
    CKZSIPProxySession* Get(size_t index) const;
    CKZSIPProxySession* FindByConnection(uint32_t connection) const;
    bool Contains(const CKZSIPProxySession* session) const;
    // Removes the session and deletes it; false when it is not one of these.
    bool Remove(CKZSIPProxySession* session);

private:
    CKZSIPProxySiteI* m_site;
    std::vector<std::unique_ptr<CKZSIPProxySession>> m_sessions;
};

#include "proxy/CKZSIPProxySession.h"

#include "proxy/CKZSIPProxySessionManager.h"
#include "proxy/ProxyMediaRelay.h"
#include "proxy/ProxySessionMessages.h"

CKZSIPProxySession::CKZSIPProxySession(CKZSIPProxySessionManager* manager, int64_t now)
    : start_time(now), m_manager(manager), m_state_time(now) {}

CKZSIPProxySession::~CKZSIPProxySession() = default;

void CKZSIPProxySession::SetState(ProxySessionState state, int64_t now) {
    m_state = state;
    m_state_time = now;
}

void CKZSIPProxySession::SignalDestination(const char* text) {
    std::lock_guard lock(m_destination_mutex);
    m_destination = text ? text : "";
    m_signalled.store(true);
}

std::optional<std::string> CKZSIPProxySession::TakeDestination() {
    if (!m_signalled.load()) return std::nullopt;
    std::lock_guard lock(m_destination_mutex);
    m_signalled.store(false);
    return m_destination;
}

void CKZSIPProxySession::NoteMedia(bool from_caller, sip_msg* message) {
    if (!message || !ProxyMediaEndpointOf(message)) return;
    (from_caller ? caller_media : callee_media) = proxy_msg::Copy(message);
}

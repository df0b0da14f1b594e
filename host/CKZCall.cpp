#include "host/CKZCall.h"

#include "host/KZStrFunc.h"

namespace KZAPI {

void CKZCall::SetCallID(const char* id) {
    str_cpy(m_call_id, id, sizeof(m_call_id));
}

void CKZCall::SetFromTag(const char* tag) {
    str_cpy(m_from_tag, tag, sizeof(m_from_tag));
}

void CKZCall::SetToTag(const char* tag) {
    str_cpy(m_to_tag, tag, sizeof(m_to_tag));
}

void CKZCall::SetCallerNum(const char* caller) {
    str_cpy(m_caller, caller, sizeof(m_caller));
}

void CKZCall::SetCalleeNum(const char* callee) {
    str_cpy(m_callee, callee, sizeof(m_callee));
}

void CKZCall::SetFromIP(const char* address, uint16_t port) {
    str_cpy(m_from_ip, address, sizeof(m_from_ip));
    m_from_port = port;
}

void CKZCall::SetToIP(const char* address, uint16_t port) {
    str_cpy(m_to_ip, address, sizeof(m_to_ip));
    m_to_port = m_to_ip[0] ? port : 0;
}

void CKZCall::SetDisconnectCause(int code, const char* text) {
    m_cause_code = code;
    str_cpy(m_cause_text, text, sizeof(m_cause_text));
}

void CKZCall::AppendDisconnectCauseText(const char* text) {
    str_cat(m_cause_text, text, sizeof(m_cause_text));
}

void CKZCall::ResetCall() {
    m_call_id[0] = m_from_tag[0] = m_to_tag[0] = '\0';
    m_caller[0] = m_callee[0] = '\0';
    m_from_ip[0] = '\0';
    m_from_port = 0;
    m_direction = CALL_INBOUND;
    m_proxy_related_channel = kNoProxyChannel;
}

} // namespace KZAPI

#include "host/CKZAPIEnv.h"

#include "host/CKZLogInterface.h"
#include "host/CKZMediaEventSink.h"

#include <atomic>

namespace KZAPI {

namespace {
CKZAPIEnv g_default_env;
std::atomic<CKZAPIEnv*> g_env{nullptr};
} // namespace

void CKZAPIEnv::FireOn_SIPMsg(int direction, const char* from_host, uint16_t from_port, const char* to_host,
                              uint16_t to_port, const char* text, int length, int protocol,
                              void* connection) {
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "FireOn_SIPMsg %s %s:%u -> %s:%u prot[%d] %d bytes",
                         direction ? "sent" : "received", from_host ? from_host : "", from_port,
                         to_host ? to_host : "", to_port, protocol, length);
}

void CKZAPIEnv::Send_RegStatus(int account, int registered, int seconds) {
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Send_RegStatus account:%d registered:%d seconds:%d",
                         account, registered, seconds);
}

void CKZAPIEnv::FireOn_RecvNoAudio(int channel, int /*reserved*/) {
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "FireOn_RecvNoAudio channel:%d", channel);
}

void CKZAPIEnv::FireOn_VoiceActivityDetected(int channel, int direction, int verdict, int /*reserved1*/,
                                             int /*reserved2*/) {
    if (CKZMediaEventSink* sink = CKZMediaEventSink::GetMediaEventSink())
        sink->OnVoiceActivity(channel, direction, verdict);
}

void CKZAPIEnv::Send_RegFailure(int account, int code, const char* reason) {
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Send_RegFailure account:%d code:%d reason:%s", account,
                         code, reason ? reason : "");
}

void CKZAPIEnv::Send_SubscribeStatus(int account, int subscribed, int seconds) {
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                         "Send_SubscribeStatus account:%d subscribed:%d seconds:%d", account, subscribed,
                         seconds);
}

void CKZAPIEnv::Send_MessageTextDelivered(int id, int code, const char* reason) {
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Send_MessageTextDelivered id:%d code:%d reason:%s", id,
                         code, reason ? reason : "");
}

void CKZAPIEnv::Send_NotifySimpleMessageSummary(const char* waiting, const char* account, const char* voice) {
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Send_NotifySimpleMessageSummary %s %s %s",
                         waiting ? waiting : "", account ? account : "", voice ? voice : "");
}

void CKZAPIEnv::FireOn_Notify(int account, const char*, const char* event, const char* state, const char*,
                              const char*) {
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "FireOn_Notify account:%d event:%s state:%s", account,
                         event ? event : "", state ? state : "");
}

void CKZAPIEnv::FireOn_Message(int channel, const char* from, const char*, const char*, const char*) {
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "FireOn_Message channel:%d from:%s", channel,
                         from ? from : "");
}

void CKZAPIEnv::FireOn_ProxyUserRegistered(int site, const char* user, int seconds, const char*, const char*,
                                           uint16_t, int) {
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "FireOn_ProxyUserRegistered site:%d user:%s seconds:%d",
                         site, user ? user : "", seconds);
}

void CKZAPIEnv::FireOn_ProxyUserSubscribed(int site, const char* from, const char* to, const char*,
                                           const char*, const char*, const char*, uint16_t) {
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "FireOn_ProxyUserSubscribed site:%d from:%s to:%s", site,
                         from ? from : "", to ? to : "");
}

std::optional<std::string> CKZAPIEnv::On_ProxyNewCallSession(const ProxySessionReport&, const char*, uint16_t,
                                                             const char*, bool) {
    return std::nullopt;
}

void CKZAPIEnv::FireOn_ProxyCallSessionStatus(const ProxySessionReport& session) {
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                         "FireOn_ProxyCallSessionStatus site:%d connection:%u state:%d", session.site,
                         session.connection, session.state);
}

void CKZAPIEnv::FireOn_ProxyCallSessionEnd(const ProxySessionReport& session, int code, const char* reason) {
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "FireOn_ProxyCallSessionEnd site:%d connection:%u %d %s",
                         session.site, session.connection, code, reason ? reason : "");
}

CKZAPIEnv* CKZAPIEnv::GetKZAPIEnv() {
    CKZAPIEnv* env = g_env.load();
    return env ? env : &g_default_env;
}

void CKZAPIEnv::SetKZAPIEnv(CKZAPIEnv* env) {
    g_env.store(env);
}

} // namespace KZAPI

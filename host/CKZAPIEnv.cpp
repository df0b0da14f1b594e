#include "host/CKZAPIEnv.h"

#include "host/CKZLogInterface.h"

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

void CKZAPIEnv::Send_RegFailure(int account, int code, const char* reason) {
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Send_RegFailure account:%d code:%d reason:%s", account,
                         code, reason ? reason : "");
}

CKZAPIEnv* CKZAPIEnv::GetKZAPIEnv() {
    CKZAPIEnv* env = g_env.load();
    return env ? env : &g_default_env;
}

void CKZAPIEnv::SetKZAPIEnv(CKZAPIEnv* env) {
    g_env.store(env);
}

} // namespace KZAPI

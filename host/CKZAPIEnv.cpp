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
    CKZLogInterface::Log(4, "FireOn_SIPMsg %s %s:%u -> %s:%u prot[%d] %d bytes",
                         direction ? "sent" : "received", from_host ? from_host : "", from_port,
                         to_host ? to_host : "", to_port, protocol, length);
}

CKZAPIEnv* CKZAPIEnv::GetKZAPIEnv() {
    CKZAPIEnv* env = g_env.load();
    return env ? env : &g_default_env;
}

void CKZAPIEnv::SetKZAPIEnv(CKZAPIEnv* env) {
    g_env.store(env);
}

} // namespace KZAPI

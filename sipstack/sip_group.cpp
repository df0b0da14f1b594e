// Stack instance: construction, settings, connection ids and the message hook.
#include "sipstack/sip_group.h"

#include "host/CKZAPIEnv.h"
#include "host/CKZCfgInterface.h"
#include "host/CKZLogInterface.h"
#include "host/KZNetAddr.h"
#include "host/KZStrFunc.h"
#include "sipstack/CSIPProcessThread.h"
#include "sipstack/CSIPTransports.h"

#include <cstring>

using KZAPI::CKZCfgInterface;

namespace {
constexpr size_t kHookMin = 5;
constexpr size_t kHookMax = 2047;
} // namespace

sip_group::sip_group() : m_clock(&KZAPI::CKZClock::System()) {
    m_config.sip_port = 5060;
    m_config.transport_mask = KZ_SIP_TRANSPORT_UDP;
}

sip_group::~sip_group() {
    StopTransports();
    KZAPI::CMutexLock lock(m_dialog_mutex);
    m_dialogs.Clear();
}

void sip_group::LoadSettings() {
    m_settings.Load();
}

uint32_t sip_group::NewConnectionId() {
    KZAPI::CMutexLock lock(m_dialog_mutex);
    uint32_t id = ++m_connection_counter;
    if (id == 0) id = ++m_connection_counter; // 0 never names a dialog
    return id;
}

size_t sip_group::DialogCount() {
    KZAPI::CMutexLock lock(m_dialog_mutex);
    return m_dialogs.Size();
}

void sip_group::PushReceived(sip_cmd&& cmd) {
    m_received.PushLocked(std::move(cmd));
}

void sip_group::ReportUndeliverable(sip_cmd&& cmd) {
    std::string to = KZAPI::KZ_InetNtoa(cmd.to_ip);
    KZAPI::CKZLogInterface::Log(KZAPI::CKZLogInterface::LOG_WARNING, "Undeliverable %d bytes to %s:%d",
                                static_cast<int>(cmd.length), to.c_str(), cmd.to_port);
}

void sip_group::ReportToHook(int direction, const sip_msg* msg, const char* text, size_t len) {
    if (!m_settings.msg_hook || len < kHookMin || len > kHookMax) return;
    std::string to = KZAPI::KZ_InetNtoa(msg->get_to_ip());
    KZAPI::CKZAPIEnv::GetKZAPIEnv()->FireOn_SIPMsg(direction, "", 0, to.c_str(), msg->get_to_port(), text,
                                                   static_cast<int>(len), msg->get_prot(),
                                                   msg->get_tcp_socket());
}

void sip_group::ReportReceivedToHook(const sip_cmd& cmd) {
    size_t len = static_cast<size_t>(cmd.remaining());
    if (!m_settings.msg_hook || len < kHookMin || len > kHookMax) return;
    std::string from = KZAPI::KZ_InetNtoa(cmd.from_ip);
    std::string to = KZAPI::KZ_InetNtoa(cmd.to_ip);
    KZAPI::CKZAPIEnv::GetKZAPIEnv()->FireOn_SIPMsg(0, from.c_str(), cmd.from_port, to.c_str(), cmd.to_port,
                                                   cmd.text(), static_cast<int>(len), cmd.protocol,
                                                   cmd.connection);
}

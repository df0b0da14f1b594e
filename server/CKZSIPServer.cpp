#include "server/CKZSIPServer.h"

#include "host/CKZDxDSP.h"
#include "media/CKZDXSoundApp.h"

#include "host/CBaseDNSClient.h"
#include "host/CBaseSocket.h"
#include "host/CKZChannel.h"
#include "host/CKZClassEnv.h"
#include "host/CKZClock.h"
#include "host/KZStrFunc.h"
#include "host/KZUDPRelay.h"
#include "server/CKZSIPEventHandler.h"
#include "server/CKZSIPGroup.h"
#include "server/kz_sip_factory.h"
#include "sipmsg/kz_sip_result.h"
#include "sipstack/KZ_SIPProtocolConfig.h"

#include <cstring>
#include <string>

using KZAPI::CKZLogInterface;

namespace {
constexpr unsigned kLoopSleepMs = 2;
} // namespace

CKZSIPServer::CKZSIPServer() {
    for (int i = 0; i <= kMaxCodecs; ++i) {
        m_codecs[i] = -1;
        m_video_codecs[i] = -1;
    }
    int start = CFG_GetIntValue("kzsrv.sip.rtpstartrange", 28400);
    if (start % 2 != 0) ++start;
    int end = CFG_GetIntValue("kzsrv.sip.rtpendrange", 30000);
    if (end <= start) end = start + 100;
    m_rtp_range.start = start;
    m_rtp_range.end = end;
}

CKZSIPServer::~CKZSIPServer() {
    // The loop uses the group and the handler: stop it before either goes away.
    StopThread();
    if (m_started.load()) Stop();
    if (m_pSIPGroup) Destroy();
}

unsigned CKZSIPServer::Create() {
    m_enable_dns_srv = CFG_GetIntValue("kzsrv.sip.enable.dns.srv", 0);
    if (m_enable_dns_srv) KZAPI::CBaseDNSClient::InitDNSSrv();
    m_rtp_port_space = CFG_GetIntValue("kzsrv.sip.rtp.port.space", 4);
    m_min_inband_dtmf_dur = CFG_GetIntValue("kzsrv.sip.min.inband.audio.dtmf.dur", 120);
    InitUserRegInfo();
    const unsigned result = KZAPI::CKZServer::Create();
    m_pSIPGroup = std::make_unique<CKZSIPGroup>();
    ReadStunServers();
    ReadSettings();
    if (IsSIPServerModel()) InitProxySitesInfo();
    m_extension.Load();
    return result;
}

unsigned CKZSIPServer::Destroy() {
    m_extension.Unload();
    if (m_enable_dns_srv) KZAPI::CBaseDNSClient::FreeDNSSrv();
    m_enable_dns_srv = 0;
    m_pSIPGroup.reset();
    FreeProxySitesInfo(); // sites exist only in server modes; freeing none is harmless
    FreeUserRegInfo();
    FreeDXSound();
    return KZAPI::CKZServer::Destroy();
}

unsigned CKZSIPServer::Start() {
    {
        KZAPI::CMutexLock lock(GetServerMutex());
        if (OpenSIP() != kHostSuccess) return kHostFailure;
    }
    KZAPI::KZ_StartUDPRelayServer();
    StartUDPSwitchGroups();
    const unsigned result = KZAPI::CKZServer::Start();
    m_started.store(1);
    return result;
}

unsigned CKZSIPServer::Stop() {
    StopUDPSwitchGroups();
    if (UnregisterUsers() > 0) KZAPI::CBaseThread::Sleep(2500);
    m_started.store(0);
    KZAPI::CKZServer::Stop();
    {
        KZAPI::CMutexLock lock(GetServerMutex());
        CloseSIP();
    }
    KZAPI::KZ_StopUDPRelayServer();
    return kHostSuccess;
}

unsigned CKZSIPServer::OpenSIP() {
    if (!m_pSIPGroup) return kHostFailure;
    CKZSIPGroup& group = *m_pSIPGroup;
    if (OpenStackWithQueue(group) != ServerStatus::Ok) return kHostFailure;
    if (ConfigureStack(group) != ServerStatus::Ok || StartStack(group) != ServerStatus::Ok) {
        group.DestroyEventQueue();
        group.Close();
        return kHostFailure;
    }
    return kHostSuccess;
}

CKZSIPServer::ServerStatus CKZSIPServer::OpenStackWithQueue(CKZSIPGroup& group) {
    const uint32_t opened = group.Open();
    if (opened != KZ_SIP_RESULT_OK) {
        Log(LOG_ERROR, "Error: KZ_SIP_Open failed (error code:%d)", static_cast<int>(opened));
        return ServerStatus::Failed;
    }
    const int queue = group.CreateEventQueue();
    switch (queue) {
    case CKZSIPGroup::QUEUE_OK:
        return ServerStatus::Ok;
    case CKZSIPGroup::QUEUE_NO_STACK:
        Log(LOG_ERROR, "CKZSIPGroup::CreateEventQueue error!");
        break;
    case CKZSIPGroup::QUEUE_NOT_CREATED:
        Log(LOG_ERROR, "KZ_QUEUE_Create failed (error code:%d)", queue);
        break;
    default: // created but not attached
        Log(LOG_ERROR, "KZ_QUEUE_Attach failed (error code:%d)", queue);
        group.DestroyEventQueue();
        break;
    }
    group.Close();
    return ServerStatus::Failed;
}

// Address, port and transports from the settings; the port must be free (UDP when UDP is among
// the transports, else TCP).
CKZSIPServer::ServerStatus CKZSIPServer::ConfigureStack(CKZSIPGroup& group) {
    KZ_SIPProtocolConfig config{};
    group.GetConfig(&config);
    const KZAPI::CString address = CFG_GetValue("kzsrv.sip.ip.address", "");
    const std::string trimmed(KZAPI::trim_spaces(address.c_str()));
    KZAPI::str_cpy(config.local_address, trimmed.c_str(), sizeof(config.local_address));
    config.sip_port = CFG_GetIntValue("kzsrv.sip.ip.port", 5060);
    config.transport_mask = CFG_GetIntValue("kzsrv.sip.protocol", 1);
    Log(LOG_TRACE, "SIP Server IP Address:%s", config.local_address);
    Log(LOG_TRACE, "SIP Server IP Port:%d", config.sip_port);
    Log(LOG_TRACE, "SIP Server Protocol Type:%d", config.transport_mask);

    const auto port = static_cast<unsigned short>(config.sip_port);
    if (config.transport_mask & KZ_SIP_TRANSPORT_UDP) {
        if (!KZAPI::CBaseSocket::IsUDPPortFree(port, config.local_address)) {
            Log(LOG_ERROR, "Error: SIP UDP Port(%d) is used by other applications already.", config.sip_port);
            return ServerStatus::Failed;
        }
    } else if (!KZAPI::CBaseSocket::IsTCPPortFree(port, config.local_address)) {
        Log(LOG_ERROR, "Error: SIP TCP Port(%d) is used by other applications already.", config.sip_port);
        return ServerStatus::Failed;
    }
    return group.SetConfig(&config) == KZ_SIP_RESULT_OK ? ServerStatus::Ok : ServerStatus::Failed;
}

// Settles the public address and starts the transports; a transport that cannot open fails it.
CKZSIPServer::ServerStatus CKZSIPServer::StartStack(CKZSIPGroup& group) {
    for (int i = 0; i < GetLocalIPCount(); ++i)
        Log(LOG_TRACE, "Detected Local IP address: %s", GetLocalIP(i));
    const uint32_t started = group.Start();
    if (started == KZ_SIP_RESULT_OK) return ServerStatus::Ok;
    Log(LOG_ERROR, "Error: m_pSIPGroup->Start failed (%d)", static_cast<int>(started));
    return ServerStatus::Failed;
}

unsigned CKZSIPServer::CloseSIP() {
    if (!m_pSIPGroup) return kHostFailure;
    if (!m_pSIPGroup->GetSIPHandle()) return kHostSuccess; // never opened, or already closed
    CKZSIPGroup& group = *m_pSIPGroup;
    const uint32_t stopped = group.Stop();
    if (stopped != KZ_SIP_RESULT_OK)
        Log(LOG_ERROR, "Error: m_pSIPGroup->Stop failed (%d)", static_cast<int>(stopped));
    const int queue = group.DestroyEventQueue();
    if (queue == CKZSIPGroup::QUEUE_NO_STACK)
        Log(LOG_ERROR, "Error: m_pSIPGroup->DestroyEventQueue failed (%d)", queue);
    else if (queue == CKZSIPGroup::QUEUE_NOT_DETACHED)
        Log(LOG_ERROR, "Error: KZ_SIP_Detach failed (%d)", queue);
    else if (queue == CKZSIPGroup::QUEUE_NOT_DESTROYED)
        Log(LOG_ERROR, "Error: KZ_QUEUE_Destroy failed (%d)", queue);
    const uint32_t closed = group.Close();
    if (closed != KZ_SIP_RESULT_OK)
        Log(LOG_ERROR, "Error: KZ_SIP_Close failed (%d)", static_cast<int>(closed));
    return kHostSuccess;
}

bool CKZSIPServer::OnCreate() {
    if (!KZAPI::CBaseThread::OnCreate()) return false;
    auto* handler =
        static_cast<KZAPI::CKZEventHandler*>(KZAPI::AfxGetClassEnv()->Allocate(KZ_CLASS_SIP_EVENT_HANDLER));
    m_event_handler = dynamic_cast<CKZSIPEventHandler*>(handler);
    return true;
}

void CKZSIPServer::OnQuit() {
    if (m_event_handler)
        KZAPI::AfxGetClassEnv()->Free(KZ_CLASS_SIP_EVENT_HANDLER,
                                      static_cast<KZAPI::CKZEventHandler*>(m_event_handler));
    m_event_handler = nullptr;
    KZAPI::CBaseThread::OnQuit();
}

void CKZSIPServer::DoUnblockedLoop() {
    KZAPI::CKZServer::DoUnblockedLoop();
    bool work_left = false;
    {
        KZAPI::CMutexLock lock(GetServerMutex());
        if (m_started.load() && m_pSIPGroup && m_pSIPGroup->GetSIPHandle() && m_event_handler) {
            m_event_handler->ProcessSIPEvent(m_pSIPGroup.get());
            work_left = m_event_handler->WorkLeft();
        }
        const int64_t now = m_clock->NowSeconds();
        if (now != m_last_check_second) {
            m_last_check_second = now;
            RunPeriodicChecks(now);
        }
        if (m_started.load()) ContinueGivenProxyDestinations();
    }
    // Sleep only with the stack's queue empty: a backlog is worked off pass after pass.
    if (!work_left) KZAPI::CBaseThread::Sleep(kLoopSleepMs);
}

void CKZSIPServer::RunPeriodicChecks(int64_t now) {
    CheckUsersRegStatus(now);
    CheckUsersSubscribeStatus(now);
    CheckProxySessionStatus(now);
    CheckProxyUserStatus(now);
}

KZAPI::CKZChannel* CKZSIPServer::GetChannelBySIPConnID(uint32_t connection) const {
    return GetChannelByCRV(KZAPI::CKZCallControl::KIND_SIP, connection);
}

KZAPI::CKZChannel* CKZSIPServer::GetChannelBySIPCallID(const char* call_id) const {
    if (!call_id) return nullptr;
    const int count = GetNumOfChannels();
    for (int i = 0; i < count; ++i) {
        KZAPI::CKZChannel* ch = GetChannel(i);
        const KZAPI::CKZCallControl* cc = ch ? ch->GetCallControl() : nullptr;
        if (!cc) continue;
        const char* own = cc->GetSIPCallID();
        if (own && *own && std::strncmp(call_id, own, std::strlen(own)) == 0) return ch;
    }
    return nullptr;
}

int CKZSIPServer::GetNumOfSIPBoards() {
    return CFG_GetIntValue("kzsrv.sip.boardnum.per.server", 1);
}

uint32_t CKZSIPServer::GetDetectedNATType() {
    return m_pSIPGroup ? m_pSIPGroup->GetNATType() : KZ_SIP_RESULT_FAILURE;
}

const char* CKZSIPServer::GetMappedPublicSIPIPAddress() {
    return m_pSIPGroup ? m_pSIPGroup->GetRealPublicSIPIP() : "";
}

unsigned short CKZSIPServer::GetMappedPublicSIPIPPort() {
    return m_pSIPGroup ? m_pSIPGroup->GetRealPublicSIPPort() : 0;
}

int CKZSIPServer::SetIPFilter(const char* text, int kind, int mode) {
    return m_pSIPGroup ? m_pSIPGroup->SetIPFilter(text, kind, mode) : 0;
}

int CKZSIPServer::GetIPFilterCount(int kind) {
    return m_pSIPGroup ? m_pSIPGroup->GetIPFilterCount(kind) : 0;
}

const char* CKZSIPServer::GetIPFilterItem(int kind, int index) {
    m_ip_filter_item = m_pSIPGroup ? m_pSIPGroup->GetIPFilterItem(kind, index) : std::string();
    return m_ip_filter_item.c_str();
}

void CKZSIPServer::AdjustSIPandRTPIPAddress(CKZSIPGroup* group, const char* address, unsigned short port) {
    if (!group || !address) return;
    group->SetRealPublicSIPIP(address);
    group->SetRealPublicSIPPort(port);
    if (IsLocalIP(address)) {
        group->SetUseNATAddr(1);
        group->SetNATType(0);
        // Call controls take the address as their public RTP address when they arrive.
    } else {
        group->SetNATType(1);
        group->SetUseNATAddr(0);
    }
}

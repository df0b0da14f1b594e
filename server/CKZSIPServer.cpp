#include "server/CKZSIPServer.h"

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
#include "sipstack/KZ_SIPProtocolConfig.h"

#include <cstring>
#include <string>

using KZAPI::CKZLogInterface;

namespace {
constexpr unsigned kLogError = CKZLogInterface::LOG_ERROR;
constexpr unsigned kLogTrace = CKZLogInterface::LOG_TRACE;
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
    return KZAPI::CKZServer::Destroy();
}

unsigned CKZSIPServer::Start() {
    {
        KZAPI::CMutexLock lock(GetServerMutex());
        if (!OpenSIP()) return 0;
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
    return 1;
}

unsigned CKZSIPServer::OpenSIP() {
    if (!m_pSIPGroup) return 0;
    CKZSIPGroup& group = *m_pSIPGroup;
    const uint32_t opened = group.Open();
    if (opened != 0) {
        Log(kLogError, "Error: KZ_SIP_Open failed (error code:%d)", static_cast<int>(opened));
        return 0;
    }
    const int queue = group.CreateEventQueue();
    if (queue == -1 || queue == -2) {
        if (queue == -1)
            Log(kLogError, "CKZSIPGroup::CreateEventQueue error!");
        else
            Log(kLogError, "KZ_QUEUE_Create failed (error code:%d)", queue);
        group.Close();
        return 0;
    }
    if (queue == -3) {
        Log(kLogError, "KZ_QUEUE_Attach failed (error code:%d)", queue);
        group.DestroyEventQueue();
        group.Close();
        return 0;
    }

    KZ_SIPProtocolConfig config{};
    group.GetConfig(&config);
    const KZAPI::CString address = CFG_GetValue("kzsrv.sip.ip.address", "");
    const std::string trimmed(KZAPI::trim_spaces(address.c_str()));
    KZAPI::str_cpy(config.local_address, trimmed.c_str(), sizeof(config.local_address));
    config.sip_port = CFG_GetIntValue("kzsrv.sip.ip.port", 5060);
    config.transport_mask = CFG_GetIntValue("kzsrv.sip.protocol", 1);
    Log(kLogTrace, "SIP Server IP Address:%s", config.local_address);
    Log(kLogTrace, "SIP Server IP Port:%d", config.sip_port);
    Log(kLogTrace, "SIP Server Protocol Type:%d", config.transport_mask);

    const auto port = static_cast<unsigned short>(config.sip_port);
    if (config.transport_mask & KZ_SIP_TRANSPORT_UDP) {
        if (!KZAPI::CBaseSocket::IsUDPPortFree(port, config.local_address)) {
            Log(kLogError, "Error: SIP UDP Port(%d) is used by other applications already.", config.sip_port);
            group.DestroyEventQueue();
            group.Close();
            return 0;
        }
    } else if (!KZAPI::CBaseSocket::IsTCPPortFree(port, config.local_address)) {
        Log(kLogError, "Error: SIP TCP Port(%d) is used by other applications already.", config.sip_port);
        group.DestroyEventQueue();
        group.Close();
        return 0;
    }
    if (group.SetConfig(&config) != 0) {
        group.DestroyEventQueue();
        group.Close();
        return 0;
    }
    for (int i = 0; i < GetLocalIPCount(); ++i)
        Log(kLogTrace, "Detected Local IP address: %s", GetLocalIP(i));

    const uint32_t started = group.Start();
    if (started == 0) return 1;
    Log(kLogError, "Error: m_pSIPGroup->Start failed (%d)", static_cast<int>(started));
    group.DestroyEventQueue();
    group.Close();
    return 0;
}

unsigned CKZSIPServer::CloseSIP() {
    if (!m_pSIPGroup) return 0;
    if (!m_pSIPGroup->GetSIPHandle()) return 1; // never opened, or already closed
    CKZSIPGroup& group = *m_pSIPGroup;
    const uint32_t stopped = group.Stop();
    if (stopped != 0) Log(kLogError, "Error: m_pSIPGroup->Stop failed (%d)", static_cast<int>(stopped));
    const int queue = group.DestroyEventQueue();
    if (queue == -1)
        Log(kLogError, "Error: m_pSIPGroup->DestroyEventQueue failed (%d)", queue);
    else if (queue == -2)
        Log(kLogError, "Error: KZ_SIP_Detach failed (%d)", queue);
    else if (queue == -3)
        Log(kLogError, "Error: KZ_QUEUE_Destroy failed (%d)", queue);
    const uint32_t closed = group.Close();
    if (closed != 0) Log(kLogError, "Error: KZ_SIP_Close failed (%d)", static_cast<int>(closed));
    return 1;
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
    }
    // Sleep only with the stack's queue empty: a backlog is worked off pass after pass.
    if (!work_left) KZAPI::CBaseThread::Sleep(kLoopSleepMs);
}

void CKZSIPServer::RunPeriodicChecks(int64_t /*now*/) {
    // Registration, subscription and proxy timers run here once a second; they arrive with the
    // account and proxy services.
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
    return m_pSIPGroup ? m_pSIPGroup->GetNATType() : 0xFFFFFFFFu;
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

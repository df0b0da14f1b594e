#include "app/KZControlHost.h"

#include "app/KZAccountReports.h"
#include "app/KZCallText.h"
#include "app/KZHostAccounts.h"
#include "app/KZHostCalls.h"
#include "app/KZHostUsers.h"

#include "host/CKZCfgInterface.h"
#include "host/CKZChannel.h"
#include "host/CKZDSPTimer.h"
#include "host/KZRTPSession.h"
#include "host/KZStrFunc.h"
#include "server/CKZSIPServer.h"

#include <cstdio>

namespace kzapp {

using KZAPI::CKZCfgInterface;

namespace {

class ServerQueries final : public IKZHostQueries {
public:
    ServerQueries(KZAPI::CKZServer& server, KZStackStatsReader stats) : m_server(server), m_stats(stats) {}

    bool ReadStackStats(KZ_SIPStackStats& stats) override {
        return m_stats && m_stats(&m_server, &stats) == 0;
    }

    std::vector<KZChannelStatus> ListChannels() override {
        std::vector<KZChannelStatus> list;
        KZAPI::CMutexLock lock(m_server.GetServerMutex());
        for (int i = 0; i < m_server.GetNumOfChannels(); ++i)
            if (const KZAPI::CKZChannel* channel = m_server.GetChannel(i)) list.push_back(StatusOf(*channel));
        return list;
    }

    KZMediaTiming ReadMediaTiming(bool reset) override {
        KZMediaTiming timing;
        const KZAPI::KZRTPSendJitter send = KZAPI::KZRTPSession::GetProcessSendJitter();
        timing.intervals = send.intervals;
        timing.send_jitter_p50_ms = send.p50_ms;
        timing.send_jitter_p99_ms = send.p99_ms;
        timing.send_jitter_max_ms = send.max_ms;
        const KZAPI::CKZDSPTimer::Lateness late = KZAPI::CKZDSPTimer::Instance().GetLateness();
        timing.ticks = late.ticks;
        timing.dsp_late_p50_ms = late.p50_ms;
        timing.dsp_late_p99_ms = late.p99_ms;
        timing.dsp_late_max_ms = late.max_ms;
        if (reset) {
            KZAPI::KZRTPSession::ResetProcessSendJitter();
            KZAPI::CKZDSPTimer::Instance().ResetLateness();
        }
        return timing;
    }

private:
    static KZChannelStatus StatusOf(const KZAPI::CKZChannel& channel) {
        KZChannelStatus status;
        status.channel = channel.GetChannelNumber();
        status.protocol = channel.GetProtocol();
        status.idle = channel.IsIdle();
        if (KZAPI::CKZCallControl* call = channel.GetCallControl()) {
            KZAPI::CMutexLock lock(call->GetCallMutex());
            status.call_status = call->GetCallStatus();
            status.sip_crv = call->GetCRV(KZAPI::CKZCallControl::KIND_SIP);
            status.call_id = call->GetSIPCallID();
            if (status.call_status != KZAPI::CKZCall::CALL_STATUS_IDLE) DescribeCall(*call, status);
        }
        DescribeMedia(channel, status);
        return status;
    }

    static void DescribeCall(KZAPI::CKZCallControl& call, KZChannelStatus& status) {
        status.sip_code = call.GetLastMsgCode();
        status.direction = call.IsOutbound() ? "out" : "in";
        status.from = call.GetCallerNum();
        status.to = call.GetCalleeNum();
        status.held_locally = call.IsHeldLocally();
        status.held_by_remote = call.IsHeldByRemote();
        if (status.call_status == KZAPI::CKZCall::CALL_STATUS_CONNECTED)
            status.codec = codec_name(call.GetCurrentAudioCodec());
    }

    static void DescribeMedia(const KZAPI::CKZChannel& channel, KZChannelStatus& status) {
        KZAPI::CKZCallControl* call = channel.GetCallControl();
        KZAPI::CKZCallControl::MediaStats media;
        if (call && call->GetMediaStats(&media)) {
            status.media = media.running;
            status.packets_sent = media.packets_sent;
            status.packets_received = media.packets_received;
            status.lost = media.packets_lost;
            status.jitter_ms = media.jitter_ms;
            status.concealed = media.frames_concealed;
        }
        if (const KZAPI::CKZChannel* peer = channel.IsConnected() ? channel.GetPeerChannel() : nullptr) {
            status.bridged_to = peer->GetChannelNumber();
            status.bridge = channel.GetRelayGroup() >= 0 ? "rtp"
                            : channel.IsHalfDuplex()     ? "dsp-half"
                                                         : "dsp";
        }
    }

    KZAPI::CKZServer& m_server;
    KZStackStatsReader m_stats;
};

// The module's server as the session router sees it.
class ServerProxy final : public IKZProxyServer {
public:
    explicit ServerProxy(CKZSIPServer& server) : m_server(server) {}
    bool SetNewCallSessionAddr(int site, uint32_t session, const std::string& text) override {
        return m_server.ProxySetNewCallSessionAddr(site, session, text.c_str()) != 0;
    }
    bool UpdateUserState(int site, const std::string& user, const char* direction,
                         const char* state) override {
        return m_server.ProxyUpdateUserState(site, user.c_str(), direction, state) != 0;
    }
    bool ConnectCallSessions(int site, uint32_t session, int leg, int with_site, uint32_t with,
                             int with_leg) override {
        return m_server.ProxyConnectCallSessions(site, session, leg, with_site, with, with_leg) != 0;
    }

private:
    CKZSIPServer& m_server;
};

void print_line(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

std::string configured(const char* key, const char* default_value) {
    return std::string(KZAPI::trim_spaces(CKZCfgInterface::CFG_GetValue(key, default_value).c_str()));
}

} // namespace

KZHostControl::KZHostControl(KZAPI::CKZServer& server, KZStackStatsReader stats)
    : m_queries(std::make_unique<ServerQueries>(server, stats)),
      m_host_calls(std::make_unique<KZHostCalls>(server)), m_sound(std::make_unique<KZHostSound>(server)),
      // The only server kzhost runs is the module's.
      m_accounts(std::make_unique<KZHostAccounts>(static_cast<CKZSIPServer&>(server))),
      m_users(std::make_unique<KZHostUsers>(static_cast<CKZSIPServer&>(server))),
      m_proxy(std::make_unique<ServerProxy>(static_cast<CKZSIPServer&>(server))),
      m_sessions(std::make_unique<KZSessionRouter>(
          *m_proxy, KZSessionOutputs{[this](const KZJson& event) { Publish(event); }, print_line,
                                     [this](int site, const std::string& user) {
                                         return m_users->RegisteredContact(site, user);
                                     },
                                     [this](const std::string& user) { return m_users->SiteOf(user); }})),
      m_reports(std::make_unique<KZAccountReports>(
          KZReportOutputs{[this](const KZJson& event) { Publish(event); }, print_line,
                          [this](int site, const std::string& user, int seconds, const std::string& contact) {
                              m_users->RecordRegistration(site, user, seconds, contact);
                          },
                          m_sessions.get()})) {
    KZAPI::CKZAPIEnv::SetKZAPIEnv(m_reports.get());
}

KZHostControl::~KZHostControl() {
    KZAPI::CKZAPIEnv::SetKZAPIEnv(nullptr);
    Stop();
}

void KZHostControl::Publish(const KZJson& event) {
    std::lock_guard lock(m_socket_mutex);
    if (m_socket) m_socket->Publish(event);
}

std::string KZHostControl::Start() {
    const int port = CKZCfgInterface::CFG_GetIntValue("kzhost.control.port", kDefaultPort);
    if (port == 0) return "";
    if (port < 0 || port > 65535) return "kzhost.control.port " + std::to_string(port) + " is not a port";
    KZControlOptions options;
    options.address = configured("kzhost.control.address", kDefaultAddress);
    options.port = static_cast<uint16_t>(port);
    m_commands =
        std::make_unique<KZControlCommands>(*m_queries, *m_host_calls, configured("kzhost.control.token", ""),
                                            m_accounts.get(), m_users.get(), m_sessions.get());
    m_commands->SetSoundCommands(m_sound.get());
    auto socket = std::make_unique<KZControlServer>(options, *m_commands);
    std::string why = socket->Start();
    std::lock_guard lock(m_socket_mutex);
    if (why.empty()) m_socket = std::move(socket);
    return why;
}

void KZHostControl::Stop() {
    std::lock_guard lock(m_socket_mutex);
    m_socket.reset();
}

} // namespace kzapp

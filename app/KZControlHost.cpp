#include "app/KZControlHost.h"

#include "host/CKZCfgInterface.h"
#include "host/CKZChannel.h"
#include "host/KZStrFunc.h"

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
        }
        return status;
    }

    KZAPI::CKZServer& m_server;
    KZStackStatsReader m_stats;
};

std::string configured(const char* key, const char* default_value) {
    return std::string(KZAPI::trim_spaces(CKZCfgInterface::CFG_GetValue(key, default_value).c_str()));
}

} // namespace

KZHostControl::KZHostControl(KZAPI::CKZServer& server, KZStackStatsReader stats)
    : m_queries(std::make_unique<ServerQueries>(server, stats)),
      m_calls(std::make_unique<KZNoCallControl>()) {}

KZHostControl::~KZHostControl() {
    Stop();
}

std::string KZHostControl::Start() {
    const int port = CKZCfgInterface::CFG_GetIntValue("kzhost.control.port", kDefaultPort);
    if (port == 0) return "";
    if (port < 0 || port > 65535) return "kzhost.control.port " + std::to_string(port) + " is not a port";
    KZControlOptions options;
    options.address = configured("kzhost.control.address", kDefaultAddress);
    options.port = static_cast<uint16_t>(port);
    m_commands =
        std::make_unique<KZControlCommands>(*m_queries, *m_calls, configured("kzhost.control.token", ""));
    m_socket = std::make_unique<KZControlServer>(options, *m_commands);
    std::string why = m_socket->Start();
    if (!why.empty()) m_socket.reset();
    return why;
}

void KZHostControl::Stop() {
    m_socket.reset();
}

} // namespace kzapp

// The control socket as kzhost runs it: its settings come from the configuration
// ("kzhost.control.port", "kzhost.control.address", "kzhost.control.token"), its queries read the
// running server, its call commands act on the server's channels and its account commands on the
// server's accounts, its session commands on the proxied calls of the server's sites. The
// module's account, subscription, message and session reports are printed and
// published as events while it exists.
#pragma once

#include "app/KZAccountCommands.h"
#include "app/KZControlCommands.h"
#include "app/KZControlServer.h"
#include "app/KZHostCalls.h"
#include "app/KZHostUsers.h"
#include "app/KZSessionRouter.h"
#include "app/KZSoundCommands.h"
#include "host/CKZAPIEnv.h"
#include "host/CKZServer.h"

#include <memory>
#include <mutex>
#include <string>

namespace kzapp {

// The module's reader of its stack counters (KZAPI_Server_GetStackStats).
using KZStackStatsReader = uint32_t (*)(void* server, KZ_SIPStackStats* stats);

class KZHostControl {
public:
    static constexpr int kDefaultPort = 5099; // 0 turns the socket off
    static constexpr const char* kDefaultAddress = "127.0.0.1";

    KZHostControl(KZAPI::CKZServer& server, KZStackStatsReader stats);
    ~KZHostControl();
    KZHostControl(const KZHostControl&) = delete;
    KZHostControl& operator=(const KZHostControl&) = delete;

    // "" when the socket listens or is disabled, else why it cannot.
    std::string Start();
    void Stop();

    // The running socket, for publishing events; null when disabled.
    KZControlServer* Socket() { return m_socket.get(); }
    // From any thread: publishes the event when the socket runs.
    void Publish(const KZJson& event);
    // Where the recordings the commands start are reported; null for nowhere.
    void SetMediaWatch(IKZMediaWatch* watch) { m_host_calls->SetMediaWatch(watch); }
    // Where the targets of the transfers the commands ask for are reported; null for nowhere.
    void SetTransferWatch(IKZTransferWatch* watch) { m_host_calls->SetTransferWatch(watch); }

private:
    std::unique_ptr<IKZHostQueries> m_queries;
    std::unique_ptr<KZHostCalls> m_host_calls;
    std::unique_ptr<KZHostSound> m_sound;
    std::unique_ptr<IKZAccounts> m_accounts;
    std::unique_ptr<KZHostUsers> m_users;
    std::unique_ptr<IKZProxyServer> m_proxy;
    std::unique_ptr<KZSessionRouter> m_sessions;
    std::unique_ptr<KZControlCommands> m_commands;
    std::unique_ptr<KZControlServer> m_socket;
    std::mutex m_socket_mutex; // Publish against Stop
    std::unique_ptr<KZAPI::CKZAPIEnv> m_reports;
};

} // namespace kzapp

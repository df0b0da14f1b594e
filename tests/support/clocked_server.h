// The module's server under a test's host environment, started on a manual clock that the test
// moves on a second at a time; stopped, destroyed and its configuration cleared when it goes.
#pragma once

#include "host/CKZAPIEnv.h"
#include "host/CKZCfgInterface.h"
#include "host/CKZClock.h"
#include "support/sip_server.h"

#include <chrono>
#include <thread>

namespace kztest {

class ClockedServer {
public:
    explicit ClockedServer(KZAPI::CKZManualClock& clock) : m_clock(clock) {}
    ~ClockedServer() {
        Stop();
        KZAPI::CKZAPIEnv::SetKZAPIEnv(nullptr);
        KZAPI::CKZCfgInterface::CFG_Clear();
    }
    ClockedServer(const ClockedServer&) = delete;
    ClockedServer& operator=(const ClockedServer&) = delete;

    // Starts on the configuration already set, reporting to env.
    bool Start(KZAPI::CKZAPIEnv* env) {
        KZAPI::CKZAPIEnv::SetKZAPIEnv(env);
        m_server = start_server_on_clock(m_clock);
        return m_server != nullptr;
    }
    void Stop() {
        if (!m_server) return;
        m_server->Stop();
        m_server->Destroy();
        m_server.reset();
    }
    // Moves the clock on one second at a time, letting the server's loop see each second.
    void Advance(int seconds) {
        for (int i = 0; i < seconds; ++i) {
            m_clock.Advance(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    CKZSIPServer* operator->() const { return m_server.get(); }
    CKZSIPServer& operator*() const { return *m_server; }
    explicit operator bool() const { return m_server != nullptr; }

private:
    KZAPI::CKZManualClock& m_clock;
    ServerPtr m_server;
};

} // namespace kztest

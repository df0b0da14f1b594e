// CKZTickThread: the one host thread that gives every span its timer turn, about once a
// millisecond, so that many spans and calls share a single thread. Spans register while they run;
// the thread starts with the first client and ends with the last.
#pragma once

#include "host/CBaseThread.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace KZAPI {

class CKZTickClient {
public:
    virtual ~CKZTickClient() = default;
    // One turn of the client's timed work; must not block.
    virtual void OnTick() = 0;
};

class CKZTickThread : private CBaseThread {
public:
    static constexpr unsigned kTurnSleepMs = 1;
    // The pause between turns while no application timer is armed anywhere: the turns then have
    // nothing to check, and the thread should not wake a thousand times a second for it.
    static constexpr unsigned kIdleTurnSleepMs = 50;

    static CKZTickThread& Instance();
    ~CKZTickThread() override;

    void Register(CKZTickClient* client);
    // Once this returns, the client's OnTick is not running and will not run again (unless it
    // is called from the client's own turn, which then finishes on its own).
    void Unregister(CKZTickClient* client);
    int GetClientCount() const;
    // Passes of the thread's loop, and the turns among them that gave the clients their tick.
    uint64_t GetPassCount() const { return m_passes.load(); }
    uint64_t GetTurnCount() const;
    // Ends an idle pause early: an application timer was just armed.
    void WakeUp();

private:
    CKZTickThread() = default;
    void DoUnblockedLoop() override;
    bool OnCreate() override;
    void OnStopRequested() override { WakeUp(); }
    void PauseBetweenTurns();
    // True (and the client removed) when called from a client's own turn.
    bool RemoveFromOwnTurn(CKZTickClient* client);

    std::mutex m_life; // orders starting and stopping of the thread
    mutable std::mutex m_mutex;
    std::condition_variable m_turn_done;
    std::condition_variable m_wake;
    bool m_wake_requested = false;
    std::vector<CKZTickClient*> m_clients;
    std::vector<CKZTickClient*> m_turn; // the clients of the current turn (tick thread only)
    bool m_in_turn = false;
    uint64_t m_turns = 0;
    std::atomic<uint64_t> m_passes{0};
    std::thread::id m_tick_thread_id;
};

} // namespace KZAPI

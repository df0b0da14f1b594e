#include "host/CKZTickThread.h"

#include "host/CKZDSPApp.h"

#include <algorithm>
#include <chrono>

namespace KZAPI {

namespace {
constexpr int kTimeCriticalPriority = 15;
} // namespace

CKZTickThread& CKZTickThread::Instance() {
    static CKZTickThread thread;
    return thread;
}

CKZTickThread::~CKZTickThread() {
    StopThread();
}

void CKZTickThread::Register(CKZTickClient* client) {
    if (!client) return;
    std::lock_guard life(m_life);
    {
        std::lock_guard lock(m_mutex);
        if (std::find(m_clients.begin(), m_clients.end(), client) != m_clients.end()) return;
        m_clients.push_back(client);
    }
    if (!IsRunning() && StartThread("kz-tick")) SetPriority(kTimeCriticalPriority);
}

void CKZTickThread::Unregister(CKZTickClient* client) {
    if (RemoveFromOwnTurn(client)) return;
    std::lock_guard life(m_life);
    std::unique_lock lock(m_mutex);
    m_clients.erase(std::remove(m_clients.begin(), m_clients.end(), client), m_clients.end());
    // The client may be in the turn under way: let that turn end.
    const uint64_t turn = m_turns;
    m_turn_done.wait(lock, [&] { return !m_in_turn || m_turns != turn; });
    const bool idle = m_clients.empty();
    lock.unlock();
    if (idle) StopThread();
}

bool CKZTickThread::RemoveFromOwnTurn(CKZTickClient* client) {
    std::lock_guard lock(m_mutex);
    if (std::this_thread::get_id() != m_tick_thread_id) return false;
    // Waiting here for the turn to end would wait for ourselves.
    m_clients.erase(std::remove(m_clients.begin(), m_clients.end(), client), m_clients.end());
    return true;
}

int CKZTickThread::GetClientCount() const {
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_clients.size());
}

bool CKZTickThread::OnCreate() {
    std::lock_guard lock(m_mutex);
    m_tick_thread_id = std::this_thread::get_id();
    return true;
}

uint64_t CKZTickThread::GetTurnCount() const {
    std::lock_guard lock(m_mutex);
    return m_turns;
}

void CKZTickThread::DoUnblockedLoop() {
    ++m_passes;
    // With timers armed but none due yet there is nothing to walk.
    if (CTimer::RunningCount() > 0 && !CTimer::TurnDue()) {
        PauseBetweenTurns();
        return;
    }
    CTimer::BeginTurn();
    {
        std::lock_guard lock(m_mutex);
        m_turn.assign(m_clients.begin(), m_clients.end());
        m_in_turn = true;
    }
    // Clients run without the lock: their turns take call locks and may send.
    for (CKZTickClient* client : m_turn)
        client->OnTick();
    {
        std::lock_guard lock(m_mutex);
        m_in_turn = false;
        ++m_turns;
    }
    m_turn_done.notify_all();
    PauseBetweenTurns();
}

void CKZTickThread::PauseBetweenTurns() {
    const unsigned pause_ms = CTimer::RunningCount() > 0 ? kTurnSleepMs : kIdleTurnSleepMs;
    std::unique_lock lock(m_mutex);
    m_wake.wait_for(lock, std::chrono::milliseconds(pause_ms),
                    [this] { return m_wake_requested || StopRequested(); });
    m_wake_requested = false;
}

void CKZTickThread::WakeUp() {
    {
        std::lock_guard lock(m_mutex);
        m_wake_requested = true;
    }
    m_wake.notify_one();
}

} // namespace KZAPI

#include "host/CBaseThread.h"

#include "host/CKZLogInterface.h"
#include "host/KZStrFunc.h"

#include <chrono>
#include <pthread.h>
#include <sched.h>
#include <system_error>

namespace KZAPI {

CBaseThread::~CBaseThread() {
    // A derived class must stop its thread in its own destructor: by the time this runs the
    // derived part is gone, so a loop still running would call into a destroyed object. This only
    // keeps a forgotten thread from terminating the process.
    if (m_thread.joinable() && m_thread.get_id() == std::this_thread::get_id()) {
        m_thread.detach(); // destroyed from its own loop: nothing left to join from
        return;
    }
    StopThread();
}

bool CBaseThread::StartThread(const char* name) {
    if (m_thread.joinable()) {
        if (m_running.load()) return false;
        m_thread.join(); // the previous run already ended on its own (OnCreate failed or stopped itself)
    }
    m_stop.store(false);
    m_running.store(true);
    if (name) KZAPI::str_cpy(m_name, name, sizeof(m_name));
    try {
        m_thread = std::thread(&CBaseThread::Run, this);
    } catch (const std::system_error& e) {
        m_running.store(false);
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "CBaseThread::StartThread failed: %s", e.what());
        return false;
    }
    return true;
}

void CBaseThread::StopThread(unsigned /*timeout_ms*/) {
    if (!m_thread.joinable()) return;
    m_stop.store(true);
    OnStopRequested();
    // Asked from its own loop: the loop ends when the current pass returns, and a later
    // StopThread() (or the destructor) from another thread joins it.
    if (m_thread.get_id() == std::this_thread::get_id()) return;
    m_thread.join();
}

void CBaseThread::Run() {
    if (m_name[0]) pthread_setname_np(pthread_self(), m_name);
    if (OnCreate()) {
        while (!m_stop.load())
            DoUnblockedLoop();
    }
    OnQuit();
    m_running.store(false);
}

void CBaseThread::SetPriority(int priority) {
    const pthread_t target = m_thread.joinable() ? m_thread.native_handle() : pthread_self();
    if (priority <= 0) {
        sched_param param{};
        pthread_setschedparam(target, SCHED_OTHER, &param);
        return;
    }
    // 1..15 maps onto the lower half of the real-time range (15, time-critical, is its top), so
    // the kernel's own real-time threads keep precedence over ours.
    const int p = priority >= 15 ? 15 : priority;
    int err = 0;
    for (int policy : {SCHED_FIFO, SCHED_RR}) {
        const int lo = sched_get_priority_min(policy);
        const int hi = sched_get_priority_max(policy);
        sched_param param{};
        param.sched_priority = lo + (hi - lo) / 2 * p / 15;
        err = pthread_setschedparam(target, policy, &param);
        if (err == 0) return;
    }
    static std::atomic<bool> warned{false};
    if (!warned.exchange(true))
        CKZLogInterface::Log(CKZLogInterface::LOG_WARNING,
                             "CBaseThread::SetPriority %d not permitted (error %d), normal scheduling kept",
                             priority, err);
}

void CBaseThread::Sleep(unsigned ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace KZAPI

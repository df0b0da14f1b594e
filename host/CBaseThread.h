// CBaseThread: a host thread that calls DoUnblockedLoop() over and over until it is stopped.
// A derived class must call StopThread() (or its own Stop) in its destructor: the base destructor
// runs after the derived part is gone, when the loop could no longer run safely.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

namespace KZAPI {

class CBaseThread {
public:
    CBaseThread() = default;
    virtual ~CBaseThread();
    CBaseThread(const CBaseThread&) = delete;
    CBaseThread& operator=(const CBaseThread&) = delete;

    // Starts the thread: OnCreate(), then DoUnblockedLoop() until Stop(), then OnQuit(). The name
    // (at most 15 characters are kept) is what top -H, perf and gdb show for the thread.
    bool StartThread(const char* name = nullptr);
    // Asks the loop to end and joins the thread (the timeout is advisory: the loop is asked to
    // end and the join waits for the current pass to finish).
    void StopThread(unsigned timeout_ms = 200);
    bool IsRunning() const { return m_running.load(); }
    bool StopRequested() const { return m_stop.load(); }

    // Real-time priority when the process may have it; otherwise a level 2 log, once, and normal
    // scheduling. 15 asks for the highest (time-critical) priority.
    void SetPriority(int priority);
    static void Sleep(unsigned ms);

protected:
    virtual bool OnCreate() { return true; }
    // One pass of the thread's work; must return regularly so a stop request is seen.
    virtual void DoUnblockedLoop() = 0;
    virtual void OnQuit() {}
    // Called from StopThread() before joining, so a loop waiting in poll() can be woken.
    virtual void OnStopRequested() {}

private:
    void Run();

    static constexpr size_t kNameSize = 16; // the kernel's limit, terminator included

    std::thread m_thread;
    char m_name[kNameSize] = "";
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_running{false};
};

} // namespace KZAPI

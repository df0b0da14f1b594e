// Host locks: CMutex is recursive (the module takes some locks again on the same thread);
// CMutexLock holds one for a scope.
#pragma once

#include <mutex>

namespace KZAPI {

class CMutex {
public:
    void Lock() { m_m.lock(); }
    void Unlock() { m_m.unlock(); }
    bool TryLock() { return m_m.try_lock(); }
    // For std::lock_guard / std::unique_lock.
    void lock() { m_m.lock(); }
    void unlock() { m_m.unlock(); }

private:
    std::recursive_mutex m_m;
};

class CMutexLock {
public:
    explicit CMutexLock(CMutex& m) : m_m(m) { m_m.Lock(); }
    explicit CMutexLock(CMutex* m) : CMutexLock(*m) {}
    ~CMutexLock() { m_m.Unlock(); }
    CMutexLock(const CMutexLock&) = delete;
    CMutexLock& operator=(const CMutexLock&) = delete;

private:
    CMutex& m_m;
};

} // namespace KZAPI

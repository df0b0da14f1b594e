#include "host/CKZDxDSP.h"

#include "host/CKZLogInterface.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <thread>

namespace KZAPI {

CKZDxDSP::CKZDxDSP(int audio_format) : CKZDSP(audio_format) {
    StartThread();
}

CKZDxDSP::~CKZDxDSP() {
    StopThread();
}

// Runs on the DSP's own thread; without the privilege for real-time scheduling the thread keeps
// normal scheduling, which serves as long as the machine is not overloaded.
bool CKZDxDSP::OnCreate() {
    sched_param param{};
    param.sched_priority = sched_get_priority_max(SCHED_FIFO);
    const int err = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    if (err != 0)
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR,
                             "Cannot set DSP thread to priority THREAD_PRIORITY_TIME_CRITICAL. error %d",
                             err);
    m_next = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTickMs);
    return true;
}

// Ticks on an absolute 20 ms grid; napping in short steps keeps a stop request prompt.
void CKZDxDSP::DoUnblockedLoop() {
    const auto now = std::chrono::steady_clock::now();
    if (now < m_next) {
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(m_next - now, std::chrono::milliseconds(5)));
        return;
    }
    Tick();
    m_next += std::chrono::milliseconds(kTickMs);
    if (std::chrono::steady_clock::now() - m_next > std::chrono::milliseconds(5 * kTickMs))
        m_next = std::chrono::steady_clock::now();
}

} // namespace KZAPI

#include "host/CKZDSPApp.h"

namespace KZAPI {

void CTimer::Unregister() {
    m_registered.store(false);
    Stop();
}

bool CTimer::Start(unsigned period_ms) {
    if (!IsRegistered()) return false;
    m_period_ms.store(period_ms);
    m_deadline_ms.store(m_clock.load()->TickMs() + period_ms);
    return true;
}

bool CTimer::CheckEveryTimer() {
    uint64_t deadline = m_deadline_ms.load();
    if (deadline == kStopped || m_clock.load()->TickMs() < deadline) return false;
    // Disarm before running, and only the period that was seen: a Start or Stop that came in
    // between wins.
    if (!m_deadline_ms.compare_exchange_strong(deadline, kStopped)) return false;
    m_owner.OnAppTimer();
    return true;
}

unsigned CKZDSPApp::SetAppTimer() {
    m_app_timer.Register();
    return 1;
}

unsigned CKZDSPApp::StartAppTimer(unsigned period_ms) {
    return m_app_timer.Start(period_ms) ? 1 : 0;
}

unsigned CKZDSPApp::StopAppTimer() {
    m_app_timer.Stop();
    return 1;
}

unsigned CKZDSPApp::KillAppTimer() {
    m_app_timer.Unregister();
    return 1;
}

} // namespace KZAPI

#include "host/CKZDSPApp.h"

#include "host/CKZDSP.h"
#include "host/CKZTickThread.h"

namespace KZAPI {

std::atomic<uint64_t> CTimer::s_running{0};

uint64_t CTimer::RunningCount() {
    return s_running.load(std::memory_order_relaxed);
}

void CTimer::Unregister() {
    m_registered.store(false);
    Stop();
}

bool CTimer::Start(unsigned period_ms) {
    if (!IsRegistered()) return false;
    m_period_ms.store(period_ms);
    if (m_deadline_ms.exchange(m_clock.load()->TickMs() + period_ms) == kStopped && s_running++ == 0)
        CKZTickThread::Instance().WakeUp(); // the turns may be in their idle pause
    return true;
}

void CTimer::Stop() {
    if (m_deadline_ms.exchange(kStopped) != kStopped) --s_running;
}

bool CTimer::CheckEveryTimer() {
    uint64_t deadline = m_deadline_ms.load();
    if (deadline == kStopped || m_clock.load()->TickMs() < deadline) return false;
    // Disarm before running, and only the period that was seen: a Start or Stop that came in
    // between wins.
    if (!m_deadline_ms.compare_exchange_strong(deadline, kStopped)) return false;
    --s_running;
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

int CKZDSPApp::GetDSPAudioFormat() const {
    const CKZDSP* dsp = GetObjDSP();
    return dsp ? dsp->GetAudioFormat() : KZ_AUDIO_FORMAT_LINEAR16;
}

int CKZDSPApp::AddRxFrame(uint16_t sequence, uint32_t timestamp, const uint8_t* data, int length,
                          int /*flag*/) {
    CKZDSP* dsp = GetObjDSP();
    if (!dsp || !data || length <= 0) return 0;
    dsp->DeliverRxFrame(sequence, timestamp, data, length);
    return length;
}

int CKZDSPApp::AddTxFrame(uint16_t sequence, uint32_t timestamp, const uint8_t* data, int length) {
    CKZDSP* dsp = GetObjDSP();
    if (!dsp || !data || length <= 0) return 0;
    dsp->DeliverTxFrame(sequence, timestamp, data, length, this);
    return length;
}

void CKZDSPApp::SetAsDSPDominateSource(int /*reserved*/, int dominate) {
    CKZDSP* dsp = GetObjDSP();
    if (!dsp) return;
    if (dominate)
        dsp->SetDominantSource(this);
    else if (dsp->GetDominantSource() == this)
        dsp->SetDominantSource(nullptr);
}

void CKZDSPApp::StartDSPTimer(unsigned period_ms) {
    if (CKZDSP* dsp = GetObjDSP()) dsp->StartTimer(period_ms);
}

void CKZDSPApp::StopDSPTimer() {
    if (CKZDSP* dsp = GetObjDSP()) dsp->StopTimer();
}

} // namespace KZAPI

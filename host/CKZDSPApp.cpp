#include "host/CKZDSPApp.h"

#include "host/CKZDSP.h"
#include "host/CKZTickThread.h"

namespace KZAPI {

std::atomic<uint64_t> CTimer::s_running{0};
std::atomic<uint64_t> CTimer::s_turn_mark{0};
std::atomic<const CKZClock*> CTimer::s_turn_clock{&CKZClock::System()};

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
    const uint64_t deadline = m_clock.load()->TickMs() + period_ms;
    const bool was_stopped = m_deadline_ms.exchange(deadline) == kStopped;
    // Counted and marked only after the deadline is stored: a turn that sees either walks past
    // this timer with its deadline in place.
    const bool first = was_stopped && s_running++ == 0;
    LowerTurnMark(TurnDeadline(deadline));
    if (first) CKZTickThread::Instance().WakeUp(); // the turns may be in their idle pause
    return true;
}

void CTimer::Stop() {
    if (m_deadline_ms.exchange(kStopped) != kStopped) --s_running;
}

bool CTimer::TurnDue() {
    return s_turn_clock.load()->TickMs() >= s_turn_mark.load();
}

void CTimer::BeginTurn() {
    s_turn_mark.store(kStopped);
}

void CTimer::NoteForTurns() const {
    LowerTurnMark(TurnDeadline(m_deadline_ms.load()));
}

void CTimer::ForceTurn() {
    LowerTurnMark(0);
}

void CTimer::SetTurnClock(const CKZClock* clock) {
    s_turn_clock.store(clock ? clock : &CKZClock::System());
    ForceTurn();
}

void CTimer::LowerTurnMark(uint64_t deadline_ms) {
    uint64_t mark = s_turn_mark.load();
    while (deadline_ms < mark && !s_turn_mark.compare_exchange_weak(mark, deadline_ms)) {
    }
}

uint64_t CTimer::TurnDeadline(uint64_t deadline_ms) const {
    if (deadline_ms == kStopped) return kStopped;
    return m_clock.load() == s_turn_clock.load() ? deadline_ms : 0;
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

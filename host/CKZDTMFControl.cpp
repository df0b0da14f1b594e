#include "host/CKZDTMFControl.h"

#include "host/CKZChannel.h"
#include "host/CKZMediaEventSink.h"
#include "host/KZStrFunc.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace KZAPI {

namespace {

// The keys a telephone can send; lower-case "a"-"d" arrive from some SIP INFO peers.
char NormalizedKey(char key) {
    if (key >= 'a' && key <= 'd') return static_cast<char>(key - 'a' + 'A');
    if ((key >= '0' && key <= '9') || key == '*' || key == '#' || (key >= 'A' && key <= 'D') || key == 'X')
        return key;
    return 0;
}

unsigned DurationMs(uint64_t down_tick, uint64_t up_tick) {
    if (up_tick < down_tick) return 0;
    return static_cast<unsigned>(std::min<uint64_t>(up_tick - down_tick, UINT_MAX));
}

} // namespace

unsigned CKZDTMFControl::StartDTMFDetection(int max_digits, const char* terminators, unsigned timeout_ms) {
    const bool has_terminators = terminators && *terminators;
    if (max_digits <= 0 && !has_terminators && timeout_ms == 0) return 0;
    CMutexLock lock(GetCallMutex());
    m_collecting = true;
    // The digit buffer bounds every collection: asking for more is asking for all it holds.
    m_max_digits = std::clamp(max_digits, 0, kMaxCollectedDigits);
    static_assert(sizeof(m_terminators) == kMaxTerminators + 1);
    str_cpy(m_terminators, has_terminators ? terminators : "", sizeof(m_terminators));
    m_timeout_ms = timeout_ms;
    m_digits[0] = '\0';
    m_digit_count = 0;
    // The timer runs under the lock so that a digit or a stop cannot interleave with arming it.
    if (timeout_ms > 0)
        StartDTMFTimer(timeout_ms);
    else
        StopDTMFTimer();
    return 1;
}

unsigned CKZDTMFControl::StopDTMFDetection() {
    char digits[kMaxCollectedDigits + 1];
    if (!FinishCollection(digits)) return 0;
    On_DTMF_Done(DTMF_DONE_STOPPED, digits);
    return 1;
}

bool CKZDTMFControl::IsCollecting() const {
    CMutexLock lock(const_cast<CKZDTMFControl*>(this)->GetCallMutex());
    return m_collecting;
}

void CKZDTMFControl::StartDTMFTimer(unsigned ms) {
    m_timer_due_ms.store(NowMs() + ms);
}

void CKZDTMFControl::StopDTMFTimer() {
    m_timer_due_ms.store(kTimerStopped);
}

void CKZDTMFControl::OnDTMFTimerExpired() {
    char digits[kMaxCollectedDigits + 1];
    if (FinishCollection(digits)) On_DTMF_Done(DTMF_DONE_TIMEOUT, digits);
}

void CKZDTMFControl::CheckDTMFTimer() {
    uint64_t due = m_timer_due_ms.load();
    if (due == kTimerStopped || NowMs() < due) return;
    // Only one caller fires a given arming; one re-armed or stopped meanwhile does not fire.
    if (!m_timer_due_ms.compare_exchange_strong(due, kTimerStopped)) return;
    OnDTMFTimerExpired();
}

void CKZDTMFControl::On_DTMF_Key_Down(char key, uint64_t tick) {
    CMutexLock lock(GetCallMutex());
    m_down_key = NormalizedKey(key);
    m_down_tick = tick;
}

void CKZDTMFControl::On_DTMF_Key_Up(char key, uint64_t tick) {
    const char digit = NormalizedKey(key);
    if (!digit) return;
    unsigned duration_ms = 0;
    int result = -1;
    char digits[kMaxCollectedDigits + 1] = "";
    {
        CMutexLock lock(GetCallMutex());
        if (m_down_key == digit) duration_ms = DurationMs(m_down_tick, tick);
        m_down_key = 0;
        m_down_tick = 0;
        result = CollectDigit(digit, digits);
    }
    const char* method = m_digit_method.load();
    if (CKZMediaEventSink* sink = CKZMediaEventSink::GetMediaEventSink())
        sink->OnDTMFDigit(ChannelNumber(), digit, duration_ms, method ? method : "");
    if (result >= 0) On_DTMF_Done(result, digits);
}

void CKZDTMFControl::On_DTMF_Done(int result, const char* digits) {
    if (CKZMediaEventSink* sink = CKZMediaEventSink::GetMediaEventSink())
        sink->OnDTMFDone(ChannelNumber(), result, digits ? digits : "");
}

int CKZDTMFControl::ChannelNumber() const {
    const CKZChannel* channel = GetChannel();
    return channel ? channel->GetChannelNumber() : -1;
}

int CKZDTMFControl::CollectDigit(char digit, char (&digits)[kMaxCollectedDigits + 1]) {
    if (!m_collecting) return -1;
    if (std::strchr(m_terminators, digit)) {
        FinishCollection(digits);
        return DTMF_DONE_TERMINATOR;
    }
    if (m_digit_count < kMaxCollectedDigits) {
        m_digits[m_digit_count++] = digit;
        m_digits[m_digit_count] = '\0';
    }
    if (m_digit_count >= kMaxCollectedDigits || (m_max_digits > 0 && m_digit_count >= m_max_digits)) {
        FinishCollection(digits);
        return DTMF_DONE_MAX_DIGITS;
    }
    if (m_timeout_ms > 0) StartDTMFTimer(m_timeout_ms);
    return -1;
}

bool CKZDTMFControl::FinishCollection(char (&digits)[kMaxCollectedDigits + 1]) {
    CMutexLock lock(GetCallMutex());
    digits[0] = '\0';
    if (!m_collecting) return false;
    static_assert(sizeof(digits) == sizeof(m_digits));
    str_cpy(digits, m_digits, sizeof(digits));
    m_collecting = false;
    m_digits[0] = '\0';
    m_digit_count = 0;
    StopDTMFTimer();
    return true;
}

} // namespace KZAPI

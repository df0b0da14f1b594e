// CKZDTMFControl: the host's base of a channel's DTMF application. It turns key-down and key-up
// notices into digit reports, collects digits for the application (up to a count, until a
// terminator, or until no digit came for a while) and reports the end of a collection.
//
// Keys are digit characters ("0"-"9", "*", "#", "A"-"D", "X" flash). Ticks are milliseconds of
// the control's clock, which tests replace (SetDTMFClock). The collection timer is checked by
// CheckDTMFTimer, which the owner calls from its media tick. Every entry takes the control's own
// lock (GetCallMutex), which is never held while calling into a call control.
#pragma once

#include "host/CKZAppControl.h"
#include "host/CKZClock.h"

#include <atomic>
#include <cstdint>

namespace KZAPI {

class CKZDTMFControl : public CKZAppControl {
public:
    // Why a collection ended.
    enum : int {
        DTMF_DONE_MAX_DIGITS = 0, // the requested number of digits came
        DTMF_DONE_TERMINATOR = 1, // a terminator came (it is not part of the digits)
        DTMF_DONE_TIMEOUT = 2,    // no digit came within the timeout
        DTMF_DONE_STOPPED = 3,    // stopped by request (StopDTMFDetection)
    };
    static constexpr int kMaxCollectedDigits = 64;
    static constexpr int kMaxTerminators = 16;

    CKZDTMFControl() = default;
    ~CKZDTMFControl() override = default;

    // ---- collection ----
    // Collects up to max_digits (0: no limit) until one of `terminators` (null or "": none) or
    // until timeout_ms pass without a digit (0: no timeout; counted from the start and again
    // from each digit). A collection already running is replaced without a report. 1 on
    // success, 0 when nothing could end it (no limit, terminator or timeout).
    virtual unsigned StartDTMFDetection(int max_digits, const char* terminators, unsigned timeout_ms);
    // Ends a running collection, reporting DTMF_DONE_STOPPED; 0 when none was running.
    virtual unsigned StopDTMFDetection();
    bool IsCollecting() const;

    // ---- the timer (one shot) ----
    // The collection arms and stops it with the lock held: overrides must not call back into
    // the control or anything that takes another control's lock.
    virtual void StartDTMFTimer(unsigned ms);
    virtual void StopDTMFTimer();
    // The timer ran out: a running collection ends with DTMF_DONE_TIMEOUT.
    virtual void OnDTMFTimerExpired();
    // Fires the timer when due; called from the owner's tick.
    void CheckDTMFTimer();

    // ---- digits ----
    // Plays digits to the remote party; the base has no way to (0).
    virtual unsigned PlayDTMFString(const char* /*digits*/) { return 0; }
    // A key went down / up at `tick`. Key-up reports the digit (with its duration from the
    // matching key-down, or 0) and feeds the collection, which may end it.
    virtual void On_DTMF_Key_Down(char key, uint64_t tick);
    virtual void On_DTMF_Key_Up(char key, uint64_t tick);
    // A collection ended: reported to the media event sink.
    virtual void On_DTMF_Done(int result, const char* digits);
    // Detection of received digits; the base has none to switch.
    virtual unsigned EnableDTMFDetection() { return 1; }
    virtual unsigned DisableDTMFDetection() { return 1; }

    // How the next reported digits arrived ("rfc2833", "info", "inband"), for the reports.
    void SetDigitMethod(const char* method) { m_digit_method.store(method); }

    void SetDTMFClock(const CKZClock* clock) { m_clock.store(clock ? clock : &CKZClock::System()); }
    uint64_t NowMs() const { return m_clock.load()->TickMs(); }

protected:
    int ChannelNumber() const;

private:
    // Ends the collection (under the lock) and returns whether one was running; the digits are
    // copied to `digits` for the report made after the lock is left.
    bool FinishCollection(char (&digits)[kMaxCollectedDigits + 1]);
    // Adds a received digit to the running collection (under the lock); returns the result that
    // ended it (its digits copied to `digits`) or -1 while it goes on.
    int CollectDigit(char digit, char (&digits)[kMaxCollectedDigits + 1]);
    static constexpr uint64_t kTimerStopped = UINT64_MAX;

    std::atomic<const CKZClock*> m_clock{&CKZClock::System()};
    std::atomic<const char*> m_digit_method{"rfc2833"};
    std::atomic<uint64_t> m_timer_due_ms{kTimerStopped};
    // Guarded by GetCallMutex().
    bool m_collecting = false;
    int m_max_digits = 0;
    char m_terminators[kMaxTerminators + 1] = "";
    unsigned m_timeout_ms = 0;
    char m_digits[kMaxCollectedDigits + 1] = "";
    int m_digit_count = 0;
    char m_down_key = 0;
    uint64_t m_down_tick = 0;
};

} // namespace KZAPI

// CKZDSPApp: the host's base of a channel's media application, with its application timer.
// CTimer is that timer: one period at a time, armed by StartAppTimer and checked by the span's
// timer turn (CheckEveryTimer), which runs OnAppTimer once when the period has passed. Timers
// read an injectable clock, so their schedule can be driven by hand.
#pragma once

#include "host/CKZClock.h"

#include <atomic>
#include <cstdint>

namespace KZAPI {

class CKZDSPApp;

class CTimer {
public:
    explicit CTimer(CKZDSPApp& owner) : m_owner(owner) {}
    ~CTimer() { Stop(); }
    CTimer(const CTimer&) = delete;
    CTimer& operator=(const CTimer&) = delete;

    // The clock the timer reads; null restores the system clock.
    void SetClock(const CKZClock* clock) {
        m_clock.store(clock ? clock : &CKZClock::System());
        ForceTurn();
    }

    // Only a registered timer can be started.
    void Register() { m_registered.store(true); }
    void Unregister();
    bool IsRegistered() const { return m_registered.load(); }

    // Arms the timer for period_ms from now, replacing any running period; false when the timer
    // is not registered.
    bool Start(unsigned period_ms);
    void Stop();
    bool IsRunning() const { return m_deadline_ms.load() != kStopped; }
    unsigned GetPeriod() const { return m_period_ms.load(); }

    // When the period has passed, stops the timer and runs the owner's OnAppTimer (which may
    // start it again). Returns true when it fired. Safe against a concurrent Start or Stop: a
    // timer re-armed or stopped meanwhile does not fire.
    bool CheckEveryTimer();

    // How many timers of the process are armed. A timer turn with none armed has nothing to
    // check, so an idle process does not walk its channels a thousand times a second.
    static uint64_t RunningCount();

    // Nor does a busy one while no armed timer is due: the turns keep a mark, no later than the
    // earliest deadline of any armed timer, and skip their walk until the turn clock reaches it.
    // Start lowers the mark; a turn that walks begins by raising it to the end of time
    // (BeginTurn), and every timer it walks past puts its own deadline back (NoteForTurns). A
    // timer on another clock than the turns' is always due.
    static bool TurnDue();
    static void BeginTurn();
    void NoteForTurns() const;
    // The next turn walks whatever the mark says: a span came or a timer changed its clock.
    static void ForceTurn();
    // The clock the turns read; null restores the system clock.
    static void SetTurnClock(const CKZClock* clock);

private:
    static void LowerTurnMark(uint64_t deadline_ms);
    uint64_t TurnDeadline(uint64_t deadline_ms) const;

    static std::atomic<uint64_t> s_running;   // defined once, in the host library
    static std::atomic<uint64_t> s_turn_mark; // as above
    static std::atomic<const CKZClock*> s_turn_clock;

    static constexpr uint64_t kStopped = UINT64_MAX;

    CKZDSPApp& m_owner;
    std::atomic<const CKZClock*> m_clock{&CKZClock::System()};
    std::atomic<bool> m_registered{false};
    std::atomic<uint64_t> m_deadline_ms{kStopped};
    std::atomic<unsigned> m_period_ms{0};
};

class CKZDSP;

class CKZDSPApp {
public:
    CKZDSPApp() = default;
    virtual ~CKZDSPApp() = default;
    CKZDSPApp(const CKZDSPApp&) = delete;
    CKZDSPApp& operator=(const CKZDSPApp&) = delete;

    // Registers the application timer with the host (stopped).
    unsigned SetAppTimer();
    // Starts (or restarts with a new period) the registered timer; 0 when it is not registered.
    unsigned StartAppTimer(unsigned period_ms);
    unsigned StopAppTimer();
    // Stops and unregisters the timer.
    unsigned KillAppTimer();
    CTimer& GetAppTimer() { return m_app_timer; }
    void SetAppTimerClock(const CKZClock* clock) { m_app_timer.SetClock(clock); }

    // The application timer's period has passed (run on the span's timer turn).
    virtual void OnAppTimer() {}

    // ---- media face: the DSP the application is added to (set by CKZDSP::AddApp) ----
    CKZDSP* GetObjDSP() const { return m_dsp.load(); }
    void SetObjDSP(CKZDSP* dsp) { m_dsp.store(dsp); }
    // The DSP's audio format; 7 (16-bit linear) while the application has no DSP.
    int GetDSPAudioFormat() const;

    // Hands a frame to the DSP as received from (AddRxFrame) or to be sent to (AddTxFrame) the
    // remote party. Without a DSP nothing happens. Returns the bytes taken.
    int AddRxFrame(uint16_t sequence, uint32_t timestamp, const uint8_t* data, int length, int flag);
    int AddTxFrame(uint16_t sequence, uint32_t timestamp, const uint8_t* data, int length);
    // dominate 1: this application becomes the DSP's only transmit source (its own frames go out,
    // every other source's are dropped); 0 gives that up again.
    void SetAsDSPDominateSource(int reserved, int dominate);
    // Starts the DSP's timer at period_ms / stops it.
    void StartDSPTimer(unsigned period_ms);
    void StopDSPTimer();

    // Frames passing through the DSP, and its tick. They run on the DSP timer threads and must
    // not block.
    virtual void OnRxBufArrived(uint16_t sequence, uint32_t timestamp, const uint8_t* data, int length) {}
    virtual void OnTxBufArrived(uint16_t sequence, uint32_t timestamp, const uint8_t* data, int length) {}
    virtual void OnDSPTimer() {}

private:
    CTimer m_app_timer{*this};
    std::atomic<CKZDSP*> m_dsp{nullptr};
};

} // namespace KZAPI

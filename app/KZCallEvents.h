// kzhost's listener for call events. The call controls report every status change on their own
// threads with the call's lock held, so the sink only queues what it hears; one agent thread then
// prints a line per event, publishes it on the control socket and keeps the timers that answer
// offered calls and hang up connected ones after the configured delays. The agent acts on a call
// only through the call control's own operations, which take the call's lock themselves.
#pragma once

#include "app/KZControlCommands.h"
#include "host/CKZCallEventSink.h"
#include "host/CKZClock.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace KZAPI {
class CKZCallControl;
}

namespace kzapp {

// What kzhost does by itself with calls; without a delay it leaves them to the application.
struct KZCallPolicy {
    std::optional<int> answer_after; // seconds from the offer to the answer
    std::optional<int> hangup_after; // seconds from the connection to the hang-up
};

struct KZCallOutputs {
    std::function<void(const KZJson&)> publish;
    std::function<void(const std::string&)> print; // one line, without its end
};

class KZCallEvents final : public KZAPI::CKZCallEventSink {
public:
    KZCallEvents(KZCallOutputs outputs, KZCallPolicy policy,
                 const KZAPI::CKZClock& clock = KZAPI::CKZClock::System());
    ~KZCallEvents() override;
    KZCallEvents(const KZCallEvents&) = delete;
    KZCallEvents& operator=(const KZCallEvents&) = delete;

    // The agent thread; without it, RunOnce does its work when called.
    void Start();
    void Stop();
    // Reports the events queued so far, then acts on the timers that are due.
    void RunOnce();

    void OnCallStatus(KZAPI::CKZCallControl& call, int old_status, int new_status) override;
    void OnCallProgress(KZAPI::CKZCallControl& call) override;

private:
    struct Notice {
        KZAPI::CKZCallControl* call = nullptr;
        int channel = -1;
        bool progress = false;
        int old_status = 0;
        int new_status = 0;
        std::string from, to, call_id, cause_text;
        int cause_code = 0;
        uint64_t at_ms = 0; // when it happened, which the delays count from
    };
    enum class Action { Answer, Hangup };
    struct Timer {
        uint64_t due_ms;
        KZAPI::CKZCallControl* call;
        int channel;
        uint64_t call_number; // which call of the channel it was set for
        Action action;
    };

    Notice NoticeOf(KZAPI::CKZCallControl& call) const;
    void Queue(Notice notice);
    void Report(const Notice& n);
    void ReportReleased(const Notice& n, const std::string& call);
    void ReportStatus(const Notice& n);
    void Emit(const KZJson& event, const std::string& line);
    void Schedule(const Notice& n, std::optional<int> delay, Action action);
    void RunDueTimers();
    void Act(const Timer& timer);
    void Run();
    std::optional<uint64_t> NextDue() const;

    KZCallOutputs m_outputs;
    KZCallPolicy m_policy;
    const KZAPI::CKZClock& m_clock;

    std::mutex m_mutex; // the queue and the stop flag
    std::condition_variable m_wake;
    std::deque<Notice> m_notices;
    bool m_stopping = false;
    std::thread m_thread;

    // The agent's own: calls ended per channel, so that a timer never acts on a later call.
    std::map<int, uint64_t> m_calls_ended;
    std::vector<Timer> m_timers;
};

} // namespace kzapp

#include "app/KZCallEvents.h"

#include "app/KZCallText.h"
#include "host/CKZCallControl.h"
#include "host/CKZChannel.h"

#include <algorithm>
#include <chrono>

namespace kzapp {

using KZAPI::CKZCall;
using KZAPI::CKZCallControl;

namespace {

// The agent looks at its timers at least this often, whatever the clock says.
constexpr uint64_t kLongestWaitMs = 1000;

} // namespace

KZCallEvents::KZCallEvents(KZCallOutputs outputs, KZCallPolicy policy, const KZAPI::CKZClock& clock)
    : m_outputs(std::move(outputs)), m_policy(policy), m_clock(clock) {}

KZCallEvents::~KZCallEvents() {
    Stop();
}

void KZCallEvents::Start() {
    if (m_thread.joinable()) return;
    m_stopping = false;
    m_thread = std::thread([this] { Run(); });
}

void KZCallEvents::Stop() {
    if (!m_thread.joinable()) return;
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

KZCallEvents::Notice KZCallEvents::NoticeOf(CKZCallControl& call) const {
    Notice n;
    n.call = &call;
    n.at_ms = m_clock.TickMs();
    n.channel = call.GetChannel() ? call.GetChannel()->GetChannelNumber() : -1;
    return n;
}

void KZCallEvents::OnCallStatus(CKZCallControl& call, int old_status, int new_status) {
    // The caller holds the call's lock, so the fields read here belong to this one moment.
    Notice n = NoticeOf(call);
    n.old_status = old_status;
    n.new_status = new_status;
    if (new_status == CKZCall::CALL_STATUS_OFFERED) {
        n.from = call.GetCallerNum();
        n.to = call.GetCalleeNum();
        n.call_id = call.GetCallID();
    }
    if (new_status == CKZCall::CALL_STATUS_IDLE) {
        n.cause_code = call.GetDisconnectCauseCode();
        n.cause_text = call.GetDisconnectCauseText();
    }
    Queue(std::move(n));
}

void KZCallEvents::OnCallProgress(CKZCallControl& call) {
    Notice n = NoticeOf(call);
    n.progress = true;
    Queue(std::move(n));
}

void KZCallEvents::Queue(Notice notice) {
    {
        std::lock_guard lock(m_mutex);
        m_notices.push_back(std::move(notice));
    }
    m_wake.notify_one();
}

void KZCallEvents::RunOnce() {
    std::deque<Notice> notices;
    {
        std::lock_guard lock(m_mutex);
        notices.swap(m_notices);
    }
    for (const Notice& n : notices)
        Report(n);
    RunDueTimers();
}

void KZCallEvents::Run() {
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        lock.unlock();
        RunOnce();
        lock.lock();
        const uint64_t now = m_clock.TickMs();
        const std::optional<uint64_t> due = NextDue();
        const uint64_t wait = due ? std::min(*due > now ? *due - now : 0, kLongestWaitMs) : kLongestWaitMs;
        m_wake.wait_for(lock, std::chrono::milliseconds(wait),
                        [this] { return m_stopping || !m_notices.empty(); });
    }
}

std::optional<uint64_t> KZCallEvents::NextDue() const {
    std::optional<uint64_t> next;
    for (const Timer& t : m_timers)
        if (!next || t.due_ms < *next) next = t.due_ms;
    return next;
}

void KZCallEvents::Emit(const KZJson& event, const std::string& line) {
    if (m_outputs.print) m_outputs.print("kzhost: " + line);
    if (m_outputs.publish) m_outputs.publish(event);
}

void KZCallEvents::Report(const Notice& n) {
    if (n.progress)
        Emit({{"event", "progress"}, {"channel", n.channel}, {"code", 183}},
             "call " + std::to_string(n.channel) + " progress");
    else
        ReportStatus(n);
}

void KZCallEvents::ReportStatus(const Notice& n) {
    const std::string call = "call " + std::to_string(n.channel);
    switch (n.new_status) {
    case CKZCall::CALL_STATUS_OFFERED:
        Emit({{"event", "offered"},
              {"channel", n.channel},
              {"from", n.from},
              {"to", n.to},
              {"call_id", n.call_id}},
             call + " offered from " + n.from + " to " + n.to);
        Schedule(n, m_policy.answer_after, Action::Answer);
        break;
    case CKZCall::CALL_STATUS_RINGING:
        Emit({{"event", "ringing"}, {"channel", n.channel}}, call + " ringing");
        break;
    case CKZCall::CALL_STATUS_CONNECTED: {
        // Read here, not in the sink: the call control takes its own lock to tell.
        const std::string codec = codec_name(n.call->GetCurrentAudioCodec());
        Emit({{"event", "connected"}, {"channel", n.channel}, {"codec", codec}},
             call + " connected " + codec);
        Schedule(n, m_policy.hangup_after, Action::Hangup);
        break;
    }
    case CKZCall::CALL_STATUS_IDLE:
        ++m_calls_ended[n.channel];
        ReportReleased(n, call);
        break;
    default:
        break; // calling, answering, disconnecting and reserved are steps the events above frame
    }
}

// The cause is a SIP status (a final response that ended the call, or the cause of a local
// hang-up), or, when the far end hung up, the number of the request it sent (BYE 4, CANCEL 3).
void KZCallEvents::ReportReleased(const Notice& n, const std::string& call) {
    constexpr int kLowestStatus = 100;
    if (n.cause_code > 0 && n.cause_code < kLowestStatus) {
        Emit({{"event", "released"},
              {"channel", n.channel},
              {"cause", 0},
              {"text", n.cause_text},
              {"by", "remote"}},
             call + " released by remote " + n.cause_text);
        return;
    }
    std::string line = call + " released";
    if (n.cause_code > 0) line += " " + std::to_string(n.cause_code) + " " + n.cause_text;
    Emit({{"event", "released"}, {"channel", n.channel}, {"cause", n.cause_code}, {"text", n.cause_text}},
         line);
}

void KZCallEvents::Schedule(const Notice& n, std::optional<int> delay, Action action) {
    if (!delay) return;
    const uint64_t due = n.at_ms + static_cast<uint64_t>(*delay) * 1000u;
    m_timers.push_back({due, n.call, n.channel, m_calls_ended[n.channel], action});
}

void KZCallEvents::RunDueTimers() {
    const uint64_t now = m_clock.TickMs();
    std::vector<Timer> due;
    std::erase_if(m_timers, [&](const Timer& t) {
        if (t.due_ms > now) return false;
        due.push_back(t);
        return true;
    });
    for (const Timer& t : due)
        Act(t);
}

void KZCallEvents::Act(const Timer& timer) {
    // The call the timer was set for may have ended, and another begun on the channel, since.
    if (m_calls_ended[timer.channel] != timer.call_number) return;
    const std::string call = "call " + std::to_string(timer.channel);
    if (timer.action == Action::Answer) {
        if (timer.call->GetCallStatus() != CKZCall::CALL_STATUS_OFFERED) return;
        if (!timer.call->AnswerOffered())
            Emit({{"event", "error"}, {"channel", timer.channel}, {"reason", "the call was not answered"}},
                 call + " not answered");
        return;
    }
    if (timer.call->GetCallStatus() != CKZCall::CALL_STATUS_CONNECTED) return;
    if (!timer.call->DisconnectCall())
        Emit({{"event", "error"}, {"channel", timer.channel}, {"reason", "the call was not hung up"}},
             call + " not hung up");
}

} // namespace kzapp

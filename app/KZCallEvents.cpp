#include "app/KZCallEvents.h"

#include "app/KZCallText.h"
#include "host/CKZAudioControl.h"
#include "host/CKZCallControl.h"
#include "host/CKZChannel.h"
#include "host/CKZDTMFControl.h"

#include <algorithm>
#include <chrono>
#include <pthread.h>
#include <thread>
#include <utility>

namespace kzapp {

using KZAPI::CKZCall;
using KZAPI::CKZCallControl;

namespace {

// The agent looks at its timers at least this often, whatever the clock says.
constexpr uint64_t kLongestWaitMs = 1000;
// How long notices may gather before they are reported together.
constexpr unsigned kGatherMs = 2;
// The stop's text by which a recording's end tells that the agent ended it at its limit.
constexpr const char* kLimitText = "max-seconds";

const char* digit_result_name(int result) {
    switch (result) {
    case KZAPI::CKZDTMFControl::DTMF_DONE_MAX_DIGITS:
        return "max-digits";
    case KZAPI::CKZDTMFControl::DTMF_DONE_TERMINATOR:
        return "terminator";
    case KZAPI::CKZDTMFControl::DTMF_DONE_TIMEOUT:
        return "timeout";
    case KZAPI::CKZDTMFControl::DTMF_DONE_STOPPED:
        return "stopped";
    default:
        return "unknown";
    }
}

// A play or a recording ends with its list, by a stop, or by the digits its collection waited for.
const char* audio_result_name(int result) {
    if (result == KZAPI::CKZAudioControl::AUDIO_DONE_LIST_END) return "end";
    if (result == KZAPI::CKZAudioControl::AUDIO_DONE_STOPPED) return "stopped";
    return digit_result_name(result);
}

// The digits that ended a play or a recording; a stop's own text is none.
std::string digits_of(int result, const std::string& text) {
    return result == KZAPI::CKZAudioControl::AUDIO_DONE_STOPPED ? std::string() : text;
}

std::string text_or_empty(const char* text) {
    return text ? std::string(text) : std::string();
}

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
    n.kind = Kind::Progress;
    Queue(std::move(n));
}

void KZCallEvents::OnCallHold(CKZCallControl& call, bool held, bool by_remote) {
    Notice n = NoticeOf(call);
    n.kind = Kind::Hold;
    n.on = held;
    n.by_remote = by_remote;
    Queue(std::move(n));
}

void KZCallEvents::OnTransferProgress(CKZCallControl& call, int code, const char* text) {
    Notice n = NoticeOf(call);
    n.kind = Kind::TransferProgress;
    n.result = code;
    n.text = text_or_empty(text);
    {
        std::lock_guard lock(m_mutex);
        n.target = m_transfer_targets[n.channel];
    }
    Queue(std::move(n));
}

void KZCallEvents::OnCallTransferring(CKZCallControl& call, const char* target, bool attended) {
    Notice n = NoticeOf(call);
    n.kind = Kind::TransferRequested;
    n.target = text_or_empty(target);
    n.attended = attended;
    Queue(std::move(n));
}

std::string KZCallEvents::SwapTransferTarget(int channel, const std::string& target) {
    std::lock_guard lock(m_mutex);
    return std::exchange(m_transfer_targets[channel], target);
}

KZCallEvents::Notice KZCallEvents::MediaNotice(Kind kind, int channel) const {
    Notice n;
    n.kind = kind;
    n.channel = channel;
    n.at_ms = m_clock.TickMs();
    return n;
}

void KZCallEvents::OnDTMFDigit(int channel, char digit, unsigned duration_ms, const char* method) {
    Notice n = MediaNotice(Kind::Digit, channel);
    n.text = std::string(1, digit);
    n.duration_ms = duration_ms;
    n.method = text_or_empty(method);
    Queue(std::move(n));
}

void KZCallEvents::OnDTMFDone(int channel, int result, const char* digits) {
    Notice n = MediaNotice(Kind::CollectDone, channel);
    n.result = result;
    n.text = text_or_empty(digits);
    Queue(std::move(n));
}

void KZCallEvents::OnPlayDone(int channel, int result, const char* text) {
    Notice n = MediaNotice(Kind::PlayDone, channel);
    n.result = result;
    n.text = text_or_empty(text);
    Queue(std::move(n));
}

void KZCallEvents::OnRecordDone(int channel, int result, const char* text) {
    Notice n = MediaNotice(Kind::RecordDone, channel);
    n.result = result;
    n.text = text_or_empty(text);
    {
        std::lock_guard lock(m_mutex);
        n.path = m_record_paths[channel];
    }
    Queue(std::move(n));
}

void KZCallEvents::OnToneDetected(int channel, const char* name, int frequency) {
    Notice n = MediaNotice(Kind::Tone, channel);
    n.text = text_or_empty(name);
    n.frequency = frequency;
    Queue(std::move(n));
}

void KZCallEvents::OnVoiceActivity(int channel, int direction, int verdict) {
    Notice n = MediaNotice(Kind::Voice, channel);
    n.result = verdict;
    n.on = direction != 0; // received audio
    Queue(std::move(n));
}

void KZCallEvents::CollectionStarts(int channel) {
    Queue(MediaNotice(Kind::Collecting, channel));
}

void KZCallEvents::RecordingStarts(int channel, const std::string& path) {
    std::lock_guard lock(m_mutex);
    m_record_paths[channel] = path;
}

void KZCallEvents::RecordingStarted(int channel, KZAPI::CKZAudioControl& audio,
                                    std::optional<int> max_seconds) {
    Notice n = MediaNotice(Kind::RecordLimit, channel);
    n.audio = &audio;
    {
        std::lock_guard lock(m_mutex);
        n.recording = ++m_recordings_started[channel];
    }
    if (!max_seconds) return;
    n.seconds = *max_seconds;
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
    if (m_outputs.flush) m_outputs.flush();
}

void KZCallEvents::Run() {
    pthread_setname_np(pthread_self(), "kz-call-events");
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        lock.unlock();
        RunOnce();
        // Notices that come in the next moment are reported together: under load the thread
        // then wakes once for many calls instead of once for every notice.
        std::this_thread::sleep_for(std::chrono::milliseconds(kGatherMs));
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
    if (n.kind == Kind::Status)
        ReportStatus(n);
    else if (n.kind == Kind::Progress)
        Emit({{"event", "progress"}, {"channel", n.channel}, {"code", 183}},
             "call " + std::to_string(n.channel) + " progress");
    else if (n.kind == Kind::RecordLimit)
        LimitRecording(n);
    else if (n.kind == Kind::Collecting)
        m_collecting[n.channel] = true;
    else if (n.kind == Kind::Hold)
        ReportHold(n);
    else if (n.kind == Kind::TransferProgress || n.kind == Kind::TransferRequested)
        ReportTransfer(n);
    else if (n.kind == Kind::Voice)
        ReportVoice(n);
    else
        ReportMedia(n);
}

void KZCallEvents::ReportMedia(const Notice& n) {
    const std::string call = "call " + std::to_string(n.channel);
    switch (n.kind) {
    case Kind::Digit:
        Emit({{"event", "dtmf"},
              {"channel", n.channel},
              {"digit", n.text},
              {"duration_ms", n.duration_ms},
              {"method", n.method}},
             call + " digit " + n.text + " (" + n.method + ", " + std::to_string(n.duration_ms) + " ms)");
        break;
    case Kind::CollectDone: {
        // The collections of plays and recordings that stop on digits end with their own reports.
        if (!std::exchange(m_collecting[n.channel], false)) break;
        const char* result = digit_result_name(n.result);
        Emit({{"event", "collect-done"}, {"channel", n.channel}, {"result", result}, {"digits", n.text}},
             call + " collected " + (n.text.empty() ? "nothing" : n.text) + " (" + result + ")");
        break;
    }
    case Kind::PlayDone: {
        const char* result = audio_result_name(n.result);
        const std::string digits = digits_of(n.result, n.text);
        Emit({{"event", "play-done"}, {"channel", n.channel}, {"result", result}, {"digits", digits}},
             call + " play done " + result + (digits.empty() ? "" : " " + digits));
        break;
    }
    case Kind::RecordDone:
        ReportRecordDone(n);
        break;
    case Kind::Tone:
        Emit({{"event", "tone"}, {"channel", n.channel}, {"tone", n.text}, {"frequency", n.frequency}},
             call + " tone " + n.text + " " + std::to_string(n.frequency) + " Hz");
        break;
    default:
        break;
    }
}

void KZCallEvents::ReportHold(const Notice& n) {
    const char* event = n.by_remote ? (n.on ? "remote-held" : "remote-resumed") : (n.on ? "held" : "resumed");
    Emit({{"event", event}, {"channel", n.channel}}, "call " + std::to_string(n.channel) +
                                                         (n.on ? " held" : " resumed") +
                                                         (n.by_remote ? " by remote" : ""));
}

// The transferor hears how the far end's new call goes (a 2xx: it was transferred); the
// transferee hears that the far end asked for a transfer.
void KZCallEvents::ReportTransfer(const Notice& n) {
    const std::string call = "call " + std::to_string(n.channel);
    if (n.kind == Kind::TransferRequested) {
        Emit({{"event", "transfer-requested"},
              {"channel", n.channel},
              {"target", n.target},
              {"attended", n.attended}},
             call + " transfer requested to " + n.target + (n.attended ? " (attended)" : " (blind)"));
        return;
    }
    Emit({{"event", "transfer-progress"}, {"channel", n.channel}, {"code", n.result}, {"text", n.text}},
         call + " transfer " + std::to_string(n.result) + " " + n.text);
    if (n.result >= 200 && n.result < 300)
        Emit({{"event", "transferred"}, {"channel", n.channel}, {"target", n.target}, {"role", "transferor"}},
             call + " transferred to " + n.target);
}

// The module reports each start and end of voice, and besides a voice that sounds like a tone
// (verdict 2, again while it lasts) and a beep (3): the starts and ends become voice-on and
// voice-off, a beep becomes beep.
void KZCallEvents::ReportVoice(const Notice& n) {
    constexpr int kVoiceOff = 0;
    constexpr int kBeep = 3;
    const std::string call = "call " + std::to_string(n.channel);
    const char* direction = n.on ? "in" : "out";
    if (n.result == kBeep) {
        Emit({{"event", "beep"}, {"channel", n.channel}}, call + " beep");
        return;
    }
    bool& on = m_voice_on[{n.channel, n.on ? 1 : 0}];
    const bool voice = n.result != kVoiceOff;
    if (voice == on) return;
    on = voice;
    Emit({{"event", voice ? "voice-on" : "voice-off"}, {"channel", n.channel}, {"direction", direction}},
         call + (voice ? " voice on (" : " voice off (") + direction + ")");
}

void KZCallEvents::ReportRecordDone(const Notice& n) {
    ++m_recordings_ended[n.channel];
    const bool at_limit = std::exchange(m_ended_at_limit[n.channel], false);
    const char* result = at_limit && n.result == KZAPI::CKZAudioControl::AUDIO_DONE_STOPPED
                             ? kLimitText
                             : audio_result_name(n.result);
    const std::string digits = digits_of(n.result, n.text);
    Emit({{"event", "record-done"},
          {"channel", n.channel},
          {"result", result},
          {"digits", digits},
          {"path", n.path}},
         "call " + std::to_string(n.channel) + " record done " + result +
             (digits.empty() ? "" : " " + digits) + " " + n.path);
}

void KZCallEvents::LimitRecording(const Notice& n) {
    const uint64_t due = n.at_ms + static_cast<uint64_t>(n.seconds) * 1000u;
    m_timers.push_back({due, nullptr, n.channel, n.recording, Action::EndRecording, n.audio});
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
        // Digits are reported from the connection on, whether or not anything collects them.
        if (KZAPI::CKZChannel* channel = n.call->GetChannel(); channel && channel->GetDTMFControl())
            channel->GetDTMFControl()->EnableDTMFDetection();
        break;
    }
    case CKZCall::CALL_STATUS_IDLE:
        ++m_calls_ended[n.channel];
        m_collecting[n.channel] = false;
        m_voice_on[{n.channel, 0}] = m_voice_on[{n.channel, 1}] = false;
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

void KZCallEvents::EndRecording(const Timer& timer) {
    // The recording may have ended, by a digit or a stop, since the limit was set.
    if (m_recordings_ended[timer.channel] >= timer.number) return;
    m_ended_at_limit[timer.channel] = true;
    if (!timer.audio->StopRecording(kLimitText)) m_ended_at_limit[timer.channel] = false;
}

void KZCallEvents::Act(const Timer& timer) {
    if (timer.action == Action::EndRecording) return EndRecording(timer);
    // The call the timer was set for may have ended, and another begun on the channel, since.
    if (m_calls_ended[timer.channel] != timer.number) return;
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

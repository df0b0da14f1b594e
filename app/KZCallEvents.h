// kzhost's listener for call and media events. The call controls report every status change, and
// the media applications every digit, collection, play, recording and tone (and the call controls
// every hold and transfer report), on their own threads
// with a lock held, so the sinks only queue what they hear; one agent thread then prints a line
// per event, publishes it on the control socket and keeps the timers that answer offered calls,
// hang up connected ones after the configured delays and end recordings at their time limit. The
// agent acts on a call only through the controls' own operations, which take their locks
// themselves.
#pragma once

#include "app/KZControlCommands.h"
#include "app/KZHostCalls.h"
#include "host/CKZCallEventSink.h"
#include "host/CKZClock.h"
#include "host/CKZMediaEventSink.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
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
    // Called after each batch of reports: printed lines may wait for it, so that a busy host
    // writes its log once per batch rather than once per line.
    std::function<void()> flush = {};
};

class KZCallEvents final : public KZAPI::CKZCallEventSink,
                           public KZAPI::CKZMediaEventSink,
                           public IKZMediaWatch,
                           public IKZTransferWatch {
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
    void OnCallHold(KZAPI::CKZCallControl& call, bool held, bool by_remote) override;
    void OnTransferProgress(KZAPI::CKZCallControl& call, int code, const char* text) override;
    void OnCallTransferring(KZAPI::CKZCallControl& call, const char* target, bool attended) override;

    void OnDTMFDigit(int channel, char digit, unsigned duration_ms, const char* method) override;
    void OnDTMFDone(int channel, int result, const char* digits) override;
    void OnPlayDone(int channel, int result, const char* text) override;
    void OnRecordDone(int channel, int result, const char* text) override;
    void OnToneDetected(int channel, const char* name, int frequency) override;
    void OnVoiceActivity(int channel, int direction, int verdict) override;

    void RecordingStarts(int channel, const std::string& path) override;
    void CollectionStarts(int channel) override;
    void RecordingStarted(int channel, KZAPI::CKZAudioControl& audio,
                          std::optional<int> max_seconds) override;

    std::string SwapTransferTarget(int channel, const std::string& target) override;

private:
    enum class Kind {
        Status,
        Progress,
        Digit,
        CollectDone,
        PlayDone,
        RecordDone,
        Tone,
        RecordLimit,
        Collecting,
        Hold,
        TransferProgress,
        TransferRequested,
        Voice
    };
    struct Notice {
        Kind kind = Kind::Status;
        KZAPI::CKZCallControl* call = nullptr;
        KZAPI::CKZAudioControl* audio = nullptr; // of a recording limit
        int channel = -1;
        int old_status = 0;
        int new_status = 0;
        std::string from, to, call_id, cause_text;
        int cause_code = 0;
        // Media: the result, the digits or text, the digit's way and length, the tone.
        int result = 0;
        std::string text, method, path;
        unsigned duration_ms = 0;
        int frequency = 0;
        int seconds = 0;
        uint64_t recording = 0; // which recording of the channel a limit is for
        uint64_t at_ms = 0;     // when it happened, which the delays count from
        std::string target;     // of a transfer
        // Hold: on or off, and by which side; a transfer request: attended or blind.
        bool on = false;
        bool by_remote = false;
        bool attended = false;
    };
    enum class Action { Answer, Hangup, EndRecording };
    struct Timer {
        uint64_t due_ms;
        KZAPI::CKZCallControl* call;
        int channel;
        uint64_t number; // which call (or recording) of the channel it was set for
        Action action;
        KZAPI::CKZAudioControl* audio = nullptr;
    };

    Notice NoticeOf(KZAPI::CKZCallControl& call) const;
    void Queue(Notice notice);
    Notice MediaNotice(Kind kind, int channel) const;
    void Report(const Notice& n);
    void ReportMedia(const Notice& n);
    void ReportRecordDone(const Notice& n);
    void LimitRecording(const Notice& n);
    void ReportReleased(const Notice& n, const std::string& call);
    void ReportStatus(const Notice& n);
    void ReportHold(const Notice& n);
    void ReportTransfer(const Notice& n);
    void ReportVoice(const Notice& n);
    void Emit(const KZJson& event, const std::string& line);
    void Schedule(const Notice& n, std::optional<int> delay, Action action);
    void RunDueTimers();
    void Act(const Timer& timer);
    void EndRecording(const Timer& timer);
    void Run();
    std::optional<uint64_t> NextDue() const;

    KZCallOutputs m_outputs;
    KZCallPolicy m_policy;
    const KZAPI::CKZClock& m_clock;

    std::mutex m_mutex; // the queue and the stop flag
    std::condition_variable m_wake;
    std::deque<Notice> m_notices;
    bool m_stopping = false;
    // Per channel: the path of its latest recording and how many recordings were started.
    std::map<int, std::string> m_record_paths;
    std::map<int, uint64_t> m_recordings_started;
    // Per channel: the target of the latest transfer a command asked for.
    std::map<int, std::string> m_transfer_targets;
    std::thread m_thread;

    // The agent's own: calls ended per channel, so that a timer never acts on a later call.
    std::map<int, uint64_t> m_calls_ended;
    // Recordings ended per channel, and the channels whose recording the agent ended at its limit.
    std::map<int, uint64_t> m_recordings_ended;
    std::map<int, bool> m_ended_at_limit;
    // The channels where a collection asked for by a command runs.
    std::map<int, bool> m_collecting;
    // Per channel and direction (0 sent, 1 received): whether its voice is on.
    std::map<std::pair<int, int>, bool> m_voice_on;
    std::vector<Timer> m_timers;
};

} // namespace kzapp

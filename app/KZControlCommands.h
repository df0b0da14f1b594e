// The commands of kzhost's control socket: one JSON object per line in, exactly one JSON reply
// per command out. This part knows nothing of sockets; it checks a line against the command
// table, runs it against the host and returns the reply.
#pragma once

#include "app/KZAccountCommands.h"
#include "app/KZSessionCommands.h"
#include "app/KZUserCommands.h"
#include "sipstack/KZ_SIPStackStats.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kzapp {

class IKZSoundCommands;

// Keeps the members in the order written, so that every event line starts with its "event".
using KZJson = nlohmann::ordered_json;

// The kinds of events the socket carries on its own (not as replies); a client receives the
// kinds it subscribed to, all of them by default.
enum class KZEventKind : unsigned {
    Offered,
    Ringing,
    Progress,
    Connected,
    Released,
    Error,
    Registration,
    Dtmf,
    CollectDone,
    PlayDone,
    RecordDone,
    Tone,
    Held,
    Resumed,
    RemoteHeld,
    RemoteResumed,
    TransferProgress,
    Transferred,
    TransferRequested,
    Subscription,
    Message,
    MessageDelivered,
    Notify,
    UserRegistered,
    UserUnregistered,
    VoiceOn,
    VoiceOff,
    Beep,
    IncomingSession,
    SessionStatus,
    Count
};
using KZEventMask = unsigned;
constexpr KZEventMask kAllEventKinds = (1u << static_cast<unsigned>(KZEventKind::Count)) - 1;

std::optional<KZEventKind> event_kind_named(std::string_view name);
const char* event_kind_name(KZEventKind kind);
constexpr KZEventMask event_bit(KZEventKind kind) {
    return 1u << static_cast<unsigned>(kind);
}

// One channel as the "calls" command lists it.
struct KZChannelStatus {
    int channel = 0;
    int protocol = 0;
    int call_status = 0; // the host call status; 0 is idle
    bool idle = false;
    uint32_t sip_crv = 0;
    std::string call_id;
    int sip_code = 0;      // the last SIP status code of the call (a request's: minus its method)
    std::string direction; // "in", "out", or "" without a call
    std::string from, to;
    std::string codec; // of a connected call
    // Hold as each side last set it.
    bool held_locally = false;
    bool held_by_remote = false;
    // The call's media, when it has RTP running.
    bool media = false;
    uint64_t packets_sent = 0;
    uint64_t packets_received = 0;
    int64_t lost = 0;
    double jitter_ms = 0;
    uint64_t concealed = 0;
    int bridged_to = -1; // the channel this one's audio is connected to
    std::string bridge;  // "dsp", "dsp-half", "rtp" or ""
};

// How regularly the host's media runs, process wide.
struct KZMediaTiming {
    uint64_t intervals = 0;
    double send_jitter_p50_ms = 0;
    double send_jitter_p99_ms = 0;
    double send_jitter_max_ms = 0;
    uint64_t ticks = 0;
    double dsp_late_p50_ms = 0;
    double dsp_late_p99_ms = 0;
    double dsp_late_max_ms = 0;
};

// What the queries read from the running host.
class IKZHostQueries {
public:
    virtual ~IKZHostQueries() = default;
    // False when the stack cannot tell (not open).
    virtual bool ReadStackStats(KZ_SIPStackStats& stats) = 0;
    virtual std::vector<KZChannelStatus> ListChannels() = 0;
    // reset: start a new measuring window after reading.
    virtual KZMediaTiming ReadMediaTiming(bool reset) = 0;
};

enum class KZTransport { Udp, Tcp, Tls };

struct KZDialRequest {
    std::optional<int> channel; // none: any idle channel
    std::string from;           // empty: the channel's own identity
    std::string to;
    KZTransport transport = KZTransport::Udp;
    std::string user; // credentials for a challenge; empty: none
    std::string password;
    bool srtp = false; // offer SRTP (always offered when the module requires it)
};

// What the media commands ask of a connected call's audio, digits and tones.
enum class KZRecordEncoding { Linear, Ulaw, Alaw };
enum class KZDTMFMethod { Auto, Inband, Info, Rfc2833 };

struct KZPlayRequest {
    int channel = 0;
    std::vector<std::string> files; // absolute paths, played in turn
    bool loop = false;
    bool random = false;
    std::string stop_digits; // empty: none
};

struct KZRecordRequest {
    int channel = 0;
    std::string path; // absolute; its extension tells the file format
    KZRecordEncoding encoding = KZRecordEncoding::Linear;
    bool mixed = false;             // both directions, else what the caller says
    std::optional<int> max_seconds; // none: until stopped
    std::string stop_digits;
};

struct KZCollectRequest {
    int channel = 0;
    int max_digits = 0; // 0: no limit
    std::string terminators;
    unsigned timeout_ms = 0; // 0: none
};

// A transfer of the far end of a connected call to target; with replaces_channel, the far end's
// new call replaces the call on that channel (attended), and an empty target names that call's
// far end.
struct KZTransferRequest {
    int channel = 0;
    std::string target;
    std::optional<int> replaces_channel;
};

// The answer that sends an offered call elsewhere.
struct KZRedirectRequest {
    int channel = 0;
    std::string target;
    int code = 302;
    std::string text;
};

// The outcome of a call command: accepted (on a channel) or refused with a reason.
struct KZCallOutcome {
    bool accepted = false;
    int channel = -1;
    std::string reason;

    static KZCallOutcome Accepted(int channel) { return {true, channel, {}}; }
    static KZCallOutcome Refused(std::string reason) { return {false, -1, std::move(reason)}; }
};

// The call commands, already checked for their arguments. They return at once; the call's
// progress arrives later as published events.
class IKZCallCommands {
public:
    virtual ~IKZCallCommands() = default;
    virtual KZCallOutcome Dial(const KZDialRequest& request) = 0;
    virtual KZCallOutcome Answer(int channel) = 0;
    virtual KZCallOutcome Ring(int channel) = 0;
    // cause: a SIP status code (400-699) to end the call with; 0 leaves the call control's own.
    virtual KZCallOutcome Hangup(int channel, int cause) = 0;
    // Connects the audio of two channels' calls: through the DSPs ("dsp", converting between the
    // calls' codecs; half duplex: the first hears the second only) or by relaying RTP between
    // the two remote parties ("rtp", full duplex only).
    virtual KZCallOutcome Bridge(int channel, int with, bool rtp, bool half_duplex) = 0;
    virtual KZCallOutcome Unbridge(int channel) = 0;
    // Media on a connected call; how each ends arrives later as an event.
    virtual KZCallOutcome Play(const KZPlayRequest& request) = 0;
    virtual KZCallOutcome Record(const KZRecordRequest& request) = 0;
    virtual KZCallOutcome StopPlay(int channel) = 0;
    virtual KZCallOutcome StopRecord(int channel) = 0;
    virtual KZCallOutcome SendDTMF(int channel, const std::string& digits, KZDTMFMethod method) = 0;
    virtual KZCallOutcome Collect(const KZCollectRequest& request) = 0;
    virtual KZCallOutcome DetectTones(int channel, bool on) = 0;
    // Gain of the call's received (in) and sent (out) audio, in dB (0: unchanged).
    virtual KZCallOutcome Gain(int channel, int in_db, int out_db) = 0;
    // Voice-activity detection on the call's received (in) and sent (out) audio; an empty choice
    // keeps that direction as it is.
    virtual KZCallOutcome VoiceDetection(int channel, std::optional<bool> in, std::optional<bool> out) = 0;
    // Puts a connected call on hold (on) or takes it off hold; the change follows as an event.
    virtual KZCallOutcome Hold(int channel, bool on) = 0;
    // Asks the far end to call the target; how its call goes follows as events.
    virtual KZCallOutcome Transfer(const KZTransferRequest& request) = 0;
    // Answers an offered call with a redirection.
    virtual KZCallOutcome Redirect(const KZRedirectRequest& request) = 0;
};

// Refuses every call command: for a host that carries no calls.
class KZNoCallControl final : public IKZCallCommands {
public:
    static constexpr const char* kReason = "call control is not available";
    KZCallOutcome Dial(const KZDialRequest&) override { return KZCallOutcome::Refused(kReason); }
    KZCallOutcome Answer(int) override { return KZCallOutcome::Refused(kReason); }
    KZCallOutcome Ring(int) override { return KZCallOutcome::Refused(kReason); }
    KZCallOutcome Hangup(int, int) override { return KZCallOutcome::Refused(kReason); }
    KZCallOutcome Bridge(int, int, bool, bool) override { return KZCallOutcome::Refused(kReason); }
    KZCallOutcome Unbridge(int) override { return KZCallOutcome::Refused(kReason); }
    KZCallOutcome Play(const KZPlayRequest&) override { return KZCallOutcome::Refused(kReason); }
    KZCallOutcome Record(const KZRecordRequest&) override { return KZCallOutcome::Refused(kReason); }
    KZCallOutcome StopPlay(int) override { return KZCallOutcome::Refused(kReason); }
    KZCallOutcome StopRecord(int) override { return KZCallOutcome::Refused(kReason); }
    KZCallOutcome SendDTMF(int, const std::string&, KZDTMFMethod) override {
        return KZCallOutcome::Refused(kReason);
    }
    KZCallOutcome Collect(const KZCollectRequest&) override { return KZCallOutcome::Refused(kReason); }
    KZCallOutcome DetectTones(int, bool) override { return KZCallOutcome::Refused(kReason); }
    KZCallOutcome Gain(int, int, int) override { return KZCallOutcome::Refused(kReason); }
    KZCallOutcome VoiceDetection(int, std::optional<bool>, std::optional<bool>) override {
        return KZCallOutcome::Refused(kReason);
    }
    KZCallOutcome Hold(int, bool) override { return KZCallOutcome::Refused(kReason); }
    KZCallOutcome Transfer(const KZTransferRequest&) override { return KZCallOutcome::Refused(kReason); }
    KZCallOutcome Redirect(const KZRedirectRequest&) override { return KZCallOutcome::Refused(kReason); }
};

// What one connection has told the commands so far.
struct KZClientSession {
    bool authenticated = false;
    bool close_after_reply = false; // set when the connection must end after this reply
    KZEventMask subscribed = kAllEventKinds;
    KZRoutingLease routing{}; // held while this client routes the proxied calls
};

class KZControlCommands {
public:
    // An empty token means no client needs to authenticate. Without accounts every account
    // command is refused, without users every proxy-user command, without sessions every
    // proxy-session command.
    KZControlCommands(IKZHostQueries& host, IKZCallCommands& calls, std::string token,
                      IKZAccounts* accounts = nullptr, IKZUsers* users = nullptr,
                      IKZSessions* sessions = nullptr);

    // The reply to one line (without its line end).
    KZJson Execute(std::string_view line, KZClientSession& session) const;

    bool TokenRequired() const { return !m_token.empty(); }
    // The sound-device commands act here; without it they are refused.
    void SetSoundCommands(IKZSoundCommands* sound) { m_sound = sound; }

private:
    KZJson Run(const std::string& name, const KZJson& command, KZClientSession& session) const;
    KZJson Authenticate(const KZJson& command, KZClientSession& session) const;
    KZJson Stats() const;
    KZJson Calls() const;
    KZJson Dial(const KZJson& command) const;
    KZJson Bridge(const KZJson& command) const;
    KZJson MediaStats(const KZJson& command) const;
    KZJson Play(const KZJson& command) const;
    KZJson Record(const KZJson& command) const;
    KZJson SendDTMF(const KZJson& command) const;
    KZJson Collect(const KZJson& command) const;
    KZJson VoiceDetection(const KZJson& command) const;
    KZJson Transfer(const KZJson& command) const;
    KZJson Redirect(const KZJson& command) const;
    // The account, presence and message commands (KZAccountControl.cpp).
    static bool is_account_command(const std::string& name);
    KZJson RunAccountCommand(const std::string& name, const KZJson& command) const;
    KZJson AccountList() const;
    KZJson AccountAdd(const KZJson& command) const;
    KZJson AccountSet(const KZJson& command) const;
    KZJson SendMessage(const KZJson& command) const;
    KZJson WatchTarget(const KZJson& command) const;
    // The proxy-user commands of server mode (KZUserControl.cpp).
    static bool is_user_command(const std::string& name);
    KZJson RunUserCommand(const std::string& name, const KZJson& command) const;
    KZJson UserList() const;
    // The proxy-session commands of server mode (KZSessionControl.cpp).
    static bool is_session_command(const std::string& name);
    KZJson RunSessionCommand(const std::string& name, const KZJson& command, KZClientSession& session) const;

    IKZHostQueries& m_host;
    IKZCallCommands& m_calls;
    IKZAccounts& m_accounts;
    IKZUsers& m_users;
    IKZSessions& m_sessions;
    std::string m_token;
    IKZSoundCommands* m_sound = nullptr;
};

// {"event":"error","reason":reason}, with the id when there is one.
KZJson error_event(std::string_view reason, const KZJson* id = nullptr);

} // namespace kzapp

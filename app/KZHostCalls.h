// The control socket's call commands carried out on kzhost's SIP channels: dial places a call on
// a given or any idle channel, answer and ring answer an offered call, hangup ends a call, hold
// and transfer act on a connected one and redirect sends an offered one elsewhere. A command that
// cannot apply (no such channel, a busy one, no call to act on) is refused and changes nothing.
// The commands take no lock of their own: each call control operation locks its call itself.
#pragma once

#include "app/KZControlCommands.h"
#include "host/CKZServer.h"

#include <atomic>
#include <optional>
#include <string>

namespace KZAPI {
class CKZAudioControl;
class CKZChannel;
class CKZCallControl;
class CKZDTMFControl;
} // namespace KZAPI

namespace kzapp {

// Told of the collections and recordings the commands start: a collection, so that only the end
// of one asked for is reported as such (plays and recordings that stop on digits run collections
// of their own); a recording's path, for the report of its end, and its limit, which the watch
// keeps by stopping the recording itself.
class IKZMediaWatch {
public:
    virtual ~IKZMediaWatch() = default;
    // Before the recording starts, so that an end reported at once still finds its path.
    virtual void RecordingStarts(int channel, const std::string& path) = 0;
    // The recording runs.
    virtual void RecordingStarted(int channel, KZAPI::CKZAudioControl& audio,
                                  std::optional<int> max_seconds) = 0;
    // Before the collection starts, for the same reason.
    virtual void CollectionStarts(int channel) = 0;
};

// Told of the transfers the commands ask for, so that the report of how one went can name its
// target.
class IKZTransferWatch {
public:
    virtual ~IKZTransferWatch() = default;
    // Sets the target of the channel's transfer and returns the one before, which a transfer that
    // was not sent puts back. Set before the REFER goes out, so that the far end's first report
    // finds it.
    virtual std::string SwapTransferTarget(int channel, const std::string& target) = 0;
};

class KZHostCalls final : public IKZCallCommands {
public:
    explicit KZHostCalls(KZAPI::CKZServer& server) : m_server(server) {}

    KZCallOutcome Dial(const KZDialRequest& request) override;
    KZCallOutcome Answer(int channel) override;
    KZCallOutcome Ring(int channel) override;
    KZCallOutcome Hangup(int channel, int cause) override;
    KZCallOutcome Bridge(int channel, int with, bool rtp, bool half_duplex) override;
    KZCallOutcome Unbridge(int channel) override;
    KZCallOutcome Play(const KZPlayRequest& request) override;
    KZCallOutcome Record(const KZRecordRequest& request) override;
    KZCallOutcome StopPlay(int channel) override;
    KZCallOutcome StopRecord(int channel) override;
    KZCallOutcome SendDTMF(int channel, const std::string& digits, KZDTMFMethod method) override;
    KZCallOutcome Collect(const KZCollectRequest& request) override;
    KZCallOutcome DetectTones(int channel, bool on) override;
    KZCallOutcome Gain(int channel, int in_db, int out_db) override;
    KZCallOutcome VoiceDetection(int channel, std::optional<bool> in, std::optional<bool> out) override;
    KZCallOutcome Hold(int channel, bool on) override;
    KZCallOutcome Transfer(const KZTransferRequest& request) override;
    KZCallOutcome Redirect(const KZRedirectRequest& request) override;

    // Null: recordings run without their time limit, and no collection's end is reported.
    void SetMediaWatch(IKZMediaWatch* watch) { m_watch.store(watch); }
    // Null: transfers are reported without their target.
    void SetTransferWatch(IKZTransferWatch* watch) { m_transfer_watch.store(watch); }

    // A SIP address as the module writes it into Refer-To and Contact: "<sip:...>".
    static std::string BracketedSIPAddress(const std::string& target);
    // The far end of a call: its Contact, else the remote party's address; "" when it has none.
    static std::string FarEndOf(KZAPI::CKZCallControl& call);

    // "<sip:kzhost@ADDRESS:PORT>" of this host's SIP listener for the transport.
    static std::string DefaultFrom(KZTransport transport);

private:
    KZAPI::CKZChannel* FindChannel(int number) const;
    // The channel's call control when it has one in the status, else null and why not.
    KZAPI::CKZCallControl* CallIn(int channel, int status, std::string& why) const;
    // The channel when it has a connected call and the media control asked for, else null and why.
    KZAPI::CKZChannel* ConnectedChannel(int channel, std::string& why) const;
    // The audio and DTMF controls of a channel's connected call, for a play or a recording (with
    // stop digits, DIGITS: then the DTMF control is needed too); a null audio control and WHY when
    // the channel cannot VERB.
    struct MediaControls {
        KZAPI::CKZAudioControl* audio = nullptr;
        KZAPI::CKZDTMFControl* dtmf = nullptr;
        std::string name;
    };
    MediaControls MediaControlsFor(int channel, bool digits, const char* verb, std::string& why) const;

    KZAPI::CKZServer& m_server;
    std::atomic<IKZMediaWatch*> m_watch{nullptr};
    std::atomic<IKZTransferWatch*> m_transfer_watch{nullptr};
};

} // namespace kzapp

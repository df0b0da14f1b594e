#include "app/KZHostCalls.h"

#include "app/KZCallText.h"
#include "host/CKZCfgInterface.h"
#include "host/CKZChannel.h"
#include "host/KZStrFunc.h"

#include <cmath>

namespace kzapp {

using KZAPI::CKZAudioControl;
using KZAPI::CKZCall;
using KZAPI::CKZCallControl;
using KZAPI::CKZCfgInterface;
using KZAPI::CKZChannel;

namespace {

constexpr int kNoSRTP = 0;
constexpr int kOfferSRTP = 1;
constexpr int kNoDigitLimit = 0;
constexpr unsigned kNoTimeout = 0;
constexpr uint32_t kFromTheStart = 0;

std::string channel_text(int channel) {
    return "channel " + std::to_string(channel);
}

int protocol_of(KZTransport transport) {
    switch (transport) {
    case KZTransport::Tcp:
        return 1;
    case KZTransport::Tls:
        return 2;
    default:
        return 0;
    }
}

// The address other parties reach this host on: the configured one, else the machine's first
// address that is not loopback, else any.
std::string listener_address() {
    std::string address(
        KZAPI::trim_spaces(CKZCfgInterface::CFG_GetValue("kzsrv.sip.ip.address", "").c_str()));
    if (!address.empty() && address != "0.0.0.0") return address;
    address = KZAPI::CKZServer::GetFirstLocalPublicIP();
    return address.empty() ? KZAPI::CKZServer::GetLocalIP(0) : address;
}

KZAPI::KZ_AC_AUDIO_FORMAT format_of(KZRecordEncoding encoding) {
    switch (encoding) {
    case KZRecordEncoding::Ulaw:
        return {3, 3, 96};
    case KZRecordEncoding::Alaw:
        return {4, 3, 96};
    default:
        return {7, 3, 112};
    }
}

// The call's DTMF method numbers: 0 in-band, 1 SIP INFO, 2 RFC 2833.
int method_code(KZDTMFMethod method) {
    switch (method) {
    case KZDTMFMethod::Inband:
        return 0;
    case KZDTMFMethod::Info:
        return 1;
    default:
        return 2;
    }
}

// The "sip:..." address in a header value or Contact ("\"Bob\" <sip:bob@h>;tag=1" -> "sip:bob@h"),
// or "" when it names none.
std::string sip_address_in(const std::string& text) {
    if (const size_t open = text.find("<sip:"); open != std::string::npos) {
        const size_t close = text.find('>', open);
        return close == std::string::npos ? "" : text.substr(open + 1, close - open - 1);
    }
    const size_t start = text.find("sip:");
    if (start == std::string::npos) return "";
    return text.substr(start, text.find_first_of(" ;,", start) - start);
}

} // namespace

std::string KZHostCalls::BracketedSIPAddress(const std::string& target) {
    if (target.rfind("<sip:", 0) == 0) return target;
    if (target.rfind("sip:", 0) == 0) return "<" + target + ">";
    return "<sip:" + target + ">";
}

std::string KZHostCalls::FarEndOf(CKZCallControl& call) {
    KZAPI::CMutexLock lock(call.GetCallMutex());
    std::string address = sip_address_in(call.GetPeerSIPContactAddress());
    if (address.empty())
        address = sip_address_in(call.IsOutbound() ? call.GetCalleeNum() : call.GetCallerNum());
    return address.empty() ? "" : "<" + address + ">";
}

std::string KZHostCalls::DefaultFrom(KZTransport transport) {
    const int port = CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.ip.port", 5060);
    // TLS listens on the port after the UDP and TCP one.
    const int listener = transport == KZTransport::Tls ? port + 1 : port;
    return "<sip:kzhost@" + listener_address() + ":" + std::to_string(listener) + ">";
}

CKZChannel* KZHostCalls::FindChannel(int number) const {
    KZAPI::CMutexLock lock(m_server.GetServerMutex());
    for (int i = 0; i < m_server.GetNumOfChannels(); ++i) {
        CKZChannel* channel = m_server.GetChannel(i);
        if (channel && channel->GetChannelNumber() == number && channel->GetCallControl()) return channel;
    }
    return nullptr;
}

CKZCallControl* KZHostCalls::CallIn(int channel, int status, std::string& why) const {
    const CKZChannel* found = FindChannel(channel);
    if (!found) {
        why = "no " + channel_text(channel);
        return nullptr;
    }
    CKZCallControl* call = found->GetCallControl();
    if (call->GetCallStatus() != status) {
        why = channel_text(channel) + " has no " + call_status_name(status) + " call";
        return nullptr;
    }
    return call;
}

KZCallOutcome KZHostCalls::Dial(const KZDialRequest& request) {
    CKZChannel* channel = nullptr;
    if (request.channel) {
        channel = FindChannel(*request.channel);
        if (!channel) return KZCallOutcome::Refused("no " + channel_text(*request.channel));
        if (!channel->IsIdle()) return KZCallOutcome::Refused(channel_text(*request.channel) + " is busy");
    } else {
        channel = m_server.GetIdleChannel(CKZCallControl::KIND_SIP, CKZChannel::DIRECTION_OUT);
        if (!channel) return KZCallOutcome::Refused("no idle channel");
    }
    const std::string from = request.from.empty() ? DefaultFrom(request.transport) : request.from;
    const unsigned placed = channel->GetCallControl()->SetupCallEx(
        from.c_str(), request.to.c_str(), "", "", request.user.c_str(), request.password.c_str(), "", 0,
        protocol_of(request.transport), request.srtp ? kOfferSRTP : kNoSRTP);
    if (!placed)
        return KZCallOutcome::Refused(channel_text(channel->GetChannelNumber()) +
                                      ": the call was not placed");
    return KZCallOutcome::Accepted(channel->GetChannelNumber());
}

KZCallOutcome KZHostCalls::Answer(int channel) {
    std::string why;
    CKZCallControl* call = CallIn(channel, CKZCall::CALL_STATUS_OFFERED, why);
    if (!call) return KZCallOutcome::Refused(why);
    if (!call->AnswerOffered())
        return KZCallOutcome::Refused(channel_text(channel) + ": the call was not answered");
    return KZCallOutcome::Accepted(channel);
}

KZCallOutcome KZHostCalls::Ring(int channel) {
    std::string why;
    CKZCallControl* call = CallIn(channel, CKZCall::CALL_STATUS_OFFERED, why);
    if (!call) return KZCallOutcome::Refused(why);
    if (!call->RingCall()) return KZCallOutcome::Refused(channel_text(channel) + ": the call was not rung");
    return KZCallOutcome::Accepted(channel);
}

KZCallOutcome KZHostCalls::Hangup(int channel, int cause) {
    const CKZChannel* found = FindChannel(channel);
    if (!found) return KZCallOutcome::Refused("no " + channel_text(channel));
    CKZCallControl* call = found->GetCallControl();
    if (call->GetCallStatus() == CKZCall::CALL_STATUS_IDLE)
        return KZCallOutcome::Refused(channel_text(channel) + " has no call");
    if (cause != 0) {
        // The cause is a field of the call record, written under the call's lock like every other.
        KZAPI::CMutexLock lock(call->GetCallMutex());
        call->SetDisconnectCause(cause, sip_reason_phrase(cause));
    }
    if (!call->DisconnectCall())
        return KZCallOutcome::Refused(channel_text(channel) + ": no hang-up message was sent");
    return KZCallOutcome::Accepted(channel);
}

KZCallOutcome KZHostCalls::Bridge(int channel, int with, bool rtp, bool half_duplex) {
    if (channel == with) return KZCallOutcome::Refused("a channel cannot be bridged to itself");
    std::string why;
    for (int number : {channel, with})
        if (!CallIn(number, CKZCall::CALL_STATUS_CONNECTED, why)) return KZCallOutcome::Refused(why);
    CKZChannel* first = FindChannel(channel);
    CKZChannel* second = FindChannel(with);
    const int result = rtp           ? first->RTPFullDuplexConnect(second)
                       : half_duplex ? first->HalfDuplexConnect(second)
                                     : first->FullDuplexConnect(second);
    if (result != 0)
        return KZCallOutcome::Refused(channel_text(channel) + " cannot be bridged to " + channel_text(with));
    return KZCallOutcome::Accepted(channel);
}

KZCallOutcome KZHostCalls::Unbridge(int channel) {
    CKZChannel* found = FindChannel(channel);
    if (!found) return KZCallOutcome::Refused("no " + channel_text(channel));
    if (!found->IsConnected()) return KZCallOutcome::Refused(channel_text(channel) + " is not bridged");
    const int result = found->IsHalfDuplex() ? found->HalfDuplexDisconnect() : found->FullDuplexDisconnect();
    if (result != 0) return KZCallOutcome::Refused(channel_text(channel) + " cannot be unbridged");
    return KZCallOutcome::Accepted(channel);
}

CKZChannel* KZHostCalls::ConnectedChannel(int channel, std::string& why) const {
    if (!CallIn(channel, CKZCall::CALL_STATUS_CONNECTED, why)) return nullptr;
    return FindChannel(channel);
}

KZHostCalls::MediaControls KZHostCalls::MediaControlsFor(int channel, bool digits, const char* verb,
                                                         std::string& why) const {
    CKZChannel* found = ConnectedChannel(channel, why);
    if (!found) return {};
    MediaControls controls{found->GetAudioControl(), found->GetDTMFControl(), channel_text(channel)};
    if (!controls.audio || (digits && !controls.dtmf)) {
        why = controls.name + " cannot " + verb;
        return {};
    }
    return controls;
}

KZCallOutcome KZHostCalls::Play(const KZPlayRequest& request) {
    std::string why;
    const auto [audio, dtmf, name] =
        MediaControlsFor(request.channel, !request.stop_digits.empty(), "play", why);
    if (!audio) return KZCallOutcome::Refused(why);
    if (audio->GetAudioOutState() == CKZAudioControl::AUDIO_OUT_PLAYING)
        return KZCallOutcome::Refused(name + " is playing already");
    audio->ClearAudioPlayDocument();
    for (const std::string& file : request.files)
        if (!audio->AddAudioPlayDocument(file.c_str(), kFromTheStart)) {
            audio->ClearAudioPlayDocument();
            return KZCallOutcome::Refused(name + " cannot play " + file);
        }
    unsigned started = 0;
    if (request.stop_digits.empty()) {
        started = audio->PlayAudio(request.loop, request.random);
    } else {
        dtmf->EnableDTMFDetection();
        started = audio->PlayAudio(kNoDigitLimit, request.stop_digits.c_str(), kNoTimeout);
    }
    if (!started) {
        audio->ClearAudioPlayDocument();
        return KZCallOutcome::Refused(name + ": the play did not start");
    }
    return KZCallOutcome::Accepted(request.channel);
}

KZCallOutcome KZHostCalls::Record(const KZRecordRequest& request) {
    std::string why;
    const auto [audio, dtmf, name] =
        MediaControlsFor(request.channel, !request.stop_digits.empty(), "record", why);
    if (!audio) return KZCallOutcome::Refused(why);
    if (audio->GetAudioInState() == CKZAudioControl::AUDIO_IN_RECORDING)
        return KZCallOutcome::Refused(name + " is recording already");
    IKZMediaWatch* watch = m_watch.load();
    if (watch) watch->RecordingStarts(request.channel, request.path);
    if (dtmf && !request.stop_digits.empty()) dtmf->EnableDTMFDetection();
    const KZAPI::KZ_AC_AUDIO_FORMAT previous = audio->GetAudioFormat();
    audio->SetAudioFormat(format_of(request.encoding));
    const char* path = request.path.c_str();
    const char* stop = request.stop_digits.c_str();
    const unsigned started = request.mixed
                                 ? audio->RecordAudio2(path, kNoDigitLimit, stop, kNoTimeout, kFromTheStart)
                             : request.stop_digits.empty()
                                 ? audio->RecordAudio(path, kFromTheStart)
                                 : audio->RecordAudio(path, kNoDigitLimit, stop, kNoTimeout, kFromTheStart);
    if (!started) {
        audio->SetAudioFormat(previous);
        return KZCallOutcome::Refused(name + ": the recording did not start");
    }
    if (watch) watch->RecordingStarted(request.channel, *audio, request.max_seconds);
    return KZCallOutcome::Accepted(request.channel);
}

KZCallOutcome KZHostCalls::StopPlay(int channel) {
    std::string why;
    CKZChannel* found = ConnectedChannel(channel, why);
    if (!found) return KZCallOutcome::Refused(why);
    CKZAudioControl* audio = found->GetAudioControl();
    if (!audio || !audio->StopPlaying(""))
        return KZCallOutcome::Refused(channel_text(channel) + " is not playing");
    return KZCallOutcome::Accepted(channel);
}

KZCallOutcome KZHostCalls::StopRecord(int channel) {
    std::string why;
    CKZChannel* found = ConnectedChannel(channel, why);
    if (!found) return KZCallOutcome::Refused(why);
    CKZAudioControl* audio = found->GetAudioControl();
    if (!audio || !audio->StopRecording(""))
        return KZCallOutcome::Refused(channel_text(channel) + " is not recording");
    return KZCallOutcome::Accepted(channel);
}

KZCallOutcome KZHostCalls::SendDTMF(int channel, const std::string& digits, KZDTMFMethod method) {
    std::string why;
    CKZChannel* found = ConnectedChannel(channel, why);
    if (!found) return KZCallOutcome::Refused(why);
    KZAPI::CKZDTMFControl* dtmf = found->GetDTMFControl();
    if (!dtmf) return KZCallOutcome::Refused(channel_text(channel) + " cannot send digits");
    const unsigned sent = method == KZDTMFMethod::Auto
                              ? dtmf->PlayDTMFString(digits.c_str())
                              : dtmf->PlayDTMFStringBy(method_code(method), digits.c_str());
    if (!sent) return KZCallOutcome::Refused(channel_text(channel) + ": the digits were not sent");
    return KZCallOutcome::Accepted(channel);
}

KZCallOutcome KZHostCalls::Collect(const KZCollectRequest& request) {
    std::string why;
    CKZChannel* found = ConnectedChannel(request.channel, why);
    if (!found) return KZCallOutcome::Refused(why);
    KZAPI::CKZDTMFControl* dtmf = found->GetDTMFControl();
    if (!dtmf) return KZCallOutcome::Refused(channel_text(request.channel) + " cannot collect digits");
    dtmf->EnableDTMFDetection();
    if (IKZMediaWatch* watch = m_watch.load()) watch->CollectionStarts(request.channel);
    if (!dtmf->StartDTMFDetection(request.max_digits, request.terminators.c_str(), request.timeout_ms))
        return KZCallOutcome::Refused(channel_text(request.channel) + ": the collection did not start");
    return KZCallOutcome::Accepted(request.channel);
}

KZCallOutcome KZHostCalls::DetectTones(int channel, bool on) {
    std::string why;
    CKZChannel* found = ConnectedChannel(channel, why);
    if (!found) return KZCallOutcome::Refused(why);
    KZAPI::CKZToneControl* tones = found->GetToneControl();
    if (!tones) return KZCallOutcome::Refused(channel_text(channel) + " cannot detect tones");
    const unsigned done = on ? tones->StartToneDetection() : tones->StopToneDetection();
    if (!done)
        return KZCallOutcome::Refused(channel_text(channel) + (on ? ": no tone of the table can be detected"
                                                                  : ": tone detection did not stop"));
    return KZCallOutcome::Accepted(channel);
}

KZCallOutcome KZHostCalls::Gain(int channel, int in_db, int out_db) {
    std::string why;
    CKZChannel* found = ConnectedChannel(channel, why);
    if (!found) return KZCallOutcome::Refused(why);
    const auto factor = [](int db) { return db == 0 ? 1.0f : static_cast<float>(std::pow(10.0, db / 20.0)); };
    found->SetAudioLevel(factor(in_db), factor(out_db));
    return KZCallOutcome::Accepted(channel);
}

KZCallOutcome KZHostCalls::VoiceDetection(int channel, std::optional<bool> in, std::optional<bool> out) {
    std::string why;
    CKZCallControl* call = CallIn(channel, CKZCall::CALL_STATUS_CONNECTED, why);
    if (!call) return KZCallOutcome::Refused(why);
    if (in) call->SetInVAD(*in ? 1 : 0);
    if (out) call->SetOutVAD(*out ? 1 : 0);
    return KZCallOutcome::Accepted(channel);
}

KZCallOutcome KZHostCalls::Hold(int channel, bool on) {
    std::string why;
    CKZCallControl* call = CallIn(channel, CKZCall::CALL_STATUS_CONNECTED, why);
    if (!call) return KZCallOutcome::Refused(why);
    // Hold toggles, so the call must be in the state the command leaves.
    if (call->IsHeldLocally() == on)
        return KZCallOutcome::Refused(channel_text(channel) +
                                      (on ? " is on hold already" : " is not on hold"));
    if (!call->Hold())
        return KZCallOutcome::Refused(channel_text(channel) + (on ? ": the call was not put on hold"
                                                                  : ": the call was not taken off hold"));
    return KZCallOutcome::Accepted(channel);
}

KZCallOutcome KZHostCalls::Transfer(const KZTransferRequest& request) {
    std::string why;
    CKZCallControl* call = CallIn(request.channel, CKZCall::CALL_STATUS_CONNECTED, why);
    if (!call) return KZCallOutcome::Refused(why);
    std::string target = request.target;
    int replaced = -1;
    if (request.replaces_channel) {
        replaced = *request.replaces_channel;
        CKZCallControl* other = CallIn(replaced, CKZCall::CALL_STATUS_CONNECTED, why);
        if (!other) return KZCallOutcome::Refused(why);
        if (target.empty()) target = FarEndOf(*other);
        if (target.empty())
            return KZCallOutcome::Refused(channel_text(replaced) + ": the far end's address is not known");
    }
    target = BracketedSIPAddress(target);
    IKZTransferWatch* watch = m_transfer_watch.load();
    const std::string previous = watch ? watch->SwapTransferTarget(request.channel, target) : "";
    if (!call->TransferTo(target.c_str(), replaced)) {
        // A transfer still under way keeps its own target.
        if (watch) watch->SwapTransferTarget(request.channel, previous);
        return KZCallOutcome::Refused(channel_text(request.channel) + ": the transfer was not sent");
    }
    return KZCallOutcome::Accepted(request.channel);
}

KZCallOutcome KZHostCalls::Redirect(const KZRedirectRequest& request) {
    std::string why;
    CKZCallControl* call = CallIn(request.channel, CKZCall::CALL_STATUS_OFFERED, why);
    if (!call) return KZCallOutcome::Refused(why);
    const std::string target = BracketedSIPAddress(request.target);
    if (!call->RedirectTo(target.c_str(), std::to_string(request.code).c_str(), request.text.c_str()))
        return KZCallOutcome::Refused(channel_text(request.channel) + ": the call was not redirected");
    return KZCallOutcome::Accepted(request.channel);
}

} // namespace kzapp

#include "app/KZHostCalls.h"

#include "app/KZCallText.h"
#include "host/CKZCfgInterface.h"
#include "host/CKZChannel.h"
#include "host/KZStrFunc.h"

namespace kzapp {

using KZAPI::CKZCall;
using KZAPI::CKZCallControl;
using KZAPI::CKZCfgInterface;
using KZAPI::CKZChannel;

namespace {

constexpr int kNoSRTP = 0;

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

} // namespace

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
        protocol_of(request.transport), kNoSRTP);
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

} // namespace kzapp

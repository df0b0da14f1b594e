#include "callcontrol/CKZSIPAPIChan.h"

#include "host/CKZServer.h"

#include "callcontrol/CKZSIPAPICC.h"
#include "callcontrol/CKZSIPDTMFControl.h"
#include "host/CKZCfgInterface.h"
#include "host/CKZLogInterface.h"
#include "host/KZStrFunc.h"
#include "host/KZUDPRelay.h"
#include "media/CKZSIPAudioControl.h"
#include "media/CKZSIPToneControl.h"

#include <cmath>
#include <iterator>
#include <new>

using KZAPI::CKZCfgInterface;
using KZAPI::CKZLogInterface;

namespace {

// Host audio direction (the index) and the call's forced RTP direction it stands for.
constexpr int kForcedDirByHostDir[] = {CKZSIPAPICC::RTP_NO_MEDIA, CKZSIPAPICC::RTP_SENDONLY,
                                       CKZSIPAPICC::RTP_RECVONLY, CKZSIPAPICC::RTP_SENDRECV};
constexpr int kHostDirNone = 0;

} // namespace

unsigned CKZSIPAPIChan::Create() {
    if (GetCallControl()) return 1; // created already
    KZAPI::CKZCallControl* cc = AllocCallControl();
    if (!cc) return 0;
    SetCallControl(cc);
    cc->SetChannel(this);
    ApplyConfiguredSwitches(*cc);
    SetCallMediaApp(dynamic_cast<CKZSIPAPICC*>(cc));
    AllocMediaControls();
    return 1;
}

void CKZSIPAPIChan::ApplyConfiguredSwitches(KZAPI::CKZCallControl& cc) {
    cc.SetAutoAccept(CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.callcontrol.auto.acceptcall", 1));
    cc.SetAutoRing(CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.callcontrol.auto.ringcall", 1));
    cc.SetAutoAnswer(CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.callcontrol.auto.answercall", 0));
    cc.SetAutoTransfer(CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.callcontrol.auto.transfercall", 1));
}

void CKZSIPAPIChan::AllocMediaControls() {
    SetDTMFControl(AllocDTMFControl());
    SetAudioControl(AllocAudioControl());
    SetToneControl(AllocToneControl());
    for (KZAPI::CKZAppControl* control : {static_cast<KZAPI::CKZAppControl*>(GetDTMFControl()),
                                          static_cast<KZAPI::CKZAppControl*>(GetAudioControl()),
                                          static_cast<KZAPI::CKZAppControl*>(GetToneControl())})
        if (control) control->SetChannel(this);
}

KZAPI::CKZAudioControl* CKZSIPAPIChan::AllocAudioControl() {
    return new (std::nothrow) CKZSIPAudioControl();
}

KZAPI::CKZDTMFControl* CKZSIPAPIChan::AllocDTMFControl() {
    return new (std::nothrow) CKZSIPDTMFControl();
}

KZAPI::CKZToneControl* CKZSIPAPIChan::AllocToneControl() {
    return new (std::nothrow) CKZSIPToneControl();
}

CKZSIPAPIChan::~CKZSIPAPIChan() {
    FreeChanHandle();
}

namespace {

// Telephone events the RTP relay picked out of a bridged leg go to that leg's call control.
void relay_packet_sink(KZAPI::CKZChannel* channel, const void* data, int length, const char* address,
                       uint16_t port) {
    if (auto* sip = dynamic_cast<CKZSIPAPIChan*>(channel))
        sip->OnRelayRTPPackage(data, length, address, port);
}

} // namespace

unsigned CKZSIPAPIChan::Start() {
    KZAPI::KZ_SetUDPRelayPacketSink(&relay_packet_sink);
    AllocChanHandle();
    return CKZSIPChannel::Start();
}

unsigned CKZSIPAPIChan::Stop() {
    const unsigned result = CKZSIPChannel::Stop();
    FreeChanHandle();
    return result;
}

std::array<KZAPI::CKZDSPApp*, 4> CKZSIPAPIChan::MediaApps() const {
    return {GetSIPCallControl(), dynamic_cast<KZAPI::CKZDSPApp*>(GetAudioControl()),
            dynamic_cast<KZAPI::CKZDSPApp*>(GetDTMFControl()),
            dynamic_cast<KZAPI::CKZDSPApp*>(GetToneControl())};
}

void CKZSIPAPIChan::AllocChanHandle() {
    if (m_dsp) return;
    m_dsp = std::make_unique<KZAPI::CKZDSP>();
    for (KZAPI::CKZDSPApp* app : MediaApps())
        if (app) m_dsp->AddApp(app);
}

void CKZSIPAPIChan::FreeChanHandle() {
    if (!m_dsp) return;
    DisconnectAny();
    m_dsp->StopTimer();
    for (KZAPI::CKZDSPApp* app : MediaApps())
        if (app) m_dsp->RemoveApp(app);
    m_dsp.reset();
}

unsigned CKZSIPAPIChan::Destroy() {
    // Off the sound device first: its tap sits on this channel's DSP.
    if (IsDXSoundOpen())
        if (KZAPI::CKZServer* server = KZAPI::CKZServer::GetServerObj()) server->StopDXAudio(this);
    SetCallMediaApp(nullptr);
    FreeCallControl();
    FreeAudioControl();
    FreeDTMFControl();
    FreeToneControl();
    return 1;
}

CKZSIPAPICC* CKZSIPAPIChan::GetSIPCallControl() const {
    return dynamic_cast<CKZSIPAPICC*>(GetCallControl());
}

int CKZSIPAPIChan::GetAudioDir() {
    CKZSIPAPICC* cc = GetSIPCallControl();
    if (!cc) return kHostDirNone;
    KZAPI::CMutexLock lock(cc->GetCallMutex());
    const int forced = cc->GetRTPForceDir();
    for (int host = 0; host < static_cast<int>(std::size(kForcedDirByHostDir)); ++host)
        if (kForcedDirByHostDir[host] == forced) return host;
    return kHostDirNone; // not forced
}

int CKZSIPAPIChan::SetAudioDir(int direction) {
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "CKZSIPAPIChan::SetAudioDir %d", direction);
    CKZSIPAPICC* cc = GetSIPCallControl();
    if (!cc || direction < 0 || direction >= static_cast<int>(std::size(kForcedDirByHostDir)))
        return kConnectFailed;
    KZAPI::CMutexLock lock(cc->GetCallMutex());
    cc->SetRTPForceDir(kForcedDirByHostDir[direction]);
    return 0;
}

void CKZSIPAPIChan::SetAudioLevel(float in, float out) {
    if (!std::isfinite(in) || !std::isfinite(out) || in < 0 || out < 0) return;
    if (CKZSIPAPICC* cc = GetSIPCallControl()) cc->SetAudioGain(in, out);
}

// ---- connections ----

CKZSIPAPIChan* CKZSIPAPIChan::SIPChannel(KZAPI::CKZChannel* channel) {
    return dynamic_cast<CKZSIPAPIChan*>(channel);
}

void CKZSIPAPIChan::DisconnectAny() {
    if (GetRelayGroup() != KZAPI::KZ_RELAY_INVALID_HANDLE)
        RTPFullDuplexDisconnect();
    else if (IsConnected())
        DisconnectDSP();
}

int CKZSIPAPIChan::DisconnectDSP() {
    KZAPI::CMutexLock lock(GetChannelMutex());
    if (!IsConnected()) return kConnectFailed;
    if (IsHalfDuplex()) return HalfDuplexDisconnect();
    CKZSIPAPIChan* peer = SIPChannel(GetPeerChannel());
    KZAPI::CKZDSP* peer_dsp = m_peer_dsp;
    ClearConnection();
    m_peer_dsp = nullptr;
    if (peer && peer->GetPeerChannel() == this) {
        peer->ClearConnection();
        peer->m_peer_dsp = nullptr;
    }
    return KZAPI::CKZDSP::FullDuplexDisconnect(m_dsp.get(), peer_dsp);
}

int CKZSIPAPIChan::FullDuplexConnect(KZAPI::CKZChannel* other) {
    CKZSIPAPIChan* peer = SIPChannel(other);
    if (!peer || peer == this || !m_dsp || !peer->m_dsp) return kConnectFailed;
    KZAPI::CMutexLock lock(GetChannelMutex());
    if (IsConnected() && GetRelayGroup() == KZAPI::KZ_RELAY_INVALID_HANDLE && GetPeerChannel() == other &&
        !IsHalfDuplex())
        return 0;
    DisconnectAny();
    if (peer->IsConnected() || peer->GetRelayGroup() != KZAPI::KZ_RELAY_INVALID_HANDLE) peer->DisconnectAny();
    if (KZAPI::CKZDSP::FullDuplexConnect(m_dsp.get(), peer->m_dsp.get()) != 0) return kConnectFailed;
    SetConnection(peer, false);
    m_peer_dsp = peer->m_dsp.get();
    peer->SetConnection(this, false);
    peer->m_peer_dsp = m_dsp.get();
    return 0;
}

int CKZSIPAPIChan::FullDuplexConnect(void* dsp) {
    auto* peer_dsp = static_cast<KZAPI::CKZDSP*>(dsp);
    if (!peer_dsp || !m_dsp) return kConnectFailed;
    DisconnectAny();
    KZAPI::CMutexLock lock(GetChannelMutex());
    if (KZAPI::CKZDSP::FullDuplexConnect(m_dsp.get(), peer_dsp) != 0) return kConnectFailed;
    m_peer_dsp = peer_dsp;
    return 0;
}

int CKZSIPAPIChan::FullDuplexDisconnect() {
    if (GetRelayGroup() != KZAPI::KZ_RELAY_INVALID_HANDLE) {
        RTPFullDuplexDisconnect();
        return 0;
    }
    if (!IsConnected() && m_peer_dsp) { // joined to a bare DSP
        KZAPI::CMutexLock lock(GetChannelMutex());
        const int result = KZAPI::CKZDSP::FullDuplexDisconnect(m_dsp.get(), m_peer_dsp);
        m_peer_dsp = nullptr;
        return result;
    }
    return DisconnectDSP();
}

int CKZSIPAPIChan::HalfDuplexConnect(KZAPI::CKZChannel* other) {
    CKZSIPAPIChan* peer = SIPChannel(other);
    if (!peer || peer == this || !m_dsp || !peer->m_dsp) return kConnectFailed;
    KZAPI::CMutexLock lock(GetChannelMutex());
    if (IsConnected() && GetPeerChannel() == other && IsHalfDuplex()) return 0;
    DisconnectAny();
    if (KZAPI::CKZDSP::HalfDuplexConnect(m_dsp.get(), peer->m_dsp.get()) != 0) return kConnectFailed;
    SetConnection(peer, true);
    m_peer_dsp = peer->m_dsp.get();
    return 0;
}

int CKZSIPAPIChan::HalfDuplexConnect(void* dsp) {
    auto* source = static_cast<KZAPI::CKZDSP*>(dsp);
    if (!source || !m_dsp) return kConnectFailed;
    DisconnectAny();
    KZAPI::CMutexLock lock(GetChannelMutex());
    if (KZAPI::CKZDSP::HalfDuplexConnect(m_dsp.get(), source) != 0) return kConnectFailed;
    m_peer_dsp = source;
    return 0;
}

int CKZSIPAPIChan::HalfDuplexDisconnect() {
    if (GetRelayGroup() != KZAPI::KZ_RELAY_INVALID_HANDLE) return kConnectFailed;
    KZAPI::CMutexLock lock(GetChannelMutex());
    KZAPI::CKZDSP* source = m_peer_dsp;
    ClearConnection();
    m_peer_dsp = nullptr;
    return KZAPI::CKZDSP::HalfDuplexDisconnect(m_dsp.get(), source);
}

void CKZSIPAPIChan::SetConfBitMask(unsigned mask) {
    if (m_dsp) m_dsp->SetConfBitMask(mask);
}

namespace {

bool call_is_connected(const CKZSIPAPICC* cc) {
    return cc && cc->GetCallStatus() == KZAPI::CKZCall::CALL_STATUS_CONNECTED;
}

int add_relay_item(int group, CKZSIPAPICC& cc, CKZSIPAPIChan& channel) {
    if (cc.GetLocalSSRC() == 0) cc.CreateNewLocalRtpSSRC();
    KZAPI::KZRelayOutgoingStream stream;
    stream.ssrc = cc.GetLocalSSRC();
    // A leg whose own stream ran goes on from where it stopped.
    stream.renumber = cc.GetNextRTPSequence() != 0 || cc.GetNextRTPTimestamp() != 0;
    stream.next_sequence = cc.GetNextRTPSequence();
    stream.next_timestamp = cc.GetNextRTPTimestamp();
    return KZAPI::KZ_AddUDPRelayGroupItem(group, cc.GetLocalRTPAddress(), cc.GetLocalRTPPort(),
                                          cc.GetPeerRTPIPAddress(), cc.GetPeerRTPIPPort(), &channel,
                                          cc.GetDTMFPayload(), stream);
}

} // namespace

int CKZSIPAPIChan::RTPFullDuplexConnect(KZAPI::CKZChannel* other) {
    CKZSIPAPIChan* peer = SIPChannel(other);
    CKZSIPAPICC* mine = GetSIPCallControl();
    CKZSIPAPICC* theirs = peer ? peer->GetSIPCallControl() : nullptr;
    if (!peer || peer == this || !mine || !theirs) return kConnectFailed;
    KZAPI::CMutexLock lock(GetChannelMutex());
    if (GetRelayGroup() != KZAPI::KZ_RELAY_INVALID_HANDLE && GetPeerChannel() == other) return 0;
    DisconnectAny();
    if (peer->IsConnected() || peer->GetRelayGroup() != KZAPI::KZ_RELAY_INVALID_HANDLE) peer->DisconnectAny();
    for (CKZSIPAPICC* cc : {mine, theirs})
        if (call_is_connected(cc)) cc->CloseRTPSocket();
    KZAPI::KZ_StartUDPRelayServer();
    const int group = KZAPI::KZ_OpenUDPRelayGroup();
    if (group == KZAPI::KZ_RELAY_INVALID_HANDLE) return kConnectFailed;
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                         "CKZSIPAPIChan::RTPFullDuplexConnect RTP Switch Group %s:%d <=> %s:%d",
                         mine->GetLocalRTPAddress(), mine->GetLocalRTPPort(), theirs->GetLocalRTPAddress(),
                         theirs->GetLocalRTPPort());
    const int my_item = add_relay_item(group, *mine, *this);
    const int their_item = add_relay_item(group, *theirs, *peer);
    if (my_item == KZAPI::KZ_RELAY_INVALID_HANDLE || their_item == KZAPI::KZ_RELAY_INVALID_HANDLE) {
        KZAPI::KZ_CloseUDPRelayGroup(group);
        for (CKZSIPAPICC* cc : {mine, theirs})
            if (call_is_connected(cc)) cc->OpenRTPSocket();
        return kConnectFailed;
    }
    SetRelay(group, my_item);
    peer->SetRelay(group, their_item);
    SetConnection(peer, false);
    peer->SetConnection(this, false);
    return 0;
}

int CKZSIPAPIChan::RTPFullDuplexDisconnect() {
    const int group = GetRelayGroup();
    if (group == KZAPI::KZ_RELAY_INVALID_HANDLE) return 0;
    CKZSIPAPIChan* peer = SIPChannel(GetPeerChannel());
    // Each leg's own stream goes on where the relay left it.
    for (CKZSIPAPIChan* channel : {this, peer}) {
        CKZSIPAPICC* cc = channel ? channel->GetSIPCallControl() : nullptr;
        uint16_t sequence = 0;
        uint32_t timestamp = 0;
        if (cc && KZAPI::KZ_GetUDPRelayGroupItemSequence(channel->GetRelayItem(), &sequence, &timestamp))
            cc->ContinueRTPStream(sequence, timestamp);
    }
    KZAPI::KZ_CloseUDPRelayGroup(group);
    for (CKZSIPAPIChan* channel : {this, peer}) {
        if (!channel) continue;
        channel->SetRelay(KZAPI::KZ_RELAY_INVALID_HANDLE, KZAPI::KZ_RELAY_INVALID_HANDLE);
        channel->ClearConnection();
    }
    for (CKZSIPAPIChan* channel : {this, peer}) {
        CKZSIPAPICC* cc = channel ? channel->GetSIPCallControl() : nullptr;
        if (call_is_connected(cc)) cc->OpenRTPSocket();
    }
    return 0;
}

void CKZSIPAPIChan::OnRelayRTPPackage(const void* data, int length, const char* /*address*/,
                                      unsigned short /*port*/) {
    if (CKZSIPAPICC* cc = GetSIPCallControl())
        cc->OnRelayRTPPackage(static_cast<const uint8_t*>(data), length);
}

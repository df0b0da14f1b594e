// CKZChannel: a host channel. It carries one call control and the channel's media applications
// (audio, DTMF and tone controls), may be connected to a peer channel (full or half duplex), and
// is created, started, stopped and destroyed by the host in that order. Connect operations return
// 0 on success and -1 on failure; the host's own versions have nothing to connect with.
#pragma once

#include "host/CKZAudioControl.h"
#include "host/CKZCallControl.h"
#include "host/CKZDSPApp.h"
#include "host/CKZDTMFControl.h"
#include "host/CKZToneControl.h"
#include "host/CMutex.h"

#include <atomic>

namespace KZAPI {

class CKZChannel {
public:
    // Directions a channel accepts calls in (bit mask): 1 inbound, 2 outbound.
    enum : int { DIRECTION_IN = 1, DIRECTION_OUT = 2, DIRECTION_BOTH = 3 };
    static constexpr int kConnectFailed = -1;

    explicit CKZChannel(int number = 0, int protocol = 0, int directions = DIRECTION_BOTH)
        : m_number(number), m_protocol(protocol), m_directions(directions) {}
    virtual ~CKZChannel() = default;
    CKZChannel(const CKZChannel&) = delete;
    CKZChannel& operator=(const CKZChannel&) = delete;

    int GetChannelNumber() const { return m_number; }
    void SetChannelNumber(int number) { m_number = number; }
    int GetProtocol() const { return m_protocol; }
    bool AcceptsDirection(int direction) const { return (m_directions & direction) != 0; }
    virtual bool IsSIP() const { return false; }

    // Life cycle: Create allocates the controls, Start and Stop run the call control, Destroy
    // frees the controls. Each returns 1 on success, 0 on failure.
    virtual unsigned Create() { return 1; }
    virtual unsigned Start();
    virtual unsigned Stop();
    virtual unsigned Destroy() { return 1; }

    CKZCallControl* GetCallControl() const { return m_call_control; }
    // The call control also learns its channel.
    void SetCallControl(CKZCallControl* cc) {
        m_call_control = cc;
        if (cc) cc->SetChannel(this);
    }
    CKZAudioControl* GetAudioControl() const { return m_audio_control; }
    CKZDTMFControl* GetDTMFControl() const { return m_dtmf_control; }
    // The DTMF control's application face when it has one (its timer joins the span's turn).
    CKZDSPApp* GetDTMFApp() const { return m_dtmf_app; }
    CKZToneControl* GetToneControl() const { return m_tone_control; }
    // The call control's media face, whose application timer the span's turn checks.
    CKZDSPApp* GetCallMediaApp() const { return m_call_media_app.load(); }
    void SetCallMediaApp(CKZDSPApp* app) { m_call_media_app.store(app); }

    // Idle: its call control exists and has no call in progress.
    bool IsIdle() const {
        return m_call_control && m_call_control->GetCallStatus() == CKZCall::CALL_STATUS_IDLE;
    }

    // Audio connections to other channels.
    virtual int FullDuplexConnect(void* /*dsp*/) { return kConnectFailed; }
    virtual int FullDuplexConnect(CKZChannel* /*other*/) { return kConnectFailed; }
    virtual int FullDuplexDisconnect() { return kConnectFailed; }
    virtual int HalfDuplexConnect(void* /*dsp*/) { return kConnectFailed; }
    virtual int HalfDuplexConnect(CKZChannel* /*other*/) { return kConnectFailed; }
    virtual int HalfDuplexDisconnect() { return kConnectFailed; }
    virtual int RTPFullDuplexConnect(CKZChannel* /*other*/) { return kConnectFailed; }
    virtual int RTPFullDuplexDisconnect() { return kConnectFailed; }
    virtual void SetConfBitMask(unsigned /*mask*/) {}
    // Host audio directions: 0 none, 1 send only, 2 receive only, 3 both.
    virtual int GetAudioDir() { return 0; }
    virtual int SetAudioDir(int /*direction*/) { return kConnectFailed; }
    virtual void SetAudioLevel(float /*in*/, float /*out*/) {}

    // The host UDP relay group joining this channel's call to its peer's, and this leg's item in
    // it (KZ_RELAY_INVALID_HANDLE = -1 when not relayed).
    int GetRelayGroup() const { return m_relay_group.load(); }
    int GetRelayItem() const { return m_relay_item.load(); }
    void SetRelay(int group, int item) {
        m_relay_group.store(group);
        m_relay_item.store(item);
    }

    // Read by the media tick without the channel mutex.
    bool IsConnected() const { return m_connected.load(); }
    bool IsHalfDuplex() const { return m_half_duplex.load(); }
    CKZChannel* GetPeerChannel() const { return m_peer.load(); }
    CMutex& GetChannelMutex() { return m_channel_mutex; }

protected:
    // The controls, made and freed by the host or the module. Free* clear the pointer.
    virtual CKZCallControl* AllocCallControl() { return nullptr; }
    virtual void FreeCallControl();
    virtual CKZAudioControl* AllocAudioControl() { return nullptr; }
    virtual void FreeAudioControl();
    virtual CKZDTMFControl* AllocDTMFControl() { return nullptr; }
    virtual void FreeDTMFControl();
    virtual CKZToneControl* AllocToneControl() { return nullptr; }
    virtual void FreeToneControl();

    void SetAudioControl(CKZAudioControl* control) { m_audio_control = control; }
    void SetDTMFControl(CKZDTMFControl* control);
    void SetToneControl(CKZToneControl* control) { m_tone_control = control; }
    // Connection state, changed under the channel mutex.
    void SetConnection(CKZChannel* peer, bool half_duplex);
    void ClearConnection() { SetConnection(nullptr, false); }

private:
    int m_number;
    int m_protocol;
    int m_directions;
    CKZCallControl* m_call_control = nullptr;
    CKZAudioControl* m_audio_control = nullptr;
    CKZDTMFControl* m_dtmf_control = nullptr;
    CKZDSPApp* m_dtmf_app = nullptr;
    CKZToneControl* m_tone_control = nullptr;
    std::atomic<CKZDSPApp*> m_call_media_app{nullptr}; // read by the span's turn
    std::atomic<int> m_relay_group{-1};
    std::atomic<int> m_relay_item{-1};
    std::atomic<bool> m_connected{false};
    std::atomic<bool> m_half_duplex{false};
    std::atomic<CKZChannel*> m_peer{nullptr};
    CMutex m_channel_mutex;
};

} // namespace KZAPI

// CKZSIPAPIChan: the module's SIP channel. It owns the channel's call control (and, with the
// media applications, its audio, DTMF and tone controls), hosts them on one DSP, connects its
// audio to another channel (through the DSPs, which converts between the two calls' codecs, or
// by relaying RTP between the two remote parties untouched) and maps the host's audio direction
// onto the call's forced RTP direction.
#pragma once

#include "host/CKZDSP.h"
#include "host/CKZSIPChannel.h"
#include "media/CKZDXSoundChannel.h"

#include <array>
#include <memory>

class CKZSIPAPICC;

class CKZSIPAPIChan : public KZAPI::CKZSIPChannel, public CKZDXSoundChannel {
public:
    CKZSIPAPIChan() = default;
    ~CKZSIPAPIChan() override;

    unsigned Create() override;
    unsigned Start() override;
    unsigned Stop() override;
    unsigned Destroy() override;

    // Connections return 0 on success, -1 on failure.
    int FullDuplexConnect(void* dsp) override;
    int FullDuplexConnect(KZAPI::CKZChannel* other) override;
    int FullDuplexDisconnect() override;
    int HalfDuplexConnect(void* dsp) override;
    int HalfDuplexConnect(KZAPI::CKZChannel* other) override;
    int HalfDuplexDisconnect() override;
    int RTPFullDuplexConnect(KZAPI::CKZChannel* other) override;
    int RTPFullDuplexDisconnect() override;
    void SetConfBitMask(unsigned mask) override;
    // A packet the RTP relay received for this channel's leg.
    void OnRelayRTPPackage(const void* data, int length, const char* address, unsigned short port);

    // Host direction 0 none, 1 send only, 2 receive only, 3 both; other values change nothing.
    int GetAudioDir() override;
    int SetAudioDir(int direction) override;
    // Gain factors for the call's received and sent audio (1.0 unchanged); negative or not finite
    // factors change nothing.
    void SetAudioLevel(float in, float out) override;

    CKZSIPAPICC* GetSIPCallControl() const;
    KZAPI::CKZDSP* GetDSP() const { return m_dsp.get(); }

protected:
    KZAPI::CKZAudioControl* AllocAudioControl() override;
    KZAPI::CKZDTMFControl* AllocDTMFControl() override;
    KZAPI::CKZToneControl* AllocToneControl() override;

private:
    void ApplyConfiguredSwitches(KZAPI::CKZCallControl& cc);
    void AllocMediaControls();
    // The channel's DSP applications in the order they are ticked: the call's media face, then
    // the audio, DTMF and tone controls (null where there is none).
    std::array<KZAPI::CKZDSPApp*, 4> MediaApps() const;
    void AllocChanHandle();
    void FreeChanHandle();
    // Takes down whatever connection the channel has (DSP or relay).
    void DisconnectAny();
    int DisconnectDSP();
    static CKZSIPAPIChan* SIPChannel(KZAPI::CKZChannel* channel);

    std::unique_ptr<KZAPI::CKZDSP> m_dsp;
    KZAPI::CKZDSP* m_peer_dsp = nullptr;
};

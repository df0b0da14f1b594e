// CKZSoundChannelTap: the sound device's place on a joined channel's DSP. It hears the audio the
// channel's call receives and hands it, as 16-bit linear, to the sound application; and it puts
// the microphone's audio on the channel's transmit side, in the channel's format, as the only
// transmit source while the channel is joined.
#pragma once

#include "host/CKZDSPApp.h"

#include <cstdint>
#include <vector>

class CKZSIPSoundApp;

class CKZSoundChannelTap : public KZAPI::CKZDSPApp {
public:
    explicit CKZSoundChannelTap(CKZSIPSoundApp& sound) : m_sound(sound) {}

    // Takes its place on the DSP (false when there is none or no room) / leaves it.
    bool Attach(KZAPI::CKZDSP* dsp);
    void Detach();

    // One frame of 16-bit linear microphone audio for the channel to send.
    void SendToChannel(uint16_t sequence, uint32_t timestamp, const int16_t* samples, int count);

    void OnRxBufArrived(uint16_t sequence, uint32_t timestamp, const uint8_t* data, int length) override;

private:
    CKZSIPSoundApp& m_sound;
    KZAPI::CKZDSP* m_dsp = nullptr;
    std::vector<int16_t> m_linear;   // received audio (DSP threads of the channel)
    std::vector<uint8_t> m_outgoing; // microphone audio (the sound DSP's thread)
};

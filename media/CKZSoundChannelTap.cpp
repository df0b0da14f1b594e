#include "media/CKZSoundChannelTap.h"

#include "host/CKZDSP.h"
#include "host/audiocodec/KZAudioCodec.h"
#include "media/CKZSIPSoundApp.h"

#include <cstring>

bool CKZSoundChannelTap::Attach(KZAPI::CKZDSP* dsp) {
    if (!dsp || !dsp->AddApp(this)) return false;
    m_dsp = dsp;
    SetAsDSPDominateSource(0, 1);
    return true;
}

void CKZSoundChannelTap::Detach() {
    if (!m_dsp) return;
    SetAsDSPDominateSource(0, 0);
    m_dsp->RemoveApp(this);
    m_dsp = nullptr;
}

void CKZSoundChannelTap::OnRxBufArrived(uint16_t sequence, uint32_t timestamp, const uint8_t* data,
                                        int length) {
    const int format = GetDSPAudioFormat();
    if (KZAPI::IsLinearAudioFormat(format)) {
        m_sound.OnRxBufArrived(sequence, timestamp, data, length);
        return;
    }
    m_linear.resize(static_cast<size_t>(length));
    if (format == KZAPI::KZ_AUDIO_FORMAT_ULAW)
        KZAUDIO::Ulaw2Linear(data, length, m_linear.data());
    else if (format == KZAPI::KZ_AUDIO_FORMAT_ALAW)
        KZAUDIO::Alaw2Linear(data, length, m_linear.data());
    else
        return;
    m_sound.OnRxBufArrived(sequence, timestamp, reinterpret_cast<const uint8_t*>(m_linear.data()),
                           length * 2);
}

void CKZSoundChannelTap::SendToChannel(uint16_t sequence, uint32_t timestamp, const int16_t* samples,
                                       int count) {
    const int format = GetDSPAudioFormat();
    if (KZAPI::IsLinearAudioFormat(format)) {
        AddTxFrame(sequence, timestamp, reinterpret_cast<const uint8_t*>(samples), count * 2);
        return;
    }
    m_outgoing.resize(static_cast<size_t>(count));
    if (format == KZAPI::KZ_AUDIO_FORMAT_ULAW)
        KZAUDIO::Linear2Ulaw(samples, count, m_outgoing.data());
    else if (format == KZAPI::KZ_AUDIO_FORMAT_ALAW)
        KZAUDIO::Linear2Alaw(samples, count, m_outgoing.data());
    else
        return;
    AddTxFrame(sequence, timestamp, m_outgoing.data(), count);
}

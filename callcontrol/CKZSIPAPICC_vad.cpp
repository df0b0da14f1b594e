// Voice activity on the call's audio: the received audio is judged once per DSP tick and the
// sent audio frame by frame on the send pass; voice on and off, tone-like voice and beeps go to
// the application (FireOn_VoiceActivityDetected), and with silence suppression the frames judged
// silent are not sent. Runs under the media lock, like the rest of the tick; the analysers and
// their buffers are made when RTP opens, so nothing is allocated per frame.
#include "callcontrol/CKZSIPAPICC.h"

#include "host/CKZAPIEnv.h"
#include "host/CKZDSP.h"
#include "host/CKZLogInterface.h"
#include "host/audiocodec/KZAudioCodec.h"
#include "server/CKZSIPServer.h"

#include <algorithm>

using KZAPI::CKZLogInterface;

namespace {

constexpr int kHangOverTicks = 5;
constexpr int kDirectionOut = 0;
constexpr int kDirectionIn = 1;
constexpr int kVerdictOff = 0;
constexpr int kVerdictBeep = 3;
constexpr int kSamplesPerMs = 8; // the DSP's audio is 8 kHz
constexpr int kMaxFrameSamples = 60 * kSamplesPerMs;
// The receive ring holds a few frames more than the tick takes when the network sends in bursts:
// past this many the detector takes the extra frames at once so it stays on the audio's timeline.
constexpr int kMaxInBacklogFrames = 3;
constexpr int kRxRingFrames = 16;

void Fire(int channel, int direction, int verdict) {
    KZAPI::CKZAPIEnv::GetKZAPIEnv()->FireOn_VoiceActivityDetected(channel, direction, verdict, 0, 0);
}

} // namespace

void CKZSIPAPICC::VADDeleter::operator()(KZAPI::KZVADState* vad) const {
    KZAPI::KZ_VAD_Destroy(vad);
}

void CKZSIPAPICC::BeepDeleter::operator()(KZAPI::KZBeepState* beep) const {
    KZAPI::KZ_BEEP_Destroy(beep);
}

// ---- handles ----

void CKZSIPAPICC::InitVInPreProcessHandle(int samples, int rate) {
    const CKZSIPServer* server = Server();
    m_vad_in.reset(KZAPI::KZ_VAD_Create(rate, server ? server->GetSoundDetectMaxDBLevel() : 0,
                                        server ? server->GetSoundDetectMaxAvgLevel() : 0));
    m_vad_in_hangover = 0;
    m_beep_reported = false;
    m_vad_in_ms = 0;
    if (m_beep)
        KZAPI::KZ_BEEP_Reset(m_beep.get());
    else
        m_beep.reset(KZAPI::KZ_BEEP_Create(rate, 0));
    const int frame_samples = std::max(samples, kMaxFrameSamples);
    m_vad_samples.resize(static_cast<size_t>(frame_samples));
    m_vad_frame.resize(static_cast<size_t>(frame_samples) * 2);
    if (!m_rx_ring) m_rx_ring.reset(KZAPI::KZ_RTMB_Create(kRxRingFrames * frame_samples * 2));
    KZAPI::KZ_RTMB_Reset(m_rx_ring.get());
}

void CKZSIPAPICC::InitVOutPreProcessHandle(int samples, int rate) {
    const CKZSIPServer* server = Server();
    m_vad_out.reset(KZAPI::KZ_VAD_Create(rate, server ? server->GetSoundDetectMaxDBLevel() : 0,
                                         server ? server->GetSoundDetectMaxAvgLevel() : 0));
    m_vad_out_hangover = 0;
    m_vad_samples.resize(static_cast<size_t>(std::max(samples, kMaxFrameSamples)));
}

void CKZSIPAPICC::FreeVInPreProcessHandle() {
    m_vad_in.reset();
    m_vad_in_hangover = 0;
    m_beep_reported = false;
    m_vad_in_ms = 0;
}

void CKZSIPAPICC::FreeVOutPreProcessHandle() {
    m_vad_out.reset();
    m_vad_out_hangover = 0;
}

// The frame in the DSP's format as linear samples for the analysers; their count.
int CKZSIPAPICC::VADSamples(const uint8_t* frame, int length) {
    const int format = GetDSPAudioFormat();
    if (KZAPI::IsLinearAudioFormat(format)) {
        const int count = std::min(length / 2, static_cast<int>(m_vad_samples.size()));
        std::copy_n(reinterpret_cast<const int16_t*>(frame), count, m_vad_samples.begin());
        return count;
    }
    const int count = std::min(length, static_cast<int>(m_vad_samples.size()));
    if (format == KZAPI::KZ_AUDIO_FORMAT_ALAW)
        return KZAUDIO::Alaw2Linear(frame, count, m_vad_samples.data());
    return KZAUDIO::Ulaw2Linear(frame, count, m_vad_samples.data());
}

// ---- received audio ----

void CKZSIPAPICC::DetectInVoiceActivity(int channel, const CKZSIPServer* server) {
    const bool wanted = (server && server->IsOnInVAD()) || GetInVAD();
    if (!wanted || GetCallStatus() != CALL_STATUS_CONNECTED || !m_vad_in || !m_rx_ring) {
        // Detection switched off in the middle of a voice still ends it for the application.
        if (m_vad_in_hangover > 0) InVoiceOff(channel);
        return;
    }
    const int bytes = FrameBytes();
    if (bytes <= 0 || bytes > static_cast<int>(m_vad_frame.size())) return;
    // The ring is the detector's own copy of the received audio (OnRxBufArrived fills it only for
    // detection): playback, recording, digits and tones get every frame from the DSP itself, so
    // taking frames out of it here leaves them nothing short.
    if (KZAPI::KZ_RTMB_GetDataSize(m_rx_ring.get()) < bytes) {
        InVoiceSilentTick(channel);
        return;
    }
    do {
        KZAPI::KZ_RTMB_GetData(m_rx_ring.get(), m_vad_frame.data(), bytes);
        AnalyseInFrame(channel, bytes);
    } while (KZAPI::KZ_RTMB_GetDataSize(m_rx_ring.get()) > kMaxInBacklogFrames * bytes);
}

void CKZSIPAPICC::AnalyseInFrame(int channel, int bytes) {
    const int samples = VADSamples(m_vad_frame.data(), bytes);
    if (m_beep && KZAPI::KZ_BEEP_Process(m_beep.get(), m_vad_samples.data(), samples) > 0)
        Fire(channel, kDirectionIn, kVerdictBeep);
    KZAPI::KZ_VAD_Feed(m_vad_in.get(), m_vad_samples.data(), samples);
    m_vad_in_ms += static_cast<unsigned>(samples / kSamplesPerMs);
    const int verdict = KZAPI::KZ_VAD_GetVerdict(m_vad_in.get());
    if (verdict == KZAPI::KZ_VAD_SILENCE) {
        m_beep_reported = false;
        if (m_vad_in_hangover > 0) InVoiceOff(channel);
        return;
    }
    if (m_vad_in_hangover == 0) {
        Fire(channel, kDirectionIn, verdict);
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                             "Chan(%d) detected incoming voice activity on! %u ms %d", channel, m_vad_in_ms,
                             verdict);
    }
    m_vad_in_hangover = kHangOverTicks;
    if (verdict != KZAPI::KZ_VAD_TONE || m_beep_reported) return;
    m_beep_reported = true;
    Fire(channel, kDirectionIn, KZAPI::KZ_VAD_TONE);
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Chan(%d) detected incoming beep on! %u ms %d", channel,
                         m_vad_in_ms, verdict);
}

void CKZSIPAPICC::InVoiceSilentTick(int channel) {
    if (m_vad_in_hangover == 0 || --m_vad_in_hangover > 0) return;
    InVoiceOff(channel);
}

void CKZSIPAPICC::InVoiceOff(int channel) {
    m_vad_in_hangover = 0;
    m_beep_reported = false;
    Fire(channel, kDirectionIn, kVerdictOff);
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Chan(%d) detected incoming voice activity off! %u ms",
                         channel, m_vad_in_ms);
}

// ---- sent audio ----

bool CKZSIPAPICC::OutVADWanted(const CKZSIPServer* server) {
    if (GetOutVAD()) return true;
    return server && (server->IsOnOutVAD() || (server->VADEnabled() && !server->IsSIPServerModel()));
}

int CKZSIPAPICC::DetectOutVoiceActivity(const uint8_t* frame, int length, int channel,
                                        const CKZSIPServer* server) {
    if (!m_vad_out || !OutVADWanted(server)) {
        if (m_vad_out_hangover > 0) {
            m_vad_out_hangover = 0;
            OutVoiceOff(channel);
        }
        return length;
    }
    if (!frame) {
        // Nothing to send this tick: the far end hears silence, and so does the analyser, whose
        // next verdict then starts from it. The voice ends once the hang-over has run out.
        const int per_sample = KZAPI::IsLinearAudioFormat(GetDSPAudioFormat()) ? 2 : 1;
        const int samples = std::min(length / per_sample, static_cast<int>(m_vad_samples.size()));
        std::fill_n(m_vad_samples.begin(), samples, int16_t{0});
        KZAPI::KZ_VAD_Feed(m_vad_out.get(), m_vad_samples.data(), samples);
        if (m_vad_out_hangover > 0 && --m_vad_out_hangover == 0) OutVoiceOff(channel);
        return m_vad_out_hangover > 0 ? length : 0;
    }
    const int samples = VADSamples(frame, length);
    KZAPI::KZ_VAD_Feed(m_vad_out.get(), m_vad_samples.data(), samples);
    const int verdict = KZAPI::KZ_VAD_GetVerdict(m_vad_out.get());
    if (verdict != KZAPI::KZ_VAD_SILENCE) {
        if (m_vad_out_hangover == 0) {
            Fire(channel, kDirectionOut, verdict);
            CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Chan(%d) detected outgoing voice activity on!",
                                 channel);
        }
        m_vad_out_hangover = kHangOverTicks;
    } else if (m_vad_out_hangover > 0) {
        m_vad_out_hangover = 0;
        OutVoiceOff(channel);
    }
    return m_vad_out_hangover > 0 ? length : 0;
}

void CKZSIPAPICC::OutVoiceOff(int channel) {
    Fire(channel, kDirectionOut, kVerdictOff);
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Chan(%d) detected outgoing voice activity off!",
                         channel);
}

bool CKZSIPAPICC::SuppressOutFrame(const uint8_t* frame, int length, bool has_audio) {
    const CKZSIPServer* server = Server();
    const int send = DetectOutVoiceActivity(has_audio ? frame : nullptr, length, ChannelNumber(), server);
    // Frames are held back only where silence suppression is on; otherwise detection only reports.
    return send == 0 && server && server->VADEnabled();
}

#include "media/CKZDXSoundApp.h"

#include "host/CKZCfgInterface.h"
#include "host/CKZLogInterface.h"
#include "host/KZSoundDevice.h"
#include "host/KZVoiceProcessing.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

using KZAPI::CKZCfgInterface;
using KZAPI::CKZLogInterface;

namespace {

constexpr int kDefaultAGCTarget = 8000;
constexpr int kMinExplicitAGCTarget = 1000;
constexpr int kRealignFrames = 5;

enum EchoMode : int { ECHO_NONE = 0, ECHO_HOST = 1, ECHO_HOST_AEC = 2, ECHO_DUPLEX = 3, ECHO_SPEEX = 4 };

void Trace(const char* step) {
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "%s", step);
}

// The device number whose name contains `wanted`, logging the list; -1 (the default) when none.
int ChooseDevice(const std::string& wanted, bool capture) {
    const char* side = capture ? "Capture" : "Playback";
    const auto devices = KZAPI::KZ_SoundDeviceList(capture);
    int chosen = -1;
    for (const KZAPI::KZSoundDeviceInfo& device : devices) {
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "%s Device(%d):%s", side, device.index,
                             device.name.c_str());
        if (chosen < 0 && !wanted.empty() && device.name.find(wanted) != std::string::npos)
            chosen = device.index;
    }
    if (chosen >= 0) {
        const char* verb = capture ? "record" : "play";
        for (const KZAPI::KZSoundDeviceInfo& device : devices)
            if (device.index == chosen)
                CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "%s Device(%d):%s will %s sound.", side,
                                     device.index, device.name.c_str(), verb);
    }
    return chosen;
}

std::string DeviceKey(const char* side_key) {
    std::string name = CKZCfgInterface::CFG_GetValue(side_key, "").c_str();
    if (name.empty()) name = CKZCfgInterface::CFG_GetValue("kzsrv.sip.dxsound.device", "").c_str();
    return name;
}

} // namespace

CKZDXSoundApp::CKZDXSoundApp() = default;

CKZDXSoundApp::~CKZDXSoundApp() {
    DXDestroy();
}

int CKZDXSoundApp::AGCTarget(const char* key) {
    const std::string value = CKZCfgInterface::CFG_GetValue(key, "").c_str();
    if (value.empty()) return 0;
    const int level = std::atoi(value.c_str());
    return level > kMinExplicitAGCTarget ? level : kDefaultAGCTarget;
}

unsigned CKZDXSoundApp::Create(void* window, int audio_format, int frame_ms) {
    if (frame_ms <= 0) return 0;
    KZAPI::CMutexLock lock(m_mutex);
    m_audio_format = audio_format;
    m_frame_ms = frame_ms;
    return DXCreate(window);
}

unsigned CKZDXSoundApp::DXCreate(void* /*window*/) {
    KZAPI::CMutexLock lock(m_mutex);
    const std::string play_name = DeviceKey("kzsrv.sip.dxsound.device.playback");
    const std::string capture_name = DeviceKey("kzsrv.sip.dxsound.device.capture");
    if (play_name.empty() && capture_name.empty()) {
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                             "Using Default DirectX Device to play and record sound.");
    } else {
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Specified Playback DirectX Device:%s",
                             play_name.c_str());
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Specified Recording DirectX Device:%s",
                             capture_name.c_str());
    }
    m_delay_frames =
        CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.dx.playback.delay", kDefaultPlaybackDelayFrames);
    if (m_delay_frames < 0) m_delay_frames = 0;
    const int samples = FrameSamples();
    m_frame.assign(static_cast<size_t>(samples), 0);
    m_mic.assign(static_cast<size_t>(samples), 0);
    m_played.assign(static_cast<size_t>(samples), 0);
    KZAPI::KZ_RTMB_Destroy(m_render);
    KZAPI::KZ_RTMB_Destroy(m_reference);
    m_render = KZAPI::KZ_RTMB_Create(std::max(m_play_buf_ms, m_frame_ms) * 16);
    m_reference = KZAPI::KZ_RTMB_Create(std::max(m_play_buf_ms, m_frame_ms) * 16);

    CreateEchoCanceller();

    Trace("DXCreate - 1");
    const bool play_virtual = KZAPI::KZ_SoundIsVirtualDevice(play_name.c_str());
    const int play_device = play_virtual ? -1 : ChooseDevice(play_name, false);
    m_playback = KZAPI::KZ_SoundPlaybackOpen(play_name.c_str(), play_device, m_frame_ms,
                                             std::max(m_play_buf_ms, 2 * m_frame_ms));
    if (!m_playback && !play_virtual) {
        CKZLogInterface::Log(CKZLogInterface::LOG_WARNING, "No sound card to play on, using the null device");
        m_playback =
            KZAPI::KZ_SoundPlaybackOpen("null", -1, m_frame_ms, std::max(m_play_buf_ms, 2 * m_frame_ms));
    }
    if (!m_playback) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "DXCreate - 2");
        return 0;
    }
    Trace("DXCreate - 3");
    Trace("DXCreate - 5");
    Trace("DXCreate - 7");
    const bool capture_virtual = KZAPI::KZ_SoundIsVirtualDevice(capture_name.c_str());
    const int capture_device = capture_virtual ? -1 : ChooseDevice(capture_name, true);
    m_capture_device = KZAPI::KZ_SoundCaptureOpen(capture_name.c_str(), capture_device, m_frame_ms,
                                                  std::max(m_record_buf_ms, 2 * m_frame_ms));
    if (!m_capture_device) {
        // Playback only: calls hear the far end and send silence.
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "DXCreate - 8");
        return 1;
    }
    Trace("DXCreate - 9");
    return 1;
}

// Every mode that asks for echo cancellation gets speexdsp's canceller; the duplex mode (3),
// which on the original platform also switched on the system's noise suppressor, gets the
// preprocessor's noise suppression with it.
void CKZDXSoundApp::CreateEchoCanceller() {
    m_echo.reset();
    const int mode = GetEchoCanMode();
    if (mode == ECHO_NONE) return;
    auto echo =
        std::make_unique<KZAPI::KZEchoCanceller>(kEchoFrameSamples * m_frame_ms / 20, kEchoTailSamples);
    const bool ok = echo->IsReady();
    if (ok) m_echo = std::move(echo);
    if (mode == ECHO_DUPLEX) {
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, ok ? "Using MS AEC!" : "Cannot use MS AEC!");
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                             ok ? "Using MS Noise Suppress!" : "Cannot use MS Noise Suppress!");
    }
}

void CKZDXSoundApp::DXDestroy() {
    DXSoundStop();
    KZAPI::CMutexLock lock(m_mutex);
    m_playback.reset();
    m_capture_device.reset();
    m_echo.reset();
}

unsigned CKZDXSoundApp::DXReCreate(void* window) {
    const bool was_running = IsRunning();
    DXDestroy();
    const unsigned created = DXCreate(window);
    if (created && was_running) DXSoundStart();
    return created;
}

unsigned CKZDXSoundApp::DXSoundStart() {
    KZAPI::CMutexLock lock(m_mutex);
    if (!m_playback) return 0;
    const int play_target = AGCTarget("kzsrv.dx.play.agc.level");
    m_play_agc.reset();
    if (play_target > 0) {
        m_play_agc = std::make_unique<KZAPI::KZVoicePreprocessor>(FrameSamples());
        m_play_agc->SetAGC(play_target);
    }
    int capture_target = AGCTarget("kzsrv.dx.capture.agc.level");
    if (capture_target == 0 && IsAGCEnabled()) capture_target = 8000;
    m_capture_agc = std::make_unique<KZAPI::KZVoicePreprocessor>(FrameSamples());
    m_capture_agc->SetAGC(capture_target);
    m_capture_agc->SetDenoise(IsDenoiseEnabled() || GetEchoCanMode() == ECHO_DUPLEX);
    ResetStream();
    m_write_position = 0;
    m_logged_underruns = 0;
    m_had_real_data = false;
    DXSoundPlay();
    DXSoundRecord();
    SetRunning(true);
    return 1;
}

unsigned CKZDXSoundApp::DXSoundPlay() {
    return m_playback && m_playback->Start(m_delay_frames) ? 1 : 0;
}

unsigned CKZDXSoundApp::DXSoundRecord() {
    if (m_echo) m_echo->Reset();
    return m_capture_device && m_capture_device->Start() ? 1 : 0;
}

unsigned CKZDXSoundApp::DXSoundStop() {
    KZAPI::CMutexLock lock(m_mutex);
    SetRunning(false);
    if (m_playback) m_playback->Stop();
    if (m_capture_device) m_capture_device->Stop();
    return 1;
}

std::string CKZDXSoundApp::GetPlaybackName() const {
    return m_playback ? m_playback->Name() : std::string();
}
std::string CKZDXSoundApp::GetCaptureName() const {
    return m_capture_device ? m_capture_device->Name() : std::string();
}
uint64_t CKZDXSoundApp::GetUnderruns() const {
    return m_playback ? m_playback->Underruns() : 0;
}

void CKZDXSoundApp::OnDXPlayTimer() {
    if (!m_playback) return;
    const int samples = FrameSamples();
    int16_t* frame = m_frame.data();
    const bool real = GetRenderDataFromRTBuf(frame);
    if (real && m_play_agc) m_play_agc->Run(frame);
    m_had_real_data = m_had_real_data || real;
    // The speaker's queue stays within the playback delay and a few frames more: beyond that
    // what we write would be heard late, so the backlog is cut back to the delay.
    const int queued = m_playback->Queued();
    const int keep = m_delay_frames * samples;
    if (queued > (m_delay_frames + kRealignFrames) * samples) {
        CKZLogInterface::Log(
            CKZLogInterface::LOG_TRACE, "CurPlay:%d, CurWrite:%d, PlayCursor:%d. Play cursor reset to %d",
            static_cast<int>(m_write_position - queued), static_cast<int>(m_write_position), queued, keep);
        m_playback->Trim(keep);
    }
    m_playback->Write(frame, samples);
    KZAPI::KZ_RTMB_PutData(m_reference, frame, FrameBytes());
    m_write_position += static_cast<uint64_t>(samples);
    LogUnderruns();
}

void CKZDXSoundApp::LogUnderruns() {
    const uint64_t underruns = m_playback->Underruns();
    if (underruns == m_logged_underruns) return;
    CKZLogInterface::Log(CKZLogInterface::LOG_WARNING,
                         "CKZDXSoundApp::OnDXPlayTimer sound device underrun: %llu frames of silence played",
                         static_cast<unsigned long long>(underruns - m_logged_underruns));
    m_logged_underruns = underruns;
}

void CKZDXSoundApp::OnDXRecordTimer() {
    const int samples = FrameSamples();
    if (m_capture_device) {
        bool any = false;
        while (m_capture_device->Available() >= samples) {
            m_capture_device->Read(m_mic.data(), samples);
            RecordFrame(m_mic.data());
            any = true;
        }
        // Until the microphone delivers, the reference must not pile up ahead of it.
        if (!any && !m_capture_started) KZAPI::KZ_RTMB_GetData(m_reference, m_played.data(), FrameBytes());
    } else {
        std::fill(m_played.begin(), m_played.end(), int16_t{0});
        KZAPI::KZ_RTMB_GetData(m_reference, m_played.data(), FrameBytes());
        OnRenderBufReady(m_played.data(), samples);
        std::fill(m_mic.begin(), m_mic.end(), int16_t{0});
        DeliverCapturedFrame(m_mic.data(), m_played.data());
    }
    CheckRecordSwitch();
}

void CKZDXSoundApp::RecordFrame(int16_t* mic) {
    const int samples = FrameSamples();
    m_capture_started = true;
    std::fill(m_played.begin(), m_played.end(), int16_t{0});
    KZAPI::KZ_RTMB_GetData(m_reference, m_played.data(), FrameBytes());
    OnRenderBufReady(m_played.data(), samples);
    if (GetMicMute()) {
        std::fill(mic, mic + samples, int16_t{0});
    } else {
        if (m_echo) {
            m_echo->Playback(m_played.data());
            m_echo->Capture(mic, mic);
        }
        if (m_capture_agc) m_capture_agc->Run(mic);
    }
    DeliverCapturedFrame(mic, m_played.data());
}

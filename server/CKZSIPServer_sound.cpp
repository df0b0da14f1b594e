// The server's face of the local sound device: it makes the one sound application of the process
// on its own DSP, serialises every use of it under the sound-device lock, and puts channels'
// calls on it and takes them off.
#include "host/CKZChannel.h"
#include "host/CKZDxDSP.h"
#include "host/CKZLogInterface.h"
#include "media/CKZDXSoundApp.h"
#include "server/CKZSIPServer.h"

namespace {

constexpr int kSoundFrameMs = 20;

int LevelKey(const char* key) {
    return KZAPI::CKZCfgInterface::CFG_GetIntValue(key, 0);
}

} // namespace

void CKZSIPServer::GetDXPlayAndRecordBufLen(int& play_ms, int& record_ms) const {
    play_ms = CFG_GetIntValue("kzsrv.dx.play.buf.len", 640);
    record_ms = CFG_GetIntValue("kzsrv.dx.record.buf.len", 80);
}

int CKZSIPServer::GetDXCaptureAGCLevel() {
    return LevelKey("kzsrv.dx.capture.agc.level");
}

int CKZSIPServer::GetDXPlayAGCLevel() {
    return LevelKey("kzsrv.dx.play.agc.level");
}

void* CKZSIPServer::GetDXSound(bool create) {
    return GetDXSound(create, true);
}

CKZDXSoundApp* CKZSIPServer::GetDXSound(bool create, bool /*start*/) {
    KZAPI::CMutexLock lock(GetDXSoundMutex());
    if (m_dx_sound || !create) return m_dx_sound.get();
    auto sound = std::make_unique<CKZDXSoundApp>();
    int play_ms = 0;
    int record_ms = 0;
    GetDXPlayAndRecordBufLen(play_ms, record_ms);
    sound->SetDXPlayBufLen(play_ms);
    sound->SetDXRecordBufLen(record_ms);
    sound->EnableEchoCan(EchoCanEnabled());
    sound->EnableAGC(AGCEnabled());
    sound->EnableDenoise(DenoiseEnabled());
    sound->EnableVAD(VADEnabled());
    if (!sound->Create(nullptr, KZAPI::KZ_AUDIO_FORMAT_LINEAR16, kSoundFrameMs)) {
        Log(LOG_ERROR, "CKZSIPServer::GetDXSound cannot open the sound device");
        return nullptr;
    }
    sound->SetRecordReport(
        [this](int channel, int open, const char* path) { OnDXAudioStatus(channel, open, path); });
    auto dsp = std::make_unique<KZAPI::CKZDxDSP>(KZAPI::KZ_AUDIO_FORMAT_LINEAR16);
    dsp->AddApp(sound.get());
    m_dx_dsp = std::move(dsp);
    m_dx_sound = std::move(sound);
    if (GetSIPAppType() == 1) SetSIPAppType(2);
    return m_dx_sound.get();
}

void CKZSIPServer::FreeDXSound() {
    KZAPI::CMutexLock lock(GetDXSoundMutex());
    if (!m_dx_sound) return;
    // The DSP stops ticking before the application it ticks goes away.
    m_dx_dsp->RemoveApp(m_dx_sound.get());
    m_dx_dsp.reset();
    m_dx_sound.reset();
}

unsigned CKZSIPServer::StartDXAudio(KZAPI::CKZChannel* channel) {
    if (!channel) return kHostFailure;
    CKZDXSoundApp* sound = GetDXSound(true, true);
    if (!sound) return kHostFailure;
    KZAPI::CMutexLock lock(GetDXSoundMutex());
    return sound->DXSoundOpen(channel);
}

unsigned CKZSIPServer::StopDXAudio(KZAPI::CKZChannel* channel) {
    KZAPI::CMutexLock lock(GetDXSoundMutex());
    if (!m_dx_sound || !channel || !m_dx_sound->IsJoined(channel)) return kHostFailure;
    return m_dx_sound->DXSoundClose(channel);
}

bool CKZSIPServer::IsDXAudioOpen(KZAPI::CKZChannel* channel) {
    KZAPI::CMutexLock lock(GetDXSoundMutex());
    return m_dx_sound && channel && m_dx_sound->IsJoined(channel);
}

unsigned CKZSIPServer::ResetDXAudio() {
    KZAPI::CMutexLock lock(GetDXSoundMutex());
    if (!m_dx_sound) return kHostFailure;
    return m_dx_sound->DXReCreate(nullptr);
}

unsigned CKZSIPServer::MuteDXAudioMic(bool mute) {
    KZAPI::CMutexLock lock(GetDXSoundMutex());
    if (!m_dx_sound) return kHostFailure;
    m_dx_sound->MuteMic(mute);
    return kHostSuccess;
}

bool CKZSIPServer::GetDXAudioMicMute() {
    KZAPI::CMutexLock lock(GetDXSoundMutex());
    return m_dx_sound && m_dx_sound->GetMicMute();
}

#include "media/CKZSIPSoundApp.h"

#include "host/CKZCfgInterface.h"
#include "host/CKZChannel.h"
#include "host/CKZDSP.h"
#include "host/CKZLogInterface.h"
#include "host/KZStrFunc.h"
#include "host/KZVoiceProcessing.h"
#include "host/audiocodec/KZAudioCodec.h"
#include "host/audiotools/KZSoundTools.h"
#include "host/audiotools/KZWavFile.h"
#include "media/CKZDXSoundChannel.h"
#include "media/CKZSoundChannelTap.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <ctime>

using KZAPI::CKZLogInterface;

namespace {

constexpr char kRecordEnabledKey[] = "kzphone.audio.record.enabled";
constexpr char kRecordRootKey[] = "kzphone.audio.record.rootdir";
// Where recordings go unless configured (a Windows machine would use c:\temp\).
constexpr char kDefaultRecordRoot[] = "/tmp/";
constexpr size_t kPathSize = CKZDXSoundChannel::kRecordPathSize;

CKZDXSoundChannel* SoundChannel(KZAPI::CKZChannel* channel) {
    return dynamic_cast<CKZDXSoundChannel*>(channel);
}

// The channel's DSP, reached through its call's media face.
KZAPI::CKZDSP* ChannelDSP(KZAPI::CKZChannel* channel) {
    KZAPI::CKZDSPApp* media = channel ? channel->GetCallMediaApp() : nullptr;
    return media ? media->GetObjDSP() : nullptr;
}

bool EnsureFolder(const char* path) {
    struct stat info {};
    if (stat(path, &info) == 0) return S_ISDIR(info.st_mode);
    return mkdir(path, 0755) == 0;
}

} // namespace

CKZSIPSoundApp::CKZSIPSoundApp() : m_audio_format(KZAPI::KZ_AUDIO_FORMAT_LINEAR16), m_mix(kMixBufferBytes) {}

CKZSIPSoundApp::~CKZSIPSoundApp() {
    std::vector<Joined> joined;
    {
        KZAPI::CMutexLock lock(m_mutex);
        joined.swap(m_joined);
    }
    for (Joined& j : joined) {
        if (CKZDXSoundChannel* sound = SoundChannel(j.channel)) sound->SetDXSoundOpen(0);
        if (j.tap) j.tap->Detach();
    }
    KZAPI::KZ_RTMB_Destroy(m_render);
    KZAPI::KZ_RTMB_Destroy(m_reference);
}

unsigned CKZSIPSoundApp::DXSoundOpen(KZAPI::CKZChannel* channel) {
    if (!channel) return 1;
    {
        KZAPI::CMutexLock lock(m_mutex);
        if (IsJoined(channel)) return 1;
        auto tap = std::make_unique<CKZSoundChannelTap>(*this);
        if (!tap->Attach(ChannelDSP(channel)))
            CKZLogInterface::Log(
                CKZLogInterface::LOG_WARNING,
                "CKZSIPSoundApp::DXSoundOpen channel %d has no DSP, its audio stays off the sound device",
                channel->GetChannelNumber());
        m_joined.push_back({channel, std::move(tap)});
        if (CKZDXSoundChannel* sound = SoundChannel(channel)) sound->SetDXSoundOpen(1);
        if (m_joined.size() == 1) DXSoundStart();
    }
    if (IsAudioRecordEnabled()) {
        KZAPI::CMutexLock lock(m_mutex);
        OpenChanAudioFile(channel);
    }
    return 1;
}

unsigned CKZSIPSoundApp::DXSoundClose(KZAPI::CKZChannel* channel) {
    std::unique_ptr<CKZSoundChannelTap> tap;
    {
        KZAPI::CMutexLock lock(m_mutex);
        auto it = std::find_if(m_joined.begin(), m_joined.end(),
                               [&](const Joined& j) { return j.channel == channel; });
        if (it == m_joined.end()) return 1;
        tap = std::move(it->tap);
        m_joined.erase(it);
        if (m_joined.empty()) DXSoundStop();
        if (CKZDXSoundChannel* sound = SoundChannel(channel)) sound->SetDXSoundOpen(0);
        CloseChanAudioFile(channel);
    }
    // Outside the lock: leaving the DSP waits for ticks in flight, ours among them.
    if (tap) tap->Detach();
    return 1;
}

bool CKZSIPSoundApp::IsJoined(const KZAPI::CKZChannel* channel) const {
    KZAPI::CMutexLock lock(const_cast<KZAPI::CMutex&>(m_mutex));
    return std::any_of(m_joined.begin(), m_joined.end(),
                       [&](const Joined& j) { return j.channel == channel; });
}

int CKZSIPSoundApp::GetJoinedCount() const {
    KZAPI::CMutexLock lock(const_cast<KZAPI::CMutex&>(m_mutex));
    return static_cast<int>(m_joined.size());
}

void CKZSIPSoundApp::OnDSPTimer() {
    if (!IsRunning()) return;
    KZAPI::CMutexLock lock(m_mutex);
    if (!IsRunning()) return;
    OnDXPlayTimer();
    OnDXRecordTimer();
}

void CKZSIPSoundApp::OnRxBufArrived(uint16_t, uint32_t, const uint8_t* data, int length) {
    if (IsRunning() && m_render) KZAPI::KZ_RTMB_PutData(m_render, data, length);
}

void CKZSIPSoundApp::ResetStream() {
    KZAPI::KZ_RTMB_Reset(m_render);
    KZAPI::KZ_RTMB_Reset(m_reference);
    m_sequence = 1;
    m_timestamp = 0;
    m_capture_started = false;
    m_render_primed = false;
    m_ms_since_record_check = 0;
}

bool CKZSIPSoundApp::GetRenderDataFromRTBuf(int16_t* frame) {
    const int bytes = FrameBytes();
    std::memset(frame, 0, static_cast<size_t>(bytes));
    if (!KZAPI::IsLinearAudioFormat(m_audio_format)) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR,
                             "CKZDXSoundApp::GetRenderDataFromRTBuf system audio format is not 16bit PCM");
        return false;
    }
    // The channels' DSPs and the sound DSP tick on different threads: a cushion of a few frames
    // rides out their jitter. After running dry, play silence until the cushion is back.
    if (!m_render_primed && KZAPI::KZ_RTMB_GetDataSize(m_render) < kRenderCushionFrames * bytes) return false;
    m_render_primed = true;
    const int got = KZAPI::KZ_RTMB_GetData(m_render, frame, bytes);
    if (got < bytes) m_render_primed = false;
    if (KZAPI::KZ_RTMB_GetDataSize(m_render) > kMaxRenderFrames * bytes) {
        CKZLogInterface::Log(
            CKZLogInterface::LOG_ERROR,
            "CKZDXSoundApp::GetRenderDataFromRTBuf m_hRTBufRender is greater than 200ms length. Reset!");
        KZAPI::KZ_RTMB_Reset(m_render);
    }
    return got > 0;
}

void CKZSIPSoundApp::DeliverCapturedFrame(int16_t* mic, int16_t* reference) {
    const int samples = FrameSamples();
    OnCaptureBufReady(mic, samples);
    if (m_record_enabled.load()) {
        const int16_t* inputs[2] = {mic, reference};
        auto* mixed = reinterpret_cast<int16_t*>(m_mix.data());
        KZAPI::KZ_SND_Mix(mixed, inputs, 2, samples);
        WriteAudioDataIntoChanAudioFile(m_mix.data(), FrameBytes());
    }
    SendOutRecordedData(mic);
    ++m_sequence;
    m_timestamp += static_cast<uint32_t>(FrameBytes());
}

void CKZSIPSoundApp::SendOutRecordedData(const int16_t* frame) {
    const int samples = FrameSamples();
    const auto* bytes = reinterpret_cast<const uint8_t*>(frame);
    switch (m_audio_format) {
    case KZAPI::KZ_AUDIO_FORMAT_ULAW:
        KZAUDIO::Linear2Ulaw(frame, samples, m_mix.data());
        AddTxFrame(m_sequence, m_timestamp, m_mix.data(), samples);
        break;
    case KZAPI::KZ_AUDIO_FORMAT_ALAW:
        KZAUDIO::Linear2Alaw(frame, samples, m_mix.data());
        AddTxFrame(m_sequence, m_timestamp, m_mix.data(), samples);
        break;
    case KZAPI::KZ_AUDIO_FORMAT_LINEAR:
    case KZAPI::KZ_AUDIO_FORMAT_LINEAR16:
        AddTxFrame(m_sequence, m_timestamp, bytes, samples * 2);
        break;
    default:
        return;
    }
    // The joined channels' transmit side, each in its own format.
    for (Joined& j : m_joined)
        if (j.tap) j.tap->SendToChannel(m_sequence, m_timestamp, frame, samples);
}

void CKZSIPSoundApp::CheckRecordSwitch() {
    m_ms_since_record_check += static_cast<unsigned>(m_frame_ms);
    if (m_ms_since_record_check < kRecordCheckMs) return;
    m_ms_since_record_check = 0;
    const bool was = m_record_enabled.load();
    const bool now = IsAudioRecordEnabled();
    m_record_enabled.store(now);
    if (now && !was) OpenChanAudioFile();
}

// ---- recording ----

void CKZSIPSoundApp::SetRecordReport(RecordReport report) {
    KZAPI::CMutexLock lock(m_report_mutex);
    m_report = std::move(report);
}

void CKZSIPSoundApp::Report(int channel, int open, const char* path) {
    KZAPI::CMutexLock lock(m_report_mutex);
    if (m_report) m_report(channel, open, path);
}

bool CKZSIPSoundApp::IsAudioRecordEnabled() {
    return KZAPI::CKZCfgInterface::CFG_GetIntValue(kRecordEnabledKey, 0) != 0;
}

const char* CKZSIPSoundApp::GetAudioRecordRootFolder(char* out, size_t size) {
    KZAPI::str_cpy(out, KZAPI::CKZCfgInterface::CFG_GetValue(kRecordRootKey, kDefaultRecordRoot).c_str(),
                   size);
    const size_t length = std::strlen(out);
    if (length == 0)
        KZAPI::str_cpy(out, kDefaultRecordRoot, size);
    else if (out[length - 1] != '/' && length + 1 < size) {
        out[length] = '/';
        out[length + 1] = '\0';
    }
    return out;
}

bool CKZSIPSoundApp::OpenChanAudioFile(KZAPI::CKZChannel* channel) {
    CKZDXSoundChannel* sound = SoundChannel(channel);
    if (!sound || sound->GetDXRecordFile()) return false;
    char root[kPathSize];
    GetAudioRecordRootFolder(root, sizeof(root));
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char day[kPathSize];
    KZAPI::s_printf(day, sizeof(day), "%s%04d-%02d-%02d", root, local.tm_year + 1900, local.tm_mon + 1,
                    local.tm_mday);
    if (!EnsureFolder(root) || !EnsureFolder(day)) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "CKZSIPSoundApp::OpenChanAudioFile cannot create %s",
                             day);
        return false;
    }
    char path[kPathSize];
    KZAPI::s_printf(path, sizeof(path), "%s/%02d-%02d-%02d_%u.wav", day, local.tm_hour, local.tm_min,
                    local.tm_sec, static_cast<unsigned>(channel->GetChannelNumber()));
    KZAPI::KZ_WAV_FILE_HANDLE file = KZAPI::KZ_WAV_FILE_Open(path, KZAPI::KZ_AUDIO_FORMAT_LINEAR16, false, 0);
    if (!file) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "CKZSIPSoundApp::OpenChanAudioFile cannot open %s",
                             path);
        return false;
    }
    sound->SetDXRecordFile(file, path);
    m_record_enabled.store(true);
    Report(channel->GetChannelNumber(), 1, path);
    return true;
}

void CKZSIPSoundApp::OpenChanAudioFile() {
    KZAPI::CMutexLock lock(m_mutex);
    for (Joined& j : m_joined)
        OpenChanAudioFile(j.channel);
}

void CKZSIPSoundApp::CloseChanAudioFile(KZAPI::CKZChannel* channel) {
    CKZDXSoundChannel* sound = SoundChannel(channel);
    if (!sound || !sound->GetDXRecordFile()) return;
    sound->CloseDXRecordFile();
    Report(channel->GetChannelNumber(), 0, sound->GetDXRecordPath());
    sound->ClearDXRecordPath();
}

void CKZSIPSoundApp::WriteAudioDataIntoChanAudioFile(const uint8_t* data, int length) {
    for (Joined& j : m_joined)
        if (CKZDXSoundChannel* sound = SoundChannel(j.channel))
            if (KZAPI::KZ_WAV_FILE_HANDLE file = sound->GetDXRecordFile())
                KZAPI::KZ_FILE_Write(file, data, length);
}

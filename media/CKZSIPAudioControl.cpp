// The audio application works on the channel's DSP tick: every fifth tick it reads a few frames
// of the file being played and hands them to the DSP for sending, and on every tick it writes one
// frame of the received (and, mixed, the transmitted) audio to the file being recorded. State
// changes happen under the control's lock; frames go to the DSP and done reports to the host only
// after it is left, since both may run other applications' code that takes their own locks.
#include "media/CKZSIPAudioControl.h"

#include "host/CKZChannel.h"
#include "host/CKZDSP.h"
#include "host/CKZLogInterface.h"
#include "host/KZStrFunc.h"
#include "host/audiocodec/KZAudioCodec.h"
#include "host/audiotools/KZSoundTools.h"

#include <algorithm>
#include <array>
#include <cstring>

using KZAPI::CKZLogInterface;
using KZAPI::CMutexLock;

namespace {

constexpr int kRecordRingFrames = 50;   // a second of 20 ms frames
constexpr uint32_t kRealTimeStep = 160; // timestamp step of a real-time frame
constexpr int kMaxFrameBytes = 16 * CKZSIPAudioControl::kMaxFrameMs;
constexpr int kMaxFrameSamples = kMaxFrameBytes / 2;
static_assert(kMaxFrameBytes * CKZSIPAudioControl::kFramesPerPlayTick <= CKZSIPAudioControl::kPlayBufferBytes,
              "five frames of the longest frame time fit the play buffer");

const char* OrEmpty(const char* text) {
    return text ? text : "";
}

bool HasDigitCondition(int max_digits, const char* terminators, unsigned timeout_ms) {
    return max_digits > 0 || (terminators && *terminators) || timeout_ms > 0;
}

// Digit collections end with 0..2 as the audio's own result; one stopped by someone else ends the
// audio as stopped.
int AudioResultOfDigits(int dtmf_result) {
    switch (dtmf_result) {
    case KZAPI::CKZDTMFControl::DTMF_DONE_MAX_DIGITS:
    case KZAPI::CKZDTMFControl::DTMF_DONE_TERMINATOR:
    case KZAPI::CKZDTMFControl::DTMF_DONE_TIMEOUT:
        return dtmf_result;
    default:
        return KZAPI::CKZAudioControl::AUDIO_DONE_STOPPED;
    }
}

} // namespace

void CKZSIPAudioControl::GsmCloser::operator()(void* handle) const {
    KZAUDIO::GSM_Destroy(handle);
}

void CKZSIPAudioControl::TxBatch::Add(uint16_t sequence, uint32_t timestamp, int length) {
    frames[count++] = TxFrame{sequence, timestamp, used, length};
    used += length;
}

CKZSIPAudioControl::~CKZSIPAudioControl() {
    CMutexLock lock(GetCallMutex());
    CloseAudioOutResFile();
    CloseAudioInResFile();
}

// ---- starting ----

bool CKZSIPAudioControl::DSPReady(const char* operation) const {
    const KZAPI::CKZDSP* dsp = GetObjDSP();
    if (dsp && dsp->GetFrameTime() > 0) return true;
    CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "%s Failed because DSP is not running!", operation);
    return false;
}

unsigned CKZSIPAudioControl::PlayAudio(bool loop, bool random) {
    return StartPlay(MODE_FILE, nullptr, loop, random);
}

unsigned CKZSIPAudioControl::PlayAudio(void* source) {
    return source ? StartPlay(MODE_JITTER_BUFFER, source, false, false) : 0;
}

unsigned CKZSIPAudioControl::PlayRTAudio(void* source) {
    return source ? StartPlay(MODE_RING_BUFFER, source, false, false) : 0;
}

unsigned CKZSIPAudioControl::PlayAudio(int max_digits, const char* terminators, unsigned timeout_ms) {
    return StartWithDigits(true, nullptr, max_digits, terminators, timeout_ms, 0, false);
}

unsigned CKZSIPAudioControl::StartPlay(int mode, void* source, bool loop, bool random) {
    CMutexLock lock(GetCallMutex());
    if (!DSPReady("PlayAudio")) return 0;
    if (GetAudioOutState() == AUDIO_OUT_PLAYING) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "Trying to play audio when it is not idle!");
        return 0;
    }
    if (mode == MODE_FILE) {
        const int count = GetPlayListSize();
        if (count == 0) {
            CKZLogInterface::Log(CKZLogInterface::LOG_ERROR,
                                 "Trying to play audio when m_fnAudioList.Size() == 0");
            return 0;
        }
        CloseAudioOutResFile();
        m_play.loop = loop;
        m_play.random = random;
        if (!OpenPlayEntry(loop && random ? static_cast<int>(KZAPI::get_rand_u32() % count) : 0)) return 0;
    }
    m_play.mode = mode;
    m_play.source = source;
    BeginPlaying();
    return 1;
}

void CKZSIPAudioControl::BeginPlaying() {
    m_play.done_reported = false;
    m_play.bytes_played = 0;
    m_play.sequence = static_cast<uint16_t>(KZAPI::get_rand_u32());
    m_play.timestamp = static_cast<uint32_t>(KZAPI::KZ_GetTickCount());
    m_play.data.assign(kPlayBufferBytes, 0);
    m_play.tick_divider = -1;
    SetAudioOutState(AUDIO_OUT_PLAYING);
}

bool CKZSIPAudioControl::OpenPlayEntry(int index) {
    KZAPI::KZ_AC_PLAY_ENTRY entry;
    if (!GetPlayListEntry(index, entry)) return false;
    m_play.index = index;
    if (!m_play.file.Open(entry.path, entry.offset, GetAudioFormat().format)) return false;
    if (m_play.file.Format() == KZAPI::KZ_AUDIO_FORMAT_GSM && !m_play.gsm)
        m_play.gsm.reset(KZAUDIO::GSM_Create());
    return true;
}

int CKZSIPAudioControl::NextPlayIndex(int count) const {
    if (m_play.loop && m_play.random) return static_cast<int>(KZAPI::get_rand_u32() % count);
    const int next = m_play.index + 1;
    return m_play.loop ? next % count : next;
}

unsigned CKZSIPAudioControl::ContinuePlayingAudioFile() {
    CMutexLock lock(GetCallMutex());
    if (m_play.mode != MODE_FILE || GetAudioOutState() != AUDIO_OUT_PLAYING) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR,
                             "Trying to continue playing audio when it is not playing!");
        return 0;
    }
    const int count = GetPlayListSize();
    const int next = count > 0 ? NextPlayIndex(count) : count;
    m_play.file.Close();
    if (next >= count) return 0;
    return OpenPlayEntry(next) ? 1 : 0;
}

unsigned CKZSIPAudioControl::RecordAudio(const char* path, uint32_t offset) {
    return StartRecord(MODE_FILE, nullptr, path, offset, false);
}

unsigned CKZSIPAudioControl::RecordAudio(void* target) {
    return target ? StartRecord(MODE_JITTER_BUFFER, target, nullptr, 0, false) : 0;
}

unsigned CKZSIPAudioControl::RecordRTAudio(void* target) {
    return target ? StartRecord(MODE_RING_BUFFER, target, nullptr, 0, false) : 0;
}

unsigned CKZSIPAudioControl::RecordAudio(const char* path, int max_digits, const char* terminators,
                                         unsigned timeout_ms, uint32_t offset) {
    return StartWithDigits(false, path, max_digits, terminators, timeout_ms, offset, false);
}

unsigned CKZSIPAudioControl::RecordAudio2(const char* path, int max_digits, const char* terminators,
                                          unsigned timeout_ms, uint32_t offset) {
    return StartWithDigits(false, path, max_digits, terminators, timeout_ms, offset, true);
}

unsigned CKZSIPAudioControl::StartRecord(int mode, void* target, const char* path, uint32_t offset,
                                         bool mix) {
    CMutexLock lock(GetCallMutex());
    if (!DSPReady("RecordAudio")) return 0;
    if (GetAudioInState() != AUDIO_IN_IDLE) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "Trying to record audio when it is not idle!");
        return 0;
    }
    CloseAudioInResFile();
    RecordState& record = m_record;
    const int host_format = GetDSPAudioFormat();
    const int ring_bytes =
        KZAPI::AudioFormatBytes(host_format, GetObjDSP()->GetFrameTime()) * kRecordRingFrames;
    if (mode == MODE_FILE) {
        if (!path || !*path) return 0;
        // MP3 files are encoded from linear audio, which then is the control's format too.
        const bool mp3 = KZ_AudioFileKindOf(path) == FILE_MP3;
        const int format = mp3 ? KZAPI::KZ_AUDIO_FORMAT_LINEAR16 : GetAudioFormat().format;
        if (!record.file.Open(path, offset, format, kMP3RecordingKbps)) return 0;
        if (mp3) SetAudioFormat({KZAPI::KZ_AUDIO_FORMAT_LINEAR16, 3, 112});
        if (record.file.Format() == KZAPI::KZ_AUDIO_FORMAT_GSM) record.gsm.reset(KZAUDIO::GSM_Create());
        record.own_ring.reset(KZAPI::KZ_RTMB_Create(ring_bytes));
        record.tx_ring.reset(KZAPI::KZ_RTMB_Create(ring_bytes));
        record.ring = record.own_ring.get();
    } else if (mode == MODE_RING_BUFFER) {
        record.ring = static_cast<KZAPI::KZ_RTMB_HANDLE>(target);
    }
    record.mode = mode;
    record.target = mode == MODE_JITTER_BUFFER ? target : nullptr;
    record.mix = mix;
    record.done_reported = false;
    record.write_failed = false;
    record.bytes_recorded = 0;
    record.ticks = 0;
    SetAudioInState(AUDIO_IN_RECORDING);
    return 1;
}

// The collection runs on the channel's DTMF application, which calls On_DTMF_Done when it ends.
// It is started under the lock (starting reports nothing), so its end cannot overtake the start.
unsigned CKZSIPAudioControl::StartWithDigits(bool play, const char* path, int max_digits,
                                             const char* terminators, unsigned timeout_ms, uint32_t offset,
                                             bool mix) {
    if (!HasDigitCondition(max_digits, terminators, timeout_ms))
        return play ? StartPlay(MODE_FILE, nullptr, false, false)
                    : StartRecord(MODE_FILE, nullptr, path, offset, mix);
    KZAPI::CKZChannel* channel = GetChannel();
    KZAPI::CKZDTMFControl* dtmf = channel ? channel->GetDTMFControl() : nullptr;
    if (!dtmf) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "%s: the channel has no DTMF application",
                             play ? "PlayAudio" : "RecordAudio");
        return 0;
    }
    unsigned started = 0;
    {
        CMutexLock lock(GetCallMutex());
        const bool idle = play ? GetAudioOutState() == AUDIO_OUT_IDLE : GetAudioInState() == AUDIO_IN_IDLE;
        if (!idle || !DSPReady(play ? "PlayAudio" : "RecordAudio")) return 0;
        if (!dtmf->StartDTMFDetection(max_digits, terminators, timeout_ms)) return 0;
        started = play ? StartPlay(MODE_FILE, nullptr, false, false)
                       : StartRecord(MODE_FILE, nullptr, path, offset, mix);
        if (started) m_stop_on_dtmf = true;
    }
    if (!started) dtmf->StopDTMFDetection();
    return started;
}

// ---- stopping ----

unsigned CKZSIPAudioControl::StopPlaying(const char* text) {
    StopReport report;
    bool stopped = false;
    {
        CMutexLock lock(GetCallMutex());
        KZAPI::str_cpy(m_stop_text, OrEmpty(text), sizeof m_stop_text);
        stopped = StopPlayingLocked(AUDIO_DONE_STOPPED, m_stop_text, report);
        ClearStopOnDTMFWhenIdle(report);
    }
    FinishPlayStop(report);
    return stopped ? 1 : 0;
}

unsigned CKZSIPAudioControl::StopRecording(const char* text) {
    StopReport report;
    bool stopped = false;
    {
        CMutexLock lock(GetCallMutex());
        KZAPI::str_cpy(m_stop_text, OrEmpty(text), sizeof m_stop_text);
        stopped = StopRecordingLocked(AUDIO_DONE_STOPPED, m_stop_text, report);
        ClearStopOnDTMFWhenIdle(report);
    }
    FinishRecordStop(report);
    return stopped ? 1 : 0;
}

bool CKZSIPAudioControl::StopPlayingLocked(int result, const char* text, StopReport& report) {
    if (GetAudioOutState() != AUDIO_OUT_PLAYING) return false;
    CloseAudioOutResFile();
    SetAudioOutState(AUDIO_OUT_IDLE);
    report.report = !m_play.done_reported;
    report.result = result;
    KZAPI::str_cpy(report.text, OrEmpty(text), sizeof report.text);
    m_play.done_reported = true;
    m_play.data.clear();
    m_play.data.shrink_to_fit();
    return true;
}

bool CKZSIPAudioControl::StopRecordingLocked(int result, const char* text, StopReport& report) {
    if (GetAudioInState() != AUDIO_IN_RECORDING) return false;
    CloseAudioInResFile();
    SetAudioInState(AUDIO_IN_IDLE);
    report.report = !m_record.done_reported;
    report.result = result;
    KZAPI::str_cpy(report.text, OrEmpty(text), sizeof report.text);
    m_record.done_reported = true;
    m_record.ticks = 0;
    return true;
}

// A collection started for a play or record that ended some other way would otherwise go on and
// stop whatever plays or records next.
void CKZSIPAudioControl::ClearStopOnDTMFWhenIdle(StopReport& report) {
    if (!m_stop_on_dtmf || GetAudioOutState() != AUDIO_OUT_IDLE || GetAudioInState() != AUDIO_IN_IDLE) return;
    m_stop_on_dtmf = false;
    report.stop_collection = true;
}

void CKZSIPAudioControl::StopDigitCollection() {
    KZAPI::CKZChannel* channel = GetChannel();
    if (KZAPI::CKZDTMFControl* dtmf = channel ? channel->GetDTMFControl() : nullptr)
        dtmf->StopDTMFDetection();
}

void CKZSIPAudioControl::FinishPlayStop(const StopReport& report) {
    if (report.stop_collection) StopDigitCollection();
    if (report.report) OnPlayAudioDone(report.result, report.text);
}

void CKZSIPAudioControl::FinishRecordStop(const StopReport& report) {
    if (report.stop_collection) StopDigitCollection();
    if (report.report) OnRecordAudioDone(report.result, report.text);
}

void CKZSIPAudioControl::CloseAudioOutResFile() {
    CMutexLock lock(GetCallMutex());
    m_play.file.Close();
    m_play.gsm.reset();
    m_play.source = nullptr;
}

void CKZSIPAudioControl::CloseAudioInResFile() {
    CMutexLock lock(GetCallMutex());
    RecordState& record = m_record;
    record.file.Close();
    record.gsm.reset();
    record.ring = nullptr;
    record.own_ring.reset();
    record.tx_ring.reset();
    record.target = nullptr;
}

void CKZSIPAudioControl::On_DTMF_Done(int result, const char* digits) {
    {
        CMutexLock lock(GetCallMutex());
        if (!m_stop_on_dtmf) return;
        m_stop_on_dtmf = false;
    }
    StopDigitCollection();
    StopReport report;
    bool play = false;
    {
        CMutexLock lock(GetCallMutex());
        const int audio_result = AudioResultOfDigits(result);
        play = GetAudioOutState() == AUDIO_OUT_PLAYING;
        if (play)
            StopPlayingLocked(audio_result, digits, report);
        else if (!StopRecordingLocked(audio_result, digits, report))
            CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                                 "Audio chan is idle when collecting DTMF is done.");
    }
    if (play)
        FinishPlayStop(report);
    else
        FinishRecordStop(report);
}

// ---- the tick ----

void CKZSIPAudioControl::OnDSPTimer() {
    OnPlayTimerExpired(nullptr);
    OnRecordTimerExpired(nullptr);
}

void CKZSIPAudioControl::OnPlayTimerExpired(void*) {
    std::lock_guard tick(m_tick_mutex);
    TxBatch& batch = m_batch;
    batch.count = 0;
    batch.used = 0;
    StopReport report;
    {
        CMutexLock lock(GetCallMutex());
        const KZAPI::CKZDSP* dsp = GetObjDSP();
        const unsigned frame_ms = dsp ? dsp->GetFrameTime() : 0;
        if (GetAudioOutState() != AUDIO_OUT_PLAYING || frame_ms == 0 || frame_ms > kMaxFrameMs) return;
        m_play.tick_divider = (m_play.tick_divider + 1) % kPlayTickDivider;
        if (m_play.tick_divider != 0) return;
        const int host_format = dsp->GetAudioFormat();
        if (m_play.mode == MODE_JITTER_BUFFER) {
            PlayFromJitterBuffer(frame_ms, host_format, batch);
        } else if (m_play.mode == MODE_RING_BUFFER) {
            PlayFromRing(frame_ms, host_format, batch);
        } else if (!PlayFromFile(frame_ms, host_format, batch)) {
            StopPlayingLocked(AUDIO_DONE_LIST_END, "", report);
            ClearStopOnDTMFWhenIdle(report);
        }
    }
    SendBatch(batch);
    FinishPlayStop(report);
}

void CKZSIPAudioControl::SendBatch(const TxBatch& batch) {
    for (int i = 0; i < batch.count; ++i) {
        const TxFrame& frame = batch.frames[i];
        AddTxFrame(frame.sequence, frame.timestamp, batch.bytes.data() + frame.offset, frame.length);
    }
}

// Up to five frames of the current file, going on with the next file at the end of one; false
// when the list has ended.
bool CKZSIPAudioControl::PlayFromFile(unsigned frame_ms, int host_format, TxBatch& batch) {
    PlayState& play = m_play;
    int sent = 0;
    // Every empty file met costs an attempt, so a list of empty files cannot hold the tick.
    for (int attempt = 0; sent < kFramesPerPlayTick && attempt < kFramesPerPlayTick + 2; ++attempt) {
        const int frame_bytes = KZ_AudioFileFrameBytes(play.file.Format(), frame_ms);
        if (frame_bytes <= 0 || frame_bytes > static_cast<int>(play.data.size())) return false;
        const int got = play.file.Read(play.data.data(), frame_bytes);
        if (got <= 0 && play.file.Kind() == FILE_MP3)
            CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                                 "CKZSIPAudioControl::OnPlayTimerExpired KZ_MP3_FILE_Read returned %d", got);
        if (got <= 0 || !StageFileFrame(got, frame_bytes, host_format, batch)) {
            if (!ContinuePlayingAudioFile()) return false;
            continue;
        }
        ++sent;
    }
    return true;
}

// Converts one frame read from the file to the DSP's format and queues it. A short last frame
// is filled up with silence so that the transmit side stays on whole frames.
bool CKZSIPAudioControl::StageFileFrame(int length, int frame_bytes, int host_format, TxBatch& batch) {
    PlayState& play = m_play;
    const int file_format = play.file.Format();
    const bool law_or_linear = KZAPI::IsLinearAudioFormat(file_format) ||
                               file_format == KZAPI::KZ_AUDIO_FORMAT_ULAW ||
                               file_format == KZAPI::KZ_AUDIO_FORMAT_ALAW;
    int bytes = length;
    if (length < frame_bytes && law_or_linear) {
        std::memset(play.data.data() + length, SilenceValue(file_format),
                    static_cast<size_t>(frame_bytes - length));
        bytes = frame_bytes;
    }
    if (batch.Room() <= 0) return false;
    const int converted = ConvertAudioFormat(file_format, play.data.data(), bytes, host_format,
                                             play.gsm.get(), batch.Next(), batch.Room());
    if (converted <= 0) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR,
                             "Audio of format %d cannot be played on a DSP of format %d", file_format,
                             host_format);
        return false;
    }
    ++play.sequence;
    batch.Add(play.sequence, play.timestamp, converted);
    // Decoded files step by the frame, raw and AU files by what was read.
    if (play.file.IsDecoded()) {
        play.timestamp += static_cast<uint32_t>(frame_bytes);
    } else {
        play.bytes_played += static_cast<uint64_t>(length);
        play.timestamp += static_cast<uint32_t>(length);
    }
    return true;
}

void CKZSIPAudioControl::PlayFromJitterBuffer(unsigned frame_ms, int host_format, TxBatch& batch) {
    const int frame_bytes = KZAPI::AudioFormatBytes(host_format, frame_ms);
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    const int got = KZAPI::KZ_JB_GetFrame(static_cast<KZAPI::KZ_JB_HANDLE>(m_play.source), batch.Next(),
                                          std::min(frame_bytes, batch.Room()), 0, &sequence, &timestamp);
    if (got <= 0) {
        CKZLogInterface::Log(
            CKZLogInterface::LOG_TRACE,
            "CKZSIPAudioControl::OnPlayTimerExpired --> Cannot get frame from JB to send out!");
        return;
    }
    batch.Add(++m_play.sequence, m_play.timestamp += kRealTimeStep, got);
}

void CKZSIPAudioControl::PlayFromRing(unsigned frame_ms, int host_format, TxBatch& batch) {
    const int frame_bytes = KZAPI::AudioFormatBytes(host_format, frame_ms);
    auto* ring = static_cast<KZAPI::KZ_RTMB_HANDLE>(m_play.source);
    while (KZAPI::KZ_RTMB_GetDataSize(ring) >= frame_bytes && batch.Room() >= frame_bytes) {
        const int got = KZAPI::KZ_RTMB_GetData(ring, batch.Next(), frame_bytes);
        batch.Add(++m_play.sequence, m_play.timestamp += kRealTimeStep, got);
    }
}

// ---- recording ----

void CKZSIPAudioControl::OnRxBufArrived(uint16_t, uint32_t, const uint8_t* data, int length) {
    if (!data || length <= 0) return;
    CMutexLock lock(GetCallMutex());
    RecordState& record = m_record;
    if (GetAudioInState() != AUDIO_IN_RECORDING) return;
    if (record.mode == MODE_JITTER_BUFFER) {
        KZAPI::KZ_JB_AddFrame(static_cast<KZAPI::KZ_JB_HANDLE>(record.target), ++record.sequence,
                              record.timestamp += kRealTimeStep, data, length);
    } else if (record.ring) {
        KZAPI::KZ_RTMB_PutData(record.ring, data, length);
    }
}

void CKZSIPAudioControl::OnTxBufArrived(uint16_t, uint32_t, const uint8_t* data, int length) {
    if (!data || length <= 0) return;
    CMutexLock lock(GetCallMutex());
    if (GetAudioInState() == AUDIO_IN_RECORDING && m_record.mix && m_record.tx_ring)
        KZAPI::KZ_RTMB_PutData(m_record.tx_ring.get(), data, length);
}

void CKZSIPAudioControl::OnRecordTimerExpired(void*) {
    CMutexLock lock(GetCallMutex());
    RecordState& record = m_record;
    if (GetAudioInState() != AUDIO_IN_RECORDING || record.mode != MODE_FILE) return;
    const KZAPI::CKZDSP* dsp = GetObjDSP();
    const unsigned frame_ms = dsp ? dsp->GetFrameTime() : 0;
    if (frame_ms == 0 || frame_ms > kMaxFrameMs) return;
    // What comes in while the recording settles (the tail of a prompt, the path filling) is
    // dropped, not recorded late.
    if (++record.ticks <= kRecordSkipTicks) {
        if (record.ring) KZAPI::KZ_RTMB_Reset(record.ring);
        if (record.tx_ring) KZAPI::KZ_RTMB_Reset(record.tx_ring.get());
        return;
    }
    RecordOneFrame(frame_ms);
}

// One frame of received audio (silence where none came), mixed with the transmitted audio when
// asked, converted to the file's format and written.
void CKZSIPAudioControl::RecordOneFrame(unsigned frame_ms) {
    RecordState& record = m_record;
    const int host_format = GetDSPAudioFormat();
    const int bytes = KZAPI::AudioFormatBytes(host_format, frame_ms);
    std::array<uint8_t, kMaxFrameBytes> frame;
    std::array<uint8_t, kMaxFrameBytes> mixed;
    std::array<uint8_t, kMaxFrameBytes> converted;
    if (!record.file.IsOpen()) return;
    std::memset(frame.data(), SilenceValue(host_format), static_cast<size_t>(bytes));
    if (record.ring) KZAPI::KZ_RTMB_GetData(record.ring, frame.data(), bytes);
    const uint8_t* audio = frame.data();
    int audio_format = host_format;
    int audio_bytes = bytes;
    if (record.mix && record.tx_ring && KZAPI::KZ_RTMB_GetDataSize(record.tx_ring.get()) >= bytes) {
        audio_bytes = MixTransmitted(frame.data(), bytes, host_format, mixed.data());
        audio = mixed.data();
        audio_format = KZAPI::KZ_AUDIO_FORMAT_LINEAR16;
    }
    const int file_format = record.file.Format();
    int length = audio_bytes;
    if (file_format != audio_format &&
        !(KZAPI::IsLinearAudioFormat(file_format) && KZAPI::IsLinearAudioFormat(audio_format))) {
        length = ConvertAudioFormat(audio_format, audio, audio_bytes, file_format, record.gsm.get(),
                                    converted.data(), static_cast<int>(converted.size()));
        audio = converted.data();
    }
    if (length <= 0) return;
    record.bytes_recorded += static_cast<uint64_t>(length);
    if (!record.file.Write(audio, length) && !record.write_failed) {
        record.write_failed = true;
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR,
                             "CKZSIPAudioControl: recorded audio could not be written");
    }
}

// Mixes the received frame with one transmitted frame, both taken to linear; returns the bytes of
// linear audio in `mixed`.
int CKZSIPAudioControl::MixTransmitted(uint8_t* frame, int bytes, int host_format, uint8_t* mixed) {
    std::array<uint8_t, kMaxFrameBytes> sent;
    KZAPI::KZ_RTMB_GetData(m_record.tx_ring.get(), sent.data(), bytes);
    std::array<int16_t, kMaxFrameSamples> received_samples;
    std::array<int16_t, kMaxFrameSamples> sent_samples;
    const int linear_bytes = KZAPI::IsLinearAudioFormat(host_format) ? bytes : bytes * 2;
    const int samples = linear_bytes / 2;
    if (KZAPI::IsLinearAudioFormat(host_format)) {
        std::memcpy(received_samples.data(), frame, static_cast<size_t>(linear_bytes));
        std::memcpy(sent_samples.data(), sent.data(), static_cast<size_t>(linear_bytes));
    } else {
        ConvertAudioFormat(host_format, frame, bytes, KZAPI::KZ_AUDIO_FORMAT_LINEAR16, nullptr,
                           reinterpret_cast<uint8_t*>(received_samples.data()), kMaxFrameBytes);
        ConvertAudioFormat(host_format, sent.data(), bytes, KZAPI::KZ_AUDIO_FORMAT_LINEAR16, nullptr,
                           reinterpret_cast<uint8_t*>(sent_samples.data()), kMaxFrameBytes);
    }
    const int16_t* inputs[2] = {received_samples.data(), sent_samples.data()};
    KZAPI::KZ_SND_Mix(received_samples.data(), inputs, 2, samples);
    std::memcpy(mixed, received_samples.data(), static_cast<size_t>(linear_bytes));
    return linear_bytes;
}

#include "callcontrol/CKZSIPDTMFControl.h"

#include "callcontrol/CKZSIPAPICC.h"
#include "host/CKZAudioControl.h"
#include "host/CKZCfgInterface.h"
#include "host/CKZChannel.h"
#include "host/CKZDSP.h"
#include "host/CKZLogInterface.h"
#include "host/KZByteOrder.h"
#include "host/KZUDPRelay.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

using KZAPI::CKZCfgInterface;
using KZAPI::CKZLogInterface;

namespace {

constexpr char kEventKeys[] = "0123456789*#ABCDX";
static_assert(sizeof(kEventKeys) - 1 == CKZSIPDTMFControl::kMaxEventCode + 1, "one key per event code");

constexpr const char* kMethodRFC2833 = "rfc2833";
constexpr const char* kMethodInfo = "info";
constexpr const char* kMethodInband = "inband";

constexpr int kMethodInbandTones = 0;
constexpr int kMethodSIPInfo = 1;
constexpr int kMethodRFC2833Events = 2;
constexpr int kMethodAuto = 3;

constexpr uint8_t kEndBit = 0x80;
constexpr uint32_t kTimestampUnitsPerMs = 8;
// An event whose packets stopped without an end packet is closed after this long.
constexpr uint64_t kStaleEventMs = 1000;
constexpr int kInfoPlayDurationMs = 320;
constexpr int kInfoGapMs = 100;
constexpr int kMaxInfoDurationMs = 60000;
constexpr int kDefaultInbandKeyMs = 160;
constexpr int kInbandGapMs = 40;
constexpr int kMaxInbandKeyMs = 10000; // keeps the tone buffer of a whole string bounded
constexpr int kDefaultMinInbandMs = 120;
constexpr int kMaxPlayedDigits = 64;
constexpr unsigned kDefaultFrameMs = 20;
constexpr unsigned kMaxFrameMs = 60;
constexpr uint16_t kFirstToneSequence = 10;
constexpr uint32_t kFirstToneTimestamp = 1600;
constexpr int kSampleRate = 8000;
constexpr int kSampleBits = 16;

// The key of an INFO signal: the event numbers 10-16 by number, anything else by its first
// character ("5", "#", lower-case "a"-"d" as upper case); 0 when that is no key.
char key_of_signal(const char* signal) {
    while (*signal == ' ' || *signal == '\t')
        ++signal;
    char* end = nullptr;
    const long number = std::strtol(signal, &end, 10);
    if (end != signal && *end == '\0' && number >= 10 && number <= CKZSIPDTMFControl::kMaxEventCode)
        return CKZSIPDTMFControl::KeyOfEventCode(static_cast<int>(number));
    const char first = (*signal >= 'a' && *signal <= 'd') ? static_cast<char>(*signal - 'a' + 'A') : *signal;
    return CKZSIPDTMFControl::EventCodeOfKey(first) >= 0 ? first : 0;
}

} // namespace

int CKZSIPDTMFControl::EventCodeOfKey(char key) {
    if (key == '\0') return -1;
    const char* at = std::strchr(kEventKeys, key);
    return at ? static_cast<int>(at - kEventKeys) : -1;
}

char CKZSIPDTMFControl::KeyOfEventCode(int code) {
    return code >= 0 && code <= kMaxEventCode ? kEventKeys[code] : '\0';
}

CKZSIPDTMFControl::CKZSIPDTMFControl() {
    SetAppTimer();
}

CKZSIPDTMFControl::~CKZSIPDTMFControl() {
    KillAppTimer();
    KZAPI::KZ_DTMF_Destroy(m_detector);
}

CKZSIPAPICC* CKZSIPDTMFControl::CallControl() const {
    const KZAPI::CKZChannel* channel = GetChannel();
    return channel ? dynamic_cast<CKZSIPAPICC*>(channel->GetCallControl()) : nullptr;
}

int CKZSIPDTMFControl::GetDTMFType() const {
    const CKZSIPAPICC* cc = CallControl();
    return cc ? cc->GetDTMFMethod() : kMethodInbandTones;
}

int CKZSIPDTMFControl::EffectiveMethod() const {
    const int method = GetDTMFType();
    if (method != kMethodAuto) return method;
    const CKZSIPAPICC* cc = CallControl();
    return cc && cc->GetDTMFPayload() >= 0 ? kMethodRFC2833Events : kMethodInbandTones;
}

bool CKZSIPDTMFControl::ProcessesReceivedDigits() const {
    const KZAPI::CKZChannel* channel = GetChannel();
    if (channel && channel->IsConnected()) return true;
    return m_detection_enabled && GetDTMFType() != kMethodInbandTones;
}

bool CKZSIPDTMFControl::MediaTickRunning() const {
    const KZAPI::CKZDSP* dsp = GetObjDSP();
    return dsp && dsp->IsTimerRunning();
}

unsigned CKZSIPDTMFControl::FrameMs() const {
    const KZAPI::CKZDSP* dsp = GetObjDSP();
    const unsigned ms = dsp ? dsp->GetFrameTime() : 0;
    return ms == 0 || ms > kMaxFrameMs ? kDefaultFrameMs : ms;
}

bool CKZSIPDTMFControl::IsDetectionEnabled() {
    KZAPI::CMutexLock lock(GetCallMutex());
    return m_detection_enabled;
}

// ---- playing ----

unsigned CKZSIPDTMFControl::PlayDTMFString(const char* digits) {
    return PlayDTMFStringBy(GetDTMFType(), digits);
}

unsigned CKZSIPDTMFControl::PlayDTMFStringBy(int method, const char* digits) {
    std::lock_guard play(m_play_mutex);
    switch (method) {
    case kMethodInbandTones:
        return PlayDTMFString0(digits);
    case kMethodSIPInfo:
        return PlayDTMFString1(digits);
    case kMethodRFC2833Events:
        return PlayDTMFString2(digits);
    case kMethodAuto:
        return PlayDTMFString3(digits);
    default:
        return 0;
    }
}

unsigned CKZSIPDTMFControl::PlayDTMFString0(const char* digits) {
    const size_t count = digits ? std::strlen(digits) : 0;
    if (count == 0 || count > static_cast<size_t>(kMaxPlayedDigits) || !MediaTickRunning()) return 0;
    const int key_ms = CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.dtmf.key.duration", kDefaultInbandKeyMs);
    if (key_ms <= 0 || key_ms > kMaxInbandKeyMs) return 0;
    const int tone_bytes = static_cast<int>(count) * (key_ms + kInbandGapMs) * (kSampleRate / 1000) * 2;
    std::vector<uint8_t> linear(static_cast<size_t>(tone_bytes));
    const unsigned frame_ms = FrameMs();
    const int frame_samples = static_cast<int>(frame_ms) * kSampleRate / 1000;
    KZAPI::KZ_DTMF_HANDLE generator = KZAPI::KZ_DTMF_Create(kSampleRate, kSampleBits, frame_samples);
    const int made =
        KZAPI::KZ_DTMF_Gen_String_Tone(generator, linear.data(), tone_bytes, digits, key_ms, kInbandGapMs);
    KZAPI::KZ_DTMF_Destroy(generator);
    if (made < 1) {
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                             "Didn't pass enougth buffer size to KZ_DTMF_Gen_String_Tone!");
        return 0;
    }
    // Whole frames only, each in the DSP's format; a trailing part of a frame is dropped.
    const int linear_frame = frame_samples * 2;
    const int format = GetDSPAudioFormat();
    const int frame_bytes = KZAPI::AudioFormatBytes(format, frame_ms);
    std::vector<uint8_t> frames;
    frames.reserve(static_cast<size_t>(made / linear_frame * frame_bytes));
    uint8_t converted[kMaxFrameMs * kSampleRate / 1000 * 2];
    for (int at = 0; at + linear_frame <= made; at += linear_frame) {
        const int bytes = ConvertAudioFormat(KZAPI::KZ_AUDIO_FORMAT_LINEAR16, linear.data() + at,
                                             linear_frame, format, nullptr, converted, sizeof(converted));
        if (bytes == frame_bytes) frames.insert(frames.end(), converted, converted + bytes);
    }
    if (frames.empty()) return 0;
    const uint64_t play_ms = count * static_cast<uint64_t>(key_ms + kInbandGapMs);
    {
        KZAPI::CMutexLock lock(GetCallMutex());
        if (m_tone_offset >= m_tone_frames.size() || m_tone_frame_bytes != frame_bytes) {
            m_tone_frames.clear();
            m_tone_offset = 0;
            m_tone_sequence = kFirstToneSequence;
            m_tone_timestamp = kFirstToneTimestamp;
        }
        m_tone_frame_bytes = frame_bytes;
        m_tone_frames.insert(m_tone_frames.end(), frames.begin(), frames.end());
        m_inband_play_end_ms = std::max(m_inband_play_end_ms, NowMs()) + play_ms;
    }
    SetAsDSPDominateSource(0, 1);
    return 1;
}

unsigned CKZSIPDTMFControl::PlayDTMFString1(const char* digits) {
    CKZSIPAPICC* cc = CallControl();
    if (!cc || !digits || !*digits) return 0;
    for (const char* c = digits; *c; ++c) {
        cc->SendSIPInfo(*c, kInfoPlayDurationMs);
        std::this_thread::sleep_for(std::chrono::milliseconds(kInfoGapMs));
    }
    return 1;
}

unsigned CKZSIPDTMFControl::PlayDTMFString2(const char* digits) {
    CKZSIPAPICC* cc = CallControl();
    if (!cc || !digits || !*digits) return 0;
    return cc->SendRTPDTMFString(digits) ? 1 : 0;
}

unsigned CKZSIPDTMFControl::PlayDTMFString3(const char* digits) {
    const CKZSIPAPICC* cc = CallControl();
    if (!cc) return 0;
    return cc->GetDTMFPayload() >= 0 ? PlayDTMFString2(digits) : PlayDTMFString0(digits);
}

unsigned CKZSIPDTMFControl::ForwardDTMFString(const char* digits) {
    if (!digits || !*digits) return 0;
    if (GetDTMFType() != kMethodSIPInfo) {
        switch (EffectiveMethod()) {
        case kMethodInbandTones:
            return PlayDTMFString0(digits);
        case kMethodRFC2833Events:
            return PlayDTMFString2(digits);
        default:
            return 0;
        }
    }
    {
        KZAPI::CMutexLock lock(GetCallMutex());
        const size_t queued = std::strlen(m_info_outbox);
        if (queued + std::strlen(digits) > static_cast<size_t>(kMaxForwardedInfo)) return 0;
        std::strcat(m_info_outbox, digits);
    }
    StartAppTimer(0);
    return 1;
}

void CKZSIPDTMFControl::OnAppTimer() {
    char digit = 0;
    {
        KZAPI::CMutexLock lock(GetCallMutex());
        if (!m_info_outbox[0]) return;
        const uint64_t now = NowMs();
        if (now < m_info_next_ms) {
            StartAppTimer(static_cast<unsigned>(m_info_next_ms - now));
            return;
        }
        digit = m_info_outbox[0];
        std::memmove(m_info_outbox, m_info_outbox + 1, std::strlen(m_info_outbox));
        m_info_next_ms = now + kInfoGapMs;
        if (m_info_outbox[0]) StartAppTimer(kInfoGapMs);
    }
    if (CKZSIPAPICC* cc = CallControl()) cc->SendSIPInfo(digit, kInfoPlayDurationMs);
}

// ---- key notices ----

void CKZSIPDTMFControl::QueueKey(char key, bool down, uint64_t tick, const char* method) {
    std::lock_guard reports(m_report_mutex);
    if (m_report_count >= kMaxKeyReports) {
        CKZLogInterface::Log(CKZLogInterface::LOG_WARNING, "CKZSIPDTMFControl drops key %c: too many waiting",
                             key);
        return;
    }
    m_reports[(m_report_head + m_report_count) % kMaxKeyReports] = KeyReport{key, down, tick, method};
    ++m_report_count;
}

void CKZSIPDTMFControl::DeliverKeyReports() {
    // One thread hands notices on at a time, in order; one arriving meanwhile is taken by it.
    if (m_delivering.exchange(true)) return;
    for (;;) {
        KeyReport report;
        {
            std::lock_guard reports(m_report_mutex);
            if (m_report_count == 0) {
                m_delivering.store(false);
                return;
            }
            report = m_reports[m_report_head];
            m_report_head = (m_report_head + 1) % kMaxKeyReports;
            --m_report_count;
        }
        SetDigitMethod(report.method);
        if (report.down)
            On_DTMF_Key_Down(report.key, report.tick);
        else
            On_DTMF_Key_Up(report.key, report.tick);
    }
}

void CKZSIPDTMFControl::On_DTMF_Key_Down(char key, uint64_t tick) {
    CKZDTMFControl::On_DTMF_Key_Down(key, tick);
}

void CKZSIPDTMFControl::On_DTMF_Key_Up(char key, uint64_t tick) {
    CKZDTMFControl::On_DTMF_Key_Up(key, tick);
    ForwardToConnectedChannel(key);
}

void CKZSIPDTMFControl::ForwardToConnectedChannel(char key) {
    const int method = GetDTMFType();
    if (method != kMethodSIPInfo && method != kMethodRFC2833Events && method != kMethodAuto) return;
    const KZAPI::CKZChannel* channel = GetChannel();
    if (!channel || !channel->IsConnected()) return;
    KZAPI::CKZChannel* peer = channel->GetPeerChannel();
    KZAPI::CKZDTMFControl* peer_dtmf = peer ? peer->GetDTMFControl() : nullptr;
    if (!peer_dtmf || peer_dtmf == this) return;
    // The relay passes the event packets on by itself.
    if (method != kMethodSIPInfo && channel->GetRelayGroup() != KZAPI::KZ_RELAY_INVALID_HANDLE) return;
    const char digits[2] = {key, '\0'};
    if (auto* sip = dynamic_cast<CKZSIPDTMFControl*>(peer_dtmf))
        sip->ForwardDTMFString(digits);
    else
        peer_dtmf->PlayDTMFString(digits);
}

void CKZSIPDTMFControl::On_DTMF_Done(int result, const char* digits) {
    CKZDTMFControl::On_DTMF_Done(result, digits);
    const KZAPI::CKZChannel* channel = GetChannel();
    if (KZAPI::CKZAudioControl* audio = channel ? channel->GetAudioControl() : nullptr)
        audio->On_DTMF_Done(result, digits);
}

// ---- detection switch ----

unsigned CKZSIPDTMFControl::EnableDTMFDetection() {
    if (!CallControl()) return 0;
    const int frame_samples = static_cast<int>(FrameMs()) * kSampleRate / 1000;
    KZAPI::KZ_DTMF_HANDLE detector = KZAPI::KZ_DTMF_Create(kSampleRate, kSampleBits, frame_samples);
    KZAPI::CMutexLock lock(GetCallMutex());
    KZAPI::KZ_DTMF_Destroy(m_detector);
    m_detector = detector;
    m_detection_enabled = true;
    ClearToneTracking();
    ClearEventTracking();
    m_info_seen = false;
    return 1;
}

unsigned CKZSIPDTMFControl::DisableDTMFDetection() {
    {
        KZAPI::CMutexLock lock(GetCallMutex());
        m_detection_enabled = false;
        KZAPI::KZ_DTMF_Destroy(m_detector);
        m_detector = nullptr;
        ClearToneTracking();
        ClearEventTracking();
        m_info_outbox[0] = '\0';
    }
    StopTonePlay();
    // Digits that came just before the media stopped are still the call's.
    DeliverKeyReports();
    return 1;
}

// ---- SIP INFO ----

void CKZSIPDTMFControl::OnRxSIPInfo(const char* signal, const char* duration, uint32_t sequence) {
    if (!signal || !*signal) return;
    const char key = key_of_signal(signal);
    if (!key) {
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                             "CKZSIPDTMFControl::OnRxSIPInfo ignores signal %.16s", signal);
        return;
    }
    const int held_ms = std::clamp(duration ? std::atoi(duration) : 0, 0, kMaxInfoDurationMs);
    {
        KZAPI::CMutexLock lock(GetCallMutex());
        if (!ProcessesReceivedDigits()) return;
        if (m_info_seen && sequence == m_info_last_cseq) return; // a retransmission
        m_info_seen = true;
        m_info_last_cseq = sequence;
        const uint64_t now = NowMs();
        QueueKey(key, true, now, kMethodInfo);
        QueueKey(key, false, now + static_cast<uint64_t>(held_ms), kMethodInfo);
    }
    DeliverKeyReports();
}

// ---- RFC 2833 ----

void CKZSIPDTMFControl::ClearEventTracking() {
    m_rfc2833_key = 0;
    m_rfc2833_down_tick = 0;
    m_rfc2833_duration = 0;
    m_rfc2833_ended_valid = false;
}

void CKZSIPDTMFControl::EndEvent(uint64_t up_tick) {
    QueueKey(m_rfc2833_key, false, up_tick, kMethodRFC2833);
    m_rfc2833_ended_valid = true;
    m_rfc2833_ended_timestamp = m_rfc2833_last_timestamp;
    m_rfc2833_key = 0;
    m_rfc2833_down_tick = 0;
    m_rfc2833_duration = 0;
}

// Events are told apart by their RTP timestamp, which all packets of one event share; the
// duration field counts from the event's start, so the latest one is the event's length so far.
void CKZSIPDTMFControl::OnRxRFC2833DTMF(const uint8_t* payload, int length, uint16_t sequence,
                                        uint32_t timestamp, bool /*marker*/) {
    if (!payload || length < 4) return;
    const int code = payload[0];
    if (code > kMaxEventCode) {
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Ignoring RTP 2833 Event: %08x. Not a DTMF Digit.\n",
                             KZAPI::ReadBE32(payload));
        return;
    }
    const bool end = (payload[1] & kEndBit) != 0;
    const uint32_t duration = static_cast<uint32_t>(payload[2]) << 8 | payload[3];
    const char key = KeyOfEventCode(code);
    {
        KZAPI::CMutexLock lock(GetCallMutex());
        if (!ProcessesReceivedDigits()) return;
        const uint64_t now = NowMs();
        if (m_rfc2833_key && timestamp == m_rfc2833_last_timestamp) {
            if (sequence == m_rfc2833_last_sequence) return; // the same packet again
            m_rfc2833_last_sequence = sequence;
            m_rfc2833_last_packet_ms = now;
            m_rfc2833_duration = std::max(m_rfc2833_duration, duration);
            if (end) EndEvent(m_rfc2833_down_tick + m_rfc2833_duration / kTimestampUnitsPerMs);
        } else if (!m_rfc2833_ended_valid || timestamp != m_rfc2833_ended_timestamp) {
            // A new event. One still open lost its end packets: it ends where it was last heard.
            if (m_rfc2833_key) EndEvent(m_rfc2833_down_tick + m_rfc2833_duration / kTimestampUnitsPerMs);
            // Its first packets may have been lost: it began `duration` before this one.
            const uint64_t began = duration / kTimestampUnitsPerMs;
            m_rfc2833_key = key;
            m_rfc2833_down_tick = now > began ? now - began : 0;
            m_rfc2833_duration = duration;
            m_rfc2833_last_sequence = sequence;
            m_rfc2833_last_timestamp = timestamp;
            m_rfc2833_last_packet_ms = now;
            QueueKey(key, true, m_rfc2833_down_tick, kMethodRFC2833);
            if (end) EndEvent(m_rfc2833_down_tick + duration / kTimestampUnitsPerMs);
        }
        // Otherwise a late or repeated packet of the event last reported.
    }
    // Inside the call's tick the notices wait for this application's turn of the same tick.
    if (!MediaTickRunning()) DeliverKeyReports();
}

void CKZSIPDTMFControl::CloseStaleEvent() {
    KZAPI::CMutexLock lock(GetCallMutex());
    if (!m_rfc2833_key || NowMs() - m_rfc2833_last_packet_ms < kStaleEventMs) return;
    EndEvent(m_rfc2833_down_tick + m_rfc2833_duration / kTimestampUnitsPerMs);
}

// ---- in-band ----

void CKZSIPDTMFControl::ClearToneTracking() {
    m_inband_code = -1;
    m_inband_start_tick = 0;
    m_inband_ms = 0;
    m_inband_down_reported = false;
}

// The tracked tone ended: reported when it lasted the minimum, else forgotten.
void CKZSIPDTMFControl::CloseTone() {
    const unsigned min_ms = static_cast<unsigned>(
        CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.min.inband.audio.dtmf.dur", kDefaultMinInbandMs));
    const char key = KeyOfEventCode(m_inband_code);
    if (key && m_inband_ms >= min_ms) {
        if (!m_inband_down_reported) QueueKey(key, true, m_inband_start_tick, kMethodInband);
        QueueKey(key, false, m_inband_start_tick + m_inband_ms, kMethodInband);
    }
    ClearToneTracking();
}

// Tone lengths are counted in received audio, so that a late or bunched tick does not stretch
// or shorten them.
void CKZSIPDTMFControl::TrackTone(int code, unsigned frame_ms) {
    if (code < 0 && m_inband_code < 0) return;
    if (code != m_inband_code) {
        if (m_inband_code >= 0) CloseTone();
        if (code < 0) return;
        m_inband_code = code;
        // The detector is sure of a digit only some tens of ms into it: the tone began earlier.
        m_inband_ms = std::max(static_cast<unsigned>(KZAPI::KZ_DTMF_Digit_Age_Ms(m_detector)), frame_ms);
        const uint64_t now = NowMs();
        m_inband_start_tick = now > m_inband_ms ? now - m_inband_ms : 0;
    } else {
        m_inband_ms += frame_ms;
    }
    const unsigned min_ms = static_cast<unsigned>(
        CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.min.inband.audio.dtmf.dur", kDefaultMinInbandMs));
    const char key = KeyOfEventCode(code);
    if (!m_inband_down_reported && key && m_inband_ms >= min_ms) {
        QueueKey(key, true, m_inband_start_tick, kMethodInband);
        m_inband_down_reported = true;
    }
}

void CKZSIPDTMFControl::OnRxBufArrived(uint16_t /*sequence*/, uint32_t /*timestamp*/, const uint8_t* data,
                                       int length) {
    if (!data || length <= 0) return;
    KZAPI::CMutexLock lock(GetCallMutex());
    if (!m_detection_enabled || !m_detector || EffectiveMethod() != kMethodInbandTones) return;
    int16_t samples[kMaxFrameMs * kSampleRate / 1000];
    const int bytes = ConvertAudioFormat(GetDSPAudioFormat(), data, length, KZAPI::KZ_AUDIO_FORMAT_LINEAR16,
                                         nullptr, reinterpret_cast<uint8_t*>(samples), sizeof(samples));
    const int count = bytes / 2;
    if (count <= 0) return;
    const int code = KZAPI::KZ_DTMF_Detect_Single_N_1(m_detector, samples, count);
    TrackTone(code, static_cast<unsigned>(count * 1000 / kSampleRate));
}

// ---- the tick ----

void CKZSIPDTMFControl::FeedToneFrame() {
    uint8_t frame[kMaxFrameMs * kSampleRate / 1000 * 2];
    int bytes = 0;
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    bool finished = false;
    {
        KZAPI::CMutexLock lock(GetCallMutex());
        if (m_inband_play_end_ms == 0) return;
        if (m_tone_offset + static_cast<size_t>(m_tone_frame_bytes) <= m_tone_frames.size() &&
            m_tone_frame_bytes <= static_cast<int>(sizeof(frame))) {
            bytes = m_tone_frame_bytes;
            std::memcpy(frame, m_tone_frames.data() + m_tone_offset, static_cast<size_t>(bytes));
            m_tone_offset += static_cast<size_t>(bytes);
            sequence = m_tone_sequence++;
            timestamp = m_tone_timestamp;
            m_tone_timestamp += static_cast<uint32_t>(FrameMs() * kTimestampUnitsPerMs);
        } else if (NowMs() >= m_inband_play_end_ms) {
            finished = true;
        }
    }
    if (bytes > 0) AddTxFrame(sequence, timestamp, frame, bytes);
    if (finished) StopTonePlay();
}

void CKZSIPDTMFControl::StopTonePlay() {
    {
        KZAPI::CMutexLock lock(GetCallMutex());
        const bool playing = m_inband_play_end_ms != 0;
        m_tone_frames.clear();
        m_tone_offset = 0;
        m_inband_play_end_ms = 0;
        if (!playing) return;
    }
    SetAsDSPDominateSource(0, 0);
}

void CKZSIPDTMFControl::OnDSPTimer() {
    CheckDTMFTimer();
    FeedToneFrame();
    CloseStaleEvent();
    DeliverKeyReports();
}

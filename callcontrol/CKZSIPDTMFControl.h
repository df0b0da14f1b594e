// CKZSIPDTMFControl: the SIP channel's DTMF application. It plays digit strings by the call's DTMF
// method (0 in-band tones, 1 SIP INFO, 2 RFC 2833 events, 3 events when the call negotiated a
// telephone-event payload and tones otherwise), turns received events, INFO requests and tones
// heard in the received audio into key-down/key-up notices, and forwards digits to a connected
// channel.
//
// Locking: received events arrive on the media tick (under the call's media lock) or the RTP
// receiver thread, INFO on the SIP thread, tones on the DSP tick. The control's state is under its
// own lock (GetCallMutex), which is never held while taking a call control's lock. The key notices
// a digit produces are queued and handed to the base (and so to the application and to a
// connected channel) with no lock held: at once on the SIP and relay threads, and on this
// application's own turn of the tick for what arrived inside the call's tick.
#pragma once

#include "host/CKZDTMFControl.h"
#include "host/audiotools/KZDTMF.h"
#include "media/CKZSIPDSPApp.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

class CKZSIPAPICC;

class CKZSIPDTMFControl : public KZAPI::CKZDTMFControl, public CKZSIPDSPApp {
public:
    // RFC 2833 event codes 0-16 and their keys ("X" is flash).
    static constexpr int kMaxEventCode = 16;
    static int EventCodeOfKey(char key);
    static char KeyOfEventCode(int code);

    CKZSIPDTMFControl();
    ~CKZSIPDTMFControl() override;

    // The call's DTMF method (0 when the channel has no SIP call control).
    int GetDTMFType() const;

    unsigned PlayDTMFString(const char* digits) override;
    void On_DTMF_Key_Down(char key, uint64_t tick) override;
    void On_DTMF_Key_Up(char key, uint64_t tick) override;
    void On_DTMF_Done(int result, const char* digits) override;
    unsigned EnableDTMFDetection() override;
    unsigned DisableDTMFDetection() override;
    bool IsDetectionEnabled();
    // An INFO request's dtmf-relay signal ("5", "#", or a number 0-16), its duration (ms) and
    // CSeq number.
    virtual void OnRxSIPInfo(const char* signal, const char* duration, uint32_t sequence);
    // One RFC 2833 event packet's payload.
    virtual void OnRxRFC2833DTMF(const uint8_t* payload, int length, uint16_t sequence, uint32_t timestamp,
                                 bool marker);

    // DSP face: in-band detection on received frames; the tick checks the timers, plays queued
    // tone frames and hands on the key notices.
    void OnRxBufArrived(uint16_t sequence, uint32_t timestamp, const uint8_t* data, int length) override;
    void OnDSPTimer() override;
    // The span's timer turn: sends the next digit forwarded as INFO.
    void OnAppTimer() override;

    // The four ways of playing a digit string (by method).
    unsigned PlayDTMFString0(const char* digits);
    unsigned PlayDTMFString1(const char* digits);
    unsigned PlayDTMFString2(const char* digits);
    unsigned PlayDTMFString3(const char* digits);

    // Plays digits a connected channel received, without ever waiting: INFO requests are sent
    // from the span's timer turn instead of in place.
    unsigned ForwardDTMFString(const char* digits);
    // Hands the queued key notices to the base (no lock may be held by the caller).
    void DeliverKeyReports();

private:
    struct KeyReport {
        char key = 0;
        bool down = false;
        uint64_t tick = 0;
        const char* method = "";
    };
    static constexpr int kMaxKeyReports = 64;
    static constexpr int kMaxForwardedInfo = 64;

    CKZSIPAPICC* CallControl() const;
    bool ProcessesReceivedDigits() const;
    // The method digits travel by on this call, with method 3 resolved by the negotiated payload.
    int EffectiveMethod() const;
    bool MediaTickRunning() const;
    unsigned FrameMs() const;
    void QueueKey(char key, bool down, uint64_t tick, const char* method);
    // RFC 2833 tracking (under the lock).
    void EndEvent(uint64_t up_tick);
    void ClearEventTracking();
    void CloseStaleEvent();
    // In-band tracking (under the lock).
    void TrackTone(int code, unsigned frame_ms);
    void CloseTone();
    void ClearToneTracking();
    // In-band play.
    void FeedToneFrame();
    void StopTonePlay();
    void ForwardToConnectedChannel(char key);

    // Guarded by GetCallMutex().
    bool m_detection_enabled = false;
    KZAPI::KZ_DTMF_HANDLE m_detector = nullptr;
    int m_inband_code = -1;
    uint64_t m_inband_start_tick = 0;
    unsigned m_inband_ms = 0; // audio heard of the tracked tone
    bool m_inband_down_reported = false;
    char m_rfc2833_key = 0;
    uint64_t m_rfc2833_down_tick = 0;
    uint16_t m_rfc2833_last_sequence = 0;
    uint32_t m_rfc2833_last_timestamp = 0;
    uint32_t m_rfc2833_duration = 0; // the latest duration field of the current event
    uint64_t m_rfc2833_last_packet_ms = 0;
    bool m_rfc2833_ended_valid = false;
    uint32_t m_rfc2833_ended_timestamp = 0; // the event last reported, whose late packets are dropped
    bool m_info_seen = false;
    uint32_t m_info_last_cseq = 0;
    // In-band play: frames in the DSP's format still to go out, one per tick.
    std::vector<uint8_t> m_tone_frames;
    size_t m_tone_offset = 0;
    int m_tone_frame_bytes = 0;
    uint16_t m_tone_sequence = 0;
    uint32_t m_tone_timestamp = 0;
    // The in-band play's end, when the DSP dominance is given back (0: none running).
    uint64_t m_inband_play_end_ms = 0;
    // Digits forwarded by INFO, sent one per timer turn.
    char m_info_outbox[kMaxForwardedInfo + 1] = "";
    uint64_t m_info_next_ms = 0;

    // Key notices waiting to be handed on (their own small lock, taken last).
    std::mutex m_report_mutex;
    KeyReport m_reports[kMaxKeyReports];
    int m_report_head = 0;
    int m_report_count = 0;
    std::atomic<bool> m_delivering{false};
    // Keeps a played string whole against another one played at the same time.
    std::mutex m_play_mutex;
};

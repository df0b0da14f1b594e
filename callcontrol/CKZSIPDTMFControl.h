// CKZSIPDTMFControl: the SIP channel's DTMF application. It plays digit strings by the call's DTMF
// method (0 in-band tones, 1 SIP INFO, 2 RFC 2833 events, 3 events when the call negotiated a
// telephone-event payload and tones otherwise), turns received events, INFO requests and tones
// heard in the received audio into key-down/key-up notices, and forwards digits to a connected
// channel.
//
// Received events arrive on the media tick, INFO on the SIP thread, tones on the DSP tick: all
// work under the control's own lock, never the call's (the media tick must not wait for it).
#pragma once

#include "host/CKZDTMFControl.h"
#include "host/audiotools/KZDTMF.h"
#include "media/CKZSIPDSPApp.h"

#include <cstdint>

class CKZSIPAPICC;

class CKZSIPDTMFControl : public KZAPI::CKZDTMFControl, public CKZSIPDSPApp {
public:
    CKZSIPDTMFControl() = default;
    ~CKZSIPDTMFControl() override;

    int GetDTMFType() const;

    unsigned PlayDTMFString(const char* digits) override;
    void On_DTMF_Key_Down(char key, uint64_t tick) override;
    void On_DTMF_Key_Up(char key, uint64_t tick) override;
    void On_DTMF_Done(int result, const char* digits) override;
    unsigned EnableDTMFDetection() override;
    unsigned DisableDTMFDetection() override;
    // An INFO request's dtmf-relay signal ("5", "#", or a number 0-16), its duration (ms) and
    // CSeq number.
    virtual void OnRxSIPInfo(const char* signal, const char* duration, uint32_t sequence);
    // One RFC 2833 event packet's payload.
    virtual void OnRxRFC2833DTMF(const uint8_t* payload, int length, uint16_t sequence, uint32_t timestamp,
                                 bool marker);

    // DSP face: in-band detection on received frames; the tick checks the timers.
    void OnRxBufArrived(uint16_t sequence, uint32_t timestamp, const uint8_t* data, int length) override;
    void OnDSPTimer() override;

    // The four ways of playing a digit string (by method).
    unsigned PlayDTMFString0(const char* digits);
    unsigned PlayDTMFString1(const char* digits);
    unsigned PlayDTMFString2(const char* digits);
    unsigned PlayDTMFString3(const char* digits);

private:
    CKZSIPAPICC* CallControl() const;
    bool ProcessesReceivedDigits() const;

    // Guarded by GetCallMutex().
    bool m_detection_enabled = false;
    KZAPI::KZ_DTMF_HANDLE m_detector = nullptr;
    int m_inband_code = -1;
    uint64_t m_inband_start_tick = 0;
    bool m_inband_down_reported = false;
    char m_rfc2833_key = 0;
    uint64_t m_rfc2833_down_tick = 0;
    uint16_t m_rfc2833_last_sequence = 0;
    uint32_t m_rfc2833_last_timestamp = 0;
    uint32_t m_rfc2833_duration = 0;
    bool m_info_seen = false;
    uint32_t m_info_last_cseq = 0;
    // The in-band play's end, when the DSP dominance is given back (0: none running).
    uint64_t m_inband_play_end_ms = 0;
};

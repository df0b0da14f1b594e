// CKZMediaEventSink: where the host's application hears what the channels' media applications
// noticed: digits, the end of a digit collection, of a play or a record, and call-progress
// tones. Reports arrive on the media threads, often with a control's lock held: a sink records or
// queues what it hears and never calls back into the channel from here.
#pragma once

namespace KZAPI {

class CKZMediaEventSink {
public:
    virtual ~CKZMediaEventSink() = default;
    // A digit was received on the channel: its character, how long it was held (ms) and how it
    // came ("rfc2833", "info" or "inband").
    virtual void OnDTMFDigit(int channel, char digit, unsigned duration_ms, const char* method) = 0;
    // A digit collection ended (CKZDTMFControl::DTMF_DONE_*) with the digits collected.
    virtual void OnDTMFDone(int channel, int result, const char* digits) = 0;
    // Play or record ended (CKZAudioControl::AUDIO_DONE_*); text: the digits that stopped it or
    // the text given to the stop.
    virtual void OnPlayDone(int channel, int result, const char* text) = 0;
    virtual void OnRecordDone(int channel, int result, const char* text) = 0;
    // A call-progress tone of the tone table was recognised.
    virtual void OnToneDetected(int channel, const char* name, int frequency) = 0;
    // Voice activity on the channel's call (CKZAPIEnv::FireOn_VoiceActivityDetected): direction
    // 0 sent, 1 received; verdict 0 off, 1 on, 2 tone-like voice, 3 beep.
    virtual void OnVoiceActivity(int /*channel*/, int /*direction*/, int /*verdict*/) {}

    // The sink in use; null (the default) drops the reports.
    static void SetMediaEventSink(CKZMediaEventSink* sink);
    static CKZMediaEventSink* GetMediaEventSink();
};

} // namespace KZAPI

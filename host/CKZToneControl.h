// CKZToneControl: the host's base of a channel's tone-detection application. It holds the tone
// table (the configuration's, else North-American and European defaults for dial, ringback,
// busy and congestion), runs the detector over the samples it is given while detection runs and
// reports each recognised tone.
//
// The table is read from "kzsrv.tone.table" when detection starts: entries separated by ";",
// each "name=F1[+F2]/ON/OFF" in Hz and ms (OFF 0 for a continuous tone), for example
// "busy=480+620/500/500;busy=425/500/500".
#pragma once

#include "host/CKZAppControl.h"
#include "host/audiotools/KZToneDetector.h"

#include <atomic>
#include <cstdint>

namespace KZAPI {

class CKZToneControl : public CKZAppControl {
public:
    static constexpr int kMaxTones = 32;

    CKZToneControl() = default;
    ~CKZToneControl() override;

    // 1 when detection runs (it may run already), 0 when the table gives no usable detector.
    virtual unsigned StartToneDetection();
    virtual unsigned StopToneDetection();
    bool IsToneDetectionRunning() const { return m_running.load(); }
    // Runs the detector over `count` 16-bit samples at `rate` Hz (only 8000 is detected).
    virtual void ProcessToneSamples(const int16_t* samples, int count, int rate, unsigned frame_ms);
    // A tone of the table was recognised (its first frequency); reports it to the media event
    // sink with its name (GetDetectedToneName).
    virtual void OnToneDetected(int frequency);
    const char* GetDetectedToneName() const { return m_detected_name; }

    // Parses a table text as described above; returns the entries stored (0 for none usable).
    static int ParseToneTable(const char* text, KZ_TONE_DEF* defs, int capacity);
    static const char* DefaultToneTable();

protected:
    int ChannelNumber() const;

private:
    std::atomic<bool> m_running{false};
    // Guarded by GetCallMutex().
    KZ_TONE_HANDLE m_detector = nullptr;
    KZ_TONE_DEF m_defs[kMaxTones];
    int m_def_count = 0;
    char m_detected_name[KZ_TONE_DEF::kNameChars] = "";
};

} // namespace KZAPI

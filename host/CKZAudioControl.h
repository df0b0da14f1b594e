// CKZAudioControl: the host's base of a channel's audio application: its play list, its audio
// format, its play and record states and the done reports. The module's audio application does
// the playing and recording; the base's versions of those operations do nothing (0).
#pragma once

#include "host/CKZAppControl.h"

#include <atomic>
#include <cstdint>

namespace KZAPI {

// An audio format: format code (3 mu-law, 4 A-law, 5 or 7 16-bit linear), rate code (3: 8 kHz)
// and size code (96: 8 bits, 112: 16 bits).
struct KZ_AC_AUDIO_FORMAT {
    int format = 7;
    int rate = 3;
    int size = 112;
};

struct KZ_AC_PLAY_ENTRY {
    static constexpr int kPathChars = 256;
    char path[kPathChars] = ""; // up to 255 characters
    uint32_t offset = 0;        // bytes to skip at the start
};

class CKZAudioControl : public CKZAppControl {
public:
    enum : int { AUDIO_OUT_IDLE = 0, AUDIO_OUT_PLAYING = 1 };
    enum : int { AUDIO_IN_IDLE = 0, AUDIO_IN_RECORDING = 2 };
    // Done results: the DTMF collection's results (CKZDTMFControl::DTMF_DONE_*) pass on as they
    // are; the list ended; stopped by request.
    enum : int { AUDIO_DONE_LIST_END = 3, AUDIO_DONE_STOPPED = 5 };
    static constexpr int kMaxPlayList = 64;

    CKZAudioControl() = default;
    ~CKZAudioControl() override = default;

    // ---- states and their notices ----
    virtual void OnAudioIdle() {}
    virtual void OnAudioPlaying() {}
    virtual void OnAudioRecording() {}
    virtual void OnAudioStopping() {}
    // Reported to the media event sink.
    virtual void OnPlayAudioDone(int result, const char* text);
    virtual void OnRecordAudioDone(int result, const char* text);

    // ---- the play list (under the control's lock) ----
    // 1 when added; 0 for a path of 256 characters or more, an empty one or a full list.
    virtual unsigned AddAudioPlayDocument(const char* path, uint32_t offset);
    virtual unsigned ClearAudioPlayDocument();
    int GetPlayListSize() const;
    // The entry, copied; false when out of range.
    bool GetPlayListEntry(int index, KZ_AC_PLAY_ENTRY& entry) const;

    // ---- play and record (the module's application does them) ----
    virtual unsigned PlayAudio(void* /*source*/) { return 0; }
    virtual unsigned PlayAudio(int /*max_digits*/, const char* /*terminators*/, unsigned /*timeout_ms*/) {
        return 0;
    }
    virtual unsigned PlayAudio(bool /*loop*/, bool /*random*/) { return 0; }
    virtual unsigned RecordAudio(void* /*target*/) { return 0; }
    virtual unsigned RecordAudio(const char* /*path*/, int /*max_digits*/, const char* /*terminators*/,
                                 unsigned /*timeout_ms*/, uint32_t /*offset*/) {
        return 0;
    }
    virtual unsigned RecordAudio(const char* /*path*/, uint32_t /*offset*/) { return 0; }
    virtual unsigned RecordAudio2(const char* /*path*/, int /*max_digits*/, const char* /*terminators*/,
                                  unsigned /*timeout_ms*/, uint32_t /*offset*/) {
        return 0;
    }
    // Stops both directions.
    virtual unsigned StopAudio();
    virtual unsigned StopPlaying(const char* /*text*/) { return 0; }
    virtual unsigned StopRecording(const char* /*text*/) { return 0; }
    virtual unsigned PlayRTAudio(void* /*source*/) { return 0; }
    virtual unsigned RecordRTAudio(void* /*target*/) { return 0; }
    virtual unsigned StartMusicOnHold() { return 0; }
    virtual unsigned StopMusicOnHold() { return 0; }
    virtual void SetAudioFormat(const KZ_AC_AUDIO_FORMAT& format);
    virtual KZ_AC_AUDIO_FORMAT GetAudioFormat() const;

    // A digit collection the audio application started ended.
    virtual void On_DTMF_Done(int /*result*/, const char* /*digits*/) {}

    int GetAudioOutState() const { return m_out_state.load(); }
    void SetAudioOutState(int state) { m_out_state.store(state); }
    int GetAudioInState() const { return m_in_state.load(); }
    void SetAudioInState(int state) { m_in_state.store(state); }

protected:
    int ChannelNumber() const;

private:
    std::atomic<int> m_out_state{AUDIO_OUT_IDLE};
    std::atomic<int> m_in_state{AUDIO_IN_IDLE};
    // Guarded by GetCallMutex().
    KZ_AC_PLAY_ENTRY m_play_list[kMaxPlayList];
    int m_play_count = 0;
    KZ_AC_AUDIO_FORMAT m_format;
};

} // namespace KZAPI

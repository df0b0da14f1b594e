// CKZSIPAudioControl: the SIP channel's audio application. It plays lists of WAV, AU, MP3 and raw
// files (or a real-time stream from a jitter or ring buffer) into the call's transmit path and
// records the received audio, optionally mixed with the transmitted audio, into WAV, AU, MP3 or
// raw files (or a real-time buffer). Play and record can stop on digits collected by the
// channel's DTMF application.
//
// Starts and stops run on the caller's thread, the ticks and frame callbacks on the DSP thread;
// both under the control's own lock.
#pragma once

#include "host/CKZAudioControl.h"
#include "host/KZJitterBuffer.h"
#include "host/KZRingBuffer.h"
#include "media/CKZSIPDSPApp.h"
#include "media/KZAudioFiles.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class CKZSIPAudioControl : public KZAPI::CKZAudioControl, public CKZSIPDSPApp {
public:
    // File kinds.
    enum : int {
        FILE_RAW = KZ_AUDIO_FILE_RAW,
        FILE_WAV = KZ_AUDIO_FILE_WAV,
        FILE_AU = KZ_AUDIO_FILE_AU,
        FILE_MP3 = KZ_AUDIO_FILE_MP3
    };
    // Play and record modes.
    enum : int { MODE_FILE = 0, MODE_JITTER_BUFFER = 1, MODE_RING_BUFFER = 2 };

    CKZSIPAudioControl() = default;
    ~CKZSIPAudioControl() override;

    // Each returns 1 when started, 0 (nothing changed) otherwise. The end is reported once through
    // OnPlayAudioDone / OnRecordAudioDone: 3 the play list ended, 5 stopped by request, 0..2 the
    // result of the digit collection that stopped it (with the digits as the text).
    //
    // Plays the play list (in order, over and over with loop, in random order with both).
    unsigned PlayAudio(bool loop, bool random) override;
    // Plays the list once, stopping on the digits collected by the channel's DTMF application
    // (with none of the three given, plays as PlayAudio(false, false)).
    unsigned PlayAudio(int max_digits, const char* terminators, unsigned timeout_ms) override;
    // Real-time play from a host jitter buffer (KZ_JB_HANDLE) / ring buffer (KZ_RTMB_HANDLE) of
    // frames in the DSP's format; the buffer stays the caller's.
    unsigned PlayAudio(void* source) override;
    unsigned PlayRTAudio(void* source) override;
    // Records the received audio into `path` (WAV, AU, MP3 by the extension, raw otherwise) in the
    // control's audio format, from `offset` bytes into an existing file's audio when not 0.
    unsigned RecordAudio(const char* path, uint32_t offset) override;
    unsigned RecordAudio(const char* path, int max_digits, const char* terminators, unsigned timeout_ms,
                         uint32_t offset) override;
    // The same with the transmitted audio mixed in.
    unsigned RecordAudio2(const char* path, int max_digits, const char* terminators, unsigned timeout_ms,
                          uint32_t offset) override;
    // Real-time record into a host jitter buffer / ring buffer (the caller's).
    unsigned RecordAudio(void* target) override;
    unsigned RecordRTAudio(void* target) override;
    // 1 when something was stopped. Once neither direction runs, a digit collection started for
    // them is stopped as well.
    unsigned StopPlaying(const char* text) override;
    unsigned StopRecording(const char* text) override;
    // The digit collection started with a play or record ended.
    void On_DTMF_Done(int result, const char* digits) override;

    unsigned ContinuePlayingAudioFile();
    void CloseAudioInResFile();
    void CloseAudioOutResFile();

    // DSP face.
    void OnRxBufArrived(uint16_t sequence, uint32_t timestamp, const uint8_t* data, int length) override;
    void OnTxBufArrived(uint16_t sequence, uint32_t timestamp, const uint8_t* data, int length) override;
    void OnDSPTimer() override;
    virtual void OnPlayTimerExpired(void* timer);
    virtual void OnRecordTimerExpired(void* timer);

    // Play ticks act on every fifth DSP tick and send up to this many frames.
    static constexpr int kPlayTickDivider = 5;
    static constexpr int kFramesPerPlayTick = 5;
    // Ticks at the start of a recording that are not recorded.
    static constexpr int kRecordSkipTicks = 15;
    // MP3 recordings are encoded at this bit rate.
    static constexpr int kMP3RecordingKbps = 32;
    static constexpr int kPlayBufferBytes = 25600;
    // Longest DSP frame time the control works with.
    static constexpr unsigned kMaxFrameMs = 320;

private:
    struct RingCloser {
        void operator()(KZAPI::KZ_RTMB_HANDLE ring) const { KZAPI::KZ_RTMB_Destroy(ring); }
    };
    using RingPtr = std::unique_ptr<KZAPI::KZRingBuffer, RingCloser>;
    struct GsmCloser {
        void operator()(void* handle) const;
    };
    using GsmPtr = std::unique_ptr<void, GsmCloser>;

    struct PlayState {
        int mode = MODE_FILE;
        bool loop = false;
        bool random = false;
        int index = 0;
        CKZAudioPlayFile file;
        GsmPtr gsm;             // decoder of raw GSM files
        void* source = nullptr; // real-time source (jitter or ring buffer), not owned
        uint64_t bytes_played = 0;
        uint16_t sequence = 0;
        uint32_t timestamp = 0;
        bool done_reported = false;
        int tick_divider = -1;
        std::vector<uint8_t> data; // one pass of file audio
    };
    struct RecordState {
        int mode = MODE_FILE;
        bool done_reported = false;
        CKZAudioRecordFile file;
        GsmPtr gsm;                           // encoder of raw GSM recordings
        void* target = nullptr;               // real-time target (jitter buffer), not owned
        KZAPI::KZ_RTMB_HANDLE ring = nullptr; // the received audio (owned ring or the real-time target)
        RingPtr own_ring;
        RingPtr tx_ring; // the transmitted audio, for mixing
        bool mix = false;
        bool write_failed = false;
        uint64_t bytes_recorded = 0;
        uint16_t sequence = 0;
        uint32_t timestamp = 0;
        int ticks = 0;
    };
    // Frames of one play tick, sent after the lock is left.
    struct TxFrame {
        uint16_t sequence;
        uint32_t timestamp;
        int offset;
        int length;
    };
    struct TxBatch {
        static constexpr int kMaxFrames = 16;
        static constexpr int kCapacity = 2 * kPlayBufferBytes;
        std::vector<uint8_t> bytes = std::vector<uint8_t>(kCapacity);
        TxFrame frames[kMaxFrames] = {};
        int count = 0;
        int used = 0;
        int Room() const { return count < kMaxFrames ? kCapacity - used : 0; }
        uint8_t* Next() { return bytes.data() + used; }
        void Add(uint16_t sequence, uint32_t timestamp, int length);
    };
    // What a stop decided, done once the lock is left.
    struct StopReport {
        bool report = false;
        int result = 0;
        char text[512] = "";
        bool stop_collection = false;
    };
    static_assert(sizeof(StopReport::text) == 512, "stop texts are up to 511 characters");

    bool DSPReady(const char* operation) const;
    unsigned StartPlay(int mode, void* source, bool loop, bool random);
    unsigned StartRecord(int mode, void* target, const char* path, uint32_t offset, bool mix);
    unsigned StartWithDigits(bool play, const char* path, int max_digits, const char* terminators,
                             unsigned timeout_ms, uint32_t offset, bool mix);
    bool OpenPlayEntry(int index);
    int NextPlayIndex(int count) const;
    void BeginPlaying();
    // Stops under the lock; the report (when due) is made by Finish* after it is left.
    bool StopPlayingLocked(int result, const char* text, StopReport& report);
    bool StopRecordingLocked(int result, const char* text, StopReport& report);
    void FinishPlayStop(const StopReport& report);
    void FinishRecordStop(const StopReport& report);
    void ClearStopOnDTMFWhenIdle(StopReport& report);
    void StopDigitCollection();

    bool PlayFromFile(unsigned frame_ms, int host_format, TxBatch& batch);
    void PlayFromJitterBuffer(unsigned frame_ms, int host_format, TxBatch& batch);
    void PlayFromRing(unsigned frame_ms, int host_format, TxBatch& batch);
    bool StageFileFrame(int length, int frame_bytes, int host_format, TxBatch& batch);
    void SendBatch(const TxBatch& batch);
    void RecordOneFrame(unsigned frame_ms);
    int MixTransmitted(uint8_t* frame, int bytes, int host_format, uint8_t* mixed);

    PlayState m_play;     // guarded by GetCallMutex()
    RecordState m_record; // guarded by GetCallMutex()
    bool m_stop_on_dtmf = false;
    char m_stop_text[512] = "";
    std::mutex m_tick_mutex; // one play tick at a time owns m_batch (taken before the call lock)
    TxBatch m_batch;
};

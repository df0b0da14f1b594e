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
#include "host/KZRingBuffer.h"
#include "host/audiotools/KZMP3File.h"
#include "host/audiotools/KZWavFile.h"
#include "media/CKZSIPDSPApp.h"

#include <cstdint>
#include <cstdio>
#include <vector>

class CKZSIPAudioControl : public KZAPI::CKZAudioControl, public CKZSIPDSPApp {
public:
    // File kinds.
    enum : int { FILE_RAW = 0, FILE_WAV = 1, FILE_AU = 2, FILE_MP3 = 3 };
    // Play and record modes.
    enum : int { MODE_FILE = 0, MODE_JITTER_BUFFER = 1, MODE_RING_BUFFER = 2 };

    CKZSIPAudioControl() = default;
    ~CKZSIPAudioControl() override;

    unsigned PlayAudio(void* source) override;
    unsigned PlayAudio(int max_digits, const char* terminators, unsigned timeout_ms) override;
    unsigned PlayAudio(bool loop, bool random) override;
    unsigned RecordAudio(void* target) override;
    unsigned RecordAudio(const char* path, int max_digits, const char* terminators, unsigned timeout_ms,
                         uint32_t offset) override;
    unsigned RecordAudio(const char* path, uint32_t offset) override;
    unsigned RecordAudio2(const char* path, int max_digits, const char* terminators, unsigned timeout_ms,
                          uint32_t offset) override;
    unsigned StopPlaying(const char* text) override;
    unsigned StopRecording(const char* text) override;
    unsigned PlayRTAudio(void* source) override;
    unsigned RecordRTAudio(void* target) override;
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

private:
    // (private state: the play and record records described in the file comment)
};

// CKZDXSoundChannel: what a channel keeps about the local sound device: whether its call is
// on the speaker and microphone, and the WAV file its sound-device audio is recorded into.
// The SIP channel carries it; the sound application reaches it through the host's channel.
#pragma once

#include "host/KZStrFunc.h"
#include "host/audiotools/KZWavFile.h"

#include <atomic>
#include <cstddef>

class CKZDXSoundChannel {
public:
    static constexpr size_t kRecordPathSize = 256; // 255 characters and the terminator

    virtual ~CKZDXSoundChannel() { CloseDXRecordFile(); }

    void SetDXSoundOpen(unsigned open) { m_dx_sound_open.store(open); }
    unsigned IsDXSoundOpen() const { return m_dx_sound_open.load(); }

    // The recording file (owned; closed on replacement and with the channel) and its path.
    KZAPI::KZ_WAV_FILE_HANDLE GetDXRecordFile() const { return m_record_file; }
    const char* GetDXRecordPath() const { return m_record_path; }
    void SetDXRecordFile(KZAPI::KZ_WAV_FILE_HANDLE file, const char* path) {
        CloseDXRecordFile();
        m_record_file = file;
        KZAPI::str_cpy(m_record_path, path ? path : "", sizeof(m_record_path));
    }
    void CloseDXRecordFile() {
        KZAPI::KZ_WAV_FILE_Close(m_record_file);
        m_record_file = nullptr;
    }
    void ClearDXRecordPath() { m_record_path[0] = '\0'; }

private:
    std::atomic<unsigned> m_dx_sound_open{0};
    KZAPI::KZ_WAV_FILE_HANDLE m_record_file = nullptr;
    char m_record_path[kRecordPathSize] = {};
};

// The audio files the audio application plays and records: the AU header, a file being played
// (raw, AU, WAV or MP3) handing out frames, and a file being recorded (raw, AU, WAV or MP3)
// taking frames. Formats are the DSP's codes (3 mu-law, 4 A-law, 5 or 7 16-bit linear, 8 GSM,
// 9..13 raw G.726); linear audio is little-endian on both faces, whatever the file holds.
#pragma once

#include "host/audiotools/KZMP3File.h"
#include "host/audiotools/KZWavFile.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

// ---- the AU (Sun .snd) header: six big-endian 32-bit fields ----
struct KZAuHeader {
    static constexpr int kBytes = 24;
    static constexpr uint32_t kMagic = 0x2e736e64; // ".snd"
    static constexpr uint32_t kUnknownSize = 0xFFFFFFFF;
    enum : uint32_t { ENCODING_ULAW = 1, ENCODING_LINEAR16 = 3, ENCODING_ALAW = 27 };

    uint32_t data_offset = kBytes;
    uint32_t data_size = kUnknownSize;
    uint32_t encoding = ENCODING_ULAW;
    uint32_t sample_rate = 8000;
    uint32_t channels = 1;
};

// False when the bytes are no AU header (too short, wrong magic, data offset inside the header).
bool KZ_AU_ParseHeader(const uint8_t* bytes, size_t length, KZAuHeader& header);
void KZ_AU_ComposeHeader(const KZAuHeader& header, uint8_t (&out)[KZAuHeader::kBytes]);
// The DSP format of an AU encoding, 0 when it has none; and back (0 when AU has no such encoding).
int KZ_AU_FormatOfEncoding(uint32_t encoding);
uint32_t KZ_AU_EncodingOfFormat(int format);

// The bytes of one frame of `frame_ms` in a file of `format`.
int KZ_AudioFileFrameBytes(int format, unsigned frame_ms);

struct KZFileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using KZFilePtr = std::unique_ptr<std::FILE, KZFileCloser>;
struct KZWavCloser {
    void operator()(KZAPI::KZ_WAV_FILE_HANDLE handle) const { KZAPI::KZ_WAV_FILE_Close(handle); }
};
struct KZMP3Closer {
    void operator()(KZAPI::KZ_MP3_FILE_HANDLE handle) const { KZAPI::KZ_MP3_FILE_Close(handle); }
};
using KZWavPtr = std::unique_ptr<KZAPI::KZWavFileState, KZWavCloser>;
using KZMP3Ptr = std::unique_ptr<KZAPI::KZMP3FileState, KZMP3Closer>;

// File kinds, chosen by the name's extension.
enum : int { KZ_AUDIO_FILE_RAW = 0, KZ_AUDIO_FILE_WAV = 1, KZ_AUDIO_FILE_AU = 2, KZ_AUDIO_FILE_MP3 = 3 };
int KZ_AudioFileKindOf(const char* path);

// A file being played.
class CKZAudioPlayFile {
public:
    // Opens `path`, skipping `offset` bytes of its audio; raw files (and AU files of an encoding
    // without a DSP format) hold audio in `raw_format`. False (and logged) on failure.
    bool Open(const char* path, uint32_t offset, int raw_format);
    void Close();
    bool IsOpen() const { return m_stream || m_wav || m_mp3; }
    int Kind() const { return m_kind; }
    // The format Read hands out.
    int Format() const { return m_format; }
    // WAV and MP3 files are decoded by the host's readers.
    bool IsDecoded() const { return m_wav || m_mp3; }

    // Reads up to `bytes`; 0 at the end of the audio, below 0 on an error.
    int Read(uint8_t* out, int bytes);

private:
    bool OpenWav(const char* path, uint32_t offset);
    bool OpenAu(KZFilePtr stream, const char* path, uint32_t offset, int raw_format);
    bool OpenRaw(KZFilePtr stream, uint32_t offset, int raw_format);
    int ReadStream(uint8_t* out, int bytes);

    KZFilePtr m_stream;
    KZWavPtr m_wav;
    KZMP3Ptr m_mp3;
    int m_kind = KZ_AUDIO_FILE_RAW;
    int m_format = 0;
    bool m_big_endian = false; // AU linear audio
    bool m_bounded = false;    // m_remaining is known
    uint64_t m_remaining = 0;  // bytes of audio left (stream files)
};

// A file being recorded.
class CKZAudioRecordFile {
public:
    // Raw and AU audio gathers in memory and goes to the file in large writes.
    static constexpr int kWriteBufferBytes = 0x80000;

    // Creates `path` (or, with an offset, opens the existing file and writes from `offset` bytes
    // into its audio) for audio of `format` (law or linear; MP3 files take linear only, are
    // encoded at `mp3_kbps` and always made anew). False (and logged) on failure.
    bool Open(const char* path, uint32_t offset, int format, int mp3_kbps);
    // Flushes and closes; an AU file gets its data size.
    void Close();
    bool IsOpen() const { return m_stream || m_wav || m_mp3; }
    int Kind() const { return m_kind; }
    int Format() const { return m_format; }

    // Writes one frame in Format(); false when the file took less.
    bool Write(const uint8_t* data, int bytes);

private:
    bool OpenWav(const char* path, uint32_t offset, int format);
    bool OpenStream(const char* path, uint32_t offset, int format);
    bool PrepareAuHeader(uint32_t offset, int format, uint32_t& data_offset);
    bool Flush();
    void FinishAuHeader();

    KZFilePtr m_stream;
    KZWavPtr m_wav;
    KZMP3Ptr m_mp3;
    int m_kind = KZ_AUDIO_FILE_RAW;
    int m_format = 0;
    uint32_t m_au_data_offset = 0;
    std::vector<uint8_t> m_buffer; // raw and AU audio not yet written
    size_t m_fill = 0;
};

#include "host/audiotools/KZWavFile.h"

#include "host/audiotools/kz_mono_resampler.h"

#include <sndfile.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <sys/stat.h>
#include <vector>

namespace KZAPI {

namespace {

constexpr int kRate = 8000;
constexpr size_t kDecodeFrames = 2048;

struct SndFileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
};
using SndFilePtr = std::unique_ptr<SNDFILE, SndFileCloser>;

// The WAV encoding of a DSP audio format code, 0 for none.
int SubformatOfAudioFormat(int audio_format) {
    switch (audio_format) {
    case 3:
        return SF_FORMAT_ULAW;
    case 4:
        return SF_FORMAT_ALAW;
    case 5:
    case 7:
        return SF_FORMAT_PCM_16;
    default:
        return 0;
    }
}

bool FileExists(const char* path) {
    struct stat info {};
    return stat(path, &info) == 0;
}

// Decodes the whole file into 8 kHz mono samples on demand. When libsndfile knows the length,
// exactly OutputLength(frames, rate) samples come out.
class WavReader {
public:
    bool Open(const char* path, uint32_t* data_bytes, uint32_t start_offset) {
        SF_INFO info{};
        m_file.reset(sf_open(path, SFM_READ, &info));
        if (!m_file || info.channels <= 0 || !m_resampler.Init(info.samplerate, info.channels)) return false;
        m_channels = info.channels;
        m_length_known = info.frames > 0 && info.frames != SF_COUNT_MAX;
        if (m_length_known)
            m_length = KZMonoResampler::OutputLength(static_cast<uint64_t>(info.frames), info.samplerate);
        if (data_bytes != nullptr)
            *data_bytes = static_cast<uint32_t>(std::min<uint64_t>(m_length * 2, UINT32_MAX));
        uint64_t skip = start_offset / 2;
        if (m_length_known) skip = std::min(skip, m_length);
        if (skip > 0 && info.samplerate == kRate && info.seekable &&
            sf_seek(m_file.get(), static_cast<sf_count_t>(skip), SEEK_SET) >= 0) {
            m_emitted = skip;
        } else {
            Read(nullptr, skip);
        }
        return true;
    }

    // Reads up to `count` samples into `out` (null skips them); returns how many.
    size_t Read(int16_t* out, size_t count) {
        if (m_length_known) count = static_cast<size_t>(std::min<uint64_t>(count, m_length - m_emitted));
        size_t done = 0;
        while (done < count) {
            if (m_resampler.Available() == 0) {
                if (m_input_done) break;
                Decode();
                continue;
            }
            done += m_resampler.Pull(out != nullptr ? out + done : nullptr, count - done);
        }
        // A file shorter than its header claims ends in silence rather than early.
        if (m_length_known && done < count) {
            if (out != nullptr) std::fill(out + done, out + count, int16_t{0});
            done = count;
        }
        m_emitted += done;
        return done;
    }

private:
    void Decode() {
        m_decoded.resize(kDecodeFrames * static_cast<size_t>(m_channels));
        const sf_count_t frames = sf_readf_float(m_file.get(), m_decoded.data(), kDecodeFrames);
        if (frames <= 0) {
            m_input_done = true;
            m_resampler.Finish();
            return;
        }
        m_resampler.Push(m_decoded.data(), static_cast<size_t>(frames));
    }

    SndFilePtr m_file;
    KZMonoResampler m_resampler;
    int m_channels = 1;
    bool m_input_done = false;
    bool m_length_known = false;
    uint64_t m_length = 0;
    uint64_t m_emitted = 0;
    std::vector<float> m_decoded;
};

// Writes raw frames of one encoding into an 8 kHz mono WAV; libsndfile keeps the header right.
class WavWriter {
public:
    bool Open(const char* path, int audio_format, bool append, uint32_t offset) {
        const int subformat = SubformatOfAudioFormat(audio_format);
        if (subformat == 0) return false;
        m_bytes_per_sample = subformat == SF_FORMAT_PCM_16 ? 2 : 1;
        if (append && FileExists(path)) return OpenForAppend(path, subformat, offset);
        SF_INFO info{};
        info.samplerate = kRate;
        info.channels = 1;
        info.format = SF_FORMAT_WAV | subformat;
        m_file.reset(sf_open(path, SFM_WRITE, &info));
        return m_file != nullptr;
    }

    int Write(const uint8_t* data, int bytes) {
        if (data == nullptr || bytes <= 0) return 0;
        const sf_count_t whole = bytes - bytes % m_bytes_per_sample;
        return static_cast<int>(sf_write_raw(m_file.get(), data, whole));
    }

private:
    // Keeps the first `offset` bytes of the file's audio and writes on from there.
    bool OpenForAppend(const char* path, int subformat, uint32_t offset) {
        SF_INFO info{};
        m_file.reset(sf_open(path, SFM_RDWR, &info));
        if (!m_file) return false;
        const int major = info.format & SF_FORMAT_TYPEMASK;
        const bool same_kind = (major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX) &&
                               (info.format & SF_FORMAT_SUBMASK) == subformat && info.channels == 1 &&
                               info.samplerate == kRate;
        if (!same_kind) return false;
        sf_count_t keep =
            std::min<sf_count_t>(offset / static_cast<uint32_t>(m_bytes_per_sample), info.frames);
        if (sf_command(m_file.get(), SFC_FILE_TRUNCATE, &keep, sizeof(keep)) != 0) return false;
        return sf_seek(m_file.get(), keep, SEEK_SET) == keep;
    }

    SndFilePtr m_file;
    int m_bytes_per_sample = 2;
};

} // namespace

struct KZWavFileState {
    std::unique_ptr<WavReader> reader;
    std::unique_ptr<WavWriter> writer;
    std::vector<int16_t> samples;
};

KZ_WAV_FILE_HANDLE KZ_WAV_FILE_ROpen(const char* path, uint32_t* data_bytes, uint32_t start_offset) {
    if (data_bytes != nullptr) *data_bytes = 0;
    if (path == nullptr) return nullptr;
    auto state = std::make_unique<KZWavFileState>();
    state->reader = std::make_unique<WavReader>();
    if (!state->reader->Open(path, data_bytes, start_offset)) return nullptr;
    return state.release();
}

int KZ_WAV_FILE_Read(KZ_WAV_FILE_HANDLE handle, uint8_t* out, int bytes) {
    if (handle == nullptr || !handle->reader || out == nullptr || bytes < 2) return 0;
    // `out` need not be aligned for samples: decode aside and copy.
    handle->samples.resize(static_cast<size_t>(bytes / 2));
    const size_t count = handle->reader->Read(handle->samples.data(), handle->samples.size());
    std::memcpy(out, handle->samples.data(), count * 2);
    return static_cast<int>(count * 2);
}

KZ_WAV_FILE_HANDLE KZ_WAV_FILE_Open(const char* path, int audio_format, bool append, uint32_t offset) {
    if (path == nullptr) return nullptr;
    auto state = std::make_unique<KZWavFileState>();
    state->writer = std::make_unique<WavWriter>();
    if (!state->writer->Open(path, audio_format, append, offset)) return nullptr;
    return state.release();
}

int KZ_FILE_Write(KZ_WAV_FILE_HANDLE handle, const uint8_t* data, int bytes) {
    if (handle == nullptr || !handle->writer) return 0;
    return handle->writer->Write(data, bytes);
}

void KZ_WAV_FILE_Close(KZ_WAV_FILE_HANDLE handle) {
    std::unique_ptr<KZWavFileState> owned(handle);
}

} // namespace KZAPI

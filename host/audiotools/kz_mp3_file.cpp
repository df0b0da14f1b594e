#include "host/audiotools/KZMP3File.h"

#include "host/audiotools/kz_mono_resampler.h"

#include <lame/lame.h>
#include <mpg123.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace KZAPI {

namespace {

constexpr size_t kDecodeBytes = 16384;
constexpr int kMaxBitrateKbps = 320;

struct Mpg123Deleter {
    void operator()(mpg123_handle* handle) const {
        mpg123_close(handle);
        mpg123_delete(handle);
    }
};
struct LameDeleter {
    void operator()(lame_global_flags* flags) const { lame_close(flags); }
};
struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

// Decodes to float at whatever rate and channel count the stream has; KZMonoResampler makes
// 8 kHz mono of it.
class Mp3Reader {
public:
    bool Open(const char* path) {
        static std::once_flag library_ready;
        std::call_once(library_ready, [] { mpg123_init(); });
        int error = MPG123_OK;
        m_handle.reset(mpg123_new(nullptr, &error));
        if (!m_handle) return false;
        mpg123_handle* mh = m_handle.get();
        mpg123_param(mh, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_NO_RESYNC, 0.0);
        if (!AcceptFloatOnly(mh) || mpg123_open(mh, path) != MPG123_OK) return false;
        long rate = 0;
        int channels = 0;
        int encoding = 0;
        if (mpg123_getformat(mh, &rate, &channels, &encoding) != MPG123_OK) return false;
        m_channels = channels;
        if (encoding != MPG123_ENC_FLOAT_32 || !m_resampler.Init(static_cast<int>(rate), channels))
            return false;
        // Frames must follow one another from the start: that tells an MP3 from other audio in
        // which a frame header happens to show up. Later damage is resynchronised over.
        if (!Decode()) return false;
        mpg123_param(mh, MPG123_REMOVE_FLAGS, MPG123_NO_RESYNC, 0.0);
        return true;
    }

    // Up to `count` samples; 0 at the end, -1 on a decoding error.
    int Read(int16_t* out, size_t count) {
        size_t done = 0;
        while (done < count) {
            if (m_resampler.Available() > 0) {
                done += m_resampler.Pull(out + done, count - done);
            } else if (m_input_done) {
                break;
            } else if (!Decode()) {
                return -1;
            }
        }
        return static_cast<int>(done);
    }

private:
    static bool AcceptFloatOnly(mpg123_handle* mh) {
        if (mpg123_format_none(mh) != MPG123_OK) return false;
        const long* rates = nullptr;
        size_t rate_count = 0;
        mpg123_rates(&rates, &rate_count);
        for (size_t i = 0; i < rate_count; ++i) {
            mpg123_format(mh, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_FLOAT_32);
        }
        return true;
    }

    bool Decode() {
        m_decoded.resize(kDecodeBytes / sizeof(float));
        size_t bytes = 0;
        const int result = mpg123_read(m_handle.get(), m_decoded.data(), kDecodeBytes, &bytes);
        if (result == MPG123_NEW_FORMAT) {
            // A change of rate or channels mid-stream: go on with the new layout.
            long rate = 0;
            int encoding = 0;
            mpg123_getformat(m_handle.get(), &rate, &m_channels, &encoding);
            m_resampler.Finish();
            return m_resampler.Init(static_cast<int>(rate), m_channels);
        }
        const size_t frames = bytes / sizeof(float) / static_cast<size_t>(m_channels);
        m_resampler.Push(m_decoded.data(), frames);
        if (result == MPG123_DONE) {
            m_input_done = true;
            m_resampler.Finish();
            return true;
        }
        return result == MPG123_OK;
    }

    std::unique_ptr<mpg123_handle, Mpg123Deleter> m_handle;
    KZMonoResampler m_resampler;
    int m_channels = 1;
    bool m_input_done = false;
    std::vector<float> m_decoded;
};

// A minimal ID3v2.3 tag holding only TLEN, the length in milliseconds as ten digits, so that it
// can be written first and rewritten in place once the length is known. Readers that ignore the
// LAME Info tag's encoder delay and padding (sox among them) take the length from it.
class LengthTag {
public:
    static constexpr size_t kDigits = 10;
    static constexpr size_t kFrameBody = 1 + kDigits; // text encoding byte, then the digits
    static constexpr size_t kFrames = 10 + kFrameBody;
    static constexpr size_t kSize = 10 + kFrames;

    static std::array<unsigned char, kSize> Make(uint64_t milliseconds) {
        std::array<unsigned char, kSize> tag{'I',     'D', '3', 3,   0,   0, 0, 0, 0,
                                             kFrames, 'T', 'L', 'E', 'N', 0, 0, 0, kFrameBody};
        static_assert(kFrames < 0x80 && kFrameBody < 0x80, "sizes fit one byte of a syncsafe field");
        milliseconds = std::min<uint64_t>(milliseconds, 9999999999ull);
        for (size_t i = 0; i < kDigits; ++i) {
            tag[kSize - 1 - i] = static_cast<unsigned char>('0' + milliseconds % 10);
            milliseconds /= 10;
        }
        return tag;
    }
};

class Mp3Writer {
public:
    bool Open(const char* path, int rate, int bitrate_kbps) {
        if (rate <= 0 || bitrate_kbps <= 0 || bitrate_kbps > kMaxBitrateKbps) return false;
        m_lame.reset(lame_init());
        if (!m_lame) return false;
        lame_global_flags* gf = m_lame.get();
        lame_set_in_samplerate(gf, rate);
        lame_set_num_channels(gf, 1);
        lame_set_mode(gf, MONO);
        lame_set_brate(gf, bitrate_kbps);
        lame_set_write_id3tag_automatic(gf, 0);
        // The Info tag carries the exact length (encoder delay and padding) for players.
        lame_set_bWriteVbrTag(gf, 1);
        if (lame_init_params(gf) < 0) return false;
        m_rate = rate;
        m_file.reset(std::fopen(path, "w+b"));
        return m_file != nullptr && PutTag(0);
    }

    int Write(const uint8_t* linear, int bytes) {
        const int samples = bytes / 2;
        if (samples <= 0) return 0;
        m_samples.resize(static_cast<size_t>(samples));
        std::memcpy(m_samples.data(), linear, static_cast<size_t>(samples) * 2);
        m_encoded.resize(static_cast<size_t>(samples) * 5 / 4 + 7200);
        const int encoded = lame_encode_buffer(m_lame.get(), m_samples.data(), m_samples.data(), samples,
                                               m_encoded.data(), static_cast<int>(m_encoded.size()));
        if (encoded < 0 || !Put(encoded)) return -1;
        m_samples_written += static_cast<uint64_t>(samples);
        return samples * 2;
    }

    void Finish() {
        m_encoded.resize(7200);
        const int encoded =
            lame_encode_flush(m_lame.get(), m_encoded.data(), static_cast<int>(m_encoded.size()));
        if (encoded > 0) Put(encoded);
        const uint64_t rate = static_cast<uint64_t>(m_rate);
        if (std::fseek(m_file.get(), 0, SEEK_SET) == 0) PutTag((m_samples_written * 1000 + rate / 2) / rate);
        // LAME finds its Info frame behind our tag.
        lame_mp3_tags_fid(m_lame.get(), m_file.get());
    }

private:
    bool PutTag(uint64_t milliseconds) {
        const auto tag = LengthTag::Make(milliseconds);
        return std::fwrite(tag.data(), 1, tag.size(), m_file.get()) == tag.size();
    }

    bool Put(int bytes) {
        return std::fwrite(m_encoded.data(), 1, static_cast<size_t>(bytes), m_file.get()) ==
               static_cast<size_t>(bytes);
    }

    std::unique_ptr<lame_global_flags, LameDeleter> m_lame;
    std::unique_ptr<FILE, FileCloser> m_file;
    std::vector<short> m_samples;
    std::vector<unsigned char> m_encoded;
    int m_rate = 8000;
    uint64_t m_samples_written = 0;
};

} // namespace

struct KZMP3FileState {
    std::unique_ptr<Mp3Reader> reader;
    std::unique_ptr<Mp3Writer> writer;
    std::vector<int16_t> samples;
};

KZ_MP3_FILE_HANDLE KZ_MP3_FILE_ROpen(const char* path) {
    if (path == nullptr) return nullptr;
    auto state = std::make_unique<KZMP3FileState>();
    state->reader = std::make_unique<Mp3Reader>();
    if (!state->reader->Open(path)) return nullptr;
    return state.release();
}

int KZ_MP3_FILE_Read(KZ_MP3_FILE_HANDLE handle, uint8_t* out, int bytes) {
    if (handle == nullptr || !handle->reader || out == nullptr || bytes < 0) return -1;
    handle->samples.resize(static_cast<size_t>(bytes / 2));
    const int count = handle->reader->Read(handle->samples.data(), handle->samples.size());
    if (count <= 0) return count;
    std::memcpy(out, handle->samples.data(), static_cast<size_t>(count) * 2);
    return count * 2;
}

KZ_MP3_FILE_HANDLE KZ_MP3_FILE_WOpen(const char* path, int rate, int bitrate_kbps) {
    if (path == nullptr) return nullptr;
    auto state = std::make_unique<KZMP3FileState>();
    state->writer = std::make_unique<Mp3Writer>();
    if (!state->writer->Open(path, rate, bitrate_kbps)) return nullptr;
    return state.release();
}

int KZ_MP3_FILE_Write(KZ_MP3_FILE_HANDLE handle, const uint8_t* linear, int bytes) {
    if (handle == nullptr || !handle->writer || linear == nullptr || bytes < 0) return -1;
    return handle->writer->Write(linear, bytes);
}

void KZ_MP3_FILE_Close(KZ_MP3_FILE_HANDLE handle) {
    std::unique_ptr<KZMP3FileState> owned(handle);
    if (owned && owned->writer) owned->writer->Finish();
}

} // namespace KZAPI

#include "media/KZAudioFiles.h"

#include "host/CKZDSP.h"
#include "host/CKZLogInterface.h"
#include "host/KZByteOrder.h"
#include "host/KZStrFunc.h"

#include <algorithm>
#include <cstring>
#include <string_view>

using KZAPI::CKZLogInterface;

namespace {

constexpr int kGsmFormat = KZAPI::KZ_AUDIO_FORMAT_GSM;
constexpr int kFirstRawG726Format = 9; // 9..12: raw G.726 at 16/24/32/40 kbit/s
constexpr int kLastRawG726Format = 12;
constexpr int kUnknownG726Format = 13;
constexpr int kGsmFrameBytes = 33;
constexpr int kDefaultFrameBytes = 160;

// AU keeps 16-bit samples big-endian, the DSP little-endian.
void SwapSampleBytes(uint8_t* data, int bytes) {
    for (int i = 0; i + 1 < bytes; i += 2)
        std::swap(data[i], data[i + 1]);
}

bool IsLawOrLinear(int format) {
    return format == KZAPI::KZ_AUDIO_FORMAT_ULAW || format == KZAPI::KZ_AUDIO_FORMAT_ALAW ||
           KZAPI::IsLinearAudioFormat(format);
}

// The file's size, or -1 when it cannot be told (the position is kept).
int64_t StreamSize(std::FILE* stream) {
    const long here = std::ftell(stream);
    if (here < 0 || std::fseek(stream, 0, SEEK_END) != 0) return -1;
    const long size = std::ftell(stream);
    if (std::fseek(stream, here, SEEK_SET) != 0) return -1;
    return size;
}

bool SeekTo(std::FILE* stream, uint64_t position) {
    if (position > static_cast<uint64_t>(INT64_MAX)) return false;
    return fseeko(stream, static_cast<off_t>(position), SEEK_SET) == 0;
}

KZFilePtr OpenFile(const char* path, const char* mode) {
    return KZFilePtr(std::fopen(path, mode));
}

} // namespace

// ---- AU header ----

bool KZ_AU_ParseHeader(const uint8_t* bytes, size_t length, KZAuHeader& header) {
    if (!bytes || length < KZAuHeader::kBytes || KZAPI::ReadBE32(bytes) != KZAuHeader::kMagic) return false;
    KZAuHeader parsed;
    parsed.data_offset = KZAPI::ReadBE32(bytes + 4);
    parsed.data_size = KZAPI::ReadBE32(bytes + 8);
    parsed.encoding = KZAPI::ReadBE32(bytes + 12);
    parsed.sample_rate = KZAPI::ReadBE32(bytes + 16);
    parsed.channels = KZAPI::ReadBE32(bytes + 20);
    if (parsed.data_offset < KZAuHeader::kBytes) return false;
    header = parsed;
    return true;
}

void KZ_AU_ComposeHeader(const KZAuHeader& header, uint8_t (&out)[KZAuHeader::kBytes]) {
    KZAPI::WriteBE32(out, KZAuHeader::kMagic);
    KZAPI::WriteBE32(out + 4, header.data_offset);
    KZAPI::WriteBE32(out + 8, header.data_size);
    KZAPI::WriteBE32(out + 12, header.encoding);
    KZAPI::WriteBE32(out + 16, header.sample_rate);
    KZAPI::WriteBE32(out + 20, header.channels);
}

int KZ_AU_FormatOfEncoding(uint32_t encoding) {
    switch (encoding) {
    case KZAuHeader::ENCODING_ULAW:
        return KZAPI::KZ_AUDIO_FORMAT_ULAW;
    case KZAuHeader::ENCODING_ALAW:
        return KZAPI::KZ_AUDIO_FORMAT_ALAW;
    case KZAuHeader::ENCODING_LINEAR16:
        return KZAPI::KZ_AUDIO_FORMAT_LINEAR16;
    default:
        return 0;
    }
}

uint32_t KZ_AU_EncodingOfFormat(int format) {
    if (format == KZAPI::KZ_AUDIO_FORMAT_ULAW) return KZAuHeader::ENCODING_ULAW;
    if (format == KZAPI::KZ_AUDIO_FORMAT_ALAW) return KZAuHeader::ENCODING_ALAW;
    if (KZAPI::IsLinearAudioFormat(format)) return KZAuHeader::ENCODING_LINEAR16;
    return 0;
}

int KZ_AudioFileFrameBytes(int format, unsigned frame_ms) {
    const int ms = static_cast<int>(frame_ms);
    if (IsLawOrLinear(format)) return KZAPI::AudioFormatBytes(format, frame_ms);
    if (format == kGsmFormat) return ms == 20 ? kGsmFrameBytes : kDefaultFrameBytes;
    if (format >= kFirstRawG726Format && format <= kLastRawG726Format)
        return (format - kFirstRawG726Format + 2) * ms; // 2..5 bits a sample
    if (format == kUnknownG726Format) return ms == 20 ? 20 : kDefaultFrameBytes;
    return kDefaultFrameBytes;
}

int KZ_AudioFileKindOf(const char* path) {
    const std::string_view name(path ? path : "");
    const size_t dot = name.find_last_of('.');
    const size_t slash = name.find_last_of('/');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash))
        return KZ_AUDIO_FILE_RAW;
    const std::string_view extension = name.substr(dot);
    if (KZAPI::iequals(extension, ".wav")) return KZ_AUDIO_FILE_WAV;
    if (KZAPI::iequals(extension, ".au")) return KZ_AUDIO_FILE_AU;
    if (KZAPI::iequals(extension, ".mp3")) return KZ_AUDIO_FILE_MP3;
    return KZ_AUDIO_FILE_RAW;
}

// ---- playing ----

bool CKZAudioPlayFile::Open(const char* path, uint32_t offset, int raw_format) {
    Close();
    KZFilePtr stream = OpenFile(path, "rb");
    if (!stream) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "fopen(%s) failed in PlayAudio", path);
        return false;
    }
    switch (KZ_AudioFileKindOf(path)) {
    case KZ_AUDIO_FILE_WAV:
        stream.reset();
        return OpenWav(path, offset);
    case KZ_AUDIO_FILE_AU:
        return OpenAu(std::move(stream), path, offset, raw_format);
    case KZ_AUDIO_FILE_MP3:
        stream.reset();
        m_mp3.reset(KZAPI::KZ_MP3_FILE_ROpen(path));
        if (!m_mp3) {
            CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "KZ_MP3_FILE_ROpen(%s) failed in PlayAudio",
                                 path);
            return false;
        }
        m_kind = KZ_AUDIO_FILE_MP3;
        m_format = KZAPI::KZ_AUDIO_FORMAT_LINEAR16;
        return true;
    default:
        return OpenRaw(std::move(stream), offset, raw_format);
    }
}

void CKZAudioPlayFile::Close() {
    m_stream.reset();
    m_wav.reset();
    m_mp3.reset();
    m_kind = KZ_AUDIO_FILE_RAW;
    m_format = 0;
    m_big_endian = false;
    m_bounded = false;
    m_remaining = 0;
}

bool CKZAudioPlayFile::OpenWav(const char* path, uint32_t offset) {
    uint32_t data_bytes = 0;
    m_wav.reset(KZAPI::KZ_WAV_FILE_ROpen(path, &data_bytes, offset));
    if (!m_wav) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "KZ_WAV_FILE_ROpen(%s) failed in PlayAudio", path);
        return false;
    }
    m_kind = KZ_AUDIO_FILE_WAV;
    m_format = KZAPI::KZ_AUDIO_FORMAT_LINEAR;
    // The reader stops at the end of the audio by itself; its total only caps the play.
    m_bounded = data_bytes != 0;
    m_remaining = data_bytes;
    return true;
}

bool CKZAudioPlayFile::OpenAu(KZFilePtr stream, const char* path, uint32_t offset, int raw_format) {
    uint8_t bytes[KZAuHeader::kBytes];
    KZAuHeader header;
    const size_t got = std::fread(bytes, 1, sizeof bytes, stream.get());
    if (!KZ_AU_ParseHeader(bytes, got, header)) {
        stream.reset();
        return OpenWav(path, offset); // named .au but something else: the WAV reader knows more formats
    }
    const int encoded = KZ_AU_FormatOfEncoding(header.encoding);
    if (encoded && (header.sample_rate != 8000 || header.channels != 1)) {
        stream.reset();
        return OpenWav(path, offset); // the reader resamples and mixes down
    }
    const int64_t size = StreamSize(stream.get());
    uint64_t available = size >= header.data_offset ? static_cast<uint64_t>(size) - header.data_offset : 0;
    if (header.data_size != KZAuHeader::kUnknownSize)
        available = std::min<uint64_t>(available, header.data_size);
    const bool known = size >= 0;
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "File:%s, InitOffset:%u, Data Bytes:%u", path, offset,
                         known ? static_cast<unsigned>(std::min<uint64_t>(available, UINT32_MAX)) : 0u);
    if (!SeekTo(stream.get(), uint64_t{header.data_offset} + offset)) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "Cannot seek to the audio of %s in PlayAudio", path);
        return false;
    }
    m_stream = std::move(stream);
    m_kind = KZ_AUDIO_FILE_AU;
    m_format = encoded ? encoded : raw_format;
    m_big_endian = encoded == KZAPI::KZ_AUDIO_FORMAT_LINEAR16;
    m_bounded = known;
    m_remaining = available > offset ? available - offset : 0;
    return true;
}

bool CKZAudioPlayFile::OpenRaw(KZFilePtr stream, uint32_t offset, int raw_format) {
    if (!SeekTo(stream.get(), offset)) return false;
    m_stream = std::move(stream);
    m_kind = KZ_AUDIO_FILE_RAW;
    m_format = raw_format;
    return true;
}

int CKZAudioPlayFile::Read(uint8_t* out, int bytes) {
    if (!out || bytes <= 0) return 0;
    if (m_bounded) bytes = static_cast<int>(std::min<uint64_t>(bytes, m_remaining));
    if (KZAPI::IsLinearAudioFormat(m_format)) bytes &= ~1; // whole samples only
    if (bytes <= 0) return 0;
    int got = 0;
    if (m_wav)
        got = KZAPI::KZ_WAV_FILE_Read(m_wav.get(), out, bytes);
    else if (m_mp3)
        got = KZAPI::KZ_MP3_FILE_Read(m_mp3.get(), out, bytes);
    else if (m_stream)
        got = ReadStream(out, bytes);
    if (got > 0 && m_bounded) m_remaining -= static_cast<uint64_t>(got);
    return got;
}

int CKZAudioPlayFile::ReadStream(uint8_t* out, int bytes) {
    int got = static_cast<int>(std::fread(out, 1, static_cast<size_t>(bytes), m_stream.get()));
    if (KZAPI::IsLinearAudioFormat(m_format)) got &= ~1; // a stray last byte is no sample
    if (m_big_endian) SwapSampleBytes(out, got);
    if (got == 0 && std::ferror(m_stream.get())) return -1;
    return got;
}

// ---- recording ----

bool CKZAudioRecordFile::Open(const char* path, uint32_t offset, int format, int mp3_kbps) {
    Close();
    m_kind = KZ_AudioFileKindOf(path);
    m_format = format;
    switch (m_kind) {
    case KZ_AUDIO_FILE_WAV:
        return OpenWav(path, offset, format);
    case KZ_AUDIO_FILE_MP3:
        m_format = KZAPI::KZ_AUDIO_FORMAT_LINEAR16;
        m_mp3.reset(KZAPI::KZ_MP3_FILE_WOpen(path, 8000, mp3_kbps));
        if (!m_mp3)
            CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "KZ_MP3_FILE_WOpen(%s) failed in RecordAudio",
                                 path);
        return m_mp3 != nullptr;
    default:
        return OpenStream(path, offset, format);
    }
}

bool CKZAudioRecordFile::OpenWav(const char* path, uint32_t offset, int format) {
    if (!IsLawOrLinear(format)) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "Audio format %d cannot be recorded into %s", format,
                             path);
        return false;
    }
    m_wav.reset(KZAPI::KZ_WAV_FILE_Open(path, format, offset != 0, offset));
    if (!m_wav)
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "KZ_WAV_FILE_Open(%s) failed in RecordAudio", path);
    return m_wav != nullptr;
}

bool CKZAudioRecordFile::OpenStream(const char* path, uint32_t offset, int format) {
    if (m_kind == KZ_AUDIO_FILE_AU && !KZ_AU_EncodingOfFormat(format)) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "Audio format %d cannot be recorded into %s", format,
                             path);
        return false;
    }
    m_stream = OpenFile(path, offset ? "rb+" : "wb");
    if (!m_stream) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "fopen(%s) failed in RecordAudio", path);
        return false;
    }
    uint32_t data_offset = 0;
    if (m_kind == KZ_AUDIO_FILE_AU && !PrepareAuHeader(offset, format, data_offset)) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "%s is no AU file to record into", path);
        m_stream.reset();
        return false;
    }
    if (!SeekTo(m_stream.get(), uint64_t{data_offset} + offset)) {
        m_stream.reset();
        return false;
    }
    m_au_data_offset = data_offset;
    m_buffer.assign(kWriteBufferBytes, 0);
    m_fill = 0;
    return true;
}

// A new AU file gets its header now (size unknown until it is closed); an existing one keeps its
// own, whose data offset tells where the audio starts.
bool CKZAudioRecordFile::PrepareAuHeader(uint32_t offset, int format, uint32_t& data_offset) {
    KZAuHeader header;
    uint8_t bytes[KZAuHeader::kBytes];
    if (offset) {
        const size_t got = std::fread(bytes, 1, sizeof bytes, m_stream.get());
        if (!KZ_AU_ParseHeader(bytes, got, header)) return false;
        data_offset = header.data_offset;
        return true;
    }
    header.encoding = KZ_AU_EncodingOfFormat(format);
    KZ_AU_ComposeHeader(header, bytes);
    data_offset = header.data_offset;
    return std::fwrite(bytes, 1, sizeof bytes, m_stream.get()) == sizeof bytes;
}

bool CKZAudioRecordFile::Write(const uint8_t* data, int bytes) {
    if (!data || bytes <= 0) return true;
    if (m_wav) return KZAPI::KZ_FILE_Write(m_wav.get(), data, bytes) == bytes;
    if (m_mp3) return KZAPI::KZ_MP3_FILE_Write(m_mp3.get(), data, bytes) == bytes;
    if (!m_stream || static_cast<size_t>(bytes) > m_buffer.size()) return false;
    bool flushed = true;
    if (m_fill + bytes > m_buffer.size()) flushed = Flush();
    std::memcpy(m_buffer.data() + m_fill, data, static_cast<size_t>(bytes));
    if (m_kind == KZ_AUDIO_FILE_AU && KZAPI::IsLinearAudioFormat(m_format))
        SwapSampleBytes(m_buffer.data() + m_fill, bytes);
    m_fill += static_cast<size_t>(bytes);
    return flushed;
}

bool CKZAudioRecordFile::Flush() {
    if (!m_stream || m_fill == 0) return true;
    const bool written = std::fwrite(m_buffer.data(), 1, m_fill, m_stream.get()) == m_fill;
    m_fill = 0;
    return written;
}

// With the audio's size in the header, readers need not take the file's end for it.
void CKZAudioRecordFile::FinishAuHeader() {
    const long end = std::ftell(m_stream.get());
    if (end < 0 || static_cast<uint64_t>(end) < m_au_data_offset) return;
    const uint64_t size = static_cast<uint64_t>(end) - m_au_data_offset;
    if (size >= KZAuHeader::kUnknownSize) return;
    uint8_t field[4];
    KZAPI::WriteBE32(field, static_cast<uint32_t>(size));
    if (std::fseek(m_stream.get(), 8, SEEK_SET) == 0) std::fwrite(field, 1, sizeof field, m_stream.get());
}

void CKZAudioRecordFile::Close() {
    if (m_stream) {
        if (!Flush()) CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "Recorded audio could not be written");
        if (m_kind == KZ_AUDIO_FILE_AU) FinishAuHeader();
    }
    m_stream.reset();
    m_wav.reset();
    m_mp3.reset();
    m_buffer.clear();
    m_buffer.shrink_to_fit();
    m_fill = 0;
    m_au_data_offset = 0;
}

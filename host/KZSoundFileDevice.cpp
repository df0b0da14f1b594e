// The devices that need no sound card: the null device and the WAV-file device. A thread of
// their own plays and captures one frame per frame time on an absolute schedule, as a card
// would, so that their users see the same pacing as with real hardware.
#include "host/CBaseThread.h"
#include "host/KZSoundDevice.h"
#include "host/KZSoundRing.h"
#include "host/audiotools/KZWavFile.h"

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

namespace KZAPI {

namespace {

using SteadyClock = std::chrono::steady_clock;

// Runs `frame` once per frame time until stopped.
class FrameClock : private CBaseThread {
public:
    FrameClock(int frame_ms, std::function<void()> frame) : m_period(frame_ms), m_frame(std::move(frame)) {}
    ~FrameClock() override { Stop(); }

    bool Start() {
        m_next = SteadyClock::now();
        return StartThread();
    }
    void Stop() { StopThread(); }

private:
    void DoUnblockedLoop() override {
        // Short naps, so that a stop request is seen within a few milliseconds.
        const auto now = SteadyClock::now();
        if (now < m_next) {
            std::this_thread::sleep_for(
                std::min<SteadyClock::duration>(m_next - now, std::chrono::milliseconds(5)));
            return;
        }
        m_frame();
        m_next += m_period;
        // Far behind (the machine stalled): skip ahead rather than play a burst.
        if (SteadyClock::now() - m_next > 5 * m_period) m_next = SteadyClock::now();
    }

    const std::chrono::milliseconds m_period;
    std::function<void()> m_frame;
    SteadyClock::time_point m_next;
};

struct WavCloser {
    void operator()(KZWavFileState* file) const { KZ_WAV_FILE_Close(file); }
};
using WavFile = std::unique_ptr<KZWavFileState, WavCloser>;

class FilePlayback final : public KZRingPlayback {
public:
    FilePlayback(std::string name, WavFile file, int frame_ms, int buffer_ms)
        : KZRingPlayback(std::move(name), frame_ms * 8, buffer_ms * 8), m_file(std::move(file)),
          m_clock(frame_ms, [this] { PlayFrame(); }) {}
    ~FilePlayback() override { m_clock.Stop(); }

    bool Start(int prefill_frames) override {
        Prime(prefill_frames);
        return m_clock.Start();
    }
    void Stop() override { m_clock.Stop(); }

private:
    void PlayFrame() {
        std::vector<int16_t>& frame = m_scratch;
        frame.assign(static_cast<size_t>(m_frame), 0);
        if (m_ring.Get(frame.data(), m_frame) < m_frame) m_underruns.Missed();
        if (m_file) KZ_FILE_Write(m_file.get(), reinterpret_cast<const uint8_t*>(frame.data()), m_frame * 2);
    }

    WavFile m_file; // null: the null device
    std::vector<int16_t> m_scratch;
    FrameClock m_clock; // last: stopped before the rest goes
};

class FileCapture final : public KZRingCapture {
public:
    FileCapture(std::string name, WavFile file, int frame_ms, int buffer_ms)
        : KZRingCapture(std::move(name), buffer_ms * 8), m_file(std::move(file)), m_frame(frame_ms * 8),
          m_clock(frame_ms, [this] { CaptureFrame(); }) {}
    ~FileCapture() override { m_clock.Stop(); }

    bool Start() override {
        m_ring.Reset();
        return m_clock.Start();
    }
    void Stop() override { m_clock.Stop(); }

private:
    // After the end of the file the microphone is silent.
    void CaptureFrame() {
        std::vector<int16_t>& frame = m_scratch;
        frame.assign(static_cast<size_t>(m_frame), 0);
        if (m_file) KZ_WAV_FILE_Read(m_file.get(), reinterpret_cast<uint8_t*>(frame.data()), m_frame * 2);
        m_ring.Put(frame.data(), m_frame);
    }

    WavFile m_file;
    const int m_frame;
    std::vector<int16_t> m_scratch;
    FrameClock m_clock;
};

constexpr char kWavPrefix[] = "wav:";
constexpr char kNullName[] = "null";

bool IsWavName(const char* name) {
    return name && std::strncmp(name, kWavPrefix, sizeof(kWavPrefix) - 1) == 0;
}
bool IsNullName(const char* name) {
    return name && std::strcmp(name, kNullName) == 0;
}
const char* WavPath(const char* name) {
    return name + sizeof(kWavPrefix) - 1;
}

} // namespace

// PortAudio's side, in KZSoundPortAudio.cpp.
std::unique_ptr<KZSoundPlayback> KZ_PortAudioPlaybackOpen(int device, int frame_ms, int buffer_ms);
std::unique_ptr<KZSoundCapture> KZ_PortAudioCaptureOpen(int device, int frame_ms, int buffer_ms);

bool KZ_SoundIsVirtualDevice(const char* name) {
    return IsNullName(name) || IsWavName(name);
}

std::unique_ptr<KZSoundPlayback> KZ_SoundPlaybackOpen(const char* name, int device, int frame_ms,
                                                      int buffer_ms) {
    if (frame_ms <= 0 || buffer_ms < frame_ms) return nullptr;
    if (IsNullName(name)) return std::make_unique<FilePlayback>(kNullName, nullptr, frame_ms, buffer_ms);
    if (IsWavName(name)) {
        WavFile file(KZ_WAV_FILE_Open(WavPath(name), 7, false, 0));
        if (!file) return nullptr;
        return std::make_unique<FilePlayback>(name, std::move(file), frame_ms, buffer_ms);
    }
    return KZ_PortAudioPlaybackOpen(device, frame_ms, buffer_ms);
}

std::unique_ptr<KZSoundCapture> KZ_SoundCaptureOpen(const char* name, int device, int frame_ms,
                                                    int buffer_ms) {
    if (frame_ms <= 0 || buffer_ms < frame_ms) return nullptr;
    if (IsNullName(name)) return std::make_unique<FileCapture>(kNullName, nullptr, frame_ms, buffer_ms);
    if (IsWavName(name)) {
        WavFile file(KZ_WAV_FILE_ROpen(WavPath(name), nullptr, 0));
        if (!file) return nullptr;
        return std::make_unique<FileCapture>(name, std::move(file), frame_ms, buffer_ms);
    }
    return KZ_PortAudioCaptureOpen(device, frame_ms, buffer_ms);
}

} // namespace KZAPI

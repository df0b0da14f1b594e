// The sound card through PortAudio (ALSA underneath): one callback stream per side, 8 kHz 16-bit
// mono, one frame per callback. The callback only moves samples between the card and the ring
// buffer; it never waits for the user of the device.
#include "host/KZSoundDevice.h"
#include "host/KZSoundRing.h"

#include <portaudio.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>

namespace KZAPI {

namespace {

constexpr double kSampleRate = 8000.0;

// PortAudio is initialised while anything of it is in use (its own count makes nesting safe).
class PortAudioSession {
public:
    PortAudioSession() : m_ok(Pa_Initialize() == paNoError) {}
    ~PortAudioSession() {
        if (m_ok) Pa_Terminate();
    }
    PortAudioSession(const PortAudioSession&) = delete;
    PortAudioSession& operator=(const PortAudioSession&) = delete;
    bool Ok() const { return m_ok; }

private:
    const bool m_ok;
};

// Some devices do not keep time (ALSA's null plugin takes and gives samples as fast as they are
// asked for). The guard holds a stream's callbacks to real time: a callback that comes earlier
// than `lead` ahead of its samples' time waits. A device that keeps time calls back within its
// latency, so the guard never holds it.
class RealTimeGuard {
public:
    void Start(double lead_seconds) {
        m_lead = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(lead_seconds));
        m_samples = 0;
        m_started = false;
    }
    void Pace(unsigned long samples) {
        const Clock::time_point now = Clock::now();
        if (!m_started) {
            m_start = now;
            m_started = true;
        }
        const auto due = m_start + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(m_samples / kSampleRate));
        m_samples += samples;
        if (due - now > m_lead) std::this_thread::sleep_until(due - m_lead);
    }

private:
    using Clock = std::chrono::steady_clock;
    Clock::duration m_lead{};
    Clock::time_point m_start;
    uint64_t m_samples = 0;
    bool m_started = false;
};

int ResolveDevice(int device, bool capture) {
    if (device < 0) return capture ? Pa_GetDefaultInputDevice() : Pa_GetDefaultOutputDevice();
    const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
    if (!info) return paNoDevice;
    return (capture ? info->maxInputChannels : info->maxOutputChannels) > 0 ? device : paNoDevice;
}

std::string DeviceName(int device) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
    return info && info->name ? info->name : "";
}

// Opens a mono 16-bit stream on `device` for one side; null stream on failure.
PaStream* OpenStream(int device, bool capture, int frame_samples, PaStreamCallback* callback, void* user) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
    if (!info) return nullptr;
    PaStreamParameters params{};
    params.device = device;
    params.channelCount = 1;
    params.sampleFormat = paInt16;
    params.suggestedLatency = capture ? info->defaultLowInputLatency : info->defaultLowOutputLatency;
    PaStream* stream = nullptr;
    const PaError err =
        Pa_OpenStream(&stream, capture ? &params : nullptr, capture ? nullptr : &params, kSampleRate,
                      static_cast<unsigned long>(frame_samples), paClipOff, callback, user);
    return err == paNoError ? stream : nullptr;
}

class PortAudioPlayback final : public KZRingPlayback {
public:
    // Made while a PortAudio session is up (OpenSide), so the device's name can be read first.
    PortAudioPlayback(int device, int frame_ms, int buffer_ms)
        : KZRingPlayback(DeviceName(device), frame_ms * 8, buffer_ms * 8) {
        m_stream = OpenStream(device, false, m_frame, &PortAudioPlayback::Callback, this);
    }
    ~PortAudioPlayback() override {
        if (m_stream) {
            Pa_StopStream(m_stream);
            Pa_CloseStream(m_stream);
        }
    }
    bool IsOpen() const { return m_stream != nullptr; }

    bool Start(int prefill_frames) override {
        Pa_StopStream(m_stream);
        // The device takes its latency's worth ahead of time: that much more silence up front.
        const PaStreamInfo* info = Pa_GetStreamInfo(m_stream);
        const double latency = info ? info->outputLatency : 0.0;
        const int latency_frames = static_cast<int>(std::ceil(latency * kSampleRate / m_frame));
        m_guard.Start(latency);
        Prime(prefill_frames + latency_frames);
        return Pa_StartStream(m_stream) == paNoError;
    }
    void Stop() override { Pa_StopStream(m_stream); }

private:
    static int Callback(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
                        PaStreamCallbackFlags flags, void* user) {
        auto* self = static_cast<PortAudioPlayback*>(user);
        self->m_guard.Pace(frames);
        auto* out = static_cast<int16_t*>(output);
        const int wanted = static_cast<int>(frames);
        const int got = self->m_ring.Get(out, wanted);
        std::fill(out + got, out + wanted, int16_t{0});
        if (got < wanted || (flags & paOutputUnderflow)) self->m_underruns.Missed();
        return paContinue;
    }

    PortAudioSession m_session;
    RealTimeGuard m_guard; // the callback's thread only, once started
    PaStream* m_stream = nullptr;
};

class PortAudioCapture final : public KZRingCapture {
public:
    PortAudioCapture(int device, int frame_ms, int buffer_ms)
        : KZRingCapture(DeviceName(device), buffer_ms * 8) {
        m_stream = OpenStream(device, true, frame_ms * 8, &PortAudioCapture::Callback, this);
    }
    ~PortAudioCapture() override {
        if (m_stream) {
            Pa_StopStream(m_stream);
            Pa_CloseStream(m_stream);
        }
    }
    bool IsOpen() const { return m_stream != nullptr; }

    bool Start() override {
        Pa_StopStream(m_stream);
        m_ring.Reset();
        m_guard.Start(0.0);
        return Pa_StartStream(m_stream) == paNoError;
    }
    void Stop() override { Pa_StopStream(m_stream); }

private:
    static int Callback(const void* input, void*, unsigned long frames, const PaStreamCallbackTimeInfo*,
                        PaStreamCallbackFlags, void* user) {
        auto* self = static_cast<PortAudioCapture*>(user);
        // Captured samples exist only once their time has come.
        self->m_guard.Pace(frames);
        if (input) self->m_ring.Put(static_cast<const int16_t*>(input), static_cast<int>(frames));
        return paContinue;
    }

    PortAudioSession m_session;
    RealTimeGuard m_guard;
    PaStream* m_stream = nullptr;
};

template <typename Device>
std::unique_ptr<Device> OpenSide(int device, bool capture, int frame_ms, int buffer_ms) {
    PortAudioSession session; // keeps PortAudio up while the device is looked up
    if (!session.Ok()) return nullptr;
    const int resolved = ResolveDevice(device, capture);
    if (resolved == paNoDevice) return nullptr;
    auto opened = std::make_unique<Device>(resolved, frame_ms, buffer_ms);
    return opened->IsOpen() ? std::move(opened) : nullptr;
}

} // namespace

std::unique_ptr<KZSoundPlayback> KZ_PortAudioPlaybackOpen(int device, int frame_ms, int buffer_ms) {
    return OpenSide<PortAudioPlayback>(device, false, frame_ms, buffer_ms);
}

std::unique_ptr<KZSoundCapture> KZ_PortAudioCaptureOpen(int device, int frame_ms, int buffer_ms) {
    return OpenSide<PortAudioCapture>(device, true, frame_ms, buffer_ms);
}

std::vector<KZSoundDeviceInfo> KZ_SoundDeviceList(bool capture) {
    std::vector<KZSoundDeviceInfo> devices;
    PortAudioSession session;
    if (!session.Ok()) return devices;
    const int count = Pa_GetDeviceCount();
    for (int i = 0; i < count; ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        if (!info || (capture ? info->maxInputChannels : info->maxOutputChannels) <= 0) continue;
        devices.push_back({i, info->name ? info->name : ""});
    }
    return devices;
}

} // namespace KZAPI

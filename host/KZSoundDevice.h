// The local sound device: a playback side (the speaker) and a capture side (the microphone), each
// 8 kHz 16-bit mono in frames of a fixed duration. Three kinds stand behind the same interface:
//   PortAudio (ALSA underneath) for a real card,
//   a WAV-file device ("wav:PATH") that plays into a file or captures from one, and
//   the null device ("null") that discards what it plays and captures silence.
// Each side runs on its own clock (the sound card's callback, or a thread ticking in real time)
// and meets its user through a ring buffer, so the user's tick never waits for the device.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace KZAPI {

struct KZSoundDeviceInfo {
    int index = -1;   // the device's number in the sound system's list
    std::string name; // what the name keys are matched against
};

class KZSoundPlayback {
public:
    virtual ~KZSoundPlayback() = default;
    // Starts the clock with `prefill_frames` frames of silence queued ahead of the first frame.
    virtual bool Start(int prefill_frames) = 0;
    virtual void Stop() = 0;
    // Queues samples for playing; never blocks. Returns the samples kept (the rest did not fit).
    virtual int Write(const int16_t* samples, int count) = 0;
    // Samples queued and not yet played.
    virtual int Queued() const = 0;
    // Drops queued samples until at most `keep` remain.
    virtual void Trim(int keep) = 0;
    // Frames the device had to play silence for because nothing was queued, since Start.
    virtual uint64_t Underruns() const = 0;
    virtual const std::string& Name() const = 0;
};

class KZSoundCapture {
public:
    virtual ~KZSoundCapture() = default;
    virtual bool Start() = 0;
    virtual void Stop() = 0;
    // Takes up to `count` captured samples; never blocks. Returns the samples taken.
    virtual int Read(int16_t* samples, int count) = 0;
    virtual int Available() const = 0;
    virtual const std::string& Name() const = 0;
};

// Opens a side: the name "null" opens the null device and "wav:PATH" the WAV-file device;
// any other name opens the sound system's device number `device` (-1: its default device).
// frame_ms is the device's frame time, buffer_ms the capacity of its ring buffer. Null when the
// device cannot be opened (no sound system, no such device, file not readable or writable).
std::unique_ptr<KZSoundPlayback> KZ_SoundPlaybackOpen(const char* name, int device, int frame_ms,
                                                      int buffer_ms);
std::unique_ptr<KZSoundCapture> KZ_SoundCaptureOpen(const char* name, int device, int frame_ms,
                                                    int buffer_ms);
// True for the names that select the null or the WAV-file device rather than a sound card.
bool KZ_SoundIsVirtualDevice(const char* name);

// The sound system's devices that can play (capture = false) or record (capture = true).
std::vector<KZSoundDeviceInfo> KZ_SoundDeviceList(bool capture);

} // namespace KZAPI

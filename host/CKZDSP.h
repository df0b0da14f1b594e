// CKZDSP: a channel's media engine. It hosts the channel's media applications (the call's media
// face first, then the audio, DTMF and tone controls), carries frames between them and between
// connected channels, and ticks them on the host's DSP timer.
//
// Frames are in the DSP's audio format (3 mu-law, 4 A-law, 5 or 7 16-bit linear, 8 kHz). A frame
// an application adds as received (AddRxFrame) reaches every application's OnRxBufArrived and
// becomes the transmitted audio of every DSP listening to this one; a frame added for
// transmission (AddTxFrame) reaches every application's OnTxBufArrived (the call's media face
// queues it for sending). A full-duplex connection makes two DSPs listen to each other, a
// half-duplex one makes the first listen to the second only. Connected DSPs share one format.
//
// The DSP timer runs OnDSPTimer of every application, in order, once per period, on the shared
// DSP timer threads (CKZDSPTimer): never a thread per channel.
#pragma once

#include "host/CMutex.h"

#include <atomic>
#include <cstdint>

namespace KZAPI {

class CKZDSPApp;
class CKZDSPTimer;

enum : int {
    KZ_AUDIO_FORMAT_ULAW = 3,
    KZ_AUDIO_FORMAT_ALAW = 4,
    KZ_AUDIO_FORMAT_LINEAR = 5,
    KZ_AUDIO_FORMAT_LINEAR16 = 7,
    KZ_AUDIO_FORMAT_GSM = 8,
};

inline bool IsLinearAudioFormat(int format) {
    return format == KZ_AUDIO_FORMAT_LINEAR || format == 6 || format == KZ_AUDIO_FORMAT_LINEAR16;
}
// Bytes of `ms` milliseconds of 8 kHz audio in a law or linear format.
inline int AudioFormatBytes(int format, unsigned ms) {
    return static_cast<int>(ms) * (IsLinearAudioFormat(format) ? 16 : 8);
}

class CKZDSP {
public:
    static constexpr int kMaxApps = 8;
    static constexpr int kMaxListeners = 8;

    // timer: the timer service to tick on; null = the process-wide one.
    explicit CKZDSP(int audio_format = KZ_AUDIO_FORMAT_LINEAR16, CKZDSPTimer* timer = nullptr);
    ~CKZDSP(); // stops the timer and takes down every connection
    CKZDSP(const CKZDSP&) = delete;
    CKZDSP& operator=(const CKZDSP&) = delete;

    int GetAudioFormat() const { return m_audio_format; }

    // Applications, ticked and fed in the order added. False when full or already present.
    bool AddApp(CKZDSPApp* app);
    bool RemoveApp(CKZDSPApp* app);

    // Frames from an application (see the file comment).
    void DeliverRxFrame(uint16_t sequence, uint32_t timestamp, const uint8_t* data, int length);
    // source: the application adding the frame (null: another DSP's audio heard through a
    // connection). While an application dominates the transmit side, frames from every other
    // source are dropped.
    void DeliverTxFrame(uint16_t sequence, uint32_t timestamp, const uint8_t* data, int length,
                        const CKZDSPApp* source = nullptr);
    // Makes `app` the only transmit source (null: every source again).
    void SetDominantSource(const CKZDSPApp* app) { m_dominant.store(app); }
    const CKZDSPApp* GetDominantSource() const { return m_dominant.load(); }

    // The DSP timer: every period_ms (the frame time) each application's OnDSPTimer runs.
    // Restarting with another period takes effect at once. StopTimer returns once no tick of this
    // DSP is running (unless called from a tick).
    void StartTimer(unsigned period_ms);
    void StopTimer();
    bool IsTimerRunning() const { return m_period_ms.load() != 0; }
    unsigned GetFrameTime() const { return m_period_ms.load(); }
    // One tick (called by the timer service).
    void Tick();

    // Connections; each returns 0 on success, -1 on failure (null, self, format mismatch, full).
    // Once a disconnect (or the destructor) returns, no frame of one reaches the other.
    static int FullDuplexConnect(CKZDSP* a, CKZDSP* b);
    static int FullDuplexDisconnect(CKZDSP* a, CKZDSP* b);
    // `listener` hears `source`.
    static int HalfDuplexConnect(CKZDSP* listener, CKZDSP* source);
    static int HalfDuplexDisconnect(CKZDSP* listener, CKZDSP* source);
    void DisconnectAll();
    bool IsListeningTo(const CKZDSP* source) const;

    void SetConfBitMask(unsigned mask) { m_conf_mask.store(mask); }
    unsigned GetConfBitMask() const { return m_conf_mask.load(); }

private:
    bool AddListener(CKZDSP* listener);
    bool RemoveListener(CKZDSP* listener);

    const int m_audio_format;
    CKZDSPTimer* m_timer;
    mutable CMutex m_mutex; // the applications
    CKZDSPApp* m_apps[kMaxApps] = {};
    int m_app_count = 0;
    CKZDSP* m_listeners[kMaxListeners] = {};
    int m_listener_count = 0;
    std::atomic<unsigned> m_period_ms{0};
    std::atomic<unsigned> m_conf_mask{0};
    std::atomic<const CKZDSPApp*> m_dominant{nullptr};
};

} // namespace KZAPI

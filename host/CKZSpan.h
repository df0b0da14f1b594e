// CKZSpan: a host span, a group of channels whose timed work (the call controls' application
// timers) runs in the span's timer turn, DoUnblockedLoop. A started span takes its turn on the
// host's shared tick thread, so any number of spans costs one thread. Channels are added before
// Start and removed after Stop; the span does not own them.
#pragma once

#include "host/CKZTickThread.h"
#include "host/CMutex.h"

#include <atomic>
#include <vector>

namespace KZAPI {

class CKZChannel;

class CKZSpan : private CKZTickClient {
public:
    CKZSpan() = default;
    // A derived span must Stop() in its own destructor, while its turn can still run.
    ~CKZSpan() override;
    CKZSpan(const CKZSpan&) = delete;
    CKZSpan& operator=(const CKZSpan&) = delete;

    // Start joins the shared tick thread, Stop leaves it (no turn runs once Stop returns).
    virtual unsigned Start();
    virtual unsigned Stop();
    bool IsStarted() const { return m_started; }

    // How many channels the span is made for; the host's span counts those added.
    virtual int GetNumOfChannels() { return GetChannelCount(); }
    void AddChannel(CKZChannel* channel);
    void RemoveChannel(CKZChannel* channel);
    CKZChannel* GetChannel(int index) const;
    int GetChannelCount() const;

    // One timer turn. Always returns true.
    virtual bool DoUnblockedLoop() { return true; }

protected:
    // The channels as they are now, for one turn (the tick thread alone calls it).
    const std::vector<CKZChannel*>& ChannelsForTurn();

private:
    void OnTick() override { DoUnblockedLoop(); }

    mutable CMutex m_mutex;
    std::vector<CKZChannel*> m_channels;
    std::vector<CKZChannel*> m_turn_channels;
    std::atomic<bool> m_started{false}; // a span may stop from its own turn
};

class CKZSIPSpan : public CKZSpan {};

} // namespace KZAPI

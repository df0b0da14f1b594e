// CKZDxDSP: the DSP of the local sound device. Unlike the channels' DSPs, which share the host's
// DSP timer threads, it ticks its applications on a thread of its own every 20 ms from
// construction, at the highest priority the process may take: the sound card waits for no one.
#pragma once

#include "host/CBaseThread.h"
#include "host/CKZDSP.h"

#include <chrono>

namespace KZAPI {

class CKZDxDSP : public CKZDSP, private CBaseThread {
public:
    static constexpr int kDSPType = 1;
    static constexpr unsigned kTickMs = 20;

    explicit CKZDxDSP(int audio_format = KZ_AUDIO_FORMAT_LINEAR16);
    ~CKZDxDSP() override;

    int GetDSPType() const { return kDSPType; }

private:
    bool OnCreate() override;
    void DoUnblockedLoop() override;

    std::chrono::steady_clock::time_point m_next;
};

} // namespace KZAPI

// CKZAppControl: an application attached to a channel (its call, audio, DTMF or tone control).
// Each one knows its channel and has its own call lock: every action on a call holds it.
#pragma once

#include "host/CMutex.h"

namespace KZAPI {

class CKZChannel;

class CKZAppControl {
public:
    CKZAppControl() = default;
    virtual ~CKZAppControl() = default;
    CKZAppControl(const CKZAppControl&) = delete;
    CKZAppControl& operator=(const CKZAppControl&) = delete;

    CMutex& GetCallMutex() { return m_call_mutex; }
    CKZChannel* GetChannel() const { return m_channel; }
    void SetChannel(CKZChannel* channel) { m_channel = channel; }

private:
    CMutex m_call_mutex;
    CKZChannel* m_channel = nullptr;
};

} // namespace KZAPI

// The host's channel object model, as far as the module's server needs it: a channel carries one
// call control; the call control is an application control with its own call lock and host call
// status, and it is found by the reference values (CRVs) of the protocols it speaks.
#pragma once

#include "host/CMutex.h"

#include <atomic>
#include <cstdint>

namespace KZAPI {

// An application control attached to a channel. Every action on a call holds its call lock.
class CKZAppControl {
public:
    virtual ~CKZAppControl() = default;
    CMutex& GetCallMutex() { return m_call_mutex; }

private:
    CMutex m_call_mutex;
};

class CKZCallControl : public CKZAppControl {
public:
    // Host call status: 0 idle; other values are set by the call control as the call proceeds.
    enum : int { CALL_STATUS_IDLE = 0 };

    int GetCallStatus() const { return m_call_status.load(); }
    void SetCallStatus(int status) { m_call_status.store(status); }

    // The call reference value of a protocol kind (10 is SIP, whose CRV is the stack's connection id).
    uint32_t GetCRV(int kind) const { return kind == KIND_SIP ? m_sip_crv.load() : 0; }
    void SetCRV(int kind, uint32_t crv) {
        if (kind == KIND_SIP) m_sip_crv.store(crv);
    }
    // The SIP Call-ID of the current call; "" when there is none.
    virtual const char* GetSIPCallID() const { return ""; }

    enum : int { KIND_SIP = 10 };

private:
    std::atomic<int> m_call_status{CALL_STATUS_IDLE};
    std::atomic<uint32_t> m_sip_crv{0};
};

class CKZChannel {
public:
    // Directions a channel accepts calls in (bit mask): 1 inbound, 2 outbound.
    enum : int { DIRECTION_IN = 1, DIRECTION_OUT = 2, DIRECTION_BOTH = 3 };

    CKZChannel(int number, int protocol, int directions = DIRECTION_BOTH)
        : m_number(number), m_protocol(protocol), m_directions(directions) {}
    virtual ~CKZChannel() = default;
    CKZChannel(const CKZChannel&) = delete;
    CKZChannel& operator=(const CKZChannel&) = delete;

    int GetChannelNumber() const { return m_number; }
    int GetProtocol() const { return m_protocol; }
    bool AcceptsDirection(int direction) const { return (m_directions & direction) != 0; }

    CKZCallControl* GetCallControl() const { return m_call_control; }
    void SetCallControl(CKZCallControl* cc) { m_call_control = cc; }

    // Idle: its call control exists and has no call in progress.
    bool IsIdle() const {
        return m_call_control && m_call_control->GetCallStatus() == CKZCallControl::CALL_STATUS_IDLE;
    }

private:
    int m_number;
    int m_protocol;
    int m_directions;
    CKZCallControl* m_call_control = nullptr;
};

} // namespace KZAPI

// CKZCall: what the host knows of one call, whatever the protocol: its ids and parties, where the
// current message came from and where requests must go, why it ended, who placed it, the host's
// call status and the per-call switches the host decides with. Fields other than the call status
// are read and written under the call lock of the call control.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace KZAPI {

class CKZCall {
public:
    static constexpr size_t kTextSize = 512;
    static constexpr size_t kAddressSize = 256;

    // Host call statuses the module sets; other numbers belong to the host.
    enum : int {
        CALL_STATUS_IDLE = 0,
        CALL_STATUS_CALLING = 1,
        CALL_STATUS_RINGING = 2,
        CALL_STATUS_OFFERED = 3,
        CALL_STATUS_ANSWERING = 4,
        CALL_STATUS_CONNECTED = 5,
        CALL_STATUS_DISCONNECTED = 6,
        CALL_STATUS_RESERVED = 11,
    };
    // Call direction flag values.
    enum : unsigned { CALL_INBOUND = 0, CALL_OUTBOUND = 1 };
    // Proxy-related channel id of a call the proxy does not relay.
    static constexpr int kNoProxyChannel = -1;

    CKZCall() = default;
    virtual ~CKZCall() = default;

    void SetCallID(const char* id);
    const char* GetCallID() const { return m_call_id; }
    void SetFromTag(const char* tag);
    const char* GetFromTag() const { return m_from_tag; }
    void SetToTag(const char* tag);
    const char* GetToTag() const { return m_to_tag; }
    void SetCallerNum(const char* caller);
    const char* GetCallerNum() const { return m_caller; }
    void SetCalleeNum(const char* callee);
    const char* GetCalleeNum() const { return m_callee; }

    // Sender of the current message.
    void SetFromIP(const char* address, uint16_t port);
    const char* GetFromIP() const { return m_from_ip; }
    uint16_t GetFromPort() const { return m_from_port; }
    // Forced destination of requests; an empty address clears it.
    void SetToIP(const char* address, uint16_t port);
    const char* GetToIP() const { return m_to_ip; }
    uint16_t GetToPort() const { return m_to_port; }
    bool HasForcedDestination() const { return m_to_ip[0] != '\0'; }

    void SetDisconnectCause(int code, const char* text);
    void AppendDisconnectCauseText(const char* text);
    int GetDisconnectCauseCode() const { return m_cause_code; }
    const char* GetDisconnectCauseText() const { return m_cause_text; }

    void SetCallDirection(unsigned direction) { m_direction = direction; }
    unsigned GetCallDirection() const { return m_direction; }
    bool IsOutbound() const { return m_direction != CALL_INBOUND; }

    // The host's call status; read without the call lock by channel searches. A change is reported
    // through OnStatusChanged.
    void SetStatus(int status) {
        const int old_status = m_call_status.exchange(status);
        if (old_status != status) OnStatusChanged(old_status, status);
    }
    int GetCallStatus() const { return m_call_status.load(); }

    void SetAutoAnswer(int value) { m_auto_answer = value; }
    void SetAutoTransfer(int value) { m_auto_transfer = value; }
    void SetAutoAccept(int value) { m_auto_accept = value; }
    void SetAutoRing(int value) { m_auto_ring = value; }
    void SetDND(int value) { m_dnd = value; }
    void SetDTMFMethod(int method) { m_dtmf_method = method; }
    int GetDTMFMethod() const { return m_dtmf_method; }

protected:
    virtual void OnStatusChanged(int /*old_status*/, int /*new_status*/) {}
    // Clears what belongs to one call. The disconnect cause stays: the host reads it after the
    // call has been reset.
    void ResetCall();

    int m_auto_answer = 0;
    int m_auto_transfer = 0;
    int m_auto_accept = 0;
    int m_auto_ring = 0;
    int m_dnd = 0;
    int m_proxy_related_channel = kNoProxyChannel;

private:
    char m_call_id[kTextSize] = "";
    char m_from_tag[kTextSize] = "";
    char m_to_tag[kTextSize] = "";
    char m_caller[kTextSize] = "";
    char m_callee[kTextSize] = "";
    char m_from_ip[kAddressSize] = "";
    uint16_t m_from_port = 0;
    char m_to_ip[kAddressSize] = "";
    uint16_t m_to_port = 0;
    int m_cause_code = 0;
    char m_cause_text[kTextSize] = "";
    unsigned m_direction = CALL_INBOUND;
    int m_dtmf_method = 0;
    std::atomic<int> m_call_status{CALL_STATUS_IDLE};

    static_assert(sizeof(m_call_id) == 512 && sizeof(m_from_tag) == 512 && sizeof(m_to_tag) == 512,
                  "call id and tags hold 511 characters");
    static_assert(sizeof(m_caller) == 512 && sizeof(m_callee) == 512, "parties hold whole header values");
    static_assert(sizeof(m_from_ip) == 256 && sizeof(m_to_ip) == 256, "addresses hold 255 characters");
    static_assert(sizeof(m_cause_text) == 512, "disconnect cause text holds 511 characters");
};

} // namespace KZAPI

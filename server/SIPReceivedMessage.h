// The message of a stack event, read through the group and freed when it goes out of scope,
// together with the address and port it came from.
#pragma once

#include "server/CKZSIPGroup.h"
#include "server/SIPMessagePtr.h"
#include "sipmsg/KZSIPEvent.h"

class SIPReceivedMessage {
public:
    SIPReceivedMessage(CKZSIPGroup* group, const KZSIPEvent* event) {
        unsigned size = sizeof(m_address);
        sip_msg* message = nullptr;
        if (group && event && CKZSIPGroup::GetMessage(event->stack, &message, m_address, &size, &m_port) == 0)
            m_message.reset(message);
    }
    SIPReceivedMessage(const SIPReceivedMessage&) = delete;
    SIPReceivedMessage& operator=(const SIPReceivedMessage&) = delete;

    explicit operator bool() const { return m_message != nullptr; }
    sip_msg* get() const { return m_message.get(); }
    // Hands the message to a new owner (a call control keeping it as its current message).
    sip_msg* release() { return m_message.release(); }
    const char* address() const { return m_address; }
    unsigned short port() const { return m_port; }

private:
    SIPMessagePtr m_message;
    char m_address[64] = "";
    unsigned short m_port = 0;
};

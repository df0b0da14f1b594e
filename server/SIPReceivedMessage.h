// The message of a stack event, read through the group and freed when it goes out of scope,
// together with the address and port it came from.
#pragma once

#include "server/CKZSIPGroup.h"
#include "sipmsg/KZSIPEvent.h"

class SIPReceivedMessage {
public:
    SIPReceivedMessage(CKZSIPGroup* group, const KZSIPEvent* event) {
        unsigned size = sizeof(m_address);
        if (!group || !event ||
            CKZSIPGroup::GetMessage(event->stack, &m_message, m_address, &size, &m_port) != 0)
            m_message = nullptr;
    }
    ~SIPReceivedMessage() {
        if (m_message) CKZSIPGroup::FreeMessage(m_message);
    }
    SIPReceivedMessage(const SIPReceivedMessage&) = delete;
    SIPReceivedMessage& operator=(const SIPReceivedMessage&) = delete;

    explicit operator bool() const { return m_message != nullptr; }
    sip_msg* get() const { return m_message; }
    const char* address() const { return m_address; }
    unsigned short port() const { return m_port; }

private:
    sip_msg* m_message = nullptr;
    char m_address[64] = "";
    unsigned short m_port = 0;
};

// A message allocated through the stack's message functions, freed through them when its owner
// goes away.
#pragma once

#include "server/CKZSIPGroup.h"

#include <memory>

struct SIPMessageFree {
    void operator()(sip_msg* message) const { CKZSIPGroup::FreeMessage(message); }
};
using SIPMessagePtr = std::unique_ptr<sip_msg, SIPMessageFree>;

// A new empty message, or null when the stack cannot allocate one.
inline SIPMessagePtr AllocSIPMessage() {
    sip_msg* message = nullptr;
    if (CKZSIPGroup::AllocMessage(&message) != 0) message = nullptr;
    return SIPMessagePtr(message);
}

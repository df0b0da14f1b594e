// The text of one element of a message record (index 0), or "" when it is absent.
#pragma once

#include "server/CKZSIPGroup.h"

#include <cstdint>
#include <string>

inline std::string sip_element(sip_msg* message, uint32_t id) {
    char value[CKZSIPGroup::kIEBufferSize];
    return message && CKZSIPGroup::MSG_GetIE_STR(message, id, 0, value) == 0 ? std::string(value)
                                                                             : std::string();
}

// The result codes of the flat stack interface and of the message operations.
#pragma once

#include <cstdint>

enum KZ_SIP_RESULT : uint32_t {
    KZ_SIP_RESULT_OK = 0,
    KZ_SIP_RESULT_NULL_HANDLE = 0xA00001, // null handle or argument
    KZ_SIP_RESULT_NULL_VALUE = 0xA00002,
    KZ_SIP_RESULT_VALUE_PRESENT = 0xA00003, // element value already present
    KZ_SIP_RESULT_NO_VALUE = 0xA00004,      // element value not present
    KZ_SIP_RESULT_BUFFER_SMALL = 0xA00005,  // the needed size is returned
    KZ_SIP_RESULT_NO_MEMORY = 0xA00006,
    KZ_SIP_RESULT_FAILURE = 0xFFFFFFFF,
};

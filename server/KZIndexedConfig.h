// Configuration keys numbered by an index, such as "kzsrv.sip.user%d.name".
#pragma once

#include "host/CKZCfgInterface.h"
#include "host/KZStrFunc.h"

inline KZAPI::CString KZ_CFG_GetIndexedValue(const char* format, int index, const char* default_value) {
    char key[96];
    KZAPI::s_printf(key, sizeof(key), format, index);
    return KZAPI::CKZCfgInterface::CFG_GetValue(key, default_value);
}

inline int KZ_CFG_GetIndexedInt(const char* format, int index, int default_value) {
    char key[96];
    KZAPI::s_printf(key, sizeof(key), format, index);
    return KZAPI::CKZCfgInterface::CFG_GetIntValue(key, default_value);
}

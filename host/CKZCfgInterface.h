// Host configuration: a process-wide key/value store. Values are read by key with a default
// at the call site; a "key = value" text file can be loaded into it.
#pragma once

#include "host/CString.h"

#include <cstdint>
#include <string>

namespace KZAPI {

class CKZCfgInterface {
public:
    static CString CFG_GetValue(const char* key, const char* default_value);
    static int32_t CFG_GetIntValue(const char* key, int32_t default_value);
    static void CFG_SetValue(const char* key, const char* value);
    static bool CFG_HasValue(const char* key);
    static void CFG_Clear();
    // Loads "key = value" lines; blank lines and lines starting with '#' or ';' are skipped.
    // Returns the number of values loaded, or -1 when the file cannot be read.
    static int CFG_LoadFile(const std::string& path);
    // Loads the same format from text (used by the file loader and by tests).
    static int CFG_LoadText(const std::string& text);
};

inline CString KZ_CFG_GetValue(const char* key, const char* default_value) {
    return CKZCfgInterface::CFG_GetValue(key, default_value);
}
inline int32_t KZ_CFG_GetIntValue(const char* key, int32_t default_value) {
    return CKZCfgInterface::CFG_GetIntValue(key, default_value);
}

} // namespace KZAPI

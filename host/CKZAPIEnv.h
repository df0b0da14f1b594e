// CKZAPIEnv: where the module reports to the application. The application installs its own
// environment to receive the notifications; the default one logs them.
#pragma once

#include <cstdint>

namespace KZAPI {

class CKZAPIEnv {
public:
    virtual ~CKZAPIEnv() = default;

    // A SIP message passed through the stack: direction 0 received, 1 sent.
    virtual void FireOn_SIPMsg(int direction, const char* from_host, uint16_t from_port, const char* to_host,
                               uint16_t to_port, const char* text, int length, int protocol,
                               void* connection);

    // The environment in use (the default one unless the application installed its own).
    static CKZAPIEnv* GetKZAPIEnv();
    // Installs env (null restores the default); the caller keeps ownership.
    static void SetKZAPIEnv(CKZAPIEnv* env);
};

} // namespace KZAPI

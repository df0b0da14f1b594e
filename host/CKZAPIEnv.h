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

    // The registration of account `account` changed: registered 1 for `seconds`, or 0 and 0.
    virtual void Send_RegStatus(int account, int registered, int seconds);
    // A REGISTER of the account was refused (the status code and reason) or went unanswered
    // (408 and the stack's error name); the account tries again after its retry interval.
    virtual void Send_RegFailure(int account, int code, const char* reason);

    // No audio has arrived on the connected call of the channel for the configured duration
    // (repeated every duration while the silence lasts).
    virtual void FireOn_RecvNoAudio(int channel, int reserved);

    // The environment in use (the default one unless the application installed its own).
    static CKZAPIEnv* GetKZAPIEnv();
    // Installs env (null restores the default); the caller keeps ownership.
    static void SetKZAPIEnv(CKZAPIEnv* env);
};

} // namespace KZAPI

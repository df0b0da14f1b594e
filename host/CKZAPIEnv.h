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

    // A subscription of the account changed: subscribed 1 for `seconds`, or 0.
    virtual void Send_SubscribeStatus(int account, int subscribed, int seconds);
    // The outcome of the MESSAGE sent with application id `id`: the answer's status code and
    // reason, or 408 "Request Timeout" when none came.
    virtual void Send_MessageTextDelivered(int id, int code, const char* reason);
    // A message-summary NOTIFY (RFC 3842): "yes"/"no", the account it names, the voice counts.
    virtual void Send_NotifySimpleMessageSummary(const char* waiting, const char* account, const char* voice);
    // A NOTIFY of a subscription (presence, dialog or reg event): the account it was sent to (-1
    // when none matches), its To, event, Subscription-State, content type and body.
    virtual void FireOn_Notify(int account, const char* to, const char* event, const char* state,
                               const char* content_type, const char* body);
    // A MESSAGE received: the channel whose call it came in (-1 outside calls), From, To,
    // Request-URI and the text.
    virtual void FireOn_Message(int channel, const char* from, const char* to, const char* uri,
                                const char* text);

    // No audio has arrived on the connected call of the channel for the configured duration
    // (repeated every duration while the silence lasts).
    virtual void FireOn_RecvNoAudio(int channel, int reserved);

    // The environment in use (the default one unless the application installed its own).
    static CKZAPIEnv* GetKZAPIEnv();
    // Installs env (null restores the default); the caller keeps ownership.
    static void SetKZAPIEnv(CKZAPIEnv* env);
};

} // namespace KZAPI

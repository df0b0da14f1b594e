// CKZAPIEnv: where the module reports to the application. The application installs its own
// environment to receive the notifications; the default one logs them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

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

    // A user of proxy site `site` registered for `seconds` from its contact (seen from the source
    // address and port; channel is the number a "KZAPISIPUA-" agent names, else -1); seconds 0
    // when its registration ended (removed, or it stopped answering the site's checks).
    virtual void FireOn_ProxyUserRegistered(int site, const char* user, int seconds, const char* contact,
                                            const char* source_address, uint16_t source_port, int channel);
    // A SUBSCRIBE to a user of a proxy site was accepted: its From, To, Request-URI, Via address,
    // Call-ID, From tag and the sender's port.
    virtual void FireOn_ProxyUserSubscribed(int site, const char* from, const char* to, const char* uri,
                                            const char* via, const char* call_id, const char* from_tag,
                                            uint16_t port);
    // What the site reports of one of its proxied call sessions.
    struct ProxySessionReport {
        int site = 0;
        uint32_t connection = 0; // of the incoming leg
        const char* from = "";
        const char* to = "";
        const char* uri = "";  // Request-URI of the incoming INVITE
        const char* via = "";  // top Via address of the incoming INVITE
        const char* text = ""; // the session's free text
        int64_t start = 0;     // seconds
        int64_t connect = 0;   // seconds; 0 while not answered
        int state = 0;
    };
    // A call arrived at proxy site `site` as `connection` (From, To, Request-URI and Via address
    // in the report), from source_address:source_port, for the authenticated user ("" when the
    // caller gave no valid credentials). The answer routes it: nullopt sends it to the callee's
    // registered contact; "channel" (or "") hands it to an idle channel; "rejected", "unauthorized",
    // "486" or "486|Reason" answer it; "sip:undefined" holds it until the application gives the
    // destination (CKZSIPServer::ProxySetNewCallSessionAddr); any other "sip:" text is the target;
    // "|"-separated items ("To<...>", "From<...>", "User<...>", "Password<...>", "RequestURI<...>",
    // "DestIP<...>", "DestPort<...>", "NewSession") rewrite the outgoing leg.
    virtual std::optional<std::string> On_ProxyNewCallSession(const ProxySessionReport& call,
                                                              const char* source_address,
                                                              uint16_t source_port, const char* user,
                                                              bool authenticated);
    // A proxied session was created, heard from the callee or was answered.
    virtual void FireOn_ProxyCallSessionStatus(const ProxySessionReport& session);
    // A proxied session ended with the status code and reason (code 0 for a normal end).
    virtual void FireOn_ProxyCallSessionEnd(const ProxySessionReport& session, int code, const char* reason);

    // Voice activity on the call of the channel: direction 0 the audio sent, 1 the audio received;
    // verdict 0 voice ended, 1 voice began, 2 a voice that sounds like a tone (at its start, and
    // once more while it lasts), 3 a beep (a steady tone) heard. The reserved values are 0. By
    // default the report goes to the host's media event sink, when one is installed.
    virtual void FireOn_VoiceActivityDetected(int channel, int direction, int verdict, int reserved1,
                                              int reserved2);

    // The environment in use (the default one unless the application installed its own).
    static CKZAPIEnv* GetKZAPIEnv();
    // Installs env (null restores the default); the caller keeps ownership.
    static void SetKZAPIEnv(CKZAPIEnv* env);
};

} // namespace KZAPI

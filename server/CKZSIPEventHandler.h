// CKZSIPEventHandler: turns the events of the SIP stack's queue into actions. The server loop hands
// it the group; it drains the queue, classifies each event and calls one handler per request
// method, per response class and per error. Requests that involve no call, proxy session or site
// are answered here directly.
#pragma once

#include "host/CKZEventHandler.h"
#include "sipmsg/KZSIPEvent.h"
#include "sipmsg/kz_sip_export.h"

#include <cstddef>
#include <cstdint>

namespace KZAPI {
class CKZCallControl;
class CKZChannel;
} // namespace KZAPI
class CKZSIPGroup;
class CKZSIPServer;
class sip_msg;

class KZSIPAPI_EXPORT CKZSIPEventHandler : public KZAPI::CKZEventHandler {
public:
    // The most events handled by one call of ProcessSIPEvent(group).
    static constexpr int kMaxEventsPerPass = 1001;
    // The most polls in one call that yield no event while input is still waiting (each one
    // discards up to a few hundred rejected blocks), so one call stays short under a flood.
    static constexpr int kMaxBusyPollsPerPass = 8;

    CKZSIPEventHandler() = default;
    ~CKZSIPEventHandler() override = default;

    // Polls the group's queue (each poll is one pass of the stack's processing) and handles each
    // event, until the queue is empty or kMaxEventsPerPass were handled. Returns the count.
    virtual int ProcessSIPEvent(CKZSIPGroup* group);
    // True when the last ProcessSIPEvent(group) left work in the queue: the caller should not sleep.
    bool WorkLeft() const { return m_work_left; }

    virtual void ProcessSIPEvent_REQUEST_INVITE(CKZSIPGroup* group, KZSIPEvent* event);
    virtual void ProcessSIPEvent_REQUEST_BYE(CKZSIPGroup* group, KZSIPEvent* event);
    virtual void ProcessSIPEvent_REQUEST_ACK(CKZSIPGroup* group, KZSIPEvent* event);
    virtual void ProcessSIPEvent_REQUEST_PRACK(CKZSIPGroup* group, KZSIPEvent* event);
    virtual void ProcessSIPEvent_REQUEST_REGISTER(CKZSIPGroup* group, KZSIPEvent* event);
    virtual void ProcessSIPEvent_REQUEST_CANCEL(CKZSIPGroup* group, KZSIPEvent* event);
    virtual void ProcessSIPEvent_REQUEST_OPTIONS(CKZSIPGroup* group, KZSIPEvent* event);
    virtual void ProcessSIPEvent_REQUEST_SUBSCRIBE(CKZSIPGroup* group, KZSIPEvent* event);
    virtual void ProcessSIPEvent_REQUEST_NOTIFY(CKZSIPGroup* group, KZSIPEvent* event);
    virtual void ProcessSIPEvent_REQUEST_REFER(CKZSIPGroup* group, KZSIPEvent* event);
    virtual void ProcessSIPEvent_REQUEST_MESSAGE(CKZSIPGroup* group, KZSIPEvent* event);
    virtual void ProcessSIPEvent_REQUEST_INFO(CKZSIPGroup* group, KZSIPEvent* event);
    virtual void ProcessSIPEvent_REQUEST_UPDATE(CKZSIPGroup* group, KZSIPEvent* event);
    virtual void ProcessSIPEvent_REQUEST_OTHER(CKZSIPGroup* group, KZSIPEvent* event);
    virtual void ProcessSIPEvent_RESPONSE_TRYING(CKZSIPGroup* group, KZSIPEvent* event);
    virtual void ProcessSIPEvent_RESPONSE_RINGING(CKZSIPGroup* group, KZSIPEvent* event);
    virtual void ProcessSIPEvent_RESPONSE_SESSIONPROGRESS(CKZSIPGroup* group, KZSIPEvent* event);
    virtual void ProcessSIPEvent_RESPONSE_OK(CKZSIPGroup* group, KZSIPEvent* event);
    virtual void ProcessSIPEvent_RESPONSE_UNAUTHORIZED(CKZSIPGroup* group, KZSIPEvent* event);
    virtual void ProcessSIPEvent_RESPONSE_ProxyAuthenicationRequired(CKZSIPGroup* group, KZSIPEvent* event);
    virtual void ProcessSIPEvent_RESPONSE_Non2xxFinalResponse(CKZSIPGroup* group, KZSIPEvent* event);
    virtual void ProcessSIPEvent_RESPONSE_3xxFinalResponse(CKZSIPGroup* group, KZSIPEvent* event);
    virtual void ProcessSIPEvent_NO_RESPONSE_FROM_APP(CKZSIPGroup* group, KZSIPEvent* event);
    virtual void ProcessSIPEvent_SIP_ERROR(CKZSIPGroup* group, KZSIPEvent* event);

    // 1 when the event's connection belongs to a proxied call session (which relays it), else 0.
    unsigned ProcessProxySIP_Request(CKZSIPGroup* group, KZSIPEvent* event);
    unsigned ProcessProxySIP_Response(CKZSIPGroup* group, KZSIPEvent* event);

protected:
    // Classifies one event and calls its handler inside an exception guard.
    void ProcessSIPEvent(CKZSIPGroup* group, KZSIPEvent* event);

private:
    // Received texts are handed on up to this many characters.
    static constexpr size_t kMaxReportedBody = 2047;
    void ClassifyRequest(CKZSIPGroup* group, KZSIPEvent* event);
    // A NOTIFY outside calls, reported to the application by its event and content type.
    static void ReportSubscriptionNotify(CKZSIPServer* server, sip_msg* notify);
    void ClassifyResponse(CKZSIPGroup* group, KZSIPEvent* event);
    void ClassifyError(CKZSIPGroup* group, KZSIPEvent* event);
    static CKZSIPServer* Server();
    // A challenge to one of the server's own requests (no channel owns it).
    void ServerChallenge(CKZSIPGroup* group, KZSIPEvent* event);
    // The call control of the channel that owns the event's connection, or null. A channel
    // without call control is logged; a missing channel only when log_no_channel is set.
    // A call control that is not a SIP one counts as missing.
    static KZAPI::CKZCallControl* OwningCall(const KZSIPEvent* event, const char* request,
                                             bool log_no_channel, KZAPI::CKZChannel** channel_out = nullptr);

    // The call paths: the channel owning the connection is known to exist.
    void CallReInvite(CKZSIPGroup* group, KZSIPEvent* event, sip_msg* request, const char* address,
                      unsigned short port);
    void NewCallOnChannel(CKZSIPGroup* group, KZSIPEvent* event, KZAPI::CKZChannel* channel, sip_msg* request,
                          const char* address, unsigned short port);
    void CallNotify(CKZSIPGroup* group, KZSIPEvent* event);
    void CallAnsweredOK(CKZSIPGroup* group, KZSIPEvent* event);
    // The call's part of a 200 under its lock; the call whose transfer is to be placed after, or null.
    KZAPI::CKZCallControl* AnswerCall(CKZSIPGroup* group, KZSIPEvent* event);
    void CallChallenged(CKZSIPGroup* group, KZSIPEvent* event, bool proxy_challenge);
    void CallRefused(CKZSIPGroup* group, KZSIPEvent* event);
    void CallError(KZSIPEvent* event);

    KZSIPEvent m_event{};
    bool m_work_left = false;
};

// Drives a proxy site's call session with arbitrary SIP text on both legs. Two users of the site
// are registered; the caller's INVITE to the callee opens a session, then every message of the
// input arrives on the incoming or the outgoing leg, and time passes between them. Messages go
// out through a stack on 127.0.0.1 towards 127.0.0.1 only; names are never looked up.
//
// A second call of the same users is answered at the start, so that the two can be joined.
//
// Checks: a site never holds more than the two sessions of the calls; a session is always in one
// of its known states; once no call is left, none comes back.
//
// Input: messages separated by the byte 0xFF. The first byte of each picks the leg (bit 0: the
// outgoing one), whether it is taken as an error event instead (bit 1), and how many seconds pass
// before it (bits 2-7); the rest is the SIP text. A text that starts with "2|" goes to the second
// call's session (the rest is the message); "JOIN a b" joins leg a of the first call's session
// with leg b of the second's.
#include "fuzz_loopback_group.h"
#include "proxy/CKZSIPProxySite.h"
#include "server/CKZSIPGroup.h"
#include "sipmsg/KZSIPEvent.h"
#include "sipmsg/kz_sip_defs.h"
#include "sipmsg/sip_msg.h"

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

std::string sdp_body(int port) {
    const std::string sdp = "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                            "m=audio " +
                            std::to_string(port) + " RTP/AVP 0\r\n";
    return "Content-Type: application/sdp\r\nContent-Length: " + std::to_string(sdp.size()) + "\r\n\r\n" +
           sdp;
}

std::string invite_text(const std::string& call_id) {
    return "INVITE sip:bob@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:5062;branch=z9hG4bK-" + call_id +
           ";rport\r\nMax-Forwards: 70\r\nFrom: <sip:alice@127.0.0.1>;tag=a1\r\nTo: <sip:bob@127.0.0.1>\r\n"
           "Call-ID: " +
           call_id + "@127.0.0.1\r\nCSeq: 1 INVITE\r\nContact: <sip:alice@127.0.0.1:5062>\r\n" +
           sdp_body(4000);
}

// The callee's 200 to the second call and the caller's ACK of it.
std::string second_ok_text() {
    return "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bK-px\r\n"
           "Via: SIP/2.0/UDP 127.0.0.1:5062;branch=z9hG4bK-fuzz-call-2;rport\r\n"
           "From: <sip:alice@127.0.0.1>;tag=a1\r\nTo: <sip:bob@127.0.0.1>;tag=b2\r\nCall-ID: "
           "out2@127.0.0.1\r\n"
           "CSeq: 1 INVITE\r\nContact: <sip:bob@127.0.0.1:5064>\r\n" +
           sdp_body(5002);
}
std::string second_ack_text() {
    return "ACK sip:bob@127.0.0.1:5064 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:5062;branch=z9hG4bK-ack2\r\n"
           "Max-Forwards: 70\r\nFrom: <sip:alice@127.0.0.1>;tag=a1\r\nTo: <sip:bob@127.0.0.1>;tag=b2\r\n"
           "Call-ID: fuzz-call-2@127.0.0.1\r\nCSeq: 1 ACK\r\nContent-Length: 0\r\n\r\n";
}

// Parses the text and hands it to the session owning the leg's connection.
void deliver(CKZSIPProxySite& site, CKZSIPGroup& group, const std::string& text, uint32_t connection,
             bool error, int64_t now) {
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    sip_msg message;
    KZSIPEvent event{};
    message.init_from_buf(buffer.data(), &event);
    event.connection_id = connection;
    if (error) event.event_type = KZ_EVENT_SIP_ERROR_NO_RESPONSE_FROM_REMOTE;
    site.OnSessionMessage(&group, &event, &message, now);
}

CKZSIPGroup& fuzz_group() {
    static CKZSIPGroup* group = kzfuzz::open_loopback_group();
    return *group;
}

constexpr int kSeparator = 0xFF;

const std::set<int> kStates = {1,  2,  3,  4,  6,  7,  8,  9,  10, 11, 12, 14, 15, 16, 17, 18,
                               19, 20, 23, 24, 25, 26, 29, 30, 31, 32, 33, 34, 35, 36, 37};

void check(const CKZSIPProxySite& site) {
    if (site.Sessions().Count() > 2) __builtin_trap();
    for (size_t i = 0; i < site.Sessions().Count(); ++i)
        if (!kStates.count(site.Sessions().Get(i)->StateNumber())) __builtin_trap();
}

// Starts a call of alice to bob with that Call-ID: its incoming connection, 0 when none.
uint32_t start_call(CKZSIPProxySite& site, CKZSIPGroup& group, const std::string& call_id, int64_t now) {
    const std::string text = invite_text(call_id);
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    sip_msg invite;
    KZSIPEvent invite_event{};
    invite.init_from_buf(buffer.data(), &invite_event);
    uint32_t incoming = 0;
    if (group.GetConnectionId(&incoming) != 0) return 0;
    ProxyNewCall call;
    call.group = &group;
    call.connection = incoming;
    call.invite = &invite;
    call.from = "<sip:alice@127.0.0.1>";
    call.to = "<sip:bob@127.0.0.1>";
    call.uri = "sip:bob@127.0.0.1";
    call.via = "127.0.0.1:5062";
    call.source_address = "127.0.0.1";
    call.source_port = 5062;
    call.now = now;
    site.OnProxyNewCallSession(call);
    return incoming;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CKZSIPGroup& group = fuzz_group();
    CKZSIPProxySiteOptions options;
    options.record_route = true;
    CKZSIPProxySite site(0, {"127.0.0.1"}, options, 3600);
    int64_t now = 1000;
    for (const char* user : {"alice", "bob"}) {
        site.SetUserInfo(user, "", 1);
        site.SetUserAuthType(user, ProxyUser::AUTH_NONE);
    }
    ProxyUser* bob = site.FindUser("bob");
    site.OnProxyUserRegistered(*bob, now, 3600, "127.0.0.1", 5064, "<sip:bob@127.0.0.1>",
                               "<sip:bob@127.0.0.1>", 0, "<sip:bob@127.0.0.1:5064>", "", "", -1);

    const uint32_t incoming = start_call(site, group, "fuzz-call", now);
    const uint32_t second_incoming = start_call(site, group, "fuzz-call-2", now);
    if (incoming == 0 || second_incoming == 0) return 0;
    if (const CKZSIPProxySession* second = site.FindSession(second_incoming)) {
        deliver(site, group, second_ok_text(), second->out_connection, false, now);
        deliver(site, group, second_ack_text(), second_incoming, false, now);
    }
    check(site);

    // The stack is never polled here, so the dialogs the call opened are closed at the end.
    std::set<uint32_t> connections = {incoming, second_incoming};
    auto note_connections = [&] {
        for (size_t i = 0; i < site.Sessions().Count(); ++i) {
            const CKZSIPProxySession* session = site.Sessions().Get(i);
            connections.insert({session->in_connection, session->out_connection});
            connections.insert(session->released.begin(), session->released.end());
        }
    };
    note_connections();
    bool ended = site.Sessions().Count() == 0;
    size_t at = 0;
    while (at < size) {
        const uint8_t* end = static_cast<const uint8_t*>(std::memchr(data + at, kSeparator, size - at));
        const size_t length = (end ? static_cast<size_t>(end - data) : size) - at;
        if (length > 0) {
            const uint8_t control = data[at];
            std::string text(reinterpret_cast<const char*>(data) + at + 1, length - 1);
            now += control >> 2;
            site.CheckProxySessionStatus(&group, now, true);
            // The calls' sessions as they are now (a join replaces both with one).
            CKZSIPProxySession* first = site.FindSession(incoming);
            CKZSIPProxySession* second = site.FindSession(second_incoming);
            if (text.rfind("JOIN ", 0) == 0 && text.size() >= 8) {
                if (first && second)
                    site.JoinSessions(&group, first->in_connection, text[5] - '0', site,
                                      second->in_connection, text[7] - '0', now);
            } else {
                CKZSIPProxySession* session = first;
                if (text.rfind("2|", 0) == 0) {
                    session = second;
                    text.erase(0, 2);
                }
                if (session)
                    deliver(site, group, text,
                            (control & 1) ? session->out_connection : session->in_connection,
                            (control & 2) != 0, now);
            }
            if (ended && site.Sessions().Count() != 0) __builtin_trap();
            ended = ended || site.Sessions().Count() == 0;
            check(site);
            note_connections();
        }
        at += length + 1;
    }
    for (uint32_t connection : connections)
        if (connection != 0) group.TerminateConnection(connection);
    return 0;
}

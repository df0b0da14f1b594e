// The pieces of the requests a proxy site sends its users on its own (OPTIONS, NOTIFY): where
// they go, the elements every one of them carries and the hand-over to the stack.
#pragma once

#include "proxy/ProxyUser.h"

#include <cstdint>
#include <string>

class CKZSIPGroup;
class sip_msg;

namespace proxy_request {

// The URI of a Contact: what stands between "<" and ">", else the text up to the first ";".
std::string contact_uri(const char* contact);

// Where a request goes over the network.
struct Destination {
    std::string address;
    uint16_t port = 0;
};
// A registered user's: its source when the registration was mapped, else its contact.
Destination destination_of(const ProxyUser& user);

std::string new_call_id(const CKZSIPGroup& group);

// The elements every request of the site to a user carries.
void set_request_basics(sip_msg* m, const CKZSIPGroup& group, const char* method, const std::string& uri,
                        int transport, const std::string& call_id);

// The message-summary body (RFC 3842) of the user's counters: only "no" when nothing waits.
void set_message_summary(sip_msg* m, const ProxyUser& user);

// Hands a request to the stack on a new connection; the connection, or 0 when it did not leave.
uint32_t send_on_new_connection(CKZSIPGroup* group, sip_msg* m, const Destination* to);

} // namespace proxy_request

// Message work shared by the proxied call sessions: copies of received messages, Via and
// Max-Forwards handling, this server's own address, and the ACK and BYE the proxy sends itself.
#pragma once

#include "server/SIPMessagePtr.h"

#include <cstdint>
#include <string>

class CKZSIPGroup;

namespace proxy_msg {

// A copy of every element of the message; null when none could be allocated.
SIPMessagePtr Copy(sip_msg* message);
// Drops the topmost Via (this server's own, on a response coming back).
void RemoveTopVia(sip_msg* message);
// Drops every value of the element.
void RemoveAll(sip_msg* message, uint32_t element);
// The Max-Forwards of a request; 70 (with the given warning logged) when it has none.
int MaxForwards(sip_msg* request, const char* missing_warning);
// The address and port under which this server's SIP is reached: the configured address, else
// the group's public one.
std::string LocalAddress(const CKZSIPGroup* group);
uint16_t LocalPort(const CKZSIPGroup* group);
// Adds this server's Via on top.
void AddOwnVia(sip_msg* message, const CKZSIPGroup* group);
// "sip:..." out of "<sip:...>;params" (the text itself when it has no angle brackets).
std::string BareURI(const std::string& address);
// The host and port a request for the URI goes to.
bool URIHostPort(const std::string& uri, std::string* host, uint16_t* port);
// Digest credentials of user and password for the challenge (401 when www, else 407); the
// composer works out the response from them.
void AddCredentials(sip_msg* request, sip_msg* challenge, bool www, const std::string& user,
                    const std::string& password);
// The ACK of a final response to an INVITE this server sent on the connection.
bool SendAck(CKZSIPGroup* group, uint32_t connection, sip_msg* response, const std::string& uri,
             const std::string& address, uint16_t port);
// A BYE in the dialog of the response (its From and To, tags included).
bool SendBye(CKZSIPGroup* group, uint32_t connection, sip_msg* response, const std::string& uri,
             const std::string& address, uint16_t port);

} // namespace proxy_msg

// The SDP side of relaying a proxied call's media through a UDP switch group: where a party says
// it receives, and the rewrite that makes the other party send to the relay instead.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

class sip_msg;

struct ProxyMediaEndpoint {
    std::string address;
    uint16_t port = 0;
};

// The connection address and first media port of the message's SDP; nothing without an SDP.
std::optional<ProxyMediaEndpoint> ProxyMediaEndpointOf(sip_msg* message);
// Points the SDP's connection and owner address and its first media port at the relay (further
// media lines are declined); false when the message carries no SDP.
bool ProxyRewriteMediaToRelay(sip_msg* message, const char* address, uint16_t port);
// Whether the address lies in one of the private IPv4 ranges (10/8, 172.16/12, 192.168/16).
bool ProxyIsPrivateAddress(const std::string& address);

// The Record-Route a caller on a local private network is given. This server records itself under
// its configured or public address; a phone on the server's own LAN may not reach that address
// (a NAT that does not hairpin), so in what is relayed back to such a caller this server's entry
// names the address of the interface that faces the caller instead.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

class sip_msg;

namespace proxy_route {

// A private IPv4 range (10/8, 172.16/12, 192.168/16) or loopback (127/8).
bool IsLocalNetworkAddress(const std::string& address);
// This host's address on the route to the peer, for a peer on a local network; nothing else.
std::optional<std::string> FacingAddress(const std::string& peer_address, uint16_t peer_port);
// The Record-Route value with the host of this server's entry ("sip:own_host:own_port") set to
// facing; nothing when the value is another proxy's.
std::optional<std::string> RecordRouteToward(const std::string& value, const std::string& own_host,
                                             uint16_t own_port, const std::string& facing);
// Adjusts every Record-Route value of the message that names this server; how many were changed.
unsigned AdjustRecordRoute(sip_msg* message, const std::string& own_host, uint16_t own_port,
                           const std::string& facing);

} // namespace proxy_route

// IPv4 address helpers over the system resolver. Addresses are in network byte order.
#pragma once

#include <cstdint>
#include <string>

namespace KZAPI {

// True for four non-empty all-decimal parts separated by three dots (no range check).
bool KZ_IsDottedQuad(const char* text);
// Converts a dotted-quad literal; 0xFFFFFFFF (INADDR_NONE) when it is not one.
uint32_t KZ_InetAddr(const char* text);
// First IPv4 address of a host name through the resolver; 0 when it does not resolve.
uint32_t KZ_ResolveHostIPv4(const char* name);
// Dotted-quad text of an address.
std::string KZ_InetNtoa(uint32_t addr);

} // namespace KZAPI

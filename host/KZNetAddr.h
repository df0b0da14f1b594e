// IPv4 address helpers over the system resolver. Addresses are in network byte order.
#pragma once

#include <cstdint>
#include <string>

namespace KZAPI {

// True for four non-empty all-decimal parts separated by three dots (no range check).
bool KZ_IsDottedQuad(const char* text);
// Converts a dotted-quad literal; 0xFFFFFFFF (INADDR_NONE) when it is not one.
uint32_t KZ_InetAddr(const char* text);
// First IPv4 address of a host name through the resolver; 0 when it does not resolve (or name
// resolution is switched off).
uint32_t KZ_ResolveHostIPv4(const char* name);
// Switches name look-ups on (the default) or off for the whole process. Off, only dotted-quad
// literals are addresses: for programs that must never wait on DNS, such as fuzzers.
void KZ_SetNameResolution(bool enabled);
// Dotted-quad text of an address.
std::string KZ_InetNtoa(uint32_t addr);

} // namespace KZAPI

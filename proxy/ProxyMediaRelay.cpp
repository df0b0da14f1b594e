#include "proxy/ProxyMediaRelay.h"

#include "server/CKZSIPGroup.h"
#include "server/SIPElement.h"
#include "sipmsg/kz_sip_defs.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <string>

namespace {
constexpr unsigned kMaxMediaLines = 10;
}

std::optional<ProxyMediaEndpoint> ProxyMediaEndpointOf(sip_msg* message) {
    const std::string address = sip_element(message, KZ_IE_SDP_CONNECTION_ADDRESS);
    const int port = std::atoi(sip_element(message, KZ_IE_SDP_MEDIA_PORT).c_str());
    if (address.empty() || port <= 0 || port > 0xFFFF) return std::nullopt;
    return ProxyMediaEndpoint{address, static_cast<uint16_t>(port)};
}

bool ProxyRewriteMediaToRelay(sip_msg* message, const char* address, uint16_t port) {
    if (!ProxyMediaEndpointOf(message)) return false;
    CKZSIPGroup::MSG_ReplaceIE_STR(message, KZ_IE_SDP_CONNECTION_ADDRESS, 0, address);
    if (!sip_element(message, KZ_IE_SDP_OWNER_ADDRESS).empty())
        CKZSIPGroup::MSG_ReplaceIE_STR(message, KZ_IE_SDP_OWNER_ADDRESS, 0, address);
    CKZSIPGroup::MSG_ReplaceIE_STR(message, KZ_IE_SDP_MEDIA_PORT, 0, std::to_string(port).c_str());
    // A switch group relays one stream: further media lines are declined (port 0).
    char value[CKZSIPGroup::kIEBufferSize];
    for (unsigned i = 1; i < kMaxMediaLines; ++i)
        if (CKZSIPGroup::MSG_GetIE_STR(message, KZ_IE_SDP_MEDIA_PORT, i, value) == 0)
            CKZSIPGroup::MSG_ReplaceIE_STR(message, KZ_IE_SDP_MEDIA_PORT, i, "0");
    return true;
}

bool ProxyIsPrivateAddress(const std::string& address) {
    in_addr a{};
    if (inet_pton(AF_INET, address.c_str(), &a) != 1) return false;
    const uint32_t ip = ntohl(a.s_addr);
    return (ip >> 24) == 10 || (ip >> 20) == 0xAC1 || (ip >> 16) == 0xC0A8;
}

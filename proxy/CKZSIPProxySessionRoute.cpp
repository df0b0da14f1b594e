#include "proxy/CKZSIPProxySessionRoute.h"

#include "proxy/ProxyMediaRelay.h"
#include "server/CKZSIPGroup.h"
#include "server/SIPAddressParts.h"
#include "sipmsg/kz_sip_defs.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace proxy_route {

namespace {
constexpr unsigned kMaxValues = 20;

// A socket closed on every path.
struct Socket {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    ~Socket() {
        if (fd >= 0) ::close(fd);
    }
};
} // namespace

bool IsLocalNetworkAddress(const std::string& address) {
    in_addr a{};
    if (inet_pton(AF_INET, address.c_str(), &a) != 1) return false;
    return (ntohl(a.s_addr) >> 24) == 127 || ProxyIsPrivateAddress(address);
}

std::optional<std::string> FacingAddress(const std::string& peer_address, uint16_t peer_port) {
    if (!IsLocalNetworkAddress(peer_address)) return std::nullopt;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(peer_port ? peer_port : CKZSIPGroup::kDefaultSIPPort);
    if (inet_pton(AF_INET, peer_address.c_str(), &peer.sin_addr) != 1) return std::nullopt;
    // Connecting a datagram socket sends nothing: it only asks the routing table which of this
    // host's addresses the peer is reached from.
    const Socket s;
    if (s.fd < 0 || ::connect(s.fd, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)) != 0)
        return std::nullopt;
    sockaddr_in local{};
    socklen_t length = sizeof(local);
    if (::getsockname(s.fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return std::nullopt;
    char text[INET_ADDRSTRLEN] = "";
    if (!inet_ntop(AF_INET, &local.sin_addr, text, sizeof(text))) return std::nullopt;
    return std::string(text);
}

std::optional<std::string> RecordRouteToward(const std::string& value, const std::string& own_host,
                                             uint16_t own_port, const std::string& facing) {
    const SIPAddressParts parts(value.c_str());
    if (!parts.ok || parts.host != own_host || parts.PortOrDefault() != own_port || facing == own_host)
        return std::nullopt;
    const size_t at = value.find(own_host, value.find("sip:"));
    if (at == std::string::npos) return std::nullopt;
    return value.substr(0, at) + facing + value.substr(at + own_host.size());
}

unsigned AdjustRecordRoute(sip_msg* message, const std::string& own_host, uint16_t own_port,
                           const std::string& facing) {
    unsigned changed = 0;
    char value[CKZSIPGroup::kIEBufferSize];
    for (unsigned i = 0; i < kMaxValues; ++i) {
        if (CKZSIPGroup::MSG_GetIE_STR(message, KZ_IE_SIP_RECORD_ROUTE, i, value) != 0) break;
        if (const std::optional<std::string> adjusted =
                RecordRouteToward(value, own_host, own_port, facing)) {
            CKZSIPGroup::MSG_ReplaceIE_STR(message, KZ_IE_SIP_RECORD_ROUTE, i, adjusted->c_str());
            ++changed;
        }
    }
    return changed;
}

} // namespace proxy_route

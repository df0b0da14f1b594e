// A port held by a plain socket on 127.0.0.1, bound without SO_REUSEADDR to a port the system
// chooses, so that no later bind of the same port can share it; a TCP holder also listens.
#pragma once

#include "support/sip_peer.h"

namespace kztest {

class PortHolder {
public:
    explicit PortHolder(int type) : m_fd(socket(AF_INET, type, 0)) {
        sockaddr_in a = loopback(0);
        if (bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) return;
        if (type == SOCK_STREAM && listen(m_fd, 1) != 0) return;
        m_port = bound_port(m_fd);
    }
    ~PortHolder() { close(m_fd); }
    PortHolder(const PortHolder&) = delete;
    PortHolder& operator=(const PortHolder&) = delete;

    uint16_t Port() const { return m_port; }

private:
    int m_fd;
    uint16_t m_port = 0;
};

// The two ways a SIP port can be taken, with the "kzsrv.sip.protocol" value that opens that
// transport.
struct BusyPortCase {
    int socket_type;
    const char* protocol;
    const char* transport;
};
inline constexpr BusyPortCase kBusyPortCases[] = {{SOCK_DGRAM, "1", "UDP"}, {SOCK_STREAM, "2", "TCP"}};

} // namespace kztest

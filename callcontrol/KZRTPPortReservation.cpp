#include "callcontrol/KZRTPPortReservation.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int bind_udp(const char* address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    if (address && *address && inet_pton(AF_INET, address, &sa.sin_addr) != 1) return -1;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

bool KZRTPPortReservation::Open(const char* address, uint16_t port) {
    Close();
    if (port == 0 || port == 0xFFFF) return false;
    m_rtp_fd = bind_udp(address, port);
    m_rtcp_fd = m_rtp_fd >= 0 ? bind_udp(address, static_cast<uint16_t>(port + 1)) : -1;
    if (m_rtcp_fd < 0) {
        Close();
        return false;
    }
    m_port = port;
    return true;
}

void KZRTPPortReservation::Close() {
    if (m_rtp_fd >= 0) close(m_rtp_fd);
    if (m_rtcp_fd >= 0) close(m_rtcp_fd);
    m_rtp_fd = m_rtcp_fd = -1;
    m_port = 0;
}

void KZRTPPortReservation::Release(int* rtp_fd, int* rtcp_fd) {
    *rtp_fd = m_rtp_fd;
    *rtcp_fd = m_rtcp_fd;
    m_rtp_fd = m_rtcp_fd = -1;
    m_port = 0;
}

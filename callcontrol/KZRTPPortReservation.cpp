#include "callcontrol/KZRTPPortReservation.h"

#include "host/KZRTPSocketPool.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool parse_address(const char* address, uint32_t* ipv4) {
    in_addr a{};
    a.s_addr = htonl(INADDR_ANY);
    if (address && *address && inet_pton(AF_INET, address, &a) != 1) return false;
    *ipv4 = a.s_addr;
    return true;
}

int bind_udp(uint32_t ipv4, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = ipv4;
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
    uint32_t ipv4 = 0;
    if (port == 0 || port == 0xFFFF || !parse_address(address, &ipv4)) return false;
    if (!KZAPI::KZRTPSocketPool::Instance().Take(ipv4, port, &m_rtp_fd, &m_rtcp_fd)) {
        m_rtp_fd = bind_udp(ipv4, port);
        m_rtcp_fd = m_rtp_fd >= 0 ? bind_udp(ipv4, static_cast<uint16_t>(port + 1)) : -1;
        if (m_rtcp_fd < 0) {
            CloseNow();
            return false;
        }
    }
    m_port = port;
    m_ipv4 = ipv4;
    return true;
}

void KZRTPPortReservation::Close() {
    if (IsOpen()) Recycle(m_ipv4, m_port, m_rtp_fd, m_rtcp_fd);
    m_rtp_fd = m_rtcp_fd = -1;
    m_port = 0;
}

void KZRTPPortReservation::Recycle(uint32_t ipv4, uint16_t port, int rtp_fd, int rtcp_fd) {
    KZAPI::KZRTPSocketPool::Instance().Put(ipv4, port, rtp_fd, rtcp_fd);
}

void KZRTPPortReservation::CloseNow() {
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

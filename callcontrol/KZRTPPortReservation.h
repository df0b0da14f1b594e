// The RTP and RTCP ports of one call, held as bound UDP sockets while the call has media, so that
// no other call or process takes them. The media engine sends and receives on them. A pair an
// earlier call left in the process's socket pool is taken before binding new sockets, and a pair
// given up goes back there.
#pragma once

#include <cstdint>

class KZRTPPortReservation {
public:
    KZRTPPortReservation() = default;
    ~KZRTPPortReservation() { CloseNow(); }
    KZRTPPortReservation(const KZRTPPortReservation&) = delete;
    KZRTPPortReservation& operator=(const KZRTPPortReservation&) = delete;

    // Binds address:port (any local address when empty) and port + 1; false when either is taken.
    bool Open(const char* address, uint16_t port);
    // Gives the pair back to the socket pool.
    void Close();
    // A pair a session used, back to the pool for the next call on its address and port.
    static void Recycle(uint32_t ipv4, uint16_t port, int rtp_fd, int rtcp_fd);
    // Hands the bound sockets over (the caller closes them); the reservation is empty after.
    void Release(int* rtp_fd, int* rtcp_fd);
    bool IsOpen() const { return m_rtp_fd >= 0; }
    int RTPDescriptor() const { return m_rtp_fd; }
    int RTCPDescriptor() const { return m_rtcp_fd; }
    uint16_t Port() const { return m_port; }

private:
    void CloseNow();

    int m_rtp_fd = -1;
    int m_rtcp_fd = -1;
    uint16_t m_port = 0;
    uint32_t m_ipv4 = 0; // network order, as bound
};

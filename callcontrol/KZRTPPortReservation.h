// The RTP and RTCP ports of one call, held as bound UDP sockets while the call has media, so that
// no other call or process takes them. The media engine sends and receives on them.
#pragma once

#include <cstdint>

class KZRTPPortReservation {
public:
    KZRTPPortReservation() = default;
    ~KZRTPPortReservation() { Close(); }
    KZRTPPortReservation(const KZRTPPortReservation&) = delete;
    KZRTPPortReservation& operator=(const KZRTPPortReservation&) = delete;

    // Binds address:port (any local address when empty) and port + 1; false when either is taken.
    bool Open(const char* address, uint16_t port);
    void Close();
    // Hands the bound sockets over (the caller closes them); the reservation is empty after.
    void Release(int* rtp_fd, int* rtcp_fd);
    bool IsOpen() const { return m_rtp_fd >= 0; }
    int RTPDescriptor() const { return m_rtp_fd; }
    int RTCPDescriptor() const { return m_rtcp_fd; }
    uint16_t Port() const { return m_port; }

private:
    int m_rtp_fd = -1;
    int m_rtcp_fd = -1;
    uint16_t m_port = 0;
};

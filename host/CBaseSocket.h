// CBaseSocket: one datagram socket with bounded waits. It owns its descriptor (closed on
// destruction, movable, not copyable). Addresses are IPv4 in network byte order, as everywhere
// in the host; ports are in host byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace KZAPI {

class CBaseSocket {
public:
    static constexpr int kInvalid = -1;

    CBaseSocket() = default;
    ~CBaseSocket() { Close(); }
    CBaseSocket(const CBaseSocket&) = delete;
    CBaseSocket& operator=(const CBaseSocket&) = delete;
    CBaseSocket(CBaseSocket&& other) noexcept;
    CBaseSocket& operator=(CBaseSocket&& other) noexcept;

    // Creates a UDP socket bound to ip:port (ip 0 = any address, port 0 = chosen by the system).
    // An open socket is closed first. False on failure (GetLastError tells why).
    bool OpenUDP(uint32_t ip, uint16_t port, bool reuse_address = false);
    void Close();
    bool IsOpen() const { return m_fd != kInvalid; }
    int GetHandle() const { return m_fd; }

    // Sends one datagram; returns the bytes sent or -1.
    int SendTo(const void* data, size_t len, uint32_t ip, uint16_t port);
    // Reads one datagram (cut to size); returns its length (0 for an empty datagram) or -1.
    // from_ip / from_port may be null.
    int RecvFrom(void* buf, size_t size, uint32_t* from_ip, uint16_t* from_port);
    // Waits until a datagram can be read: 1 readable, 0 timed out, -1 error. A negative timeout
    // waits without limit.
    int WaitReadable(int timeout_ms);

    // The address and port the socket is bound to.
    bool GetLocalAddress(uint32_t* ip, uint16_t* port) const;
    uint16_t GetLocalPort() const;

    // errno of the last failing call on this socket (0 when none failed).
    int GetLastError() const { return m_last_error; }

    // Waits until at least one of count sockets is readable (closed ones are ignored) and marks
    // ready[i] for each readable one. Returns how many are readable, 0 on timeout, -1 on error
    // (*error receives errno when given). An interrupted wait goes on for the time remaining.
    static int WaitAnyReadable(CBaseSocket* const* sockets, size_t count, int timeout_ms, bool* ready,
                               int* error = nullptr);
    // True when a UDP socket can be bound to ip:port now (ip 0 = any address).
    static bool IsUDPPortFree(uint32_t ip, uint16_t port);
    // The same for an address text ("" or null = any address); false when the text is no address.
    static bool IsUDPPortFree(uint16_t port, const char* address);
    // True when a TCP listener could be set up on address:port now ("" or null = any address).
    // The probe binds the way a server does (SO_REUSEADDR, so connections of an earlier run that
    // linger in TIME_WAIT do not count) and then listens: on Linux both steps fail while another
    // socket listens on, or is bound exclusively to, the port.
    static bool IsTCPPortFree(uint16_t port, const char* address);
    // Address text to IPv4 (network order): "" or null is the any-address, else a dotted quad or a
    // host name through the resolver. False when the text names no IPv4 address.
    static bool ParseAddress(const char* text, uint32_t* ip);
    // The system's text for an errno value.
    static std::string ErrorText(int error);

private:
    int Fail();

    int m_fd = kInvalid;
    int m_last_error = 0;
};

} // namespace KZAPI

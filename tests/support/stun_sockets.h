// STUN over UDP on loopback for tests: client sockets on 127.0.0.1 or 127.0.0.2, requests as the
// client builds them, and one message sent or received at a time.
#pragma once

#include "host/CBaseSocket.h"
#include "nat/CKZStunClient.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace kztest::stun {

using KZAPI::CBaseSocket;

inline constexpr uint32_t kLo1 = 0x7F000001; // 127.0.0.1
inline constexpr uint32_t kLo2 = 0x7F000002; // 127.0.0.2

struct Received {
    CKZStunMessage msg;
    KZStunAddress4 from;
};

inline CBaseSocket OpenClient(uint32_t ip = kLo1) {
    CBaseSocket s;
    EXPECT_TRUE(s.OpenUDP(KZStunToNetOrder(ip), 0));
    return s;
}

inline KZStunAddress4 LocalAddress(const CBaseSocket& s) {
    uint32_t ip = 0;
    uint16_t port = 0;
    s.GetLocalAddress(&ip, &port);
    return {port, KZStunToHostOrder(ip)};
}

inline bool Send(CBaseSocket& s, const CKZStunMessage& msg, const KZStunAddress4& dest,
                 const char* key = nullptr) {
    uint8_t buf[KZ_STUN_MAX_MESSAGE];
    const size_t len = msg.Encode(buf, sizeof(buf), key, key ? strlen(key) : 0);
    return len && s.SendTo(buf, len, KZStunToNetOrder(dest.addr), dest.port) == static_cast<int>(len);
}

// Waits up to timeout_ms for one datagram and parses it; raw receives the bytes when given.
inline bool Receive(CBaseSocket& s, Received& out, int timeout_ms = 1000,
                    std::vector<uint8_t>* raw = nullptr) {
    if (s.WaitReadable(timeout_ms) != 1) return false;
    uint8_t buf[KZ_STUN_MAX_MESSAGE];
    uint32_t ip = 0;
    const int n = s.RecvFrom(buf, sizeof(buf), &ip, &out.from.port);
    if (n <= 0) return false;
    out.from.addr = KZStunToHostOrder(ip);
    if (raw) raw->assign(buf, buf + n);
    return out.msg.Parse(buf, static_cast<size_t>(n));
}

inline CKZStunMessage Request(uint32_t change = 0) {
    CKZStunMessage req;
    CKZStunClient::BuildRequest(req, CKZStunClient::TEST_I, change & KZ_STUN_CHANGE_IP,
                                change & KZ_STUN_CHANGE_PORT);
    return req;
}

} // namespace kztest::stun

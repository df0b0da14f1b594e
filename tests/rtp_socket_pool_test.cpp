// Bound RTP socket pairs kept between calls: handed out again only for the address and port they
// are bound to, emptied of what arrived while kept, bounded, and closed when they do not fit.
#include "host/KZRTPSocketPool.h"

#include "support/sip_peer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using KZAPI::KZRTPSocketPool;

namespace {

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// A UDP socket bound to loopback:port, or (bind_it false) one that sends a datagram there.
int udp_at(uint16_t port, bool bind_it) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_in a{AF_INET, htons(port), {kLoopback}, {}};
    const auto* to = reinterpret_cast<sockaddr*>(&a);
    if (!bind_it) {
        EXPECT_EQ(sendto(fd, "late", 4, 0, to, sizeof(a)), 4);
        close(fd);
        return -1;
    }
    EXPECT_EQ(bind(fd, to, sizeof(a)), 0);
    return fd;
}

struct Pair {
    uint16_t port = kztest::free_port_pair();
    int rtp = udp_at(port, true);
    int rtcp = udp_at(static_cast<uint16_t>(port + 1), true);
    bool Open() const { return fcntl(rtp, F_GETFD) != -1 && fcntl(rtcp, F_GETFD) != -1; }
};

TEST(RtpSocketPool, APairComesBackOnlyForItsOwnAddressAndPortAndEmptied) {
    KZRTPSocketPool pool(4);
    const Pair p;
    pool.Put(kLoopback, p.port, p.rtp, p.rtcp);
    for (const int fd : {p.rtp, p.rtcp}) { // the previous call's peer is still sending
        udp_at(fd == p.rtp ? p.port : static_cast<uint16_t>(p.port + 1), false);
        pollfd waiting{fd, POLLIN, 0};
        ASSERT_EQ(poll(&waiting, 1, 5000), 1);
    }
    int rtp = -1, rtcp = -1;
    EXPECT_FALSE(pool.Take(kLoopback, static_cast<uint16_t>(p.port + 2), &rtp, &rtcp));
    EXPECT_FALSE(pool.Take(htonl(INADDR_ANY), p.port, &rtp, &rtcp));
    ASSERT_TRUE(pool.Take(kLoopback, p.port, &rtp, &rtcp));
    EXPECT_EQ(rtp, p.rtp);
    EXPECT_EQ(rtcp, p.rtcp);
    char byte;
    EXPECT_LT(recv(rtp, &byte, 1, MSG_DONTWAIT), 0) << "what arrived while kept was read away";
    EXPECT_LT(recv(rtcp, &byte, 1, MSG_DONTWAIT), 0);
    EXPECT_FALSE(pool.Take(kLoopback, p.port, &rtp, &rtcp)) << "a pair is handed out once";
    close(p.rtp);
    close(p.rtcp);
}

TEST(RtpSocketPool, APairThatDoesNotFitIsClosedAndTheRestAreClosedWithThePool) {
    const Pair kept, over, twin{kept.port, dup(kept.rtp), dup(kept.rtcp)};
    {
        KZRTPSocketPool pool(1);
        for (const Pair* p : {&kept, &over, &twin})
            pool.Put(kLoopback, p->port, p->rtp, p->rtcp);
        EXPECT_EQ(pool.Size(), 1u);
        EXPECT_FALSE(over.Open()) << "over capacity";
        EXPECT_FALSE(twin.Open()) << "the port is kept already";
        EXPECT_TRUE(kept.Open());
    }
    EXPECT_FALSE(kept.Open());
}

TEST(RtpSocketPool, APortAnotherPartOfTheProcessBindsIsGivenUp) {
    KZRTPSocketPool pool(2);
    const Pair p;
    pool.Put(kLoopback, p.port, p.rtp, p.rtcp);
    pool.EvictPort(static_cast<uint16_t>(p.port + 2));
    EXPECT_TRUE(p.Open()) << "a neighbouring port is not this pair's";
    pool.EvictPort(static_cast<uint16_t>(p.port + 1)); // its RTCP port
    EXPECT_FALSE(p.Open());
    EXPECT_EQ(pool.Size(), 0u);
}

} // namespace

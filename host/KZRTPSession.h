// KZRTPSession: one RTP stream pair of a call: RTP on a local port, RTCP on the port above.
//
// The owner configures it (local and remote address, default payload type, marker and
// timestamp increment, SSRC), starts it, sends packets with it and receives through the
// OnRTPPacket hook. Sequence numbers start at a random value and step by one per packet sent;
// the timestamp starts at a random value and advances by each packet's increment after it is
// sent. RTCP sender or receiver reports go out every 5 s (RFC 3550 A.3, A.8 for loss and
// jitter); reports received are parsed and handed to OnRTCPReport as text.
//
// Receiving: in poll mode the owner calls CheckPacket (from its media tick), which reads every
// datagram waiting on both sockets without blocking; otherwise the process-wide RTP receiver
// thread (one epoll loop for all sessions) reads them as they come. Either way the hooks run
// with the session mutex held, and nothing is allocated per packet.
//
// Every operation is thread-safe (the session mutex is recursive, so hooks may call back).
#pragma once

#include "host/CKZClock.h"
#include "host/CMutex.h"
#include "host/KZRTPPacket.h"

#include <cstdint>
#include <memory>

namespace KZAPI {

struct KZRTPStats {
    uint64_t packets_sent = 0;
    uint64_t octets_sent = 0;
    uint64_t packets_received = 0;
    uint64_t octets_received = 0;
    int64_t packets_lost = 0; // cumulative, RFC 3550 A.3 (expected - received)
    double fraction_lost = 0; // of the last report interval, 0..1
    double jitter_ms = 0;     // interarrival jitter of the received stream (A.8)
    uint32_t remote_ssrc = 0; // of the stream received
    // From the peer's last report about our stream (0 when none yet).
    double remote_fraction_lost = 0;
    double remote_jitter_ms = 0;
    double round_trip_ms = 0;
    uint64_t rtcp_sent = 0;
    uint64_t rtcp_received = 0;
};

// How regularly packets leave: each send's distance from its session's nominal interval.
struct KZRTPSendJitter {
    uint64_t intervals = 0;
    double p50_ms = 0;
    double p99_ms = 0;
    double max_ms = 0;
};

class KZRTPSession {
public:
    static constexpr unsigned kRTCPIntervalMs = 5000;
    static constexpr int kMaxDestinations = 4;
    static constexpr int kMaxPacketBytes = 1500;

    KZRTPSession();
    virtual ~KZRTPSession(); // stops the session; derived classes stop before their members go
    KZRTPSession(const KZRTPSession&) = delete;
    KZRTPSession& operator=(const KZRTPSession&) = delete;

    // Stops and forgets configuration and statistics (the SSRC stays until set again).
    void Reset();

    void SetLocalAddress(const char* address); // "" = any
    void SetLocalPort(uint16_t port);          // RTP port; RTCP is port + 1
    uint16_t GetLocalPort() const;
    // Destinations packets are sent to (the first one also receives the RTCP reports at port+1).
    void ClearDestinations();
    bool AddDestination(const char* address, uint16_t port);
    void SetDefaultPayloadType(uint8_t payload_type);
    void SetDefaultMark(bool marker);
    void SetDefaultTimestampIncrement(uint32_t increment);
    void SetPollMode(bool poll);
    bool GetPollMode() const;
    void SetLocalSSRC(uint32_t ssrc);
    uint32_t GetLocalSSRC() const;
    // The clock for durations and RTCP timing (null = the system clock).
    void SetClock(const CKZClock* clock);

    // Binds the RTP and RTCP sockets and starts receiving. False when a port cannot be bound.
    bool Start();
    // The same with sockets the caller already bound (the session owns them from now on).
    bool Start(int rtp_fd, int rtcp_fd);
    // Closes the sockets (after a final RTCP BYE). Once it returns no hook runs.
    void Stop();
    // Stops as Stop does but hands the still bound sockets back (for a later session on the same
    // port) instead of closing them, with the address and port they are bound to; the fds are -1
    // when the session was not running.
    void StopKeepingSockets(int* rtp_fd, int* rtcp_fd, uint32_t* ipv4, uint16_t* port);
    bool IsRunning() const;

    // Sends one packet: with the defaults (payload type, marker, increment), or explicit ones
    // `count` times (new sequence numbers, the same timestamp; the increment applies after the
    // last). Returns the payload bytes sent per packet, 0 on failure.
    int SendPacket(const void* payload, int length, int use_defaults);
    int SendPacket(const void* payload, int length, uint8_t payload_type, bool marker,
                   uint32_t timestamp_increment, int count);
    // Writes the next packet (header with the session's sequence, timestamp and SSRC) into out
    // and advances them as a send would; for callers that transform packets (SRTP) before
    // SendRTPRawPacket. Returns the packet length, 0 when it does not fit.
    int BuildPacket(uint8_t* out, int capacity, const void* payload, int length, uint8_t payload_type,
                    bool marker, uint32_t timestamp_increment);
    // A frame not sent (silence suppression): the timestamp moves on as if it had been, so the
    // receiver keeps the talkspurts apart in time (RFC 3551 4.1).
    void SkipFrame(uint32_t timestamp_increment);
    // Sends bytes as they are to every destination; counts as one packet sent.
    // A packet that starts a frame (not a repeat of one) also counts in the send-interval figures.
    int SendRTPRawPacket(const void* packet, int length, bool starts_frame = true);

    // Poll mode: reads every waiting datagram and sends an RTCP report when one is due.
    void CheckPacket();
    // Milliseconds since Start.
    uint64_t GetSessionDurationMs() const;
    KZRTPStats GetStats() const;
    // What the next packet sent will carry (for a relay that continues the stream).
    uint16_t GetNextSequenceNumber() const;
    // The next Start goes on with this sequence number and timestamp instead of random ones
    // (a stream another sender carried meanwhile, such as a relay). Set after Reset.
    void ContinueStream(uint16_t next_sequence, uint32_t next_timestamp);
    uint32_t GetNextTimestamp() const;
    // The interval packets are meant to leave at (the frame time); 0 = not measured. Every
    // session that has one adds |interval - nominal| of each send to a process-wide histogram.
    void SetNominalSendInterval(unsigned ms);
    static KZRTPSendJitter GetProcessSendJitter();
    static void ResetProcessSendJitter();
    CMutex& GetSessionMutex() { return m_mutex; }

protected:
    virtual void OnNotify(int /*event*/) {}
    // A received RTP packet and where it came from (dotted address).
    virtual void OnRTPPacket(const KZRTPPacket& /*packet*/, const char* /*address*/, uint16_t /*port*/) {}
    // A received RTCP report, as text.
    virtual void OnRTCPReport(const char* /*report*/) {}
    // A received RTCP datagram, turned in place into the compound to read (SRTCP unprotected);
    // its length, < 1 to drop it. By default it is read as it came.
    virtual int TransformIncomingRTCP(uint8_t* /*packet*/, int length) { return length; }
    // A report about to leave, transformed in place in a buffer of capacity bytes; the length to
    // send, < 1 to send nothing. By default it goes as it is.
    virtual int TransformOutgoingRTCP(uint8_t* /*packet*/, int length, int /*capacity*/) { return length; }

private:
    struct State;
    friend class KZRTPReceiver;
    // Reads what waits on fd (RTP or RTCP); called by CheckPacket and the receiver thread.
    void ReadSocket(int fd);

    mutable CMutex m_mutex;
    std::unique_ptr<State> m_state;
};

} // namespace KZAPI

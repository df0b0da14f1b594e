// The RTP sessions of a call control: GRTPSIPCCSession carries the call's audio and sorts what
// arrives into telephone events and audio frames for the jitter buffer; GRTPSIPCCVSession is the
// video session, which carries nothing yet.
#pragma once

#include "host/CKZLogInterface.h"
#include "host/KZRTPSession.h"

#include <cstdint>

class CKZSIPAPICC;
class CKZSIPServer;

class GRTPSIPCCSession : public KZAPI::KZRTPSession, public KZAPI::CKZLogInterface {
public:
    // Within this long after the first packet the sender's address is still checked.
    static constexpr uint64_t kSourceCheckMs = 5000;

    ~GRTPSIPCCSession() override { Stop(); }

    // Attaches the call control (or detaches it with null) under the session mutex, so that a
    // closing call control is never called from a packet arriving meanwhile.
    void SetOwner(CKZSIPAPICC* owner, CKZSIPServer* server);
    void ClearFirstPacketMark();

protected:
    void OnRTPPacket(const KZAPI::KZRTPPacket& packet, const char* address, uint16_t port) override;
    void OnRTCPReport(const char* report) override;
    int TransformIncomingRTCP(uint8_t* packet, int length) override;
    int TransformOutgoingRTCP(uint8_t* packet, int length, int capacity) override;

private:
    // True when the packet was a telephone event (the source check is then skipped).
    bool SortPacket(CKZSIPAPICC& owner, const KZAPI::KZRTPPacket& packet);
    void CheckSource(CKZSIPAPICC& owner, const KZAPI::KZRTPPacket& packet, const char* address,
                     uint16_t port);

    CKZSIPAPICC* m_owner = nullptr;
    CKZSIPServer* m_server = nullptr;
    bool m_first_packet_seen = false;
    uint64_t m_first_packet_ms = 0;
};

class GRTPSIPCCVSession : public KZAPI::KZRTPSession, public KZAPI::CKZLogInterface {
public:
    ~GRTPSIPCCVSession() override { Stop(); }
};

// One direction of one SRTP stream: a libsrtp session with its own lock, and for sending the
// RTP header fields this side numbers. Packets are worked on in a buffer inside the context
// (libsrtp writes its trailer past the packet and wants it 32-bit aligned), so nothing is
// allocated per packet.
#pragma once

#include "host/kzapiex/KZAPIEx.h"
#include "host/kzapiex/KZSRTPSuite.h"

#include <srtp2/srtp.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

namespace KZAPIEx {

class KZSRTPContext {
public:
    enum class Direction { Receive, Send };
    struct Error {
        int code = KZAPIEX_OK;
        const char* text = "";
        int srtp_status = 0;
    };

    // Null on failure with the reason in error.
    static std::unique_ptr<KZSRTPContext> Create(Direction direction, const char* key, const char* suite,
                                                 uint32_t ssrc, Error& error);
    ~KZSRTPContext();
    KZSRTPContext(const KZSRTPContext&) = delete;
    KZSRTPContext& operator=(const KZSRTPContext&) = delete;

    Direction GetDirection() const { return m_direction; }
    // See KZAPI_MyFun6 and KZAPI_MyFun2.
    int Protect(int payload_type, const uint8_t* payload, int length, bool marker,
                uint32_t timestamp_increment, uint8_t* output);
    int Unprotect(const uint8_t* packet, int length, uint8_t* output);
    // See KZAPI_MyFun3 and KZAPI_MyFun8.
    int ProtectRTCP(const uint8_t* packet, int length, uint8_t* output);
    int UnprotectRTCP(const uint8_t* packet, int length, uint8_t* output);

private:
    KZSRTPContext(Direction direction, srtp_t session, uint32_t ssrc, size_t mki_bytes);

    const Direction m_direction;
    std::mutex m_mutex;
    srtp_t m_session;
    const uint32_t m_ssrc;
    const bool m_use_mki;
    uint16_t m_sequence;
    uint32_t m_timestamp;
    static_assert(KZAPIEX_MAX_RTCP_BYTES + KZAPIEX_SRTCP_OVERHEAD <= KZAPIEX_MAX_SRTP_BYTES);
    alignas(4) uint8_t m_work[KZAPIEX_MAX_SRTP_BYTES + SRTP_MAX_TRAILER_LEN];
};

} // namespace KZAPIEx

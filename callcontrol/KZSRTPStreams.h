// The SRTP contexts of one call's audio stream: a decoder for what the peer sends and an
// encoder for what this side sends, both made by the extension library from the keys and suites
// exchanged in SDP. Each context is created when RTP opens and released when it closes. The
// packet buffers are fixed, so protecting and unprotecting allocate nothing.
#pragma once

#include "host/kzapiex/KZAPIEx.h"
#include "server/KZAPIExLibrary.h"

#include <array>
#include <cstdint>

class KZSRTPStreams {
public:
    // An SRTP packet as received or sent: the largest RTP packet plus header, tag and MKI room.
    static constexpr int kMaxPacketBytes = KZAPIEX_MAX_SRTP_BYTES;
    static_assert(KZAPIExLibrary::kErrorTextSize == KZAPIEX_ERROR_TEXT_SIZE, "error texts agree");

    struct Keys {
        const char* decoder_key;
        const char* decoder_suite;
        const char* encoder_key;
        const char* encoder_suite;
        uint32_t local_ssrc;
    };

    KZSRTPStreams() = default;
    ~KZSRTPStreams() { Close(); }
    KZSRTPStreams(const KZSRTPStreams&) = delete;
    KZSRTPStreams& operator=(const KZSRTPStreams&) = delete;

    // Creates both contexts through library (null = no library), logging each outcome. A context
    // that fails stays null, so its direction carries plain RTP.
    void Open(const KZAPIExLibrary* library, const Keys& keys);
    void Close();
    bool CanProtect() const { return m_encoder != nullptr; }
    bool CanUnprotect() const { return m_decoder != nullptr; }

    // The protected packet of payload in the encode buffer (its length, < 1 on failure).
    int Protect(int payload_type, const uint8_t* payload, int length, bool marker,
                uint32_t timestamp_increment);
    const uint8_t* EncodedPacket() const { return m_encoded.data(); }
    // The encoder's timestamp moves on by a frame that is not sent.
    void SkipFrame(uint32_t timestamp_increment);
    // The packet's RTP form in output (kMaxPacketBytes); its length, < 1 on failure.
    int Unprotect(const uint8_t* packet, int length, uint8_t* output);
    // An RTCP compound protected (or an SRTCP packet unprotected) in its own buffer, which holds
    // capacity bytes; the new length, < 1 on failure or when the library cannot.
    int ProtectRTCP(uint8_t* packet, int length, int capacity);
    int UnprotectRTCP(uint8_t* packet, int length);

private:
    // The library's entry points as they were at Open (the server may unload it before a call
    // control goes).
    KZAPIEx_Unprotect m_unprotect = nullptr;
    KZAPIEx_Protect m_protect = nullptr;
    KZAPIEx_FreeContext m_free_decoder = nullptr;
    KZAPIEx_FreeContext m_free_encoder = nullptr;
    KZAPIEx_RTCPTransform m_protect_rtcp = nullptr;
    KZAPIEx_RTCPTransform m_unprotect_rtcp = nullptr;
    void* m_decoder = nullptr;
    void* m_encoder = nullptr;
    std::array<uint8_t, KZAPIEX_MAX_PAYLOAD_BYTES + KZAPIEX_PROTECT_OVERHEAD> m_encoded{};
};

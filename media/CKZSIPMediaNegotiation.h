// Codec negotiation of one call: reads the peer's session descriptions (offer or answer) into
// the chosen audio and video payloads, remote RTP addresses, directions, packet time, DTMF
// payload and SRTP parameters, and adds the call's own codec and attribute lines to an SDP
// being composed. One object per call control; the call control holds the call lock around it.
#pragma once

#include "host/KZRTPPayload.h"
#include "media/KZMediaSettings.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

class sip_msg;

using KZAPI::StaticPayloadInfo;

// RTP directions as the peer states them.
enum KZRTPDirection : int { RTP_SEND_RECV = 0, RTP_PEER_RECV_ONLY = 1, RTP_PEER_SEND_ONLY = 2 };

// Directions a composing operation asks its SDP to state: 0 "sendrecv", 1 "sendonly",
// 2 "recvonly"; any other value writes no direction line.
enum KZSDPDirection : int { SDP_SENDRECV = 0, SDP_SENDONLY = 1, SDP_RECVONLY = 2 };
constexpr int kNoForcedDirection = -2;
constexpr int kNoNegotiatedMedia = -1;

class CKZSIPMediaNegotiation;
struct KZSdpMediaIds;
struct KZSdpReadTexts;

// Another call's received offer that this call relays: only codecs found there are offered.
struct KZRelayedOffer {
    const CKZSIPMediaNegotiation* partner = nullptr;
    const sip_msg* offer = nullptr;
    bool awaitingAnswer = false; // the partner call is accepted or ringing
};

// What the composing operation asks of the codec and attribute lines.
struct KZSDPLineRequest {
    bool isAck = false;               // codec lines of the current payload; DTMF only when already set
    bool offerCurrentPayload = false; // re-INVITE: offer the negotiated payload alone
    int dtmfMethod = 0;               // 2 and 3 carry digits as RFC 2833 events
    int direction = SDP_SENDRECV;
    int forcedDirection = kNoForcedDirection;
    const KZRelayedOffer* relayed = nullptr;
};

class CKZSIPMediaNegotiation {
public:
    static constexpr size_t kMaxAddressLength = 255;
    static constexpr size_t kMaxCryptoSuiteLength = 127;
    static constexpr size_t kMaxCryptoKeyLength = 255;
    static constexpr size_t kMaxOfferedPayloads = 50;
    static constexpr int kDefaultPacketTime = 20;
    static constexpr const char* kDefaultEncoderSuite = "AES_CM_128_HMAC_SHA1_80";

    struct RemoteMedia {
        char address[kMaxAddressLength + 1] = {};
        int port = 0;
        int direction = RTP_SEND_RECV;
    };

    explicit CKZSIPMediaNegotiation(KZMediaSettings settings, int callId = 0);

    // ---- reading session descriptions (1 success, 0 failure) ----
    int GetRemoteRTPInfoFromInvite(const sip_msg& message, char* address, size_t capacity, int* port,
                                   StaticPayloadInfo* chosen, int* direction,
                                   const StaticPayloadInfo* current);
    int GetRemoteRTPInfoFromOK(const sip_msg& message, char* address, size_t capacity, int* port,
                               StaticPayloadInfo* chosen, int* direction, const StaticPayloadInfo* current);
    int GetRemoteVideoRTPInfoFromInvite(const sip_msg& message, char* address, size_t capacity, int* port,
                                        StaticPayloadInfo* chosen, int* direction);
    int GetRemoteVideoRTPInfoFromOK(const sip_msg& message, char* address, size_t capacity, int* port,
                                    StaticPayloadInfo* chosen, int* direction);
    // Refreshes the stored remote audio and video addresses and ports.
    int GetRemoteRTPAddrFromSIPMsg(const sip_msg& message);

    // Whether the offer still awaiting this call's answer holds the codec; true without looking
    // when no offer awaits an answer or the offer has no recognisable audio format.
    bool IsInOfferedCodecList(int codecCode, StaticPayloadInfo* found, const sip_msg* offer,
                              bool awaitingAnswer) const;
    bool IsInOfferedVideoCodecList(int codecCode, StaticPayloadInfo* found, const sip_msg* offer,
                                   bool awaitingAnswer) const;

    int GetRFC2833DTMFPayload(const sip_msg& message) const;
    int GetPayloadTypesCount(const sip_msg& message) const;
    int GetVADType(const sip_msg& message) const;

    // ---- composing session descriptions ----
    // An answer to an SRTP offer made over the plain profile keeps that profile.
    const char* MediaTransport() const { return m_srtpInUse && !m_bestEffortSRTP ? "RTP/SAVP" : "RTP/AVP"; }
    // Adds the codec, telephone-event, silence, packet time, direction and crypto attribute lines
    // of an offer (or of an ACK) to the message; 0 when every line was added.
    uint32_t AddOfferLines(sip_msg* message, const KZSDPLineRequest& request);
    // The same for a 200 OK answering offer: the current payload alone, telephone-event when the
    // offer carried it; with direction kNoNegotiatedMedia (after the forced one) an offer instead.
    uint32_t AddAnswerLines(sip_msg* message, const KZSDPLineRequest& request, const sip_msg& offer);

    // ---- per-call state ----
    void SetAudioCodec(int codecCode);
    void SetVideoCodec(int /*codecCode*/) {}
    int GetPresetAudioCodec() const { return m_presetAudioCodec; }
    int GetCurrentAudioCodec() const;
    int GetCurrentVideoCodec() const;
    const StaticPayloadInfo* CurrentAudioPayload() const {
        return m_audioPayload ? &*m_audioPayload : nullptr;
    }
    const StaticPayloadInfo* CurrentVideoPayload() const {
        return m_videoPayload ? &*m_videoPayload : nullptr;
    }
    void SetCurrentAudioPayload(const StaticPayloadInfo& info) { m_audioPayload = info; }
    void SetCurrentVideoPayload(const StaticPayloadInfo& info) { m_videoPayload = info; }
    void ResetDefaultPayloadInfo();

    // The relay group's copy of the payload is updated by the call control, which knows the relay.
    void SetDTMFPayload(int payload);
    int GetDTMFPayload() const { return m_dtmfPayload; }
    void SetRemoteVADEnabled(bool enabled);
    bool IsRemoteVADEnabled() const { return m_remoteVADEnabled; }
    int GetPacketTime() const { return m_packetTime; }
    void SetPacketTime(int ms) { m_packetTime = ms; }

    RemoteMedia& RemoteAudio() { return m_remoteAudio; }
    RemoteMedia& RemoteVideo() { return m_remoteVideo; }
    const RemoteMedia& RemoteAudio() const { return m_remoteAudio; }
    const RemoteMedia& RemoteVideo() const { return m_remoteVideo; }

    bool IsSRTPInUse() const { return m_srtpInUse; }
    void SetSRTPInUse(bool inUse) {
        m_srtpInUse = inUse;
        m_bestEffortSRTP = false;
    }
    const char* DecoderCryptoSuite() const { return m_decoderSuite; }
    const char* DecoderCryptoKey() const { return m_decoderKey; }
    const char* EncoderCryptoSuite() const { return m_encoderSuite; }
    const char* EncoderCryptoKey() const { return m_encoderKey; }
    void SetEncoderCrypto(const char* suite, const char* key);
    // Random key material for this side's streams; the announced key is as much of it as the
    // encoder suite takes (master key + salt), also when the suite changes to the peer's.
    static constexpr size_t kMaxEncoderKeyMaterial = 46; // AES-256 counter mode: 32 + 14
    void SetEncoderKeyMaterial(const uint8_t* material, size_t length);
    // Master key + salt bytes of a suite; 0 for one this side does not speak.
    static size_t CryptoKeyAndSaltBytes(std::string_view suite);

    const KZMediaSettings& Settings() const { return m_settings; }
    void SetCallId(int callId) { m_callId = callId; }

private:
    using PayloadList = std::vector<StaticPayloadInfo>;

    bool ReadTransportAndCrypto(const sip_msg& message, int mediaIndex, const KZSdpReadTexts& texts);
    void ReadCryptoAttribute(const sip_msg& message, const KZSdpReadTexts& texts);
    void ReadBestEffortCrypto(const sip_msg& message, const KZSdpReadTexts& texts);
    bool ApplySRTPMode(const KZSdpReadTexts& texts);
    PayloadList BuildOfferedList(const sip_msg& message, const KZSdpMediaIds& media,
                                 const char* logText) const;
    std::optional<StaticPayloadInfo> FindPreset(const PayloadList& offered, bool skipNonAudio) const;
    bool OfferHoldsCurrent(const PayloadList& offered, const StaticPayloadInfo& current,
                           bool skipNonAudio) const;
    std::optional<StaticPayloadInfo>
    ChooseFromOffer(const PayloadList& offered, const StaticPayloadInfo* current, bool skipNonAudio) const;
    std::optional<StaticPayloadInfo>
    ChooseByPreference(const PayloadList& offered, const std::vector<int>& prefer, bool skipNonAudio) const;
    std::optional<StaticPayloadInfo> FirstRecognised(const sip_msg& message, const KZSdpMediaIds& media,
                                                     const char* logText) const;
    int ReadDirectionAndPacketTime(const sip_msg& message, uint32_t attributeId, bool readPacketTime);
    bool IsInOfferedList(int codecCode, StaticPayloadInfo* found, const sip_msg* offer, bool awaitingAnswer,
                         const KZSdpMediaIds& media) const;

    uint32_t AddPreferredCodecLines(sip_msg* message, const KZRelayedOffer* relayed) const;
    uint32_t AddDTMFLines(sip_msg* message, const KZSDPLineRequest& request);
    uint32_t AddTrailingAttributes(sip_msg* message, const KZSDPLineRequest& request, int packetTime) const;
    uint32_t AddCryptoLine(sip_msg* message) const;

    KZMediaSettings m_settings;
    int m_callId;
    std::optional<StaticPayloadInfo> m_audioPayload;
    std::optional<StaticPayloadInfo> m_videoPayload;
    int m_presetAudioCodec = -1;
    RemoteMedia m_remoteAudio;
    RemoteMedia m_remoteVideo;
    int m_packetTime = kDefaultPacketTime;
    int m_dtmfPayload = -1;
    bool m_remoteVADEnabled = false;
    bool m_srtpInUse = false;
    bool m_bestEffortSRTP = false; // the peer's offer carried its key over RTP/AVP
    char m_decoderSuite[kMaxCryptoSuiteLength + 1] = {};
    char m_decoderKey[kMaxCryptoKeyLength + 1] = {};
    char m_encoderSuite[kMaxCryptoSuiteLength + 1] = {};
    char m_encoderKey[kMaxCryptoKeyLength + 1] = {};
    uint8_t m_encoderMaterial[kMaxEncoderKeyMaterial] = {};
    size_t m_encoderMaterialLength = 0;

    void AdoptEncoderSuite(const char* suite);
};

// CKZSIPAPICC: the SIP call control of one channel. It carries one SIP call (one dialog) at a
// time, keeps the call's record (addresses, contacts, route set, transfer data, the current
// message), runs the SIP status machine and the status timers, and is the channel's media
// application. Host-facing operations return 1 for success and 0 for failure.
#pragma once

#include "callcontrol/KZSRTPStreams.h"
#include "host/CKZCallControl.h"
#include "host/KZJitterBuffer.h"
#include "host/KZRingBuffer.h"
#include "host/audiotools/KZSoundTools.h"
#include "host/audiotools/KZVoiceDetector.h"
#include "media/CKZSIPDSPApp.h"
#include "server/CKZSIPCallControlI.h"
#include "server/CKZSIPGroup.h"
#include "server/SIPMessagePtr.h"
#include "server/kz_sip_user_reg_profile.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CKZSIPMediaNegotiation;
class KZRTPPortReservation;
class KZCallCodec;
class GRTPSIPCCSession;
class GRTPSIPCCVSession;
namespace KZAPI {
class KZRTPPacket;
}
class CKZSIPServer;
struct KZ_SIPProtocolConfig;

class CKZSIPAPICC : public KZAPI::CKZCallControl, public CKZSIPDSPApp, public CKZSIPCallControlI {
public:
    static constexpr size_t kAddressSize = 256;
    static constexpr size_t kTextSize = 512;
    static constexpr size_t kLastMsgTextSize = 2048;
    static constexpr size_t kSDPSessionSize = 40;

    // RTP directions: 0 sendrecv, 1 sendonly, 2 recvonly; the forced direction may also be -2.
    enum : int { RTP_SENDRECV = 0, RTP_SENDONLY = 1, RTP_RECVONLY = 2, RTP_NO_MEDIA = -1 };
    static constexpr int kRTPDirNotForced = -2;
    static constexpr int kDTMFPayloadUnknown = -1;
    static constexpr int kNoPresetCodec = -1;
    static constexpr int kTimeoutCauseCode = 504;

    // A public RTP address found with STUN (the group writes a dotted IPv4 address).
    struct MappedRTPAddress {
        static constexpr size_t kSize = 16;
        bool found = false;
        char address[kSize] = "";
        uint16_t port = 0;
    };

    CKZSIPAPICC();
    ~CKZSIPAPICC() override;

    // ---- host call-control face ----
    unsigned Start() override;
    unsigned Stop() override;
    unsigned ResetCallStatus() override;
    unsigned OnCallIdle() override;
    unsigned DisconnectCall() override;
    unsigned SetAudioCodec(int codec) override;
    int GetLastMsgCode() override;
    const char* GetLastMsgText() override { return m_last_msg_text; }
    const char* GetPeerSIPIPAddress() override { return m_peer_sip_address; }
    uint16_t GetPeerSIPIPPort() override { return m_peer_sip_port; }
    const char* GetPeerRTPIPAddress() override { return m_peer_rtp_address; }
    uint16_t GetPeerRTPIPPort() override { return m_peer_rtp_port; }
    const char* GetPeerSIPContactAddress() override { return m_peer_contact; }
    // Read from the configuration on every call, so a change takes effect without a restart.
    int GetAutoAnswer() override;
    int GetAutoAccept() override;
    int GetAutoRing() override;
    int GetDND() override;

    // ---- the dispatch's SIP face ----
    KZ_SIP_CALL_STATUS GetSIPStatus() const override { return m_sip_status.load(); }
    void SetSIPStatus(KZ_SIP_CALL_STATUS status) override { m_sip_status.store(status); }
    unsigned SetCurSIPMsg(const KZSIPEvent* event, unsigned reason) override;
    unsigned SetCurSIPMsg(const KZSIPEvent* event, sip_msg* message, const char* address, unsigned short port,
                          unsigned reason) override;
    sip_msg* GetCurSIPMsg() const override { return m_cur_msg.get(); }
    unsigned FreeSIPMsg() override;
    const char* GetSIPCallID() const override { return GetCallID(); }
    void SetSIPCallID(const char* call_id) override { SetCallID(call_id); }
    const char* GetSIPFromTag() const override { return GetFromTag(); }
    void SetSIPFromTag(const char* tag) override { SetFromTag(tag); }
    const char* GetSIPToTag() const override { return GetToTag(); }
    void SetSIPToTag(const char* tag) override { SetToTag(tag); }
    // The connection id is the call's SIP reference value, by which the server finds the channel.
    uint32_t GetSIPConnID() const override { return GetCRV(KIND_SIP); }
    void SetSIPConnID(uint32_t connection) override { SetCRV(KIND_SIP, connection); }
    kz_sip_user_reg_profile* GetUserRegProfile() override { return &m_account; }
    unsigned SentCreditInLastRequest() const override { return m_credit_sent; }
    static void DumpSIPMessage(sip_msg* message);

    unsigned StartCallTimer(unsigned period_ms) override { return StartAppTimer(period_ms); }
    unsigned StopCallTimer() override { return StopAppTimer(); }

    // ---- composition (CKZSIPAPICC_compose.cpp) ----
    // Requests: 0 when composed and handed to the stack, else the OR of the failures.
    int SendSIPRequestMsg(const char* method, const char* from, const char* to, const char* uri,
                          const char* contact, unsigned with_sdp, int direction, const char* dest_address,
                          uint16_t dest_port);
    // The same with the destination chosen from the forced address, the peer or the account's proxy.
    int SendSIPRequestMsgEx(const char* method, const char* from, const char* to, const char* uri,
                            const char* contact, unsigned with_sdp, int direction);
    // A response to request; direction -1 means no negotiated media yet (the SDP is an offer).
    int SendSIPResponseMsg(sip_msg* request, int code, const char* text, const char* via, const char* call_id,
                           const char* to, const char* from, const char* contact, unsigned with_sdp,
                           int direction);
    void BuildLocalContactID(const kz_sip_user_reg_profile* account, CKZSIPGroup* group,
                             const char* dest_address, const char* user_source);
    unsigned DynamicallyDecideSDPAndViaAddrForRequest(CKZSIPGroup* group, CKZSIPGroup::SDP_AND_VIA_ADDR& addr,
                                                      const char* request_address, const char* rtp_address,
                                                      const char* local_address,
                                                      const kz_sip_user_reg_profile* account);
    void SmartlyDecideRemoteContactID(const char* contact);
    // 0, or -1 when the contact names no host (uri is then empty).
    int BuildSIPRequestURI(const char* contact, char* uri, size_t size);
    void BuildSIPFromAndToStr(char* from, size_t from_size, char* to, size_t to_size);
    // The route set from the current message's Record-Route: order 0 reversed, 1 as received.
    void BuildRouteInfoFromRequest(int order, const char* sender_address, uint16_t sender_port);
    void GetSIPPeerIPAddressAndPort(char* address, size_t size, uint16_t& port);
    unsigned SetSIPAndRTPAddr(const char* sip_address, const char* rtp_address) override;
    void SaveCreditChallengeInfo(CKZSIPGroup* group, kz_sip_user_reg_profile* account) override;
    uint32_t AddCreditIntoRequest(CKZSIPGroup* group, sip_msg* request, const char* server,
                                  const char* method);
    unsigned ResentByeWithCredit(CKZSIPGroup* group) override;
    unsigned ResentInviteWithCredit() override;

    // ---- RTP port (CKZSIPAPICC_rtp.cpp): reserved while the call has media ----
    unsigned OpenRTPSocket() override;
    unsigned CloseRTPSocket() override;
    unsigned IsRTPSocketOpen() override;
    CKZSIPMediaNegotiation& Media() { return *m_media; }
    int GetCurrentAudioCodec() override;

    // ---- media (CKZSIPAPICC_media.cpp): the DSP tick, the send and the receive path ----
    // Room for a string of 64 digits as telephone events (eight entries per digit).
    static constexpr int kPendingPacketBytes = 16;
    static constexpr int kPendingPacketSlots = 512;
    // The payload type received audio must carry.
    int GetRxPayloadType() const { return m_rx_payload_type.load(); }
    int AddRTPPacketToRxJB(uint16_t sequence, uint32_t timestamp, const uint8_t* payload, int length);
    void CheckRTPPacketFromAddr(int length, const char* address, uint16_t port, uint64_t ms, uint32_t ssrc);
    void SetRemoteSSRC(uint32_t ssrc) { m_remote_ssrc.store(ssrc); }
    // ---- DTMF (CKZSIPAPICC_dtmf.cpp) ----
    // A telephone event received on the audio session (RFC 2833), or relayed for this call.
    // Never takes the call lock: it runs inside the media tick.
    virtual void OnRTPDTMFPacket(const KZAPI::KZRTPPacket& packet);
    // Queues the digits as RFC 2833 events for the send pass (the media lock only, so a digit
    // can be forwarded from another channel's tick); 1, or 0 when RTP was not running or the
    // queue had no room for some digit.
    int SendRTPDTMFString(const char* digits);
    // Sends one digit as an INFO request with a dtmf-relay body; true when it was sent.
    bool SendSIPInfo(char digit, int duration_ms);
    // Switches the channel's digit detection with the call's media.
    void SetChannelDTMFDetection(bool on);
    // A packet the host relayed for this call (RTP bridging): telephone events are taken.
    void OnRelayRTPPackage(const uint8_t* data, int length);
    // Queues a packet to go out instead of the next audio frame(s); length 0 sends the audio
    // frame as usual. False when the queue is full or the payload too long.
    bool QueuePendingPacket(const uint8_t* payload, int length, int payload_type, bool marker,
                            uint32_t timestamp_increment, int count);
    void OnDSPTimer() override;
    void OnRxBufArrived(uint16_t sequence, uint32_t timestamp, const uint8_t* data, int length) override;
    void OnTxBufArrived(uint16_t sequence, uint32_t timestamp, const uint8_t* data, int length) override;
    bool GetMediaStats(MediaStats* stats) override;
    // Gain factors applied to the received (in) and the sent (out) audio; 1.0 leaves it as it is.
    void SetAudioGain(float in, float out);
    uint32_t GetLocalSSRC() const { return m_local_ssrc; }
    // Where the call's own RTP stream stood when it last stopped (for a relay continuing it).
    uint16_t GetNextRTPSequence() const { return m_next_rtp_sequence; }
    uint32_t GetNextRTPTimestamp() const { return m_next_rtp_timestamp; }
    // The call's own stream, when it opens again, goes on from here (after a relay carried it).
    void ContinueRTPStream(uint16_t next_sequence, uint32_t next_timestamp) {
        m_continue_rtp = true;
        m_next_rtp_sequence = next_sequence;
        m_next_rtp_timestamp = next_timestamp;
    }
    void CreateNewLocalRtpSSRC();

    // ---- SRTP (CKZSIPAPICC_srtp.cpp) ----
    // Fresh random key material for this side's streams (announced as long as the encoder suite takes).
    void GenerateCryptoEncoderKey();
    // The RTP form of a received packet in output (KZSRTPStreams::kMaxPacketBytes bytes); 0 when
    // SRTP is not in use or the packet does not unprotect, so that it is taken as received.
    int DecodeSRTP(const uint8_t* packet, int length, uint8_t* output);
    // Where the receive path unprotects into (used under the RTP session's mutex only).
    uint8_t* SRTPDecodeBuffer() { return m_srtp_decode_buffer.data(); }
    // RTCP in place, under the RTP session's mutex: the length as it is without SRTP, the
    // transformed length with it, < 1 when an SRTP call's report must not pass.
    int DecodeSRTCP(uint8_t* packet, int length);
    int EncodeSRTCP(uint8_t* packet, int length, int capacity);
    // ---- voice activity (CKZSIPAPICC_vad.cpp), under the media lock ----
    // The analysers of the received and the sent audio for frames of `samples` samples at `rate`;
    // made when RTP opens, freed when it closes (the beep analyser stays with the call control).
    void InitVInPreProcessHandle(int samples, int rate);
    void InitVOutPreProcessHandle(int samples, int rate);
    void FreeVInPreProcessHandle();
    void FreeVOutPreProcessHandle();
    // One frame of the received audio per DSP tick, while detection is asked for on a connected call.
    void DetectInVoiceActivity(int channel, const CKZSIPServer* server);
    // The bytes of the frame to send, 0 to hold it back as silence; frame null: nothing to send
    // this tick.
    int DetectOutVoiceActivity(const uint8_t* frame, int length, int channel, const CKZSIPServer* server);

    // ---- outbound call (CKZSIPAPICC_outbound.cpp) ----
    unsigned SetupCall(const char* caller, const char* callee) override;
    unsigned SetupCallEx(const char* from, const char* to, const char* uri, const char* contact,
                         const char* auth_name, const char* auth_password, const char* dest_address,
                         uint16_t dest_port, int protocol, int srtp) override;
    unsigned MakeSIPCall(const char* caller_ua, const char* caller_address, uint16_t caller_port,
                         const char* callee_ua, const char* remote_address, uint16_t remote_port);
    unsigned MakeSIPCallEx(const char* from, const char* to, const char* uri, const char* contact,
                           const char* auth_name, const char* auth_password, const char* dest_address,
                           uint16_t dest_port);
    unsigned OnTrying() override;
    unsigned OnRinging() override;
    unsigned OnSessionProgress() override;
    unsigned OnConnect() override;
    unsigned SendConnAck() override;
    unsigned SendSIPAck() override;
    unsigned SendSIPPrack();
    bool IsOKWithSDPForInvite() override;
    unsigned On3xxResponse(CKZSIPGroup* group, const KZSIPEvent* event) override;
    void SendKeepAliveMsgForOutboundCall();

    // ---- inbound call (CKZSIPAPICC_inbound.cpp) ----
    unsigned OnOffered(void* from, void* to) override;
    unsigned OnSetup() override;
    unsigned AcceptCall() override;
    unsigned RingCall() override;
    unsigned SessionProgressCall(const char* file) override;
    unsigned SessionProgressCall(void* message) override;
    unsigned AnswerCall() override;
    unsigned OnConnAck() override;
    const char* GetReplacesCallID() const { return m_replaces_call_id; }
    const char* GetReplacesFromTag() const { return m_replaces_from_tag; }
    const char* GetReplacesToTag() const { return m_replaces_to_tag; }

    // ---- release (CKZSIPAPICC_release.cpp) ----
    unsigned DisconnectSIPCall() override;
    unsigned ReleaseCall() override;
    // 0 when the CANCEL was handed to the stack.
    unsigned SendSIPCancel();
    bool IsOKMsgForCancel() override;
    unsigned OnDisconnect() override;
    unsigned OnRelease() override;
    unsigned OnRelComp() override;
    unsigned SendRelComp() override { return 1; }

    // ---- re-INVITE, transfer and hold (CKZSIPAPICC_transfer.cpp) ----
    unsigned OnReInvite(CKZSIPGroup* group) override;
    unsigned OnSDPChangeOK(CKZSIPGroup* group) override;
    unsigned OnSDPChangeAck(CKZSIPGroup* group) override;
    unsigned OnInfo(CKZSIPGroup* group) override;
    unsigned OnRefer(CKZSIPGroup* group) override;
    unsigned OnReferNotify(CKZSIPGroup* group) override;
    unsigned DoTransfer() override;
    unsigned DoTransfer2(CKZSIPGroup* group, int result) override;
    unsigned SendSIPRefer(CKZSIPGroup* group, const char* target, int attended) override;
    unsigned SendSIPTransferNotify(CKZSIPGroup* group, const char* event, const char* state,
                                   const char* version, const char* code, const char* text) override;
    unsigned Hold() override;
    unsigned TransferTo(const char* target, int dest_channel = -1) override;
    unsigned RedirectTo(const char* target, const char* code, const char* text) override;
    // Reports the change to the host: the far end's when a request (re-INVITE or ACK) carried it.
    unsigned OnCallHolding(int held) override;
    void SetRTPHeld(bool held) override { m_rtp_held = held; }
    bool IsRTPHeld() const override { return m_rtp_held; }

    // ---- status timers ----
    // Starts the application timer with the timeout of the current status; 0 when the status
    // has none.
    unsigned StartSIPStatusTimer();
    // The timeout of a status in milliseconds, 0 when it has none.
    static unsigned GetSIPStatusTimeout(KZ_SIP_CALL_STATUS status);
    void OnAppTimer() override;

    // ---- record ----
    void AddRoute(const char* route, int order);
    void ResetRoutes();
    int GetRouteCount() const { return static_cast<int>(m_routes.size()); }
    const char* GetRoute(int index) const;
    // Takes the next local RTP port of the channel's block (alternates within the port space).
    void AutoSetRTPPort(const CKZSIPServer* server);

    const char* GetLocalSIPAddress() const { return m_local_sip_address; }
    uint16_t GetLocalSIPPort() const { return m_local_sip_port; }
    const char* GetLocalRTPAddress() const { return m_local_rtp_address; }
    uint16_t GetLocalRTPPort() const { return m_local_rtp_port; }
    const char* GetLocalRealRTPAddress() const { return m_real_rtp_address; }
    uint16_t GetLocalRealRTPPort() const { return m_real_rtp_port; }
    const CKZSIPGroup::SDP_AND_VIA_ADDR& GetSDPAndViaAddr() const { return m_sdp_via; }
    const char* GetLocalContact() const { return m_local_contact; }
    int GetRTPDirection() const { return m_rtp_direction; }
    int GetRTPForceDir() const { return m_rtp_force_dir; }
    void SetRTPForceDir(int direction) { m_rtp_force_dir = direction; }
    int GetDTMFPayload() const { return m_dtmf_payload; }
    int GetPresetAudioCodec() const { return m_preset_audio_codec; }
    int GetTransportProtocol() const { return m_transport_protocol; }
    int GetTLSType() const { return m_tls_type; }
    CKZSIPAPICC* GetOrgTransferChanCallControl() const { return m_org_transfer_cc; }
    // Links the call placed for origin's REFER to it, taking the dialog it replaces and who
    // referred it for the new INVITE.
    void SetOrgTransferChanCallControl(CKZSIPAPICC* origin);
    CKZSIPAPICC* GetDestTransferChanCallControl() const { return m_dest_transfer_cc; }
    void SetDestTransferChanCallControl(CKZSIPAPICC* cc) { m_dest_transfer_cc = cc; }

private:
    enum class Release { None, Bye, Cancel, ErrorResponse, ByeThenReset };

    static CKZSIPServer* Server();
    // The server's lock, taken before a call's own lock by whatever also reads the server's
    // accounts: the dispatch holds it while it takes call locks, so the order is always server,
    // then call. Holds nothing when there is no server.
    class ServerLock {
    public:
        ServerLock();
        ~ServerLock();
        ServerLock(const ServerLock&) = delete;
        ServerLock& operator=(const ServerLock&) = delete;

    private:
        KZAPI::CMutex* m_mutex;
    };
    static CKZSIPGroup* Group();
    int ChannelNumber() const;
    void ReadGroupAddresses(CKZSIPGroup* group, KZ_SIPProtocolConfig& config);
    void DecideRealRTPAddress(const CKZSIPGroup* group, const MappedRTPAddress& mapped);
    void BuildLocalContact();
    void ClearDialogData();
    void TakeMessage(const KZSIPEvent* event, sip_msg* message, const char* address, unsigned short port);
    void RecordResponse(const KZSIPEvent* event, unsigned reason);
    void RecordRequest(const KZSIPEvent* event, unsigned reason);
    Release ReleaseFor(KZ_SIP_CALL_STATUS status) const;
    unsigned SendRelease(Release release);
    void DisconnectOnTimeout(const char* log_text, const char* cause_text);
    CKZSIPAPICC* EndUnansweredAttendedTransfer();
    // The call control of an idle channel for an outbound transfer call, or null.
    static CKZSIPAPICC* IdleTransferCallControl();
    static CKZSIPAPICC* CallControlOfChannel(int channel_number);

    std::atomic<KZ_SIP_CALL_STATUS> m_sip_status{SIP_CALL_IDLE};
    char m_local_sip_address[kAddressSize] = "";
    uint16_t m_local_sip_port = 0;
    char m_local_rtp_address[kAddressSize] = "";
    uint16_t m_local_rtp_port = 0;
    char m_real_rtp_address[kAddressSize] = "";
    uint16_t m_real_rtp_port = 0;
    CKZSIPGroup::SDP_AND_VIA_ADDR m_sdp_via{};
    char m_peer_sip_address[kAddressSize] = "";
    uint16_t m_peer_sip_port = 0;
    char m_peer_rtp_address[kAddressSize] = "";
    uint16_t m_peer_rtp_port = 0;
    std::vector<std::string> m_routes;
    char m_local_contact[kTextSize] = "";
    char m_peer_contact[kTextSize] = "";
    char m_refer_to[kTextSize] = "";
    char m_transfer_source[kTextSize] = "";
    char m_refer_contact[kTextSize] = "";
    char m_replaces_call_id[kTextSize] = "";
    char m_replaces_from_tag[kTextSize] = "";
    char m_replaces_to_tag[kTextSize] = "";
    CKZSIPAPICC* m_org_transfer_cc = nullptr;
    CKZSIPAPICC* m_dest_transfer_cc = nullptr;
    // The negotiated audio and video payload records, the RTP sessions, the jitter buffer and
    // the SRTP keys belong to the media engine and join the record with it.
    std::unique_ptr<CKZSIPMediaNegotiation> m_media;
    std::unique_ptr<KZRTPPortReservation> m_rtp_socket;
    // ---- media state (CKZSIPAPICC_media.cpp) ----
    struct PendingPacket {
        uint8_t payload[kPendingPacketBytes];
        int length = 0;
        int payload_type = 0;
        bool marker = false;
        uint32_t timestamp_increment = 0;
        int count = 1;
    };
    struct RingDeleter {
        void operator()(KZAPI::KZRingBuffer* ring) const { KZAPI::KZ_RTMB_Destroy(ring); }
    };
    struct JitterDeleter {
        void operator()(KZAPI::KZJitterBuffer* jb) const { KZAPI::KZ_JB_Destroy(jb); }
    };
    // Guards the running flag, codec, buffers, destination and pending queue. The DSP tick
    // takes only this lock, so signalling never holds up the media.
    mutable KZAPI::CMutex m_media_mutex;
    std::unique_ptr<GRTPSIPCCSession> m_rtp_session;
    std::unique_ptr<GRTPSIPCCVSession> m_video_session;
    std::unique_ptr<KZCallCodec> m_codec;
    std::atomic<bool> m_rtp_running{false};
    unsigned m_dsp_frame_ms = 0;
    KZAPI::StaticPayloadInfo m_rtp_payload{};
    std::atomic<int> m_rx_payload_type{-1};
    uint32_t m_local_ssrc = 0;
    bool m_continue_rtp = false;
    uint16_t m_next_rtp_sequence = 0;
    uint32_t m_next_rtp_timestamp = 0;
    std::atomic<uint32_t> m_remote_ssrc{0};
    std::vector<uint8_t> m_packet_buffer;
    std::vector<uint8_t> m_codec_buffer;
    std::vector<uint8_t> m_frame_buffer;
    std::unique_ptr<KZAPI::KZRingBuffer, RingDeleter> m_tx_ring;
    std::unique_ptr<KZAPI::KZRingBuffer, RingDeleter> m_rx_ring;
    std::unique_ptr<KZAPI::KZJitterBuffer, JitterDeleter> m_jitter;
    struct GainDeleter {
        void operator()(KZAPI::KZAGC4State* gain) const { KZAPI::KZ_AGC4_Destroy(gain); }
    };
    // Under the media lock; null when the factor is 1.0.
    std::unique_ptr<KZAPI::KZAGC4State, GainDeleter> m_rx_gain, m_tx_gain;
    float m_rx_gain_factor = 1.0f, m_tx_gain_factor = 1.0f;
    struct VADDeleter {
        void operator()(KZAPI::KZVADState* vad) const;
    };
    struct BeepDeleter {
        void operator()(KZAPI::KZBeepState* beep) const;
    };
    // Voice activity, under the media lock: the analysers, the hang-over counters (ticks left
    // in the voice state, 0 = off), the audio judged so far and the frame buffers.
    std::unique_ptr<KZAPI::KZVADState, VADDeleter> m_vad_in, m_vad_out;
    std::unique_ptr<KZAPI::KZBeepState, BeepDeleter> m_beep;
    int m_vad_in_hangover = 0;
    int m_vad_out_hangover = 0;
    bool m_beep_reported = false;
    unsigned m_vad_in_ms = 0;
    std::vector<int16_t> m_vad_samples;
    std::vector<uint8_t> m_vad_frame;
    PendingPacket m_pending[kPendingPacketSlots];
    int m_pending_head = 0;
    int m_pending_count = 0;
    bool m_talkspurt_pending = false; // frames were held back: the next one sent is marked
    std::atomic<uint64_t> m_last_rx_tick{0};
    // SRTP contexts of the open session (created and released with it) and the receive buffer.
    KZSRTPStreams m_srtp;
    std::array<uint8_t, KZSRTPStreams::kMaxPacketBytes> m_srtp_decode_buffer{};
    std::atomic<bool> m_srtp_active{false};
    // The sender's address the receive path found (session mutex) and the tick sends to.
    char m_switch_address[kAddressSize] = "";
    uint16_t m_switch_port = 0;
    std::atomic<bool> m_switch_pending{false};
    std::atomic<bool> m_source_confirmed{false};
    // The peer's RTP address as the session last knew it, for the source check.
    char m_expected_address[kAddressSize] = "";
    uint16_t m_expected_port = 0;
    bool m_rtp_held = false;
    int m_preset_audio_codec = kNoPresetCodec;
    SIPMessagePtr m_cur_msg;
    std::atomic<uint32_t> m_keep_alive_ticks{0};
    unsigned m_contact_locked = 0;
    unsigned m_contact_decided = 0;
    unsigned m_placed_by_setup_call = 1;
    char m_setup_uri[kTextSize] = "";
    char m_setup_contact[kTextSize] = "";
    char m_setup_auth_name[kTextSize] = "";
    char m_setup_auth_password[kTextSize] = "";
    // Read by the media tick without the call lock.
    std::atomic<int> m_rtp_direction{RTP_SENDRECV};
    std::atomic<int> m_rtp_force_dir{kRTPDirNotForced};
    int m_video_direction = RTP_SENDRECV;
    unsigned m_credit_sent = 0;
    kz_sip_user_reg_profile m_account;
    int m_last_msg_code = 0;
    char m_last_msg_text[kLastMsgTextSize] = "";
    int m_dtmf_payload = kDTMFPayloadUnknown;
    int m_transport_protocol = 0;
    int m_tls_type = 0;
    unsigned m_srtp_on = 0;
    char m_sdp_session_id[kSDPSessionSize] = "";
    char m_sdp_session_version[kSDPSessionSize] = "";
    uint16_t m_local_sequence = 1;
    int m_packet_time_ms = 20;
    std::atomic<unsigned> m_remote_vad{0};
    int m_rtp_port_turn = 0;

    static_assert(sizeof(m_local_sip_address) == 256 && sizeof(m_local_rtp_address) == 256 &&
                      sizeof(m_real_rtp_address) == 256,
                  "local addresses hold 255 characters");
    static_assert(sizeof(m_peer_sip_address) == 256 && sizeof(m_peer_rtp_address) == 256,
                  "peer addresses hold 255 characters");
    static_assert(sizeof(m_local_contact) == 512 && sizeof(m_peer_contact) == 512,
                  "contacts hold 511 characters");
    static_assert(sizeof(m_refer_to) == 512 && sizeof(m_transfer_source) == 512 &&
                      sizeof(m_refer_contact) == 512,
                  "transfer data holds 511 characters");
    static_assert(sizeof(m_replaces_call_id) == 512 && sizeof(m_replaces_from_tag) == 512 &&
                      sizeof(m_replaces_to_tag) == 512,
                  "Replaces parts hold 511 characters");
    static_assert(sizeof(m_last_msg_text) == 2048, "last message text holds 2047 characters");
    static_assert(sizeof(m_sdp_session_id) == 40 && sizeof(m_sdp_session_version) == 40,
                  "SDP origin fields hold 39 characters");

    // ---- media helpers (CKZSIPAPICC_media.cpp, CKZSIPAPICC_rtp.cpp) ----
    void AllocRTPPacketBuffer(size_t size);
    void AllocRTPCodecBuffer(size_t size);
    void ResetDSPJB(bool start);
    bool StartRTPSession();
    void ConfigureRTPSession();
    void AdjustRTPDestination();
    void CheckRTPPacket();
    void CheckNoAudio();
    int DecodeAndAddRxFrame();
    void SendRTPPacket();
    // One frame of the send pass: encode and send (or send the pending packet instead). What the
    // frame holds decides whether voice detection sees it.
    enum class TxAudio { Queued, Silence, Bridged };
    void SendFrame(const uint8_t* frame, int length, TxAudio audio);
    // Voice-activity helpers (CKZSIPAPICC_vad.cpp).
    bool SuppressOutFrame(const uint8_t* frame, int length, bool has_audio);
    bool OutVADWanted(const CKZSIPServer* server);
    int VADSamples(const uint8_t* frame, int length);
    void AnalyseInFrame(int channel, int bytes);
    void InVoiceSilentTick(int channel);
    void InVoiceOff(int channel);
    void OutVoiceOff(int channel);
    int SendRTPDataPacket(int payload_type, const uint8_t* data, int length, bool marker,
                          uint32_t timestamp_increment, int count, bool explicit_packet);
    bool PopPendingPacket(PendingPacket& out);
    bool MaySend() const;
    // RTP clock ticks of one frame of the negotiated codec.
    uint32_t FrameTicks() const;
    // A frame held back by silence suppression: the stream's timestamp moves on over it.
    void SkipFrame();
    int FrameBytes() const;
    unsigned FrameTimeMs() const;
    void ApplyGain(KZAPI::KZAGC4State* gain, uint8_t* frame, int length) const;
    void FillSilence(uint8_t* frame, int length) const;
    bool IsOwnRTPOpen() const { return m_rtp_running.load(); }
    bool BindRTPPort();
    void StopRTPSessionKeepingPorts();
    void OpenSRTPContexts();
    // A call that ends leaves no SRTP choice behind: the default suite and a fresh key.
    void ResetSRTP();
    void CloseSRTPContexts();
    int SendSRTPPacket(int payload_type, const uint8_t* data, int length, bool marker,
                       uint32_t timestamp_increment, int count);
    // The channel's relay item when its call is relayed to a peer's, else -1.
    int GetRelayItem() const;

    // ---- call flow helpers ----
    static constexpr size_t kRawInviteSize = 4096;
    // How a received session description changes the call's media.
    enum class SDPKind { Offer, Answer };
    enum class MediaUpdate {
        StoreOnly, // keep the peer's address, payload and direction; the caller opens the socket
        Refresh,   // also close the RTP port on a new payload and open it when closed
        Reopen,    // close and open the RTP port in every case
    };
    enum class MediaResult { Unusable, SocketFailed, Taken };

    // The offered INVITE as the host and a later outbound leg see it.
    char m_via_address[kTextSize] = "";
    char m_dest_address[kTextSize] = "";
    char m_p_asserted_identity[kTextSize] = "";
    char m_p_charging_vector[kTextSize] = "";
    char m_remote_party_id[kTextSize] = "";
    char m_raw_invite[kRawInviteSize] = "";

    // The current message's value of an element (index 0) into a kIEBufferSize buffer.
    bool ReadCurIE(uint32_t element, char* buffer, unsigned size = CKZSIPGroup::kIEBufferSize) const;
    bool CurMsgHasBody() const;
    void StoreDialogIDs();
    bool IsBridged() const;
    CKZSIPAPICC* BridgedPartner() const;
    bool AccountInUse() const;
    void ClearAccount();
    void UseAccount(const kz_sip_user_reg_profile& account);
    void SetCallDTMFPayload(int payload);
    void TakeRemoteDTMFAndVAD(bool from_bridged_partner);
    MediaResult TakePeerMedia(SDPKind kind, MediaUpdate update, bool prefer_current_payload);

    // Outbound.
    bool CanPlaceCall() const;
    void ChooseOutboundAccount(const char* caller_domain, const char* caller_user,
                               const char* server_address);
    void TakeStreamTransport();
    void ApplySRTPTypeOverride();
    void BuildOutboundFrom(const char* caller_ua, char* from, size_t size) const;
    bool TakeNewConnectionID();
    void TakeBridgedDTMFPayload();
    bool ProxyDestination(bool account_allowed, char* address, size_t size, uint16_t& port);
    unsigned SendInvite(const char* from, const char* to, const char* uri, const char* dest_address,
                        uint16_t dest_port, bool log_uri);
    bool RequiresPRACK() const;
    void TakeContactFromProvisional();
    void PassProgressToPartner(CKZSIPAPICC* partner);
    unsigned GiveUpConnect(const char* from, const char* to, const char* uri);
    void BuildRequestURIFromPeer(char* uri, size_t size, bool cut_parameters);

    // Inbound.
    void ParseReplaces(const char* value);
    void MatchInboundAccount(const char* uri, const char* to);
    unsigned SendProvisional(int code, const char* text, KZ_SIP_CALL_STATUS status, unsigned with_sdp);
    void EndReplacedCall();

    // Re-INVITE, hold and transfer.
    void ReportReInviteStatus(int direction);
    unsigned SendHoldReInvite(int direction, KZ_SIP_CALL_STATUS next, const char* sent_log,
                              const char* failed_log);
    void BuildReferTo(const char* target, char* out, size_t size) const;
    void TakeReferTarget(const char* refer_to);
    void ClearTransferFields();
    void OnReferNotifyOutcome(int code, const char* state);

    // ---- composition helpers ----
    // The SIP and RTP address the application gave with SetSIPAndRTPAddr.
    struct ExplicitAddresses {
        char sip_address[kAddressSize] = "";
        uint16_t sip_port = 0;
        char rtp_address[kAddressSize] = "";
        uint16_t rtp_port = 0;
    };
    // Which challenge the next request answers: none, WWW-Authenticate or Proxy-Authenticate.
    enum class Credit { None = 0, WWW = 1, Proxy = 2 };

    uint32_t AddSDPSession(sip_msg* message);
    uint32_t AddSDPOffer(sip_msg* message, const char* method, int direction);
    uint32_t AddSDPAnswer(sip_msg* message, sip_msg* request, int direction);
    void PrepareMediaForSDP(bool offer);
    void NextSDPSessionVersion();
    // The contact with ";transport=tcp" before its closing ">" when the call runs over TCP.
    void ContactForTransport(const char* contact, char* out, size_t size) const;
    uint16_t TransportPort(uint16_t sip_port) const;
    std::string WithTLSPort(const std::string& contact) const;
    uint32_t AddCommonRequestElements(sip_msg* message, const char* method, const char* from, const char* to,
                                      const char* uri, const char* contact);
    uint32_t AddTransferElements(sip_msg* message);
    uint32_t AddTransportElements(sip_msg* message, sip_msg* request);
    uint32_t HandRequestToStack(sip_msg* message, const char* method, const char* address, uint16_t port);
    // Adds credentials and transport to a request of the call's dialog and sends it where the
    // dialog's requests go (a forced destination, the peer's address, or the stack's routing).
    uint32_t SendInDialogRequest(sip_msg* message, const char* method);
    void ResponseDestination(sip_msg* request, char* address, size_t size, uint16_t& port) const;
    const char* LocalAddressOnNetworkOf(const char* destination, char* out, size_t size) const;
    CKZSIPAPICC* ProxyRelatedCallControl() const;
    void DecideProxiedAddresses(CKZSIPGroup* group, CKZSIPGroup::SDP_AND_VIA_ADDR& addr,
                                const char* request_address, const char* local_address);
    void DecidePublicAddresses(CKZSIPGroup* group, CKZSIPGroup::SDP_AND_VIA_ADDR& addr,
                               const char* rtp_address, const char* local_address,
                               const kz_sip_user_reg_profile* account);
    void DecideViaFromAccount(CKZSIPGroup* group, CKZSIPGroup::SDP_AND_VIA_ADDR& addr,
                              const kz_sip_user_reg_profile* account) const;
    void SetSDPToPublicRTPAddress(CKZSIPGroup* group, CKZSIPGroup::SDP_AND_VIA_ADDR& addr,
                                  const char* address, uint16_t port);
    void CopyCredit(sip_msg* request, Credit kind);
    // Release helpers (CKZSIPAPICC_release.cpp).
    // A response to the current message, addressed as the message itself was; the contact is the
    // call's own unless given. 0 when it was handed to the stack.
    unsigned SendResponseToCurrent(int code, const char* text, const char* contact = nullptr,
                                   unsigned with_sdp = 0, int direction = RTP_NO_MEDIA);
    unsigned SendByeInDialog();
    void ContinuePendingTransfer();
    // ResetCallStatus that keeps a pending transfer (refer-to target, source, contact, Replaces)
    // for the DoTransfer that follows a release.
    void ResetKeepingTransfer();
    void ChooseCancelDestination(char* address, size_t size, uint16_t& port);

    std::unique_ptr<ExplicitAddresses> m_explicit_addr;
    // The last challenge's elements, kept for the one request that answers it.
    SIPMessagePtr m_credit_challenge;
    Credit m_credit_pending = Credit::None;
    int m_credit_nonce_count = 0;
};

// The call's media tick: received frames from the jitter buffer are decoded and handed to the
// channel's DSP, the DSP's outgoing audio is encoded and sent, the sender's address is checked
// and silence on the line reported. Runs on the DSP timer threads under the media lock only.
#include "callcontrol/CKZSIPAPICC.h"
#include "media/CKZDXSoundChannel.h"

#include "callcontrol/GRTPSIPCCSession.h"
#include "host/CKZAPIEnv.h"
#include "host/CKZChannel.h"
#include "host/CKZDSP.h"
#include "host/CKZLogInterface.h"
#include "host/KZSecureRandom.h"
#include "host/KZStrFunc.h"
#include "host/KZUDPRelay.h"
#include "media/KZCallCodec.h"
#include "server/CKZSIPServer.h"

#include <algorithm>
#include <cstring>
#include <tuple>
#include <utility>

using KZAPI::CKZLogInterface;

namespace {

constexpr uint64_t kConfirmWindowMs = 1000;
constexpr uint64_t kSwitchWindowEndMs = 5000;
constexpr int kJitterFrameBytes = 2048;
constexpr int kTxBacklogFrames = 10;
constexpr int kTxRingFrames = 16;
constexpr int kMaxFrameMs = 60;
constexpr unsigned kDefaultFrameMs = 20;
constexpr int kG729Code = 18;
constexpr unsigned kG729LongPacketMs = 40;
constexpr int kDefaultJBMinDelay = 2;
constexpr int kDefaultJBMaxDelay = 25;

uint64_t now_ms() {
    return KZAPI::CKZClock::System().TickMs();
}

} // namespace

// ---- buffers and the jitter buffer ----

void CKZSIPAPICC::AllocRTPPacketBuffer(size_t size) {
    if (size > m_packet_buffer.size()) m_packet_buffer.assign(size, 0);
}

void CKZSIPAPICC::AllocRTPCodecBuffer(size_t size) {
    if (size > m_codec_buffer.size()) m_codec_buffer.assign(size, 0);
}

unsigned CKZSIPAPICC::FrameTimeMs() const {
    const unsigned ms = m_rtp_payload.m_uFrameDuration;
    return ms == 0 || ms > kMaxFrameMs ? kDefaultFrameMs : ms;
}

int CKZSIPAPICC::FrameBytes() const {
    return KZAPI::AudioFormatBytes(GetDSPAudioFormat(), FrameTimeMs());
}

void CKZSIPAPICC::ApplyGain(KZAPI::KZAGC4State* gain, uint8_t* frame, int length) const {
    if (!gain || !KZAPI::IsLinearAudioFormat(GetDSPAudioFormat())) return;
    KZAPI::KZ_AGC4_Process(gain, reinterpret_cast<int16_t*>(frame), length / 2);
}

void CKZSIPAPICC::SetAudioGain(float in, float out) {
    KZAPI::CMutexLock media(m_media_mutex);
    for (auto [factor, stored, gain] :
         {std::tuple{in, &m_rx_gain_factor, &m_rx_gain}, std::tuple{out, &m_tx_gain_factor, &m_tx_gain}}) {
        if (factor == *stored) continue;
        *stored = factor;
        gain->reset(factor == 1.0f ? nullptr : KZAPI::KZ_AGC4_Create(factor));
    }
}

void CKZSIPAPICC::FillSilence(uint8_t* frame, int length) const {
    std::memset(frame, SilenceValue(GetDSPAudioFormat()), static_cast<size_t>(length));
}

// Readies the jitter and ring buffers; the caller starts or stops the DSP timer at
// m_dsp_frame_ms once it holds no media lock (stopping waits for a running tick).
void CKZSIPAPICC::ResetDSPJB(bool start) {
    const CKZSIPServer* server = Server();
    const bool long_g729 = KZAPI::PayloadCodecCode(m_rtp_payload) == kG729Code &&
                           m_packet_time_ms >= static_cast<int>(kG729LongPacketMs);
    const unsigned frame_ms = long_g729 ? static_cast<unsigned>(m_packet_time_ms) : FrameTimeMs();
    const int frame_bytes = KZAPI::AudioFormatBytes(GetDSPAudioFormat(), frame_ms);
    if (!m_jitter) m_jitter.reset(KZAPI::KZ_JB_Create());
    KZAPI::KZ_JB_ResetAll(m_jitter.get(), server ? server->GetJBMinDelay() : kDefaultJBMinDelay,
                          server ? server->GetJBMaxDelay() : kDefaultJBMaxDelay, frame_bytes,
                          static_cast<int>(frame_ms), server && server->GetJBAdaptive() ? 1 : 0);
    const int ring_bytes =
        kTxRingFrames * KZAPI::AudioFormatBytes(KZAPI::KZ_AUDIO_FORMAT_LINEAR16, kMaxFrameMs);
    if (!m_tx_ring) m_tx_ring.reset(KZAPI::KZ_RTMB_Create(ring_bytes));
    KZAPI::KZ_RTMB_Reset(m_tx_ring.get());
    if (m_rx_ring) KZAPI::KZ_RTMB_Reset(m_rx_ring.get());
    m_frame_buffer.resize(
        static_cast<size_t>(KZAPI::AudioFormatBytes(KZAPI::KZ_AUDIO_FORMAT_LINEAR16, kMaxFrameMs)));
    m_dsp_frame_ms = start ? frame_ms : 0;
}

// ---- receive path ----

int CKZSIPAPICC::AddRTPPacketToRxJB(uint16_t sequence, uint32_t timestamp, const uint8_t* payload,
                                    int length) {
    m_last_rx_tick.store(now_ms());
    if (!KZAPI::KZ_JB_AddFrame(m_jitter.get(), sequence, timestamp, payload, length)) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "Frame(%u, %u, %d) cannot be added into RxJB!",
                             sequence, timestamp, length);
        return 0;
    }
    return length;
}

void CKZSIPAPICC::CheckRTPPacketFromAddr(int /*length*/, const char* address, uint16_t port, uint64_t ms,
                                         uint32_t ssrc) {
    // Runs inside the session's packet hook, under the session mutex that guards these fields.
    if (!m_expected_address[0] || m_expected_port == 0) return;
    if (std::strcmp(address, m_expected_address) == 0 && port == m_expected_port) {
        if (ms < kConfirmWindowMs) {
            m_source_confirmed.store(true);
            m_remote_ssrc.store(ssrc);
        } else if (m_remote_ssrc.load() == 0) {
            m_remote_ssrc.store(ssrc);
        }
        return;
    }
    if (ms < kConfirmWindowMs || ms >= kSwitchWindowEndMs) return;
    CKZLogInterface::Log(
        CKZLogInterface::LOG_ERROR,
        "Expected RTP Packet from %s:%d, but the real sender is %s:%d! Switched to send real "
        "address RTP packet!",
        m_expected_address, m_expected_port, address, port);
    KZAPI::str_cpy(m_switch_address, address, sizeof(m_switch_address));
    m_switch_port = port;
    KZAPI::str_cpy(m_expected_address, address, sizeof(m_expected_address));
    m_expected_port = port;
    m_switch_pending.store(true);
    if (!m_source_confirmed.load()) m_remote_ssrc.store(ssrc);
}

void CKZSIPAPICC::OnRelayRTPPackage(const uint8_t* data, int length) {
    KZAPI::KZRTPPacket packet;
    if (length <= KZAPI::KZRTPPacket::kHeaderBytes || !packet.Parse(data, length)) return;
    const int direction = m_rtp_direction;
    if (direction != RTP_SENDRECV && direction != RTP_RECVONLY) return;
    if (m_dtmf_payload >= 0 && packet.GetPayloadType() == m_dtmf_payload) OnRTPDTMFPacket(packet);
}

void CKZSIPAPICC::CheckRTPPacket() {
    if (m_rtp_running.load()) m_rtp_session->CheckPacket();
    CheckNoAudio();
}

void CKZSIPAPICC::CheckNoAudio() {
    const uint64_t last = m_last_rx_tick.load();
    if (last == 0 || m_remote_vad != 0 || GetCallStatus() != CALL_STATUS_CONNECTED) return;
    const KZ_SIP_CALL_STATUS sip = GetSIPStatus();
    if (sip == SIP_CALL_HELD || sip == SIP_CALL_REMOTE_HELD) return;
    const CKZSIPServer* server = Server();
    const uint64_t duration = static_cast<uint64_t>(server ? server->GetRecvNoAudioDuration() : 2000);
    const uint64_t now = now_ms();
    const uint64_t since = now > last ? now - last : last - now;
    if (since < duration) return;
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "On_RecvNoAudio(%d)", ChannelNumber());
    KZAPI::CKZAPIEnv::GetKZAPIEnv()->FireOn_RecvNoAudio(ChannelNumber(), 0);
    m_last_rx_tick.store(now);
}

int CKZSIPAPICC::DecodeAndAddRxFrame() {
    if (m_codec_buffer.empty() || !m_jitter) return 0;
    const CKZSIPServer* server = Server();
    const int get_all = server && server->GetJBGetAllData() ? 1 : 0;
    uint8_t frame[kJitterFrameBytes];
    static_assert(sizeof(frame) >= KZAPI::KZ_JB_MAX_FRAME_BYTES, "a jitter-buffer frame fits");
    for (;;) {
        uint16_t sequence = 0;
        uint32_t timestamp = 0;
        const int length =
            KZAPI::KZ_JB_GetFrame(m_jitter.get(), frame, sizeof(frame), get_all, &sequence, &timestamp);
        if (length <= 0) break;
        const int decoded =
            RTPPayload2AudioFormatCode(m_rtp_payload, m_codec->Decoder(), frame, length, GetDSPAudioFormat(),
                                       m_codec_buffer.data(), static_cast<int>(m_codec_buffer.size()));
        if (decoded <= 0) continue;
        ApplyGain(m_rx_gain.get(), m_codec_buffer.data(), decoded);
        AddRxFrame(sequence, timestamp, m_codec_buffer.data(), decoded, 1);
    }
    return 0;
}

void CKZSIPAPICC::OnRxBufArrived(uint16_t /*sequence*/, uint32_t /*timestamp*/, const uint8_t* data,
                                 int length) {
    const CKZSIPServer* server = Server();
    const bool in_vad = (server && server->IsOnInVAD()) || GetInVAD();
    if (in_vad && m_rx_ring && GetCallStatus() == CALL_STATUS_CONNECTED)
        KZAPI::KZ_RTMB_PutData(m_rx_ring.get(), data, length);
}

// ---- send path ----

void CKZSIPAPICC::OnTxBufArrived(uint16_t /*sequence*/, uint32_t /*timestamp*/, const uint8_t* data,
                                 int length) {
    if (m_tx_ring) KZAPI::KZ_RTMB_PutData(m_tx_ring.get(), data, length);
}

bool CKZSIPAPICC::MaySend() const {
    const int direction = m_rtp_direction;
    const int forced = m_rtp_force_dir;
    const bool peer_receives = direction == RTP_SENDRECV || direction == RTP_SENDONLY;
    return peer_receives && forced != RTP_SENDONLY && forced != RTP_RECVONLY && forced != RTP_NO_MEDIA;
}

void CKZSIPAPICC::SendRTPPacket() {
    if (m_packet_buffer.empty() || m_codec_buffer.empty() || !m_rtp_running.load() || !m_tx_ring) return;
    const int bytes = FrameBytes();
    if (bytes <= 0 || bytes > static_cast<int>(m_frame_buffer.size())) return;
    uint8_t* frame = m_frame_buffer.data();
    const KZAPI::CKZChannel* channel = GetChannel();
    const bool bridged = channel && channel->IsConnected();
    // The sound device's frames come on its own clock, so they are sent as they come, in bursts.
    const auto* sound = dynamic_cast<const CKZDXSoundChannel*>(channel);
    const bool on_sound = sound && sound->IsDXSoundOpen();
    if (!bridged && !on_sound) {
        // One frame per tick: the audio queued for sending, or silence when there is none.
        FillSilence(frame, bytes);
        const bool queued = KZAPI::KZ_RTMB_GetDataSize(m_tx_ring.get()) >= bytes;
        if (queued) KZAPI::KZ_RTMB_GetData(m_tx_ring.get(), frame, bytes);
        ApplyGain(m_tx_gain.get(), frame, bytes);
        SendFrame(frame, bytes, queued ? TxAudio::Queued : TxAudio::Silence);
        return;
    }
    const int buffered = KZAPI::KZ_RTMB_GetDataSize(m_tx_ring.get());
    const bool backlog =
        on_sound ? buffered >= kTxBacklogFrames * bytes : buffered > kTxBacklogFrames * bytes;
    if (backlog) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "Giving up %d bytes to make outgoing rtp in time!",
                             buffered);
        KZAPI::KZ_RTMB_Reset(m_tx_ring.get());
        return;
    }
    while (m_rtp_running.load() && KZAPI::KZ_RTMB_GetDataSize(m_tx_ring.get()) >= bytes) {
        KZAPI::KZ_RTMB_GetData(m_tx_ring.get(), frame, bytes);
        ApplyGain(m_tx_gain.get(), frame, bytes);
        SendFrame(frame, bytes, TxAudio::Bridged);
    }
}

void CKZSIPAPICC::SendFrame(const uint8_t* frame, int length, TxAudio audio) {
    // Bridged audio is another call's: its silences are that call's to judge.
    if (audio != TxAudio::Bridged && SuppressOutFrame(frame, length, audio == TxAudio::Queued)) {
        if (MaySend()) SkipFrame();
        return;
    }
    if (!MaySend()) return;
    const int encoded =
        AudioFormatCode2RTPPayload(GetDSPAudioFormat(), frame, length, m_rtp_payload, m_codec->Encoder(),
                                   m_packet_buffer.data(), static_cast<int>(m_packet_buffer.size()));
    if (encoded <= 0) return;
    PendingPacket& pending = m_pending[m_pending_head];
    if (m_pending_count > 0) {
        m_pending_head = (m_pending_head + 1) % kPendingPacketSlots;
        --m_pending_count;
        if (pending.length > 0) {
            SendRTPDataPacket(pending.payload_type, pending.payload, pending.length, pending.marker,
                              pending.timestamp_increment, pending.count, true);
            return;
        }
    }
    // The first frame after held-back silence starts a talkspurt: marked, on its own timestamp.
    const bool talkspurt = std::exchange(m_talkspurt_pending, false);
    SendRTPDataPacket(static_cast<int>(m_rtp_payload.m_uPayload), m_packet_buffer.data(), encoded, talkspurt,
                      FrameTicks(), 1, talkspurt);
}

uint32_t CKZSIPAPICC::FrameTicks() const {
    return m_rtp_payload.m_uClockRate / 1000 * FrameTimeMs();
}

void CKZSIPAPICC::SkipFrame() {
    m_talkspurt_pending = true;
    if (m_srtp_active.load() && m_srtp.CanProtect())
        m_srtp.SkipFrame(FrameTicks());
    else
        m_rtp_session->SkipFrame(FrameTicks());
}

int CKZSIPAPICC::SendRTPDataPacket(int payload_type, const uint8_t* data, int length, bool marker,
                                   uint32_t timestamp_increment, int count, bool explicit_packet) {
    if (m_srtp_active.load() && m_srtp.CanProtect()) {
        if (!explicit_packet) timestamp_increment = FrameTicks();
        return SendSRTPPacket(payload_type, data, length, explicit_packet && marker, timestamp_increment,
                              explicit_packet ? count : 1);
    }
    if (explicit_packet)
        return m_rtp_session->SendPacket(data, length, static_cast<uint8_t>(payload_type), marker,
                                         timestamp_increment, count);
    return m_rtp_session->SendPacket(data, length, 1);
}

bool CKZSIPAPICC::QueuePendingPacket(const uint8_t* payload, int length, int payload_type, bool marker,
                                     uint32_t timestamp_increment, int count) {
    if (length < 0 || length > kPendingPacketBytes || (length > 0 && !payload)) return false;
    KZAPI::CMutexLock media(m_media_mutex);
    if (m_pending_count >= kPendingPacketSlots) return false;
    PendingPacket& entry = m_pending[(m_pending_head + m_pending_count) % kPendingPacketSlots];
    if (length > 0) std::memcpy(entry.payload, payload, static_cast<size_t>(length));
    entry.length = length;
    entry.payload_type = payload_type;
    entry.marker = marker;
    entry.timestamp_increment = timestamp_increment;
    entry.count = count < 1 ? 1 : count;
    ++m_pending_count;
    return true;
}

// The media follows the address the peer really sends from; the signalling record keeps what
// the SDP said. The tick never takes the call lock: signalling waits for the tick to stop while
// holding it.
void CKZSIPAPICC::AdjustRTPDestination() {
    if (!m_switch_pending.load() || m_source_confirmed.load()) return;
    char address[kAddressSize] = "";
    uint16_t port = 0;
    {
        KZAPI::CMutexLock session(m_rtp_session->GetSessionMutex());
        KZAPI::str_cpy(address, m_switch_address, sizeof(address));
        port = m_switch_port;
        m_switch_pending.store(false);
    }
    if (!address[0] || port == 0) return;
    KZAPI::CMutexLock media(m_media_mutex);
    m_rtp_session->ClearDestinations();
    m_rtp_session->AddDestination(address, port);
}

// ---- the tick ----

void CKZSIPAPICC::OnDSPTimer() {
    AdjustRTPDestination();
    {
        KZAPI::CMutexLock media(m_media_mutex);
        if (!m_rtp_running.load()) return;
        CheckRTPPacket();
        DecodeAndAddRxFrame();
        DetectInVoiceActivity(ChannelNumber(), Server());
        SendRTPPacket();
    }
    SendKeepAliveMsgForOutboundCall();
}

void CKZSIPAPICC::CreateNewLocalRtpSSRC() {
    uint32_t ssrc = 0;
    while (ssrc == 0)
        ssrc = KZAPI::KZ_SecureRandomU32();
    m_local_ssrc = ssrc;
}

bool CKZSIPAPICC::GetMediaStats(MediaStats* stats) {
    if (!stats) return false;
    *stats = MediaStats{};
    KZAPI::CMutexLock media(m_media_mutex);
    stats->running = m_rtp_running.load();
    const KZAPI::KZRTPStats rtp = m_rtp_session->GetStats();
    stats->packets_sent = rtp.packets_sent;
    stats->packets_received = rtp.packets_received;
    stats->packets_lost = rtp.packets_lost;
    stats->jitter_ms = rtp.jitter_ms;
    stats->remote_fraction_lost = rtp.remote_fraction_lost;
    stats->remote_jitter_ms = rtp.remote_jitter_ms;
    if (m_jitter) {
        KZAPI::KZ_JB_STATS jb;
        KZAPI::KZ_JB_GetStats(m_jitter.get(), &jb);
        stats->frames_concealed = jb.concealed;
        stats->frames_late = jb.late;
        stats->jitter_delay_frames = jb.delay_frames;
    }
    return true;
}

int CKZSIPAPICC::GetRelayItem() const {
    const KZAPI::CKZChannel* channel = GetChannel();
    return channel ? channel->GetRelayItem() : KZAPI::KZ_RELAY_INVALID_HANDLE;
}

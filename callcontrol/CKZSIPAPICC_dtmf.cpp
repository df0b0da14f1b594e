// DTMF of the call: RFC 2833 events queued for the send pass and taken from the receive path,
// and dtmf-relay INFO requests both ways.
#include "callcontrol/CKZSIPAPICC.h"

#include "callcontrol/CKZSIPDTMFControl.h"
#include "host/CKZCfgInterface.h"
#include "host/CKZChannel.h"
#include "host/CKZClock.h"
#include "host/CKZLogInterface.h"
#include "host/KZRTPPacket.h"
#include "host/KZStrFunc.h"
#include "server/CKZSIPServer.h"
#include "server/SIPMessagePtr.h"
#include "sipmsg/kz_sip_defs.h"

#include <algorithm>
#include <cstdlib>

using KZAPI::CKZLogInterface;

namespace {

constexpr int kDefaultKeyMs = 120;
constexpr uint8_t kVolume = 10;
constexpr uint8_t kEndBitAndVolume = 0x80 | kVolume;
constexpr int kEndPacketCopies = 3;
constexpr int kSeparatorFrames = 2;
constexpr int kFallbackDTMFPayload = 101;
constexpr uint32_t kMaxDurationField = 0xFFFF;

CKZSIPDTMFControl* dtmf_of(const KZAPI::CKZChannel* channel) {
    return channel ? dynamic_cast<CKZSIPDTMFControl*>(channel->GetDTMFControl()) : nullptr;
}

} // namespace

void CKZSIPAPICC::OnRTPDTMFPacket(const KZAPI::KZRTPPacket& packet) {
    m_last_rx_tick.store(KZAPI::CKZClock::System().TickMs()); // events count as received audio
    if (CKZSIPDTMFControl* dtmf = dtmf_of(GetChannel()))
        dtmf->OnRxRFC2833DTMF(packet.GetPayloadData(), packet.GetPayloadLength(), packet.GetSequenceNumber(),
                              packet.GetTimestamp(), packet.GetMarker());
}

// Each digit becomes key-duration / frame-time event packets, each in place of one audio frame:
// all with the timestamp of the digit's first frame and a duration growing by a frame; the first
// (marker) and the last (end bit) go three times. The timestamp moves on after the last by the
// frames the event covered, and two audio frames follow before the next digit.
int CKZSIPAPICC::SendRTPDTMFString(const char* digits) {
    if (!digits) return 0;
    const int key_ms = KZAPI::CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.dtmf.key.duration", kDefaultKeyMs);
    const CKZSIPServer* server = Server();
    int result = 1;
    KZAPI::CMutexLock media(m_media_mutex);
    const unsigned frame_ms = FrameTimeMs();
    const uint32_t clock_per_ms = m_rtp_payload.m_uClockRate >= 1000 ? m_rtp_payload.m_uClockRate / 1000 : 8;
    const uint32_t frame_units = clock_per_ms * frame_ms;
    const int packets = key_ms > 0 ? key_ms / static_cast<int>(frame_ms) : 0;
    const int payload_type = m_dtmf_payload >= 0
                                 ? m_dtmf_payload
                                 : (server ? server->GetDefaultDTMFPayload() : kFallbackDTMFPayload);
    for (const char* c = digits; *c; ++c) {
        const int code = CKZSIPDTMFControl::EventCodeOfKey(*c);
        if (code < 0) {
            CKZLogInterface::Log(CKZLogInterface::LOG_WARNING, "CKZSIPAPICC::SendRTPDTMFString skips '%c'",
                                 *c);
            continue;
        }
        if (!m_rtp_running.load()) {
            result = 0;
            continue;
        }
        if (kPendingPacketSlots - m_pending_count < packets + kSeparatorFrames) {
            CKZLogInterface::Log(CKZLogInterface::LOG_WARNING,
                                 "CKZSIPAPICC::SendRTPDTMFString no room for digit '%c'", *c);
            result = 0;
            break;
        }
        for (int i = 0; i < packets; ++i) {
            const bool first = i == 0;
            const bool last = i == packets - 1;
            const uint32_t duration = std::min(static_cast<uint32_t>(i + 1) * frame_units, kMaxDurationField);
            const uint8_t event[4] = {static_cast<uint8_t>(code), last ? kEndBitAndVolume : kVolume,
                                      static_cast<uint8_t>(duration >> 8), static_cast<uint8_t>(duration)};
            QueuePendingPacket(event, sizeof(event), payload_type, first,
                               last ? static_cast<uint32_t>(packets) * frame_units : 0,
                               first || last ? kEndPacketCopies : 1);
        }
        for (int i = 0; i < kSeparatorFrames; ++i)
            QueuePendingPacket(nullptr, 0, 0, false, 0, 1);
    }
    return result;
}

bool CKZSIPAPICC::SendSIPInfo(char digit, int duration_ms) {
    KZAPI::CMutexLock lock(GetCallMutex());
    if (GetSIPConnID() == 0) return false;
    sip_msg* raw = nullptr;
    if (CKZSIPGroup::AllocMessage(&raw) != 0 || !raw) return false;
    const SIPMessagePtr message(raw);
    char from[kTextSize], to[kTextSize], uri[kTextSize];
    BuildSIPFromAndToStr(from, sizeof(from), to, sizeof(to));
    BuildSIPRequestURI(m_peer_contact, uri, sizeof(uri));
    char signal[2] = {digit, '\0'};
    char duration[16];
    KZAPI::s_printf(duration, sizeof(duration), "%d", duration_ms);
    uint32_t result = AddCommonRequestElements(raw, "INFO", from, to, uri, m_local_contact);
    result |= CKZSIPGroup::MSG_SetIE_STR(raw, KZ_IE_DTMF_RELAY_SIGNAL, 0, signal);
    result |= CKZSIPGroup::MSG_SetIE_STR(raw, KZ_IE_DTMF_RELAY_DURATION, 0, duration);
    return result == 0 && SendInDialogRequest(raw, "INFO") == 0;
}

unsigned CKZSIPAPICC::OnInfo(CKZSIPGroup*) {
    char signal[CKZSIPGroup::kIEBufferSize];
    char duration[CKZSIPGroup::kIEBufferSize];
    char cseq[CKZSIPGroup::kIEBufferSize];
    if (!ReadCurIE(KZ_IE_DTMF_RELAY_SIGNAL, signal) || !ReadCurIE(KZ_IE_SIP_CSEQ_NUMBER, cseq)) return 0;
    ReadCurIE(KZ_IE_DTMF_RELAY_DURATION, duration);
    CKZSIPDTMFControl* dtmf = dtmf_of(GetChannel());
    if (!dtmf) return 0;
    dtmf->OnRxSIPInfo(signal, duration, static_cast<uint32_t>(std::strtoul(cseq, nullptr, 10)));
    return 1;
}

void CKZSIPAPICC::SetChannelDTMFDetection(bool on) {
    CKZSIPDTMFControl* dtmf = dtmf_of(GetChannel());
    if (!dtmf) return;
    if (on)
        dtmf->EnableDTMFDetection();
    else
        dtmf->DisableDTMFDetection();
}

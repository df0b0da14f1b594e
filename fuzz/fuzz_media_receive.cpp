// Feeds arbitrary datagrams down a call's receive path as the media tick runs it: the RTP view,
// telephone events and RTCP told apart, audio frames through the jitter buffer and decoded by the
// negotiated codec into every DSP format. The first input byte picks the codec, then each
// datagram comes as a 2-byte big-endian length and its bytes.
#include "host/CKZClock.h"
#include "host/CKZDSP.h"
#include "host/CKZLogInterface.h"
#include "host/KZJitterBuffer.h"
#include "host/KZRTCP.h"
#include "host/KZRTPPacket.h"
#include "host/KZRTPPayload.h"
#include "media/CKZSIPDSPApp.h"
#include "media/KZCallCodec.h"

#include <cstdint>
#include <cstring>

using namespace KZAPI;

namespace {

constexpr const char* kCodecs[] = {"0",
                                   "8",
                                   "3",
                                   "4",
                                   "9",
                                   "18",
                                   "rtpmap:96 G726-32/8000",
                                   "rtpmap:97 speex/8000",
                                   "rtpmap:98 iLBC/8000",
                                   "rtpmap:99 AMR/8000",
                                   "rtpmap:100 opus/48000/2"};
constexpr int kTelephoneEvent = 101;
constexpr int kFormats[] = {KZ_AUDIO_FORMAT_ULAW, KZ_AUDIO_FORMAT_ALAW, KZ_AUDIO_FORMAT_LINEAR16};

void decode_due_frames(KZ_JB_HANDLE jb, const StaticPayloadInfo& info, void* decoder) {
    uint8_t frame[2048];
    uint8_t pcm[8192];
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    for (int length; (length = KZ_JB_GetFrame(jb, frame, sizeof(frame), 1, &sequence, &timestamp)) > 0;) {
        if (length > static_cast<int>(sizeof(frame))) __builtin_trap();
        for (int format : kFormats) {
            const int out = CKZSIPDSPApp::RTPPayload2AudioFormatCode(info, decoder, frame, length, format,
                                                                     pcm, sizeof(pcm));
            if (out > static_cast<int>(sizeof(pcm))) __builtin_trap();
        }
    }
}

void take_datagram(const uint8_t* data, int length, int payload_type, KZ_JB_HANDLE jb) {
    if (KZ_IsRTCPPacket(data, length)) {
        KZRTCPCompound report;
        if (KZ_ParseRTCP(data, length, &report)) {
            char text[1024];
            KZ_FormatRTCP(report, 0x1234, 8000, 0, text, sizeof(text));
        }
        return;
    }
    KZRTPPacket packet;
    if (!packet.Parse(data, length)) return;
    if (packet.GetPayloadType() == kTelephoneEvent) return; // events go to the DTMF control
    if (packet.GetPayloadType() != payload_type) return;
    KZ_JB_AddFrame(jb, packet.GetSequenceNumber(), packet.GetTimestamp(), packet.GetPayloadData(),
                   packet.GetPayloadLength());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        CKZLogInterface::SetMaxLevel(0);
        return true;
    }();
    (void)quiet;
    if (size < 1) return 0;
    StaticPayloadInfo info;
    if (!getRTPPayloadInfo(kCodecs[data[0] % (sizeof(kCodecs) / sizeof(kCodecs[0]))], &info)) return 0;
    KZCallCodec codec;
    codec.Open(info, KZCodecSettings{});
    KZ_JB_HANDLE jb = KZ_JB_Create();
    KZ_JB_ResetAll(jb, 2, 25, 320, static_cast<int>(info.m_uFrameDuration), 1);
    size_t at = 1;
    while (at + 2 <= size) {
        const size_t length = static_cast<size_t>(data[at]) << 8 | data[at + 1];
        at += 2;
        const size_t take = length < size - at ? length : size - at;
        take_datagram(data + at, static_cast<int>(take), static_cast<int>(info.m_uPayload), jb);
        at += take;
        decode_due_frames(jb, info, codec.Decoder());
    }
    KZ_JB_Destroy(jb);
    return 0;
}

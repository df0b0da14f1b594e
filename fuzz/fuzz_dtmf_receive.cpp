// Feeds digits in every form a call receives them into the DTMF application of a connected call
// whose channel is joined to a second one (which is sent each digit again): telephone-event
// packets through the call's RTP entry, dtmf-relay INFO requests parsed and handed to the call as
// the dispatch does, received audio for the tone detector, and the passing of time (stale events,
// forwarded INFO sent on the timer turn). Every reported digit must be a key and every duration
// one the input can give.
//
// Input: the first byte picks the two channels' DTMF methods and whether they are joined; then
// records of a kind byte, a 2-byte big-endian length and that many bytes.
#include "callcontrol/CKZSIPAPICC.h"
#include "callcontrol/CKZSIPAPIChan.h"
#include "callcontrol/CKZSIPDTMFControl.h"
#include "host/CKZClassEnv.h"
#include "host/CKZClock.h"
#include "host/CKZLogInterface.h"
#include "host/CKZMediaEventSink.h"
#include "host/KZRTPPacket.h"
#include "server/SIPMessagePtr.h"
#include "server/kz_sip_factory.h"
#include "sipmsg/KZSIPEvent.h"
#include "sipmsg/sip_msg.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Digits are keys; an event's length is at most its 16-bit duration field, an INFO one a minute.
class CheckingSink final : public KZAPI::CKZMediaEventSink {
public:
    void OnDTMFDigit(int, char digit, unsigned duration_ms, const char* method) override {
        if (!digit || !std::strchr("0123456789*#ABCDX", digit)) __builtin_trap();
        if (duration_ms > 60000 || !method) __builtin_trap();
    }
    void OnDTMFDone(int, int, const char*) override {}
    void OnPlayDone(int, int, const char*) override {}
    void OnRecordDone(int, int, const char*) override {}
    void OnToneDetected(int, const char*, int) override {}
};

struct Call {
    KZAPI::CKZChannel* channel = nullptr;
    CKZSIPAPICC* cc = nullptr;
    CKZSIPDTMFControl* dtmf = nullptr;
};

KZAPI::CKZManualClock& fuzz_clock() {
    static KZAPI::CKZManualClock clock;
    return clock;
}

Call make_call(int number) {
    Call call;
    call.channel = static_cast<KZAPI::CKZChannel*>(KZAPI_Alloc_Class_PRC(KZ_CLASS_SIP_CHANNEL));
    call.channel->SetChannelNumber(number);
    call.channel->Create();
    call.channel->Start();
    call.cc = dynamic_cast<CKZSIPAPIChan*>(call.channel)->GetSIPCallControl();
    call.dtmf = dynamic_cast<CKZSIPDTMFControl*>(call.channel->GetDTMFControl());
    call.dtmf->SetDTMFClock(&fuzz_clock());
    call.cc->SetStatus(KZAPI::CKZCall::CALL_STATUS_CONNECTED);
    call.cc->SetSIPStatus(SIP_CALL_CONNECTED);
    call.cc->SetSIPConnID(static_cast<uint32_t>(40 + number));
    return call;
}

struct Calls {
    Call a, b;
};

Calls& fuzz_calls() {
    static Calls* calls = [] {
        const char* level = std::getenv("KZ_FUZZ_LOG");
        KZAPI::CKZLogInterface::SetMaxLevel(level ? static_cast<unsigned>(std::atoi(level)) : 0);
        KZAPI::AfxGetClassEnv()->SetEntry("allocate", reinterpret_cast<void*>(&KZAPI_Alloc_Class_PRC));
        KZAPI::AfxGetClassEnv()->SetEntry("free", reinterpret_cast<void*>(&KZAPI_Free_Class_PRC));
        static CheckingSink sink;
        KZAPI::CKZMediaEventSink::SetMediaEventSink(&sink);
        auto* made = new Calls{make_call(0), make_call(1)};
        return made;
    }();
    return *calls;
}

void feed_event(Call& call, const uint8_t* data, size_t size) {
    if (size < 7) return;
    const uint16_t sequence = static_cast<uint16_t>(data[0] << 8 | data[1]);
    const uint32_t timestamp = static_cast<uint32_t>(data[2]) << 24 | static_cast<uint32_t>(data[3]) << 16 |
                               static_cast<uint32_t>(data[4]) << 8 | data[5];
    uint8_t packet[KZAPI::KZRTPPacket::kHeaderBytes + 512];
    const size_t payload = std::min(size - 7, sizeof(packet) - KZAPI::KZRTPPacket::kHeaderBytes);
    const int length = KZAPI::KZRTPPacket::Write(packet, sizeof(packet), 101, (data[6] & 1) != 0, sequence,
                                                 timestamp, 0x5eed, data + 7, static_cast<int>(payload));
    KZAPI::KZRTPPacket parsed;
    if (length > 0 && parsed.Parse(packet, length)) call.cc->OnRTPDTMFPacket(parsed);
}

void feed_info(Call& call, const uint8_t* data, size_t size) {
    if (size < 2) return;
    const std::string body(reinterpret_cast<const char*>(data + 2), size - 2);
    std::string text =
        "INFO sip:KZAPISIPUA-CH0@127.0.0.1 SIP/2.0\r\n"
        "Via: SIP/2.0/UDP 127.0.0.1:5062;branch=z9hG4bK-fz\r\n"
        "From: <sip:peer@127.0.0.1>;tag=p\r\nTo: <sip:ch0@127.0.0.1>;tag=c\r\n"
        "Call-ID: fuzz-dtmf@127.0.0.1\r\nCSeq: " +
        std::to_string(data[0] << 8 | data[1]) +
        " INFO\r\nContent-Type: application/dtmf-relay\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\n\r\n" + body;
    SIPMessagePtr message = AllocSIPMessage();
    if (!message) return;
    KZSIPEvent event{};
    message->init_from_buf(text.data(), &event);
    event.event_type = KZ_EVENT_SIP_MESSAGE_REQUEST;
    call.cc->SetCurSIPMsg(&event, message.release(), "127.0.0.1", 5062, 0);
    call.cc->OnInfo(nullptr);
}

void pass_time(Calls& calls, const uint8_t* data, size_t size) {
    fuzz_clock().AdvanceMs(size >= 2 ? (data[0] << 8 | data[1]) : 20);
    for (Call* call : {&calls.a, &calls.b}) {
        call->dtmf->OnDSPTimer();
        call->dtmf->GetAppTimer().SetClock(&fuzz_clock());
        call->dtmf->GetAppTimer().CheckEveryTimer();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    Calls& calls = fuzz_calls();
    calls.a.cc->SetDTMFMethod(data[0] & 3);
    calls.b.cc->SetDTMFMethod((data[0] >> 2) & 3);
    const bool joined = (data[0] & 0x10) != 0;
    auto* a = dynamic_cast<CKZSIPAPIChan*>(calls.a.channel);
    if (joined) a->FullDuplexConnect(calls.b.channel);
    calls.a.dtmf->EnableDTMFDetection();
    calls.b.dtmf->EnableDTMFDetection();
    size_t at = 1;
    while (at + 3 <= size) {
        const uint8_t kind = data[at];
        const size_t length = static_cast<size_t>(data[at + 1]) << 8 | data[at + 2];
        at += 3;
        const size_t take = length < size - at ? length : size - at;
        switch (kind % 4) {
        case 0:
            feed_event(calls.a, data + at, take);
            break;
        case 1:
            feed_info(calls.a, data + at, take);
            break;
        case 2:
            calls.a.dtmf->OnRxBufArrived(0, 0, data + at, static_cast<int>(take));
            break;
        default:
            pass_time(calls, data + at, take);
            break;
        }
        at += take;
    }
    calls.a.dtmf->DisableDTMFDetection();
    calls.b.dtmf->DisableDTMFDetection();
    if (joined) a->FullDuplexDisconnect();
    return 0;
}

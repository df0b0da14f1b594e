// DTMF on a live call: a server on loopback answers a call from a raw UDP peer on 127.0.0.1
// through the real dispatch, and the peer sends telephone events, INFO requests and tones to it
// and takes what the call sends. Digits are heard through the media event sink; the DTMF
// control's clock is a manual one, so the durations reported come from the packets and the audio.
#include "callcontrol/CKZSIPAPICC.h"
#include "callcontrol/CKZSIPAPIChan.h"
#include "callcontrol/CKZSIPAPISpan.h"
#include "callcontrol/CKZSIPDTMFControl.h"
#include "host/CKZCfgInterface.h"
#include "host/CKZClassEnv.h"
#include "host/CKZClock.h"
#include "host/CKZLogInterface.h"
#include "host/CKZMediaEventSink.h"
#include "host/KZRTPPacket.h"
#include "host/audiocodec/KZAudioCodec.h"
#include "host/audiotools/KZDTMF.h"
#include "server/CKZSIPServer.h"
#include "server/kz_sip_factory.h"
#include "support/log_capture.h"
#include "support/sip_peer.h"
#include "support/sip_requests.h"
#include "support/sip_server.h"

#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

using KZAPI::CKZCfgInterface;
using kztest::header_value;

namespace {

struct Digit {
    char key;
    unsigned duration_ms;
    std::string method;
};

class DigitSink : public KZAPI::CKZMediaEventSink {
public:
    void OnDTMFDigit(int, char digit, unsigned duration_ms, const char* method) override {
        std::lock_guard lock(m_mutex);
        m_digits.push_back({digit, duration_ms, method});
        m_cv.notify_all();
    }
    void OnDTMFDone(int, int, const char*) override {}
    void OnPlayDone(int, int, const char*) override {}
    void OnRecordDone(int, int, const char*) override {}
    void OnToneDetected(int, const char*, int) override {}

    // Waits for a digit `key` and returns every digit heard up to it (taken off the list).
    std::vector<Digit> Until(char key, int timeout_ms = 3000) {
        std::unique_lock lock(m_mutex);
        std::vector<Digit> out;
        const bool seen = m_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
            for (const Digit& d : m_digits)
                if (d.key == key) return true;
            return false;
        });
        if (!seen) return {{'?', 0, "timeout waiting for " + std::string(1, key)}};
        while (!m_digits.empty()) {
            out.push_back(m_digits.front());
            m_digits.erase(m_digits.begin());
            if (out.back().key == key) break;
        }
        return out;
    }
    std::vector<Digit> Take() {
        std::lock_guard lock(m_mutex);
        return std::exchange(m_digits, {});
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<Digit> m_digits;
};

std::string keys(const std::vector<Digit>& digits) {
    std::string out;
    for (const Digit& d : digits)
        out += std::string(1, d.key) + ":" + std::to_string(d.duration_ms) + ":" + d.method + " ";
    return out;
}

// An RTP packet from the peer, and one the peer received, through the host's RTP packet (checked
// byte for byte in the RTP tests).
std::string rtp(int payload_type, bool marker, uint16_t sequence, uint32_t timestamp,
                const std::string& payload) {
    std::string p(KZAPI::KZRTPPacket::kHeaderBytes + payload.size(), '\0');
    KZAPI::KZRTPPacket::Write(reinterpret_cast<uint8_t*>(p.data()), static_cast<int>(p.size()),
                              static_cast<uint8_t>(payload_type), marker, sequence, timestamp, 0x5eed,
                              payload.data(), static_cast<int>(payload.size()));
    return p;
}

std::string event(int code, bool end, unsigned duration) {
    return std::string{static_cast<char>(code), static_cast<char>(end ? 0x8A : 0x0A),
                       static_cast<char>(duration >> 8), static_cast<char>(duration & 0xFF)};
}

struct ParsedRTP {
    int payload_type = -1;
    bool marker = false;
    uint32_t timestamp = 0;
    std::string payload;
};

ParsedRTP parse_rtp(const std::string& d) {
    KZAPI::KZRTPPacket p;
    if (!p.Parse(d.data(), static_cast<int>(d.size()))) return {};
    return {p.GetPayloadType(), p.GetMarker(), p.GetTimestamp(),
            std::string(reinterpret_cast<const char*>(p.GetPayloadData()), p.GetPayloadLength())};
}

// 20 ms of mu-law: the two tones of a key (or silence for key 0).
std::string tone_frame(char key, int frame_index) {
    static const char* const kRows = "123A456B789C*0#D";
    static const double kLow[] = {697, 770, 852, 941}, kHigh[] = {1209, 1336, 1477, 1633};
    int16_t linear[160] = {};
    if (key) {
        const int at = static_cast<int>(std::strchr(kRows, key) - kRows);
        for (int i = 0; i < 160; ++i) {
            const double t = (frame_index * 160 + i) / 8000.0;
            linear[i] = static_cast<int16_t>(6000 * std::sin(2 * std::numbers::pi * kLow[at / 4] * t) +
                                             6000 * std::sin(2 * std::numbers::pi * kHigh[at % 4] * t));
        }
    }
    uint8_t ulaw[160];
    KZAUDIO::Linear2Ulaw(linear, 160, ulaw);
    return std::string(reinterpret_cast<char*>(ulaw), 160);
}

const char* kEventsSDP =
    "m=audio %d RTP/AVP 0 101\r\na=rtpmap:0 PCMU/8000\r\na=rtpmap:101 telephone-event/8000\r\n"
    "a=fmtp:101 0-16\r\n";
const char* kNoEventsSDP = "m=audio %d RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n";

struct FactoryFree {
    template <class T> void operator()(T* object) const {
        KZAPI_Free_Class_PRC(KZ_CLASS_SIP_CHANNEL, object);
    }
};

// The far end of one call: its SIP and RTP sockets and the dialog it holds.
struct Leg {
    kztest::UdpPeer sip, rtp;
    std::string call_id, to_tag;
    uint16_t call_rtp_port = 0;
};

class DTMFCallTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        KZAPI::CKZLogInterface::SetMaxLevel(KZAPI::CKZLogInterface::LOG_ERROR);
        CKZCfgInterface::CFG_Clear();
        s_port = kztest::free_port_pair();
        CKZCfgInterface::CFG_SetValue("kzsrv.sip.ip.address", "127.0.0.1");
        CKZCfgInterface::CFG_SetValue("kzsrv.sip.ip.port", std::to_string(s_port).c_str());
        CKZCfgInterface::CFG_SetValue("kzsrv.sip.rtpstartrange",
                                      std::to_string(kztest::rtp_start_for_channel(0)).c_str());
        CKZCfgInterface::CFG_SetValue("kzsrv.sip.use.nat.addr", "1");
        CKZCfgInterface::CFG_SetValue("kzsrv.sip.callcontrol.auto.answercall", "1");
        // Telephone events only when the peer offers them.
        CKZCfgInterface::CFG_SetValue("kzsrv.sip.default.dtmf.payload", "-1");
        KZAPI::AfxGetClassEnv()->SetEntry("allocate", reinterpret_cast<void*>(&KZAPI_Alloc_Class_PRC));
        KZAPI::AfxGetClassEnv()->SetEntry("free", reinterpret_cast<void*>(&KZAPI_Free_Class_PRC));
        s_server = kztest::make_server().release();
        ASSERT_EQ(s_server->Create(), 1u);
        for (int number : {0, 1}) {
            auto* channel = static_cast<KZAPI::CKZChannel*>(KZAPI_Alloc_Class_PRC(KZ_CLASS_SIP_CHANNEL));
            channel->SetChannelNumber(number);
            ASSERT_EQ(channel->Create(), 1u);
            ASSERT_EQ(channel->Start(), 1u);
            (number ? s_second : s_channel) = channel;
        }
        s_server->AddChannel(s_channel);
        ASSERT_EQ(s_server->Start(), 1u);
        KZAPI::CKZMediaEventSink::SetMediaEventSink(&s_sink);
    }
    static void TearDownTestSuite() {
        KZAPI::CKZMediaEventSink::SetMediaEventSink(nullptr);
        s_server->Stop();
        s_server->RemoveChannel(s_channel);
        for (KZAPI::CKZChannel* channel : {s_channel, s_second}) {
            channel->Stop();
            channel->Destroy();
            std::unique_ptr<KZAPI::CKZChannel, FactoryFree>{channel};
        }
        s_server->Destroy();
        kztest::ServerPtr(s_server).reset();
        CKZCfgInterface::CFG_Clear();
    }
    void SetUp() override {
        Dtmf().SetDTMFClock(&m_clock);
        s_sink.Take();
    }
    void TearDown() override {
        Hangup(m_leg, s_channel);
        Dtmf().SetDTMFClock(nullptr);
        CKZCfgInterface::CFG_SetValue("kzsrv.sip.dtmf.key.duration", "");
    }

    static CKZSIPAPICC& Call(KZAPI::CKZChannel* channel = s_channel) {
        return *dynamic_cast<CKZSIPAPIChan*>(channel)->GetSIPCallControl();
    }
    static CKZSIPDTMFControl& Dtmf(KZAPI::CKZChannel* channel = s_channel) {
        return *dynamic_cast<CKZSIPDTMFControl*>(channel->GetDTMFControl());
    }
    void Connect(const char* sdp_media, int method = 3) { Connect(m_leg, s_channel, sdp_media, method); }
    void Hangup(Leg& leg, KZAPI::CKZChannel* channel) {
        if (leg.to_tag.empty()) return;
        leg.sip.send_to(s_port, InDialog(leg, "BYE", 99));
        EXPECT_TRUE(kztest::wait_until(
            [&] { return Call(channel).GetCallStatus() == KZAPI::CKZCall::CALL_STATUS_IDLE; }));
        leg.to_tag.clear();
    }

    // The peer calls; the channel answers, the peer acknowledges and media runs. The method is
    // set before the media tick reads it.
    void Connect(Leg& leg, KZAPI::CKZChannel* channel, const char* sdp_media, int method) {
        Call(channel).SetDTMFMethod(method);
        char media[256];
        std::snprintf(media, sizeof(media), sdp_media, leg.rtp.port());
        const std::string body =
            "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n" + std::string(media);
        leg.call_id = "dtmf-" + std::to_string(++s_calls) + "-" + std::to_string(leg.sip.port());
        std::string invite = kztest::sip_request("INVITE", leg.sip.port(), s_port,
                                                 "Content-Type: application/sdp\r\n", leg.call_id);
        invite.replace(invite.find("Content-Length: 0"), std::string::npos,
                       "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
        leg.sip.send_to(s_port, invite);
        std::string ok;
        for (int i = 0; i < 20 && ok.empty(); ++i) {
            const std::string m = leg.sip.receive(200);
            if (m.rfind("SIP/2.0 200", 0) == 0 && header_value(m, "CSeq") == "1 INVITE") ok = m;
        }
        ASSERT_FALSE(ok.empty()) << "no 200 OK";
        const std::string to = header_value(ok, "To");
        leg.to_tag = to.substr(to.find("tag=") + 4);
        const size_t m = ok.find("m=audio ");
        ASSERT_NE(m, std::string::npos);
        leg.call_rtp_port = static_cast<uint16_t>(std::stoi(ok.substr(m + 8)));
        leg.sip.send_to(s_port, InDialog(leg, "ACK", 1));
        ASSERT_TRUE(kztest::wait_until([&] { return Call(channel).IsRTPSocketOpen() == 1u; }));
        ASSERT_TRUE(Dtmf(channel).IsDetectionEnabled());
        // The call's audio reaches the peer once its tick runs.
        ASSERT_FALSE(leg.rtp.receive(1000).empty());
    }
    std::string InDialog(Leg& leg, const std::string& method, int cseq, const std::string& extra = "",
                         const std::string& body = "") {
        const std::string to = "To: <sip:service@127.0.0.1:" + std::to_string(s_port) + ">";
        std::string request = kztest::sip_request(method, leg.sip.port(), s_port, extra, leg.call_id);
        request.insert(request.find(to) + to.size(), ";tag=" + leg.to_tag);
        request.replace(request.find("CSeq: 1 "), 8, "CSeq: " + std::to_string(cseq) + " ");
        request.replace(request.find("z9hG4bK-"), 8, "z9hG4bK-" + std::to_string(cseq) + "-");
        if (!body.empty())
            request.replace(request.find("Content-Length: 0"), std::string::npos,
                            "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
        return request;
    }
    void SendRTP(const std::string& packet, Leg* leg = nullptr) {
        Leg& to = leg ? *leg : m_leg;
        to.rtp.send_to(to.call_rtp_port, packet);
    }
    // A finished event the peer is sure to have delivered: every digit before it was handled.
    void SendMarkerDigit(uint32_t timestamp) {
        for (int i = 0; i < 3; ++i)
            SendRTP(rtp(101, i == 0, m_sequence++, timestamp, event(15, true, 800)));
    }
    // Datagrams the peer's RTP socket receives for about ms milliseconds.
    std::vector<ParsedRTP> Capture(int ms, Leg* leg = nullptr) {
        std::vector<ParsedRTP> out;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            const std::string d = (leg ? *leg : m_leg).rtp.receive(50);
            if (!d.empty()) out.push_back(parse_rtp(d));
        }
        return out;
    }

    static inline uint16_t s_port = 0;
    static inline CKZSIPServer* s_server = nullptr;
    static inline KZAPI::CKZChannel* s_channel = nullptr;
    static inline KZAPI::CKZChannel* s_second = nullptr; // offered calls only while it is listed
    static inline DigitSink s_sink;
    static inline int s_calls = 0;
    KZAPI::CKZManualClock m_clock;
    Leg m_leg;
    uint16_t m_sequence = 100;
};

struct EventPacket {
    int code;
    bool end;
    unsigned duration;
    uint32_t timestamp;
    int copies = 1;
};

} // namespace

TEST_F(DTMFCallTest, ReceivedEventsGiveOneDigitEachWithTheEventsLength) {
    struct Case {
        const char* name;
        std::vector<EventPacket> packets;
        std::string expected;
    };
    const uint32_t wrap = 0xFFFFFF60u;
    const Case cases[] = {
        {"end packets repeated",
         {{1, false, 160, 1000}, {1, false, 480, 1000}, {1, true, 960, 1000, 3}},
         "1:120:rfc2833 "},
        {"first packets lost",
         {{5, false, 480, 5000}, {5, false, 800, 5000}, {5, true, 960, 5000, 3}},
         "5:120:rfc2833 "},
        {"timestamp wraps between two presses of one key",
         {{7, false, 160, wrap},
          {7, true, 640, wrap, 3},
          {7, false, 160, wrap + 1280},
          {7, true, 800, wrap + 1280, 3}},
         "7:80:rfc2833 7:100:rfc2833 "},
        {"long press",
         {{11, false, 160, 9000},
          {11, false, 8000, 9000},
          {11, false, 15840, 9000},
          {11, true, 16000, 9000, 3}},
         "#:2000:rfc2833 "},
        {"events above 16 are no digits", {{17, true, 960, 13000, 3}, {200, false, 160, 14000}}, ""},
        {"an event that lost its end is closed by the next",
         {{2, false, 320, 16000}, {3, false, 160, 17000}, {3, true, 480, 17000, 3}},
         "2:40:rfc2833 3:60:rfc2833 "},
        {"a late packet of a reported event",
         {{4, true, 400, 20000, 3}, {4, false, 240, 20000}},
         "4:50:rfc2833 "},
    };
    Connect(kEventsSDP);
    kztest::LogCapture log;
    uint32_t marker_ts = 100000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const EventPacket& p : c.packets)
            for (int i = 0; i < p.copies; ++i)
                SendRTP(rtp(101, false, m_sequence++, p.timestamp, event(p.code, p.end, p.duration)));
        SendMarkerDigit(marker_ts += 2000);
        std::vector<Digit> heard = s_sink.Until('D');
        ASSERT_FALSE(heard.empty());
        EXPECT_EQ(heard.back().duration_ms, 100u);
        heard.pop_back();
        EXPECT_EQ(keys(heard), c.expected);
    }
    EXPECT_TRUE(log.Contains("Ignoring RTP 2833 Event: 118a03c0. Not a DTMF Digit."));
}

TEST_F(DTMFCallTest, AnEventWhoseEndNeverComesIsReportedOnceItGoesQuiet) {
    Connect(kEventsSDP);
    const auto received = [] {
        KZAPI::CKZCallControl::MediaStats stats;
        Call().GetMediaStats(&stats);
        return stats.packets_received;
    };
    const uint64_t before = received();
    SendRTP(rtp(101, true, m_sequence++, 3000, event(9, false, 160)));
    SendRTP(rtp(101, false, m_sequence++, 3000, event(9, false, 720)));
    ASSERT_TRUE(kztest::wait_until([&] { return received() >= before + 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(60)); // a tick or two: still held down
    EXPECT_TRUE(s_sink.Take().empty());
    m_clock.AdvanceMs(1000);
    EXPECT_EQ(keys(s_sink.Until('9')), "9:90:rfc2833 ");
}

TEST_F(DTMFCallTest, InfoRequestsThroughTheStackGiveOneDigitPerCSeq) {
    struct Case {
        int cseq;
        const char* body;
        std::string expected;
    };
    const Case cases[] = {
        {2, "Signal=5\r\nDuration=160\r\n", "5:160:info "},
        {2, "Signal=5\r\nDuration=160\r\n", ""}, // retransmitted
        {3, "Signal=11\r\nDuration=250\r\n", "#:250:info "},
        {4, "Signal=a\r\nDuration=100\r\n", "A:100:info "},
        {5, "Signal=16\r\n", "X:0:info "},
        {6, "Signal=Z\r\nDuration=100\r\n", ""},
    };
    Connect(kEventsSDP);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        m_leg.sip.send_to(
            s_port, InDialog(m_leg, "INFO", c.cseq, "Content-Type: application/dtmf-relay\r\n", c.body));
        std::string answer;
        for (int i = 0; i < 10 && answer.empty(); ++i)
            if (const std::string m = m_leg.sip.receive(200); m.rfind("SIP/2.0 200", 0) == 0) answer = m;
        EXPECT_FALSE(answer.empty());
        // The 200 goes out after the digit was handled: whatever it gave is heard by now.
        EXPECT_EQ(keys(s_sink.Take()), c.expected);
    }
}

TEST_F(DTMFCallTest, SentDigitsReplaceAudioFramesOneForOne) {
    struct Case {
        const char* key_ms;
        std::vector<unsigned> durations; // of the distinct event packets of one digit
    };
    const Case cases[] = {
        {"120", {160, 320, 480, 640, 800, 960}},
        {"40", {160, 320}},
        {"10", {}},
    };
    Connect(kEventsSDP);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key_ms);
        CKZCfgInterface::CFG_SetValue("kzsrv.sip.dtmf.key.duration", c.key_ms);
        Capture(60);
        ASSERT_EQ(Dtmf().PlayDTMFString2("1#"), 1u);
        const std::vector<ParsedRTP> sent = Capture(600);
        // Expected on the wire: per digit its packets (first and last three times), then two
        // audio frames.
        std::vector<std::string> expected, seen;
        for (int code : {1, 11}) {
            for (size_t i = 0; i < c.durations.size(); ++i) {
                const bool first = i == 0, last = i + 1 == c.durations.size();
                for (int copy = 0; copy < (first || last ? 3 : 1); ++copy)
                    expected.push_back(std::to_string(code) + (first ? " M" : "") + (last ? " E" : "") + " " +
                                       std::to_string(c.durations[i]));
            }
            if (!c.durations.empty()) expected.insert(expected.end(), {"audio", "audio"});
        }
        // From the first event packet on, in order; the audio after the last digit is cut off.
        uint32_t event_ts = 0;
        bool in_event = false;
        for (const ParsedRTP& p : sent) {
            const bool is_event = p.payload_type == 101 && p.payload.size() == 4;
            if (!is_event && seen.empty()) continue;
            if (is_event) {
                const auto* e = reinterpret_cast<const uint8_t*>(p.payload.data());
                if (!in_event) event_ts = p.timestamp;
                EXPECT_EQ(p.timestamp, event_ts) << "one timestamp for all packets of a digit";
                seen.push_back(std::to_string(e[0]) + (p.marker ? " M" : "") + (e[1] & 0x80 ? " E" : "") +
                               " " + std::to_string(e[2] << 8 | e[3]));
            } else {
                if (in_event) {
                    EXPECT_EQ(p.timestamp, event_ts + 160 * c.durations.size()) << "audio goes on";
                }
                seen.push_back("audio");
            }
            in_event = is_event;
        }
        if (seen.size() > expected.size()) seen.resize(expected.size());
        EXPECT_EQ(seen, expected);
    }
}

TEST_F(DTMFCallTest, InbandTonesShorterThanTheMinimumAreNotDigits) {
    Connect(kNoEventsSDP, 0);
    // 100 ms of "5", silence, 160 ms of "9", silence: 20 ms frames paced as a phone sends them.
    std::vector<char> frames;
    for (auto [key, count] : {std::pair{'5', 5}, {'\0', 10}, {'9', 8}, {'\0', 10}, {'D', 8}, {'\0', 10}})
        frames.insert(frames.end(), count, key);
    uint32_t ts = 8000;
    for (size_t i = 0; i < frames.size(); ++i) {
        SendRTP(rtp(0, false, m_sequence++, ts += 160, tone_frame(frames[i], static_cast<int>(i))));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const std::vector<Digit> heard = s_sink.Until('D');
    ASSERT_EQ(heard.size(), 2u) << keys(heard);
    EXPECT_EQ(heard[0].key, '9');
    EXPECT_EQ(heard[0].method, "inband");
    EXPECT_NEAR(heard[0].duration_ms, 160, 40);
}

TEST_F(DTMFCallTest, AutoMethodSendsEventsOrFallsBackToTones) {
    struct Case {
        const char* sdp;
        bool events;
    };
    for (const Case& c : {Case{kEventsSDP, true}, Case{kNoEventsSDP, false}}) {
        SCOPED_TRACE(c.events);
        Connect(c.sdp, 3);
        Capture(60);
        ASSERT_EQ(Dtmf().PlayDTMFString("5"), 1u);
        int event_packets = 0;
        std::string tones;
        KZAPI::KZ_DTMF_HANDLE detector = KZAPI::KZ_DTMF_Create(8000, 16, 160);
        for (const ParsedRTP& p : Capture(600)) {
            if (p.payload_type == 101) ++event_packets;
            if (p.payload_type != 0 || p.payload.size() != 160) continue;
            int16_t linear[160];
            KZAUDIO::Ulaw2Linear(reinterpret_cast<const uint8_t*>(p.payload.data()), 160, linear);
            const int code = KZAPI::KZ_DTMF_Detect_Single_N_1(detector, linear, 160);
            const char key = code >= 0 ? KZAPI::KZ_DTMF_CharOfCode(code) : '-';
            if (tones.empty() || tones.back() != key) tones += key;
        }
        KZAPI::KZ_DTMF_Destroy(detector);
        EXPECT_EQ(event_packets > 0, c.events);
        EXPECT_EQ(tones.find('5') != std::string::npos, !c.events) << tones;
        Hangup(m_leg, s_channel);
    }
}

// Two answered calls whose channels are joined: a digit one receives is played on the other, by
// the other's method. Events go out from the receiving call's own tick; INFO waits for the span's
// timer turn.
TEST_F(DTMFCallTest, DigitsReceivedOnAJoinedChannelArePlayedOnTheOther) {
    struct Case {
        int method;
        const char* sdp;
    };
    CKZSIPAPISpan span;
    span.AddChannel(s_channel);
    span.AddChannel(s_second);
    ASSERT_EQ(span.Start(), 1u);
    for (const Case& c : {Case{2, kEventsSDP}, Case{1, kNoEventsSDP}}) {
        SCOPED_TRACE(c.method);
        Leg other;
        Connect(c.sdp, c.method);
        s_server->AddChannel(s_second); // the next call is offered to it
        Connect(other, s_second, c.sdp, c.method);
        auto* first = dynamic_cast<CKZSIPAPIChan*>(s_channel);
        ASSERT_EQ(first->FullDuplexConnect(s_second), 0);
        if (c.method == 2) {
            for (int i = 0; i < 3; ++i)
                SendRTP(rtp(101, i == 0, m_sequence++, 7000, event(5, i > 0, 160 * (i + 1))));
            // A joined call sends what it hears from the other, and events in place of that audio.
            std::thread talker([&] {
                for (int i = 0; i < 30; ++i) {
                    SendRTP(rtp(0, false, m_sequence++, 8000 + 160 * i, tone_frame('\0', i)));
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
            });
            std::string forwarded;
            for (const ParsedRTP& p : Capture(600, &other))
                if (p.payload_type == 101 && !p.payload.empty()) forwarded += std::to_string(p.payload[0]);
            talker.join();
            EXPECT_NE(forwarded.find('5'), std::string::npos) << forwarded;
        } else {
            m_leg.sip.send_to(s_port, InDialog(m_leg, "INFO", 2, "Content-Type: application/dtmf-relay\r\n",
                                               "Signal=7\r\nDuration=100\r\n"));
            std::string info;
            for (int i = 0; i < 10 && info.empty(); ++i)
                if (const std::string m = other.sip.receive(200); m.rfind("INFO ", 0) == 0) info = m;
            EXPECT_NE(info.find("Content-Type: application/dtmf-relay"), std::string::npos) << info;
            EXPECT_NE(info.find("Signal=7\r\nDuration=320\r\n"), std::string::npos) << info;
        }
        EXPECT_EQ(s_sink.Until(c.method == 2 ? '5' : '7').size(), 1u);
        first->FullDuplexDisconnect();
        Hangup(other, s_second);
        s_server->RemoveChannel(s_second);
        Hangup(m_leg, s_channel);
    }
    span.Stop();
}

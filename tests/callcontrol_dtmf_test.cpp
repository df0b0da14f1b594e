// DTMF on a live call: a server on loopback answers a call from a raw UDP peer on 127.0.0.1
// through the real dispatch, and the peer sends telephone events, INFO requests and tones to it
// and takes what the call sends. Digits are heard through the media event sink; the DTMF
// control's clock is a manual one, so the durations reported come from the packets and the audio.
#include "callcontrol/CKZSIPAPIChan.h"
#include "callcontrol/CKZSIPAPISpan.h"
#include "host/CKZCfgInterface.h"
#include "host/CKZClock.h"
#include "host/KZRTPPacket.h"
#include "support/callcontrol_answering.h"
#include "support/sip_requests.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

using KZAPI::CKZCfgInterface;

namespace {

using kztest::Digit, kztest::keys, kztest::rtp_packet;

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

const char* kEventsSDP =
    "m=audio %d RTP/AVP 0 101\r\na=rtpmap:0 PCMU/8000\r\na=rtpmap:101 telephone-event/8000\r\n"
    "a=fmtp:101 0-16\r\n";
const char* kNoEventsSDP = "m=audio %d RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n";

using Leg = kztest::CallingPeer;

class DTMFCallTest : public kztest::AnsweringSuite {
protected:
    static void SetUpTestSuite() {
        StartAnswering(2);
        s_channel = s_calls->channels[0];
        s_second = s_calls->channels[1];
    }
    void SetUp() override {
        Dtmf().SetDTMFClock(&m_clock);
        s_sink.Take();
    }
    void TearDown() override {
        Hangup(m_leg);
        Dtmf().SetDTMFClock(nullptr);
        CKZCfgInterface::CFG_SetValue("kzsrv.sip.dtmf.key.duration", "");
    }

    void Connect(const char* sdp_media, int method = 3) { Connect(m_leg, s_channel, sdp_media, method); }
    // The peer calls; the channel answers, the peer acknowledges and media runs. The method is
    // set before the media tick reads it.
    void Connect(Leg& leg, KZAPI::CKZChannel* channel, const char* sdp_media, int method) {
        Call(channel).SetDTMFMethod(method);
        ASSERT_FALSE(Dial(leg, sdp_media, "dtmf", channel).empty());
        ASSERT_TRUE(Dtmf(channel).IsDetectionEnabled());
        // The call's audio reaches the peer once its tick runs.
        ASSERT_FALSE(leg.rtp.receive(1000).empty());
    }
    void SendRTP(const std::string& packet, Leg* leg = nullptr) { (leg ? *leg : m_leg).SendRTP(packet); }
    // A finished event the peer is sure to have delivered: every digit before it was handled.
    void SendMarkerDigit(uint32_t timestamp) {
        for (int i = 0; i < 3; ++i)
            SendRTP(rtp_packet(101, i == 0, m_sequence++, timestamp, event(15, true, 800)));
    }
    // Datagrams the peer's RTP socket receives for about ms milliseconds.
    std::vector<ParsedRTP> Capture(int ms, Leg* leg = nullptr) {
        std::vector<ParsedRTP> out;
        for (const std::string& d : (leg ? *leg : m_leg).Capture(ms))
            out.push_back(parse_rtp(d));
        return out;
    }

    static inline KZAPI::CKZChannel* s_channel = nullptr;
    static inline KZAPI::CKZChannel* s_second = nullptr; // offered calls only while it is listed
    KZAPI::CKZManualClock m_clock;
    Leg m_leg{s_port};
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
    uint32_t marker_ts = 100000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const EventPacket& p : c.packets)
            for (int i = 0; i < p.copies; ++i)
                SendRTP(rtp_packet(101, false, m_sequence++, p.timestamp, event(p.code, p.end, p.duration)));
        SendMarkerDigit(marker_ts += 2000);
        std::vector<Digit> heard = s_sink.Until('D');
        ASSERT_FALSE(heard.empty());
        EXPECT_EQ(heard.back().duration_ms, 100u);
        heard.pop_back();
        EXPECT_EQ(keys(heard), c.expected);
    }
}

TEST_F(DTMFCallTest, AnEventWhoseEndNeverComesIsReportedOnceItGoesQuiet) {
    Connect(kEventsSDP);
    const auto received = [] {
        KZAPI::CKZCallControl::MediaStats stats;
        Call().GetMediaStats(&stats);
        return stats.packets_received;
    };
    const uint64_t before = received();
    SendRTP(rtp_packet(101, true, m_sequence++, 3000, event(9, false, 160)));
    SendRTP(rtp_packet(101, false, m_sequence++, 3000, event(9, false, 720)));
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
        m_leg.sip.send_to(s_port,
                          m_leg.InDialog("INFO", c.cseq, "Content-Type: application/dtmf-relay\r\n", c.body));
        EXPECT_FALSE(kztest::receive_starting(m_leg.sip, "SIP/2.0 200", 2000).empty());
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
    // The automatic method sends events once the peer offered them (the srtp call's peer offers
    // none: there it falls back to tones).
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
                EXPECT_EQ(p.timestamp, in_event ? event_ts + 160 * c.durations.size() : p.timestamp)
                    << "audio goes on";
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
        SendRTP(rtp_packet(0, false, m_sequence++, ts += 160,
                           kztest::dtmf_ulaw_frame(frames[i], static_cast<int>(i))));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const std::vector<Digit> heard = s_sink.Until('D');
    ASSERT_EQ(heard.size(), 2u) << keys(heard);
    EXPECT_EQ(heard[0].key, '9');
    EXPECT_EQ(heard[0].method, "inband");
    EXPECT_NEAR(heard[0].duration_ms, 160, 40);
}

// Two answered calls whose channels are joined: a digit one receives is played on the other, by
// the other's method. Events go out from the receiving call's own tick; INFO waits for the span's
// timer turn.
TEST_F(DTMFCallTest, DigitsReceivedOnAJoinedChannelArePlayedOnTheOther) {
    CKZSIPAPISpan span;
    span.AddChannel(s_channel);
    span.AddChannel(s_second);
    ASSERT_EQ(span.Start(), 1u);
    for (const auto& [method, sdp] : {std::pair{2, kEventsSDP}, {1, kNoEventsSDP}}) {
        SCOPED_TRACE(method);
        Leg other(s_port);
        Connect(sdp, method);
        s_calls->server().AddChannel(s_second); // the next call is offered to it
        Connect(other, s_second, sdp, method);
        auto* first = dynamic_cast<CKZSIPAPIChan*>(s_channel);
        ASSERT_EQ(first->FullDuplexConnect(s_second), 0);
        if (method == 2) {
            for (int i = 0; i < 3; ++i)
                SendRTP(rtp_packet(101, i == 0, m_sequence++, 7000, event(5, i > 0, 160 * (i + 1))));
            // A joined call sends what it hears from the other, and events in place of that audio.
            std::thread talker([&] {
                for (int i = 0; i < 30; ++i) {
                    SendRTP(
                        rtp_packet(0, false, m_sequence++, 8000 + 160 * i, kztest::dtmf_ulaw_frame('\0', i)));
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
            });
            std::string forwarded;
            for (const ParsedRTP& p : Capture(600, &other))
                if (p.payload_type == 101 && !p.payload.empty()) forwarded += std::to_string(p.payload[0]);
            talker.join();
            EXPECT_NE(forwarded.find('5'), std::string::npos) << forwarded;
        } else {
            m_leg.sip.send_to(s_port, m_leg.InDialog("INFO", 2, "Content-Type: application/dtmf-relay\r\n",
                                                     "Signal=7\r\nDuration=100\r\n"));
            const std::string info = kztest::receive_starting(other.sip, "INFO ", 2000);
            EXPECT_NE(info.find("Content-Type: application/dtmf-relay"), std::string::npos) << info;
            EXPECT_NE(info.find("Signal=7\r\nDuration=320\r\n"), std::string::npos) << info;
        }
        EXPECT_EQ(s_sink.Until(method == 2 ? '5' : '7').size(), 1u);
        first->FullDuplexDisconnect();
        Hangup(other, s_second);
        s_calls->server().RemoveChannel(s_second);
        Hangup(m_leg, s_channel);
    }
    span.Stop();
}

// A module server on loopback with channels made by the class factory, and the far end of a call
// to it: a raw UDP peer that invites with an SDP, acknowledges the answer and sends RTP.
#pragma once

#include "callcontrol/CKZSIPAPICC.h"
#include "callcontrol/CKZSIPAPIChan.h"
#include "callcontrol/CKZSIPDTMFControl.h"
#include "host/CKZClassEnv.h"
#include "host/CKZMediaEventSink.h"
#include "host/KZRTPPacket.h"
#include "host/audiocodec/KZAudioCodec.h"
#include "host/audiotools/KZDTMF.h"
#include "support/sip_dialog.h"
#include "support/sip_peer.h"
#include "support/sip_requests.h"
#include "support/sip_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <numbers>
#include <string>
#include <utility>
#include <vector>

namespace kztest {

// A server created and started on the configuration already set, with channels 0..count-1 made
// by the class factory; the first `listed` of them are offered calls.
class FactoryCallServer {
public:
    bool Start(int count, int listed) {
        KZAPI::AfxGetClassEnv()->SetEntry("allocate", reinterpret_cast<void*>(&KZAPI_Alloc_Class_PRC));
        KZAPI::AfxGetClassEnv()->SetEntry("free", reinterpret_cast<void*>(&KZAPI_Free_Class_PRC));
        m_server = make_server();
        if (!m_server || m_server->Create() != 1) return false;
        for (int number = 0; number < count; ++number) {
            auto* channel = static_cast<KZAPI::CKZChannel*>(KZAPI_Alloc_Class_PRC(KZ_CLASS_SIP_CHANNEL));
            channels.push_back(channel);
            channel->SetChannelNumber(number);
            if (channel->Create() != 1 || channel->Start() != 1) return false;
            if (number < listed) m_server->AddChannel(channel);
        }
        return m_server->Start() == 1;
    }
    ~FactoryCallServer() {
        if (!m_server) return;
        m_server->Stop();
        for (KZAPI::CKZChannel* channel : channels) {
            m_server->RemoveChannel(channel);
            channel->Stop();
            channel->Destroy();
            KZAPI_Free_Class_PRC(KZ_CLASS_SIP_CHANNEL, channel);
        }
        m_server->Destroy();
    }
    CKZSIPServer& server() { return *m_server; }
    static CKZSIPAPICC& Call(KZAPI::CKZChannel* channel) {
        return *dynamic_cast<CKZSIPAPIChan*>(channel)->GetSIPCallControl();
    }
    static CKZSIPDTMFControl& Dtmf(KZAPI::CKZChannel* channel) {
        return *dynamic_cast<CKZSIPDTMFControl*>(channel->GetDTMFControl());
    }
    std::vector<KZAPI::CKZChannel*> channels;

private:
    ServerPtr m_server;
};

// The far end of one call to a server on 127.0.0.1:server_port.
struct CallingPeer {
    explicit CallingPeer(uint16_t port = 0) : server_port(port) {}

    // Invites with an SDP of the media lines (a "%d" in them becomes the peer's RTP port) and
    // acknowledges the 200 OK; returns that answer, or "" when none came.
    std::string Call(const std::string& media_lines, const std::string& id) {
        char media[512];
        std::snprintf(media, sizeof(media), media_lines.c_str(), rtp.port());
        const std::string body =
            "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n" + std::string(media);
        call_id = id;
        std::string invite =
            sip_request("INVITE", sip.port(), server_port, "Content-Type: application/sdp\r\n", call_id);
        invite.replace(invite.find("Content-Length: 0"), std::string::npos,
                       "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
        sip.send_to(server_port, invite);
        std::string ok;
        for (int i = 0; i < 20 && ok.empty(); ++i) {
            const std::string m = sip.receive(200);
            if (m.rfind("SIP/2.0 200", 0) == 0 && header_value(m, "CSeq") == "1 INVITE" &&
                header_value(m, "Call-ID") == call_id)
                ok = m;
        }
        if (ok.empty()) return "";
        const std::string to = header_value(ok, "To");
        to_tag = to.substr(to.find("tag=") + 4);
        const size_t m = ok.find("m=audio ");
        if (m == std::string::npos) return "";
        call_rtp_port = static_cast<uint16_t>(std::stoi(ok.substr(m + 8)));
        sip.send_to(server_port, InDialog("ACK", 1));
        return ok;
    }
    std::string InDialog(const std::string& method, int cseq, const std::string& extra = "",
                         const std::string& body = "") const {
        return in_dialog_request(method, sip.port(), server_port, call_id, to_tag, cseq, extra, body);
    }
    // Ends the call, if there is one, with a BYE.
    void Bye(int cseq) {
        if (to_tag.empty()) return;
        sip.send_to(server_port, InDialog("BYE", cseq));
        to_tag.clear();
    }
    // The datagrams the RTP socket takes in about ms milliseconds.
    std::vector<std::string> Capture(int ms) const {
        std::vector<std::string> out;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end)
            if (std::string d = rtp.receive(50); !d.empty()) out.push_back(d);
        return out;
    }
    void SendRTP(const std::string& packet) const { rtp.send_to(call_rtp_port, packet); }

    uint16_t server_port;
    UdpPeer sip, rtp;
    std::string call_id, to_tag;
    uint16_t call_rtp_port = 0;
};

struct Digit {
    char key;
    unsigned duration_ms;
    std::string method;
};

// Records the digits the media event sink is told of.
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

// "<key>:<duration>:<method> " for each digit.
inline std::string keys(const std::vector<Digit>& digits) {
    std::string out;
    for (const Digit& d : digits)
        out += std::string(1, d.key) + ":" + std::to_string(d.duration_ms) + ":" + d.method + " ";
    return out;
}

// An RTP packet of the peer's stream (SSRC 0x5eed).
inline std::string rtp_packet(int payload_type, bool marker, uint16_t sequence, uint32_t timestamp,
                              const std::string& payload) {
    std::string p(KZAPI::KZRTPPacket::kHeaderBytes + payload.size(), '\0');
    KZAPI::KZRTPPacket::Write(reinterpret_cast<uint8_t*>(p.data()), static_cast<int>(p.size()),
                              static_cast<uint8_t>(payload_type), marker, sequence, timestamp, 0x5eed,
                              payload.data(), static_cast<int>(payload.size()));
    return p;
}

// 20 ms of mu-law carrying a key's two tones (silence for '\0'), frame_index frames into the press.
inline std::string dtmf_ulaw_frame(char key, int frame_index) {
    static const char* const kRows = "123A456B789C*0#D";
    static const double kLow[] = {697, 770, 852, 941}, kHigh[] = {1209, 1336, 1477, 1633};
    int16_t linear[160] = {};
    if (const char* at = key ? std::strchr(kRows, key) : nullptr) {
        const long n = at - kRows;
        for (int i = 0; i < 160; ++i) {
            const double t = (frame_index * 160 + i) / 8000.0;
            linear[i] = static_cast<int16_t>(6000 * std::sin(2 * std::numbers::pi * kLow[n / 4] * t) +
                                             6000 * std::sin(2 * std::numbers::pi * kHigh[n % 4] * t));
        }
    }
    uint8_t ulaw[160];
    KZAUDIO::Linear2Ulaw(linear, 160, ulaw);
    return std::string(reinterpret_cast<char*>(ulaw), 160);
}

// The DTMF keys the mu-law frames' tones carry, one character per change ('-' for none).
inline std::string inband_keys(const std::vector<std::string>& ulaw_frames) {
    std::string keys;
    KZAPI::KZ_DTMF_HANDLE detector = KZAPI::KZ_DTMF_Create(8000, 16, 160);
    for (const std::string& frame : ulaw_frames) {
        if (frame.size() != 160) continue;
        int16_t linear[160];
        KZAUDIO::Ulaw2Linear(reinterpret_cast<const uint8_t*>(frame.data()), 160, linear);
        const int code = KZAPI::KZ_DTMF_Detect_Single_N_1(detector, linear, 160);
        const char key = code >= 0 ? KZAPI::KZ_DTMF_CharOfCode(code) : '-';
        if (keys.empty() || keys.back() != key) keys += key;
    }
    KZAPI::KZ_DTMF_Destroy(detector);
    return keys;
}

} // namespace kztest

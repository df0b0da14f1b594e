// Frames between the DSP's formats and RTP payloads: the frame rules of each payload, the
// pass-through formats, and a round trip per payload code from law and from linear audio.
#include "media/CKZSIPDSPApp.h"

#include "host/audiocodec/KZAudioCodec.h"
#include "support/audio_codec_table.h"
#include "support/audio_signals.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

using namespace KZAUDIO;

namespace {

constexpr int kUlaw = 3, kAlaw = 4, kLinear = 5, kLinear16 = 7, kGsmFrames = 8;

KZAPI::StaticPayloadInfo Payload(int code) {
    KZAPI::StaticPayloadInfo info;
    if (code < 96) {
        info.m_uPayload = code;
    } else {
        info.m_uPayload = 120; // dynamic numbers are the peer's choice; the mark names the codec
        info.m_uDynamicMark = static_cast<uint8_t>(code);
    }
    return info;
}

using Owned = kztest::OwnedCodec;

// Every codec, and G.711 which needs none.
std::vector<kztest::CodecCase> CallCodecs() {
    std::vector<kztest::CodecCase> codecs(std::begin(kztest::kCodecs), std::end(kztest::kCodecs));
    for (int code : {0, 8})
        codecs.push_back({"G.711", code, true, [] { return nullptr; }, [] { return nullptr; },
                          [](KZCodecHandle) {}, [](KZCodecHandle) {}, nullptr, nullptr, 160, 160, 160, 160,
                          true, 0, 0.99, 0.99});
    return codecs;
}

// One frame of `in` (all of it) in `format` as the payload of `code`, into the first `room` bytes of out.
int ToPayload(int format, const std::vector<uint8_t>& in, KZAPI::StaticPayloadInfo code, KZCodecHandle codec,
              std::vector<uint8_t>& out, int room) {
    return CKZSIPDSPApp::AudioFormatCode2RTPPayload(format, in.data(), int(in.size()), code, codec,
                                                    out.data(), room);
}

// The payload (all of it; none when empty) of `code` into the first `room` bytes of out in `format`.
int FromPayload(KZAPI::StaticPayloadInfo code, KZCodecHandle codec, const std::vector<uint8_t>& payload,
                int format, std::vector<uint8_t>& out, int room) {
    return CKZSIPDSPApp::RTPPayload2AudioFormatCode(code, codec, payload.empty() ? nullptr : payload.data(),
                                                    int(payload.size()), format, out.data(), room);
}

// The signal as the DSP holds it in `format`.
std::vector<uint8_t> InFormat(const std::vector<int16_t>& linear, int format) {
    std::vector<uint8_t> out(format == kUlaw || format == kAlaw ? linear.size() : linear.size() * 2);
    if (format == kUlaw) Linear2Ulaw(linear.data(), int(linear.size()), out.data());
    if (format == kAlaw) Linear2Alaw(linear.data(), int(linear.size()), out.data());
    if (format == kLinear || format == kLinear16) std::memcpy(out.data(), linear.data(), out.size());
    return out;
}

std::vector<int16_t> ToLinear(const std::vector<uint8_t>& bytes, int format) {
    std::vector<int16_t> out(format == kUlaw || format == kAlaw ? bytes.size() : bytes.size() / 2);
    if (format == kUlaw) Ulaw2Linear(bytes.data(), int(bytes.size()), out.data());
    if (format == kAlaw) Alaw2Linear(bytes.data(), int(bytes.size()), out.data());
    if (format == kLinear || format == kLinear16) std::memcpy(out.data(), bytes.data(), bytes.size());
    return out;
}

TEST(PayloadConversion, EveryPayloadRoundTripsFromLawAndLinearFormats) {
    const auto speech = kztest::SpeechLike(7680);
    for (const kztest::CodecCase& c : CallCodecs()) {
        for (int format : {kUlaw, kAlaw, kLinear, kLinear16}) {
            SCOPED_TRACE(testing::Message() << "code " << c.code << " format " << format);
            if (!c.built) continue;
            Owned encoder(c.make_encoder(), c.destroy_encoder), decoder(c.make_decoder(), c.destroy_decoder);
            const auto host = InFormat(speech, format);
            const int frame_bytes = int(host.size() / speech.size()) * c.frame_samples;
            std::vector<uint8_t> back;
            for (size_t at = 0; at + frame_bytes <= host.size(); at += frame_bytes) {
                std::vector<uint8_t> payload(1500), decoded(frame_bytes);
                const int bytes = CKZSIPDSPApp::AudioFormatCode2RTPPayload(
                    format, host.data() + at, frame_bytes, Payload(c.code), encoder.get(), payload.data(),
                    int(payload.size()));
                ASSERT_GT(bytes, 0);
                if (c.payload_bytes) {
                    ASSERT_EQ(bytes, c.payload_bytes);
                }
                ASSERT_EQ(CKZSIPDSPApp::RTPPayload2AudioFormatCode(Payload(c.code), decoder.get(),
                                                                   payload.data(), bytes, format,
                                                                   decoded.data(), frame_bytes),
                          frame_bytes);
                back.insert(back.end(), decoded.begin(), decoded.end());
            }
            const auto match = kztest::BestMatch(speech, ToLinear(back, format), 1600, 96);
            std::printf("code %3d format %d: correlation %.3f\n", c.code, format, match.correlation);
            EXPECT_GE(match.correlation, c.min_call_correlation);
        }
    }
}

TEST(PayloadConversion, GsmTakesWholeFramesOnly) {
    if (!(KZ_CODEC_GSM)) GTEST_SKIP() << "codec switched off";
    Owned gsm(GSM_Create(), GSM_Destroy);
    const auto law = InFormat(kztest::SpeechLike(160), kUlaw);
    std::vector<uint8_t> out(33), copy(33);
    EXPECT_EQ(ToPayload(kUlaw, law, Payload(3), gsm.get(), out, 33), 33);
    EXPECT_EQ(ToPayload(kUlaw, {law.begin(), law.begin() + 100}, Payload(3), gsm.get(), copy, 33), 0);
    EXPECT_EQ(ToPayload(kUlaw, law, Payload(3), gsm.get(), copy, 32), 0);
    // The DSP's own GSM frames go out as they are and come back as they are.
    EXPECT_EQ(ToPayload(kGsmFrames, out, Payload(3), nullptr, copy, 33), 33);
    EXPECT_EQ(copy, out);
    std::fill(copy.begin(), copy.end(), 0);
    EXPECT_EQ(FromPayload(Payload(3), nullptr, out, kGsmFrames, copy, 33), 33);
    EXPECT_EQ(copy, out);
}

TEST(PayloadConversion, G729CarriesTwoFramesPerPacket) {
    if (!(KZ_CODEC_G729)) GTEST_SKIP() << "codec switched off";
    Owned encoder(G729B_Encoder_Create(false), G729B_Encoder_Destroy);
    Owned decoder(G729B_Decoder_Create(), G729B_Decoder_Destroy);
    const auto linear = InFormat(kztest::SpeechLike(160), kLinear);
    std::vector<uint8_t> payload(20);
    ASSERT_EQ(ToPayload(kLinear, linear, Payload(18), encoder.get(), payload, 20), 20);
    EXPECT_EQ(ToPayload(kLinear, {linear.begin(), linear.end() - 2}, Payload(18), encoder.get(), payload, 20),
              0);
    std::vector<uint8_t> law(160), pcm(320), small(159);
    EXPECT_EQ(FromPayload(Payload(18), decoder.get(), payload, kAlaw, law, 160), 160);
    EXPECT_EQ(FromPayload(Payload(18), decoder.get(), payload, kLinear16, pcm, 320), 320);
    // A comfort-noise frame alone is shorter than a frame: nothing is decoded from it.
    EXPECT_EQ(
        FromPayload(Payload(18), decoder.get(), {payload.begin(), payload.begin() + 2}, kLinear, pcm, 320),
        0);
    // Two speech frames and a trailing comfort-noise frame: the speech frames only.
    std::vector<uint8_t> with_sid(payload);
    with_sid.insert(with_sid.end(), {0x12, 0x34});
    EXPECT_EQ(FromPayload(Payload(18), decoder.get(), with_sid, kUlaw, law, 160), 160);
}

TEST(PayloadConversion, G726PayloadsPassThroughTheMatchingRawFormat) {
    const std::vector<uint8_t> payload = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x10, 0x32,
                                          0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE, 0x11, 0x22, 0x33, 0x44};
    Owned g726(g726_Create(), g726_Destroy);
    for (int code = 96; code <= 99; ++code) {
        SCOPED_TRACE(code);
        for (int format = 8; format <= 13; ++format) {
            std::vector<uint8_t> out(payload.size());
            const int bytes = FromPayload(Payload(code), g726.get(), payload, format, out, int(out.size()));
            if (format == code - 96 + 9) {
                EXPECT_EQ(bytes, int(payload.size()));
                EXPECT_EQ(out, payload);
            } else {
                EXPECT_EQ(bytes, 0) << format; // another rate, GSM frames or an unknown G.726 form
            }
        }
    }
}

// Law bytes go out as they are or crossed to the other law (the round trip covers their quality);
// a room one byte short is refused either way.
TEST(PayloadConversion, G711MovesBetweenLawsAndRefusesTooLittleRoom) {
    const auto ulaw = InFormat(kztest::SpeechLike(160), kUlaw),
               linear = InFormat(kztest::SpeechLike(160), kLinear);
    std::vector<uint8_t> out(320), expected(160);
    EXPECT_EQ(ToPayload(kUlaw, ulaw, Payload(8), nullptr, out, 160), 160);
    Ulaw2Alaw(ulaw.data(), 160, expected.data());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin()));
    EXPECT_EQ(ToPayload(kLinear, linear, Payload(0), nullptr, out, 159), 0);
    EXPECT_EQ(FromPayload(Payload(0), nullptr, ulaw, kLinear, out, 319), 0);
}

TEST(PayloadConversion, LostOpusFramesAreConcealedOthersRefused) {
    if (!(KZ_CODEC_OPUS && KZ_CODEC_GSM)) GTEST_SKIP() << "codec switched off";
    Owned opus(Opus_Decoder_Create(48000, 1, nullptr), Opus_Decoder_Destroy);
    Owned gsm(GSM_Create(), GSM_Destroy);
    std::vector<uint8_t> out(320);
    EXPECT_EQ(FromPayload(Payload(114), opus.get(), {}, kLinear, out, 320), 320);
    EXPECT_EQ(FromPayload(Payload(114), opus.get(), {}, kUlaw, out, 160), 160);
    EXPECT_EQ(FromPayload(Payload(3), gsm.get(), {}, kUlaw, out, 160), 0);
}

TEST(PayloadConversion, IlbcIsReceivedButNeverSent) {
    if (!(KZ_CODEC_AVCODEC)) GTEST_SKIP() << "codec switched off";
    for (int code : {103, 104}) {
        SCOPED_TRACE(code);
        const int samples = code == 103 ? 160 : 240;
        Owned ilbc(iLBC_Create(code == 103 ? 20 : 30), iLBC_Destroy);
        std::vector<uint8_t> out(1500);
        EXPECT_EQ(ToPayload(kUlaw, InFormat(kztest::SpeechLike(samples), kUlaw), Payload(code), ilbc.get(),
                            out, 1500),
                  0);
        const std::vector<uint8_t> silent_frame(code == 103 ? 38 : 50, 0);
        EXPECT_EQ(FromPayload(Payload(code), ilbc.get(), silent_frame, kLinear, out, 1500), samples * 2);
    }
}

TEST(PayloadConversion, HostFormatsConvertAmongThemselves) {
    if (!(KZ_CODEC_GSM)) GTEST_SKIP() << "codec switched off";
    const auto speech = kztest::SpeechLike(160);
    Owned gsm(GSM_Create(), GSM_Destroy);
    struct Step {
        int from, to, out_bytes;
    };
    // mu-law -> linear -> A-law -> GSM -> mu-law: each step's size, and the speech still there.
    const Step steps[] = {
        {kUlaw, kLinear, 320}, {kLinear, kAlaw, 160}, {kAlaw, kGsmFrames, 33}, {kGsmFrames, kUlaw, 160}};
    std::vector<uint8_t> frame = InFormat(speech, kUlaw);
    for (const Step& s : steps) {
        std::vector<uint8_t> out(s.out_bytes);
        ASSERT_EQ(CKZSIPDSPApp::ConvertAudioFormat(s.from, frame.data(), int(frame.size()), s.to, gsm.get(),
                                                   out.data(), s.out_bytes),
                  s.out_bytes)
            << s.from << "->" << s.to;
        frame = out;
    }
    EXPECT_EQ(CKZSIPDSPApp::ConvertAudioFormat(kUlaw, frame.data(), 160, kLinear, nullptr, frame.data(), 319),
              0);
}

} // namespace

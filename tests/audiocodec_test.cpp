// The codec library against real signals: every codec carries a sine and a speech-like signal
// through its frame sizes, writes no byte past the room it is given, and refuses what it cannot
// code; the payload forms that peers depend on are checked bit by bit.
#include "host/audiocodec/KZAudioCodec.h"

#include "support/audio_codec_table.h"
#include "support/audio_signals.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include <opus.h>
extern "C" {
#include <spandsp/telephony.h> // declares what the codec header uses

#include <spandsp/g726.h>
}

using namespace KZAUDIO;

namespace {

using kztest::CodecCase;
using kztest::kCodecs;
using Handle = kztest::OwnedCodec;

constexpr int kMaxDelay = 96;        // 12 ms: the longest codec delay here is Speex's 10 ms
constexpr int kSignalSamples = 7680; // 0.96 s: whole frames of 80, 160 and 240 samples
constexpr int kSettle = 1600;        // the first 200 ms are the codecs' start-up

// Encodes and decodes the signal frame by frame, every buffer exactly as large as the room given.
std::vector<int16_t> RoundTrip(const CodecCase& c, const std::vector<int16_t>& signal) {
    Handle encoder(c.make_encoder(), c.destroy_encoder);
    Handle decoder(c.make_decoder(), c.destroy_decoder);
    std::vector<int16_t> decoded;
    for (size_t at = 0; at + c.frame_samples <= signal.size(); at += c.frame_samples) {
        std::vector<uint8_t> payload(c.room);
        const int bytes =
            c.encode(encoder.get(), signal.data() + at, c.frame_samples, payload.data(), c.room);
        EXPECT_GT(bytes, 0);
        EXPECT_EQ(bytes, c.frame_bytes ? c.frame_bytes : bytes);
        std::vector<int16_t> frame(c.frame_samples);
        const int samples = c.decode(decoder.get(), payload.data(), bytes, frame.data(), c.frame_samples);
        EXPECT_EQ(samples, c.frame_samples);
        decoded.insert(decoded.end(), frame.begin(), frame.end());
    }
    return decoded;
}

TEST(AudioCodec, EveryCodecCarriesASineAndSpeech) {
    for (const CodecCase& c : kCodecs) {
        SCOPED_TRACE(c.name);
        if (!c.built) continue;
        const auto sine = kztest::Sine(kSignalSamples, 1000, 8000);
        const auto speech = kztest::SpeechLike(kSignalSamples);
        const auto sine_out = RoundTrip(c, sine);
        const auto speech_out = RoundTrip(c, speech);
        ASSERT_EQ(sine_out.size(), sine.size());
        const kztest::Match sine_match = kztest::BestMatch(sine, sine_out, kSettle, kMaxDelay);
        const kztest::Match speech_match = kztest::BestMatch(speech, speech_out, kSettle, kMaxDelay);
        const double hz = kztest::DominantHz(sine_out, kSettle);
        const double level_db = kztest::RmsDb(sine_out, kSettle) - kztest::RmsDb(sine, kSettle);
        std::printf("%-9s sine: %6.1f Hz %+5.1f dB SNR %5.1f dB | speech: corr %.3f SNR %5.1f dB lag %d\n",
                    c.name, hz, level_db, sine_match.snr_db, speech_match.correlation, speech_match.snr_db,
                    speech_match.lag);
        EXPECT_NEAR(hz, 1000, 20);
        EXPECT_NEAR(level_db, 0, 3);
        EXPECT_GE(sine_match.snr_db, c.min_sine_snr_db);
        EXPECT_GE(speech_match.correlation, c.min_speech_correlation);
    }
}

TEST(AudioCodec, G711KeepsTheStandardsCodesAndNearlyAllTheSignal) {
    // Reference points of the G.711 tables: silence, full scale and the smallest steps.
    EXPECT_EQ(LinearToUlaw(0), 0xFF);
    EXPECT_EQ(LinearToAlaw(0), 0xD5);
    EXPECT_EQ(UlawToLinear(0x00), -32124);
    EXPECT_EQ(UlawToLinear(0x80), 32124);
    EXPECT_EQ(AlawToLinear(0xAA), 32256);
    EXPECT_EQ(AlawToLinear(0x2A), -32256);
    EXPECT_EQ(AlawToLinear(0xD5), 8);
    EXPECT_EQ(AlawToLinear(0x55), -8);
    for (int code = 0; code < 256; ++code) {
        EXPECT_EQ(LinearToUlaw(UlawToLinear(code)), code == 0x7F ? 0xFF : code) << code; // 0x7F is "-0"
        EXPECT_EQ(LinearToAlaw(AlawToLinear(code)), code) << code;
        uint8_t crossed = 0, back = 0;
        Ulaw2Alaw(reinterpret_cast<const uint8_t*>(&code), 1, &crossed);
        EXPECT_LE(std::abs(AlawToLinear(crossed) - UlawToLinear(code)),
                  std::abs(UlawToLinear(code)) / 16 + 16);
        Alaw2Ulaw(&crossed, 1, &back);
        EXPECT_LE(std::abs(UlawToLinear(back) - UlawToLinear(code)), std::abs(UlawToLinear(code)) / 8 + 16);
    }
    const auto sine = kztest::Sine(kSignalSamples, 1000, 8000);
    for (bool mu : {true, false}) {
        std::vector<uint8_t> law(sine.size());
        std::vector<int16_t> back(sine.size());
        EXPECT_EQ((mu ? Linear2Ulaw : Linear2Alaw)(sine.data(), kSignalSamples, law.data()), kSignalSamples);
        EXPECT_EQ((mu ? Ulaw2Linear : Alaw2Linear)(law.data(), kSignalSamples, back.data()), kSignalSamples);
        const double snr = kztest::BestMatch(sine, back, 0, 0).snr_db;
        std::printf("%s sine SNR %.1f dB\n", mu ? "mu-law" : "A-law ", snr);
        EXPECT_GE(snr, 35.0);
    }
}

// RFC 3551 packs G.726 code words from the least significant bit of each octet.
TEST(AudioCodec, G726PayloadsUseRfc3551Packing) {
    if (!(KZ_CODEC_G722_G726)) GTEST_SKIP() << "codec switched off";
    const auto sine = kztest::Sine(160, 1000, 8000);
    for (int bits : {2, 3, 4, 5}) {
        SCOPED_TRACE(bits);
        g726_state_t* reference = g726_init(nullptr, bits * 8000, G726_ENCODING_LINEAR, G726_PACKING_NONE);
        uint8_t codes[160];
        ASSERT_EQ(g726_encode(reference, codes, sine.data(), 160), 160);
        g726_free(reference);
        const kztest::CodecEncoder encode[] = {g726_16_Encode, g726_24_Encode, g726_32_Encode,
                                               g726_40_Encode};
        Handle ours(g726_Create(), g726_Destroy);
        std::vector<uint8_t> payload(bits * 20);
        ASSERT_EQ(encode[bits - 2](ours.get(), sine.data(), 160, payload.data(), bits * 20), bits * 20);
        for (int i = 0; i < 160; ++i) {
            const int bit = i * bits;
            const int word =
                (payload[bit / 8] | (bit / 8 + 1 < bits * 20 ? payload[bit / 8 + 1] << 8 : 0)) >> (bit % 8);
            EXPECT_EQ(word & ((1 << bits) - 1), codes[i]) << i;
        }
    }
}

// RFC 4867 octet-aligned: CMR 15, ToC per frame (F, FT, Q), speech bits padded per frame.
TEST(AudioCodec, AmrPayloadsAreOctetAligned) {
    if (!(KZ_CODEC_AMR)) GTEST_SKIP() << "codec switched off";
    const auto speech = kztest::SpeechLike(320);
    for (const auto& [mode, speech_bytes] : {std::pair{0, 12}, {4, 19}, {7, 31}}) {
        SCOPED_TRACE(mode);
        Handle amr(GSMAMR_Create(), GSMAMR_Destroy);
        GSMAMR_SetEncodeMode(amr.get(), mode);
        std::vector<uint8_t> payload(2 + 2 * (1 + speech_bytes));
        const int bytes = GSMAMR_Encode(amr.get(), speech.data(), 320, payload.data(), int(payload.size()));
        ASSERT_EQ(bytes, 1 + 2 * (1 + speech_bytes));
        EXPECT_EQ(payload[0], 0xF0);
        EXPECT_EQ(payload[1], 0x80 | mode << 3 | 0x04); // more frames follow
        EXPECT_EQ(payload[2], mode << 3 | 0x04);
        std::vector<int16_t> decoded(320);
        EXPECT_EQ(GSMAMR_Decode(amr.get(), payload.data(), bytes, decoded.data(), 320), 320);
        EXPECT_EQ(GSMAMR_Decode(amr.get(), payload.data(), bytes - 1, decoded.data(), 320),
                  160); // second cut short
    }
}

TEST(AudioCodec, OpusDecodesAStereoFullBandStreamAndConcealsLoss) {
    if (!(KZ_CODEC_OPUS)) GTEST_SKIP() << "codec switched off";
    int error = -1;
    OpusEncoder* peer = opus_encoder_create(48000, 2, OPUS_APPLICATION_VOIP, &error);
    ASSERT_EQ(error, OPUS_OK);
    Handle decoder(Opus_Decoder_Create(48000, 2, &error), Opus_Decoder_Destroy);
    ASSERT_EQ(error, OPUS_OK);
    const auto tone = kztest::Sine(kSignalSamples * 6, 1000.0 / 6, 8000); // 1 kHz at 48 kHz
    std::vector<int16_t> stereo(960 * 2), decoded;
    for (int at = 0; at + 960 <= int(tone.size()); at += 960) {
        for (int i = 0; i < 960; ++i)
            stereo[2 * i] = stereo[2 * i + 1] = tone[at + i];
        uint8_t packet[1275];
        const int bytes = opus_encode(peer, stereo.data(), 960, packet, sizeof packet);
        ASSERT_GT(bytes, 0);
        std::vector<int16_t> frame(160);
        ASSERT_EQ(Opus_Decode(decoder.get(), packet, bytes, frame.data(), 160), 160);
        decoded.insert(decoded.end(), frame.begin(), frame.end());
    }
    opus_encoder_destroy(peer);
    EXPECT_NEAR(kztest::DominantHz(decoded, kSettle), 1000, 20);
    EXPECT_NEAR(kztest::RmsDb(decoded, kSettle), kztest::RmsDb(tone, 0), 3);
    std::vector<int16_t> concealed(90);
    EXPECT_EQ(Opus_Decode(decoder.get(), nullptr, 0, concealed.data(), 90), 80); // whole 2.5 ms steps
    std::vector<int16_t> full(160);
    EXPECT_EQ(Opus_Decode(decoder.get(), nullptr, 0, full.data(), 160), 160);
}

TEST(AudioCodec, G723At53RequestEncodesAt63AndSaysSoOnce) {
    if (!(KZ_CODEC_AVCODEC)) GTEST_SKIP() << "codec switched off";
    kztest::LogCapture log;
    Handle encoder(G723_Encoder_Create(), G723_Encoder_Destroy);
    G723_SetBitRate(encoder.get(), 0);
    G723_SetBitRate(encoder.get(), 0);
    const auto speech = kztest::SpeechLike(240);
    std::vector<uint8_t> frame(24);
    EXPECT_EQ(G723_Encode(encoder.get(), speech.data(), 240, frame.data(), 24), 24);
    EXPECT_EQ(frame[0] & 3, 0);        // 6.3 kbit/s frame
    EXPECT_EQ(log.CountAtLevel(2), 1); // once per process, however often it is asked
    EXPECT_TRUE(log.Contains("6.3 kbit/s", 2));
}

TEST(AudioCodec, IlbcDecodesBothFrameSizesAndDoesNotEncode) {
    if (!(KZ_CODEC_AVCODEC)) GTEST_SKIP() << "codec switched off";
    EXPECT_FALSE(iLBC_CanEncode());
    EXPECT_EQ(iLBC_Create(25), nullptr);
    for (const auto& [created_ms, frame_bytes, frame_samples] :
         {std::tuple{20, 38, 160}, {30, 50, 240}, {20, 50, 240}}) {
        SCOPED_TRACE(frame_bytes);
        Handle ilbc(iLBC_Create(created_ms), iLBC_Destroy);
        ASSERT_NE(ilbc.get(), nullptr);
        const auto linear = kztest::SpeechLike(frame_samples);
        std::vector<uint8_t> out(64);
        EXPECT_EQ(iLBC_Encode(ilbc.get(), linear.data(), frame_samples, out.data(), 64), 0);
        // Two frames whose bits are all zero: legal, if quiet, iLBC.
        std::vector<uint8_t> frames(2 * frame_bytes, 0);
        std::vector<int16_t> decoded(2 * frame_samples);
        EXPECT_EQ(
            iLBC_Decode(ilbc.get(), frames.data(), int(frames.size()), decoded.data(), int(decoded.size())),
            2 * frame_samples);
        std::vector<int16_t> one(2 * frame_samples - 1);
        EXPECT_EQ(iLBC_Decode(ilbc.get(), frames.data(), int(frames.size()), one.data(), int(one.size())),
                  frame_samples);
    }
}

TEST(AudioCodec, EchoCancellerRemovesADelayedEcho) {
    if (!(KZ_CODEC_SPEEX)) GTEST_SKIP() << "codec switched off";
    Handle canceller(Speex_EC_Create(160, 2560), Speex_EC_Destroy);
    ASSERT_NE(canceller.get(), nullptr);
    // White noise played; the microphone hears it 400 samples later at half amplitude.
    std::vector<int16_t> played(8000 * 8);
    uint32_t seed = 12345;
    for (auto& s : played)
        s = static_cast<int16_t>(int((seed = seed * 1664525 + 1013904223) >> 20) - 2048);
    double heard = 0, left = 0;
    for (size_t at = 0; at + 160 <= played.size(); at += 160) {
        std::vector<int16_t> mic(160);
        for (int i = 0; i < 160; ++i)
            mic[i] = at + i >= 400 ? played[at + i - 400] / 2 : 0;
        Speex_EC_Playback(canceller.get(), played.data() + at);
        Speex_EC_Capture(canceller.get(), mic.data(), mic.data()); // in place
        if (at >= played.size() - 16000)
            for (int i = 0; i < 160; ++i) {
                heard += std::pow(played[at + i - 400] / 2.0, 2);
                left += double(mic[i]) * mic[i];
            }
    }
    const double erle_db = 10 * std::log10(heard / (left + 1));
    std::printf("echo return loss enhancement %.1f dB\n", erle_db);
    EXPECT_GE(erle_db, 15);
}

// ---- room and refusals ----

// Every buffer is exactly as large as the room given: a write past it is a heap overflow.
TEST(AudioCodec, EncodersAndDecodersNeverWritePastTheRoomGiven) {
    const auto speech = kztest::SpeechLike(480);
    for (const CodecCase& c : kCodecs) {
        SCOPED_TRACE(c.name);
        if (!c.built) continue;
        for (int room = 1; room <= c.room; ++room) {
            Handle encoder(c.make_encoder(), c.destroy_encoder);
            std::vector<uint8_t> out(room);
            const int bytes = c.encode(encoder.get(), speech.data(), c.frame_samples, out.data(), room);
            EXPECT_LE(bytes, room);
            EXPECT_EQ(bytes, !c.frame_bytes ? bytes : room < c.frame_bytes ? 0 : c.frame_bytes) << room;
        }
        Handle encoder(c.make_encoder(), c.destroy_encoder);
        std::vector<uint8_t> payload(c.room);
        const int bytes = c.encode(encoder.get(), speech.data(), c.frame_samples, payload.data(), c.room);
        ASSERT_GT(bytes, 0);
        for (int room = 1; room <= c.frame_samples; ++room) {
            Handle decoder(c.make_decoder(), c.destroy_decoder);
            std::vector<int16_t> out(room);
            const int samples = c.decode(decoder.get(), payload.data(), bytes, out.data(), room);
            EXPECT_LE(samples, room);
            // Frame coders give whole frames or nothing (G.722 and G.726 code sample by sample).
            EXPECT_TRUE(c.sample_coder || samples % 80 == 0) << samples;
        }
    }
}

TEST(AudioCodec, NoCodecNoInputAndNonsenseProduceNothing) {
    const auto speech = kztest::SpeechLike(480);
    std::vector<uint8_t> bytes(2000, 0x55);
    std::vector<int16_t> samples(2000);
    for (const CodecCase& c : kCodecs) {
        SCOPED_TRACE(c.name);
        Handle encoder(c.make_encoder(), c.destroy_encoder);
        Handle decoder(c.make_decoder(), c.destroy_decoder);
        ASSERT_EQ(encoder.get() != nullptr, c.built) << "a switched-off codec hands out no handle";
        EXPECT_EQ(c.encode(nullptr, speech.data(), c.frame_samples, bytes.data(), 2000), 0);
        EXPECT_EQ(c.encode(encoder.get(), nullptr, c.frame_samples, bytes.data(), 2000), 0);
        EXPECT_EQ(c.encode(encoder.get(), speech.data(), c.frame_samples, nullptr, 2000), 0);
        EXPECT_EQ(c.encode(encoder.get(), speech.data(), -c.frame_samples, bytes.data(), 2000), 0);
        EXPECT_EQ(c.encode(encoder.get(), speech.data(), c.frame_samples, bytes.data(), -5), 0);
        EXPECT_TRUE(c.frame_bytes == c.frame_samples || // G.722 codes any count
                    c.encode(encoder.get(), speech.data(), 7, bytes.data(), 2000) == 0);
        EXPECT_EQ(c.decode(nullptr, bytes.data(), 20, samples.data(), 2000), 0);
        EXPECT_EQ(c.decode(decoder.get(), bytes.data(), -20, samples.data(), 2000), 0);
        EXPECT_EQ(c.decode(decoder.get(), bytes.data(), 20, nullptr, 2000), 0);
        EXPECT_EQ(c.decode(decoder.get(), bytes.data(), 20, samples.data(), 0), 0);
        // Another codec's handle is refused, not misread.
        Handle stranger(Speex_EC_Create(160, 2560), Speex_EC_Destroy);
        EXPECT_EQ(c.encode(stranger.get(), speech.data(), c.frame_samples, bytes.data(), 2000), 0);
        EXPECT_EQ(c.decode(stranger.get(), bytes.data(), 20, samples.data(), 2000), 0);
        // Garbage payloads decode to something bounded or to nothing, never past the room.
        std::vector<int16_t> room(c.frame_samples);
        EXPECT_LE(c.decode(decoder.get(), bytes.data(), int(bytes.size()), room.data(), c.frame_samples),
                  c.frame_samples);
    }
    EXPECT_EQ(Ulaw2GSM(nullptr, bytes.data(), 160, bytes.data(), 33), 0);
    EXPECT_EQ(G729B2Alaw(nullptr, bytes.data(), 10, bytes.data(), 80), 0);
    EXPECT_EQ(Speex_EC_Create(0, 2560), nullptr);
    Speex_EC_Capture(nullptr, samples.data(), samples.data()); // tolerated
    EXPECT_EQ(Linear2Ulaw(nullptr, 5, bytes.data()), 0);
    EXPECT_EQ(Alaw2Linear(bytes.data(), -1, samples.data()), 0);
}

} // namespace

// The host payload lookup: payload texts as they come out of offers, and what the host makes of them.
#include "host/KZRTPPayload.h"

#include <gtest/gtest.h>

namespace {

struct LookupCase {
    const char* text;
    bool known;
    int code = -1;
    int payload = -1;
    unsigned mediaType = KZAPI::RTP_MEDIA_AUDIO;
    unsigned clockRate = 8000;
    unsigned channels = 1;
    unsigned frameDuration = 20;
    unsigned bitRate = 0; // 0: not checked
};

const LookupCase kLookupCases[] = {
    {"0", true, 0, 0, 0, 8000, 1, 20, 64000},
    {" 8 ", true, 8, 8},
    {"18", true, 18, 18, 0, 8000, 1, 20, 8000},
    {"34", true, 34, 34, KZAPI::RTP_MEDIA_VIDEO, 90000},
    {"97", false},
    {"101", false},
    {"rtpmap:101 telephone-event/8000\r\nfmtp:101 0-16", false},
    {"rtpmap:97 speex/8000", true, 102, 97},
    {"rtpmap:97 SPEEX/16000", false},
    {"rtpmap: 97 AMR/8000", true, 105, 97},
    {"rtpmap:96 G726-16/8000", true, 96, 96, 0, 8000, 1, 20, 16000},
    {"rtpmap:2 G726-32/8000", true, 2, 2},
    {"rtpmap:110 g726-32/8000", true, 98, 110},
    {"rtpmap:100 PCMU/8000", false},
    {"rtpmap:4 G723/8000\r\nfmtp:4 bitrate=5.3", true, 4, 4, 0, 8000, 1, 30, 5300},
    {"rtpmap:4 g723/8000", true, 4, 4, 0, 8000, 1, 30, 6300},
    {"rtpmap:98 iLBC/8000\r\nfmtp:98 mode=20", true, 103, 98, 0, 8000, 1, 20},
    {"rtpmap:98 iLBC/8000\r\nfmtp:98 mode=30", true, 104, 98, 0, 8000, 1, 30},
    {"rtpmap:111 opus/48000/2", true, 114, 111, 0, 48000, 2},
    {"rtpmap:99 H264/90000", true, 124, 99, KZAPI::RTP_MEDIA_VIDEO, 90000},
    {"rtpmap:9 G722/8000/1", true, 9, 9},
    {"rtpmap:300 speex/8000", false},
    {"", false},
};

TEST(MediaPayloadLookup, Texts) {
    for (const LookupCase& c : kLookupCases) {
        SCOPED_TRACE(c.text);
        KZAPI::StaticPayloadInfo info;
        info.m_uPayload = 77;
        ASSERT_EQ(KZAPI::getRTPPayloadInfo(c.text, &info), c.known);
        if (!c.known) {
            EXPECT_EQ(info.m_uPayload, 77u) << "a refused text leaves the record alone";
            continue;
        }
        EXPECT_EQ(KZAPI::PayloadCodecCode(info), c.code);
        EXPECT_EQ(static_cast<int>(info.m_uPayload), c.payload);
        EXPECT_EQ(info.m_uMediaType, c.mediaType);
        EXPECT_EQ(info.m_uClockRate, c.clockRate);
        EXPECT_EQ(info.m_uChannels, c.channels);
        EXPECT_EQ(info.m_uFrameDuration, c.frameDuration);
        if (c.bitRate) {
            EXPECT_EQ(info.m_uBitRate, c.bitRate);
        }
    }
}

} // namespace

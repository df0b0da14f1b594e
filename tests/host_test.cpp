#include "host/CKZCfgInterface.h"
#include "host/CKZLogInterface.h"
#include "host/CString.h"
#include "host/KZDigest.h"
#include "host/KZSecureRandom.h"
#include "host/KZStrFunc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

using namespace KZAPI;

TEST(HostString, CopyALineTakesOneLineWithItsEnding) {
    CString line;
    const char* text = "INVITE sip:a@b SIP/2.0\r\nVia: x\r\n\r\nlast";
    size_t n = line.CopyALine(text);
    EXPECT_EQ(n, 24u);
    EXPECT_EQ(line, "INVITE sip:a@b SIP/2.0\r\n");
    text += n;
    text += line.CopyALine(text);
    EXPECT_EQ(line, "Via: x\r\n");
    text += line.CopyALine(text);
    EXPECT_EQ(line, "\r\n");
    EXPECT_EQ(line.CopyALine(text), 4u); // no line end: the rest of the text
    EXPECT_EQ(line, "last");
    EXPECT_EQ(line.CopyALine(""), 0u);
    EXPECT_EQ(line.CopyALine(nullptr), 0u);
}

TEST(HostString, TrimFindAndFormatPastTheStackBuffer) {
    CString s(" \t value \r\n");
    EXPECT_EQ(s.TrimSpacePlus(), "value");
    CString h("Content-Type: application/SDP");
    EXPECT_EQ(h.FindNoCase("sdp"), 26);
    EXPECT_EQ(h.Find("a", 100), -1);
    EXPECT_EQ(h.Mid(99), "");
    CString f;
    f.Format("%s %d", "CSeq:", 42);
    f.AppendFormat(" %s", std::string(600, 'x').c_str()); // longer than the internal stack buffer
    EXPECT_EQ(f.GetLength(), 8u + 601u);
    EXPECT_EQ(f.Left(8), "CSeq: 42");
}

TEST(HostStrFunc, BoundedCopiesAlwaysTerminate) {
    char buf[8];
    memset(buf, 'Z', sizeof(buf));
    EXPECT_EQ(str_cpy(buf, "0123456789", sizeof(buf)), 7u);
    EXPECT_STREQ(buf, "0123456");
    EXPECT_EQ(str_cpy(buf, nullptr, sizeof(buf)), 0u);
    EXPECT_STREQ(buf, "");

    str_cpy(buf, "abc", sizeof(buf));
    EXPECT_EQ(str_cat(buf, "defghij", sizeof(buf)), 7u);
    EXPECT_STREQ(buf, "abcdefg");

    EXPECT_EQ(s_printf(buf, sizeof(buf), "%d-%s", 12345, "xyz"), 7);
    EXPECT_STREQ(buf, "12345-x");

    const char* src = "user@host";
    const char* stop = copy_until_char(buf, sizeof(buf), src, '@');
    EXPECT_STREQ(buf, "user");
    EXPECT_EQ(*stop, '@');
    stop = copy_until_char(buf, 3, src, '#');
    EXPECT_STREQ(buf, "us");
    EXPECT_EQ(*stop, '\0');
}

TEST(HostDigest, Md5MatchesRfc1321VectorsWholeAndFedInUnevenPieces) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [in, hex] : vectors) {
        char whole[33];
        KZ_MD5_Hex(in.data(), in.size(), whole);
        EXPECT_EQ(std::string(whole), hex) << in;
        KZ_MD5_CTX ctx;
        KZ_MD5_Init(&ctx);
        for (size_t i = 0; i < in.size(); i += 7)
            KZ_MD5_Update(&ctx, in.data() + i, std::min<size_t>(7, in.size() - i));
        unsigned char bin[16];
        KZ_MD5_Final(bin, &ctx);
        std::string pieces;
        for (unsigned char byte : bin)
            pieces += "0123456789abcdef"[byte >> 4], pieces += "0123456789abcdef"[byte & 15];
        EXPECT_EQ(pieces, hex) << in;
    }
}

TEST(HostSecureRandom, SmallAndLargeDrawsNeverRepeatBytesAlreadyHandedOut) {
    for (const size_t size : {size_t{4}, size_t{16}, size_t{64}, size_t{100}}) {
        SCOPED_TRACE(size);
        std::set<std::string> seen;
        for (int i = 0; i < 200; ++i) {
            std::string draw(size, '\0');
            ASSERT_TRUE(KZAPI::KZ_SecureRandomBytes(draw.data(), size));
            EXPECT_NE(draw, std::string(size, '\0'));
            seen.insert(draw);
        }
        EXPECT_GE(seen.size(), size == 4 ? 199u : 200u); // 4-byte values may meet by chance, rarely
    }
}

TEST(HostConfig, LoadTextDefaultsAndOverrides) {
    CKZCfgInterface::CFG_Clear();
    EXPECT_EQ(CKZCfgInterface::CFG_GetValue("kzsrv.sip.user.agent", "Zelmar-SIP-SDK"), "Zelmar-SIP-SDK");
    EXPECT_EQ(CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.port", 5060), 5060);
    int n = CKZCfgInterface::CFG_LoadText(
        "# comment\n kzsrv.sip.port = 5070 \n\nbroken line\nkzsrv.name = a = b\n"
        "kzsrv.bad.int = abc\n");
    EXPECT_EQ(n, 3);
    EXPECT_EQ(CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.port", 5060), 5070);
    EXPECT_EQ(CKZCfgInterface::CFG_GetValue("kzsrv.name", ""), "a = b");
    EXPECT_EQ(CKZCfgInterface::CFG_GetIntValue("kzsrv.bad.int", 7), 7);
    CKZCfgInterface::CFG_SetValue("kzsrv.sip.port", "0x10");
    EXPECT_EQ(CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.port", 0), 16);
    EXPECT_EQ(CKZCfgInterface::CFG_LoadFile("/nonexistent/file.conf"), -1);
    CKZCfgInterface::CFG_Clear();
}

TEST(HostLog, LevelFilterAndCategory) {
    std::vector<std::pair<unsigned, std::string>> lines;
    unsigned last_category = 0;
    CKZLogInterface::SetSink([&](unsigned level, unsigned category, const char* line) {
        lines.emplace_back(level, line);
        last_category = category;
    });
    unsigned saved = CKZLogInterface::GetMaxLevel();
    CKZLogInterface::SetMaxLevel(CKZLogInterface::LOG_WARNING);
    CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "error %d", 1);
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "trace %d", 2);
    CKZLogInterface::Log(CKZLogInterface::LOG_WARNING, CKZLogInterface::CATEGORY_SIP, "SRC PROTOCOL %s", "1");
    CKZLogInterface::SetMaxLevel(saved);
    CKZLogInterface::SetSink(nullptr);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].second, "error 1");
    EXPECT_EQ(lines[1].second, "SRC PROTOCOL 1");
    EXPECT_EQ(last_category, CKZLogInterface::CATEGORY_SIP);
}

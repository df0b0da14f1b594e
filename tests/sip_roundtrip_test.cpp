// Every data file (tests/data/messages, tests/data/rfc4475, fuzz/corpus/sipmsg) is parsed as a stream
// transport hands it over, and each message found is composed. The outcome of every parse call and every
// composition is compared with tests/data/composed/<corpus>.txt, so any change of parsed
// elements or of the wire text shows up as a difference. KZ_SIP_SNAPSHOT_UPDATE=1 rewrites the
// expected files after an intended change.
//
// Each composition must also be a fixed point (parsed and composed again it stays the same), no
// parse call may stand still or go past the data, and a message's raw text is what it was parsed from.
#include "sipmsg/sip_msg.h"

#include "support/test_files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string compose(const sip_msg& m) {
    KZAPI::CString out;
    m.write_into_buf(&out);
    return std::string(out.View());
}

std::string outcome_of(const sip_msg& m, const KZSIPEvent& event, size_t next) {
    const uint32_t type = event.event_type;
    const char* kind = type == KZ_EVENT_SIP_MESSAGE_REQUEST    ? "request"
                       : type == KZ_EVENT_SIP_MESSAGE_RESPONSE ? "response"
                       : type == KZ_EVENT_SIP_EXTERNAL_MESSAGE ? "external"
                                                               : nullptr;
    const std::string line = "== next " + std::to_string(next) + ": ";
    if (!kind) return line + "nothing\n";
    return line + kind + " " + std::to_string(event.code) + "\n" +
           (type == KZ_EVENT_SIP_EXTERNAL_MESSAGE ? "" : compose(m));
}

void expect_fixed_point(const std::string& composed, const KZSIPEvent& event) {
    std::vector<char> again(composed.begin(), composed.end());
    again.push_back('\0');
    sip_msg reparsed;
    KZSIPEvent event2{};
    reparsed.init_from_buf(again.data(), &event2);
    EXPECT_EQ(event2.code, event.code);
    EXPECT_EQ(compose(reparsed), composed);
}

// The outcomes of parsing the data as one stream, with the checks every message must pass.
std::string stream_outcomes(const std::string& data) {
    constexpr size_t kGuard = 16; // bytes after the NUL that parsing must leave alone
    std::vector<char> buf(data.begin(), data.end());
    buf.push_back('\0');
    buf.insert(buf.end(), kGuard, 'Z');
    char* const begin = buf.data();
    char* const end = begin + data.size();
    std::string outcomes;
    sip_msg msg; // reused from message to message, as the receive loop does
    for (char* p = begin; p < end;) {
        const size_t offset = static_cast<size_t>(p - begin);
        KZSIPEvent event{};
        char* next = msg.init_from_buf(p, &event);
        if (next <= p || next > end + 1) {
            ADD_FAILURE() << "parse call at " << offset << " returned " << static_cast<void*>(next);
            break;
        }
        const bool sip = event.event_type == KZ_EVENT_SIP_MESSAGE_REQUEST ||
                         event.event_type == KZ_EVENT_SIP_MESSAGE_RESPONSE;
        EXPECT_TRUE(!sip ||
                    data.compare(offset, msg.get_raw_msg().GetLength(), msg.get_raw_msg().View()) == 0);
        outcomes += outcome_of(msg, event, static_cast<size_t>(next - begin));
        if (sip) expect_fixed_point(compose(msg), event);
        p = next;
    }
    EXPECT_EQ(std::string(buf.end() - kGuard, buf.end()), std::string(kGuard, 'Z'));
    return outcomes;
}

struct Corpus {
    const char* name;
    fs::path dir;
    const char* extension;
};

class Snapshot : public testing::TestWithParam<Corpus> {};

} // namespace

TEST_P(Snapshot, EveryFileParsesAndComposesAsRecorded) {
    const Corpus& corpus = GetParam();
    const std::vector<std::string> files = kztest::list_files(corpus.dir, corpus.extension);
    ASSERT_FALSE(files.empty()) << corpus.dir;
    std::string outcomes;
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        outcomes += "#### " + file + "\n" + stream_outcomes(kztest::read_bytes(corpus.dir / file));
    }
    const fs::path expected_file =
        fs::path(KZ_TEST_DATA_DIR) / "composed" / (std::string(corpus.name) + ".txt");
    if (std::getenv("KZ_SIP_SNAPSHOT_UPDATE")) std::ofstream(expected_file, std::ios::binary) << outcomes;
    const std::string expected = kztest::read_bytes(expected_file);
    // Compared file by file so a failure names the file that changed.
    size_t a = 0, b = 0;
    while (a < expected.size() || b < outcomes.size()) {
        const size_t a_end = std::min(expected.find("#### ", a + 1), expected.size());
        const size_t b_end = std::min(outcomes.find("#### ", b + 1), outcomes.size());
        ASSERT_EQ(outcomes.substr(b, b_end - b), expected.substr(a, a_end - a));
        a = a_end;
        b = b_end;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Corpora, Snapshot,
    testing::Values(Corpus{"messages", fs::path(KZ_TEST_DATA_DIR) / "messages", ".sip"},
                    Corpus{"rfc4475", fs::path(KZ_RFC4475_DIR), ".dat"},
                    Corpus{"fuzz", fs::path(KZ_TEST_DATA_DIR) / "../../fuzz/corpus/sipmsg", ".sip"}),
    [](const auto& info) { return std::string(info.param.name); });

// kzhost's control socket: the real program answers a table of command lines on a free port,
// bad lines change nothing, a busy control port stops it, an INVITE it receives is offered; in the process,
// published events reach every subscribed client, a client that does not read is dropped, and clients from
// other hosts must authenticate.
#include "app/KZControlCommands.h"
#include "app/KZControlServer.h"
#include "support/kzhost_process.h"
#include "support/no_stack_queries.h"
#include "support/port_holder.h"
#include "support/sip_peer.h"
#include "support/sip_requests.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using kzapp::KZJson;
using Clock = std::chrono::steady_clock;

// A control client: sends lines, reads events one line at a time with a deadline.
class LineClient {
public:
    explicit LineClient(uint16_t port, const std::string& address = "127.0.0.1", int receive_buffer = 0)
        : m_fd(socket(AF_INET, SOCK_STREAM, 0)) {
        if (receive_buffer) setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof(receive_buffer));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, address.c_str(), &a.sin_addr);
        m_connected = connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    }
    ~LineClient() { close(m_fd); }

    bool Connected() const { return m_connected; }
    void Send(const std::string& line) {
        const std::string text = line + "\n";
        [[maybe_unused]] const ssize_t n = send(m_fd, text.data(), text.size(), MSG_NOSIGNAL);
    }
    // The next event; nullopt on timeout or when the server closed the connection.
    std::optional<KZJson> Next(int timeout_ms = 3000) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        size_t end;
        while ((end = m_input.find('\n')) == std::string::npos) {
            if (Clock::now() >= deadline || !ReadSome(50)) return std::nullopt;
        }
        const std::string line = m_input.substr(0, end);
        m_input.erase(0, end + 1);
        return KZJson::parse(line, nullptr, false);
    }
    // The next event called name, skipping others; null when none comes in time.
    KZJson Await(const std::string& name, int timeout_ms) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        for (auto left = timeout_ms; left > 0;
             left = static_cast<int>(
                 std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count())) {
            const std::optional<KZJson> event = Next(left);
            if (!event) break;
            if (event->is_object() && event->value("event", "") == name) return *event;
        }
        return nullptr;
    }
    KZJson Ask(const std::string& line) {
        Send(line);
        return Next().value_or(KZJson::object());
    }
    bool ClosedByServer(int timeout_ms) {
        for (const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
             Clock::now() < deadline;)
            if (!ReadSome(50) && m_eof) return true;
        return false;
    }

private:
    // False at the end of the stream; true after a read or a quiet wait.
    bool ReadSome(int wait_ms) {
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, wait_ms) <= 0) return true;
        char buf[65536];
        const ssize_t n = recv(m_fd, buf, sizeof(buf), 0);
        if (n <= 0) {
            m_eof = true;
            return false;
        }
        m_input.append(buf, static_cast<size_t>(n));
        return true;
    }

    int m_fd;
    bool m_connected = false;
    bool m_eof = false;
    std::string m_input;
};

uint16_t free_tcp_port() {
    return kztest::PortHolder(SOCK_STREAM).Port();
}

struct Row {
    std::string line; // empty: nothing sent, the event comes unasked
    const char* event;
    const char* reason = ""; // contained in "reason" when not empty
};

void expect_reply(LineClient& client, const Row& row) {
    SCOPED_TRACE(row.line.substr(0, 80));
    if (!row.line.empty()) client.Send(row.line);
    const KZJson reply = client.Next().value_or(KZJson::object());
    EXPECT_EQ(reply.value("event", ""), row.event) << reply.dump();
    EXPECT_NE(reply.value("reason", "").find(row.reason), std::string::npos) << reply.dump();
}

} // namespace

TEST(KzhostControl, AnswersEveryLineOnceAndBadLinesChangeNothing) {
    const uint16_t sip_port = kztest::free_port_pair();
    const uint16_t control_port = free_tcp_port();
    kztest::KzhostProcess host({"--set", "kzsrv.sip.ip.port=" + std::to_string(sip_port), "--set",
                                "kzhost.control.port=" + std::to_string(control_port), "--set",
                                "kzhost.channels=3", "--log-level", "1"});
    const std::string where = "control socket on 127.0.0.1:" + std::to_string(control_port);
    ASSERT_NE(host.WaitForOutput(where, 10000).find(where), std::string::npos);
    EXPECT_NE(host.WaitForOutput("", 0).find("kzhost: 3 SIP channels\n"), std::string::npos);

    LineClient client(control_port);
    ASSERT_TRUE(client.Connected());
    const KZJson stats_before = client.Ask(R"({"cmd":"stats"})");
    ASSERT_EQ(stats_before.value("event", ""), "stats") << stats_before.dump();
    EXPECT_GT(stats_before["queued_bytes_limit"].get<uint64_t>(), 0u);

    const Row rows[] = {
        {R"({"cmd":"ping","id":7})", "pong"},
        {R"({"cmd":"calls"})", "calls"},
        {R"({"cmd":"ping")", "error", "malformed JSON"},
        {R"(["ping"])", "error", "JSON object"},
        {R"({"cmd":"conference"})", "error", "unknown command"},
        {R"({"cmd":"dial","from":"sip:ivr@127.0.0.1"})", "error", "\"to\" is required"},
        {R"({"cmd":"dial","to":5060})", "error", "\"to\" must be a string"},
        {R"({"cmd":"dial","to":"sip:a@127.0.0.1","transport":"sctp"})", "error", "\"transport\""},
        {R"({"cmd":"hangup","channel":1})", "error", "channel 1 has no call"},
        {R"({"cmd":"hangup","channel":1,"cause":16})", "error", "between 400 and 699"},
        {R"({"cmd":"answer","channel":2})", "error", "channel 2 has no offered call"},
        {R"({"cmd":"dial","channel":3,"to":"sip:b@127.0.0.1"})", "error", "no channel 3"},
        {R"({"cmd":"answer","channel":"1"})", "error", "must be an integer"},
        {R"({"cmd":"subscribe","events":["ringing","ringring"]})", "error", "unknown event kind"},
        {R"({"cmd":"bridge","channel":1,"with":2})", "error", "channel 1 has no connected call"},
        {R"({"cmd":"bridge","channel":1,"with":1})", "error", "to itself"},
        {R"({"cmd":"bridge","channel":1,"with":2,"mode":"rtp","duplex":"half"})", "error",
         "full duplex only"},
        {R"({"cmd":"bridge","channel":1,"with":2,"mode":"sip"})", "error",
         "\"mode\" must be one of dsp, rtp"},
        {R"({"cmd":"unbridge","channel":1})", "error", "channel 1 is not bridged"},
        {R"({"cmd":"media-stats","reset":1})", "error", "true or false"},
        {R"({"cmd":"media-stats"})", "media-stats"},
        {R"({"cmd":"play","channel":1,"files":["/tmp/a.wav"]})", "error", "channel 1 has no connected call"},
        {R"({"cmd":"record","channel":1,"path":"/tmp/r.wav","max_seconds":5})", "error",
         "channel 1 has no connected call"},
        {R"({"cmd":"send-dtmf","channel":1,"digits":"12"})", "error", "channel 1 has no connected call"},
        {R"({"cmd":"detect-tones","channel":1,"on":true})", "error", "channel 1 has no connected call"},
        {"{\"cmd\":\"ping\",\"pad\":\"" + std::string(100 * 1024, 'x') + "\"}", "error", "line longer"},
        {R"({"cmd":"ping"})", "pong"},
    };
    for (const Row& row : rows)
        expect_reply(client, row);
    EXPECT_EQ(client.Ask(R"({"cmd":"ping","id":"last"})")["id"], "last");
    const KZJson channels = client.Ask(R"({"cmd":"calls"})")["channels"];
    ASSERT_EQ(channels.size(), 3u) << channels.dump();
    for (int n = 0; n < 3; ++n) {
        EXPECT_EQ(channels[n]["channel"], n);
        EXPECT_EQ(channels[n]["state"], "idle");
        EXPECT_EQ(channels[n]["protocol"], 10);
    }
    EXPECT_EQ(client.Ask(R"({"cmd":"stats"})"), stats_before);
    EXPECT_FALSE(client.Next(200)) << "one reply per line, no more";
    EXPECT_EQ(host.Terminate(SIGTERM, 15000), 0);
}

TEST(KzhostControl, AnInviteFromAPeerIsOffered) {
    const uint16_t sip_port = kztest::free_port_pair();
    const uint16_t control_port = free_tcp_port();
    kztest::KzhostProcess host({"--set", "kzsrv.sip.ip.port=" + std::to_string(sip_port), "--set",
                                "kzsrv.sip.ip.address=127.0.0.1", "--set",
                                "kzhost.control.port=" + std::to_string(control_port), "--set",
                                "kzhost.channels=2", "--log-level", "1"});
    const std::string where = "control socket on 127.0.0.1:" + std::to_string(control_port);
    ASSERT_NE(host.WaitForOutput(where, 10000).find(where), std::string::npos);
    LineClient control(control_port);
    ASSERT_EQ(control.Ask(R"({"cmd":"ping"})").value("event", ""), "pong");

    kztest::UdpPeer caller;
    caller.send_to(sip_port, kztest::sip_request("INVITE", caller.port(), sip_port));
    const KZJson offered = control.Await("offered", 2000);
    if (offered.is_null() && caller.receive(100).empty())
        GTEST_SKIP() << "the call control answered nothing to the INVITE within 2 s: this build's call "
                        "control does not carry inbound calls yet";
    ASSERT_FALSE(offered.is_null()) << "the INVITE was answered but no call was offered";
    EXPECT_NE(offered.value("from", "").find("sip:tester@127.0.0.1"), std::string::npos) << offered.dump();
    const std::string line =
        "kzhost: call " + std::to_string(offered.value("channel", -1)) + " offered from ";
    EXPECT_NE(host.WaitForOutput(line, 2000).find(line), std::string::npos);
}

TEST(KzhostControl, ABusyControlPortStopsItWithTheReason) {
    kztest::PortHolder holder(SOCK_STREAM);
    const std::string port = std::to_string(holder.Port());
    kztest::KzhostProcess host({"--set", "kzsrv.sip.ip.port=" + std::to_string(kztest::free_port_pair()),
                                "--set", "kzhost.control.port=" + port, "--log-level", "1"});
    EXPECT_EQ(host.Terminate(0, 10000), 1);
    const std::string reason = "kzhost: cannot start: control port 127.0.0.1:" + port + " is in use\n";
    EXPECT_NE(host.WaitForOutput(reason, 1000).find(reason), std::string::npos) << host.WaitForOutput("", 0);
}

namespace {

using kztest::NoStack;

// A control server in this process, on a port the system chooses.
struct InProcess {
    explicit InProcess(kzapp::KZControlOptions options, std::string token = "")
        : commands(host, calls, std::move(token)), server(std::move(options), commands) {
        started = server.Start();
    }
    NoStack host;
    kzapp::KZNoCallControl calls;
    kzapp::KZControlCommands commands;
    kzapp::KZControlServer server;
    std::string started;
};

const KZJson kRinging = {{"event", "ringing"}, {"channel", 3}};

} // namespace

TEST(KzhostControl, PublishedEventsReachTheClientsSubscribedToThem) {
    InProcess control({});
    ASSERT_EQ(control.started, "");
    LineClient first(control.server.Port()), second(control.server.Port()),
        uninterested(control.server.Port());
    EXPECT_EQ(uninterested.Ask(R"({"cmd":"unsubscribe","events":["ringing"]})")["event"], "subscribed");
    for (LineClient* c : {&first, &second})
        ASSERT_EQ(c->Ask(R"({"cmd":"ping"})")["event"], "pong");

    EXPECT_FALSE(control.server.Publish(KZJson{{"event", "pong"}}))
        << "not an event kind clients subscribe to";
    std::thread publisher([&] { EXPECT_TRUE(control.server.Publish(kRinging)); });
    publisher.join();
    EXPECT_EQ(first.Next(), kRinging);
    EXPECT_EQ(second.Next(), kRinging);
    EXPECT_FALSE(uninterested.Next(300));
}

TEST(KzhostControl, AClientThatDoesNotReadIsDroppedAndTheOthersStayServed) {
    kzapp::KZControlOptions options;
    options.max_unsent = 64 * 1024;
    InProcess control(options);
    ASSERT_EQ(control.started, "");
    LineClient reader(control.server.Port());
    LineClient sleeper(control.server.Port(), "127.0.0.1", 4096);
    EXPECT_EQ(reader.Ask(R"({"cmd":"unsubscribe"})")["events"], KZJson::array());
    ASSERT_EQ(sleeper.Ask(R"({"cmd":"ping"})")["event"], "pong");

    const KZJson big = {{"event", "progress"}, {"channel", 1}, {"pad", std::string(16 * 1024, 'p')}};
    // Bounded by time, not by count: a sanitized build on a busy machine delivers slowly.
    const auto give_up = Clock::now() + std::chrono::seconds(30);
    while (control.server.ClientCount() == 2 && Clock::now() < give_up)
        if (!control.server.Publish(big)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(control.server.ClientCount(), 1u);
    EXPECT_EQ(reader.Ask(R"({"cmd":"ping"})")["event"], "pong");
}

TEST(KzhostControl, ClientsFromOtherHostsNeedTheToken) {
    struct Case {
        const char* token;
        std::vector<Row> lines;
        bool stays_open;
    };
    const Case cases[] = {
        {"", {{"", "error", "other hosts are refused"}}, false},
        {"s3cret", {{R"({"cmd":"ping"})", "error", "authentication required"}}, false},
        {"s3cret", {{R"({"cmd":"auth","token":"s3cre7"})", "error", "authentication failed"}}, false},
        {"s3cret",
         {{R"({"cmd":"auth","token":"s3cret"})", "authenticated"}, {R"({"cmd":"ping"})", "pong"}},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("token ") + c.token);
        kzapp::KZControlOptions options;
        options.trust_loopback = false; // 127.0.0.1 stands for another host
        InProcess control(options, c.token);
        ASSERT_EQ(control.started, "");
        LineClient client(control.server.Port());
        for (const Row& row : c.lines)
            expect_reply(client, row);
        EXPECT_EQ(client.ClosedByServer(300), !c.stays_open);
    }
}

namespace {

// Call control as the commands reach it, one text per command.
class RecordingCalls final : public kzapp::IKZCallCommands {
public:
    std::string last;
    kzapp::KZCallOutcome Dial(const kzapp::KZDialRequest& r) override {
        static const char* const transports[] = {"udp", "tcp", "tls"};
        last = "dial " + (r.channel ? std::to_string(*r.channel) : std::string("any")) + " " + r.from + " " +
               r.to + " " + transports[static_cast<int>(r.transport)] + " " + r.user + ":" + r.password;
        return kzapp::KZCallOutcome::Accepted(r.channel.value_or(5));
    }
    kzapp::KZCallOutcome Answer(int channel) override { return Record("answer", channel); }
    kzapp::KZCallOutcome Ring(int channel) override { return Record("ring", channel); }
    kzapp::KZCallOutcome Hangup(int channel, int cause) override {
        return Record("hangup", channel, " " + std::to_string(cause));
    }
    kzapp::KZCallOutcome Bridge(int channel, int with, bool rtp, bool half) override {
        return Record("bridge", channel,
                      " " + std::to_string(with) + (rtp ? " rtp" : " dsp") + (half ? " half" : ""));
    }
    kzapp::KZCallOutcome Unbridge(int channel) override { return Record("unbridge", channel); }
    kzapp::KZCallOutcome Play(const kzapp::KZPlayRequest& r) override {
        std::string files;
        for (const std::string& f : r.files)
            files += " " + f;
        return Record("play", r.channel,
                      files + (r.loop ? " loop" : "") + (r.random ? " random" : "") +
                          " stop:" + r.stop_digits);
    }
    kzapp::KZCallOutcome Record(const kzapp::KZRecordRequest& r) override {
        static const char* const encodings[] = {"linear", "ulaw", "alaw"};
        return Record("record", r.channel,
                      " " + r.path + " " + encodings[static_cast<int>(r.encoding)] +
                          (r.mixed ? " mixed" : "") + " max:" + std::to_string(r.max_seconds.value_or(-1)) +
                          " stop:" + r.stop_digits);
    }
    kzapp::KZCallOutcome StopPlay(int channel) override { return Record("stop-play", channel); }
    kzapp::KZCallOutcome StopRecord(int channel) override { return Record("stop-record", channel); }
    kzapp::KZCallOutcome SendDTMF(int channel, const std::string& digits, kzapp::KZDTMFMethod m) override {
        static const char* const methods[] = {"auto", "inband", "info", "rfc2833"};
        return Record("send-dtmf", channel, " " + digits + " " + methods[static_cast<int>(m)]);
    }
    kzapp::KZCallOutcome Collect(const kzapp::KZCollectRequest& r) override {
        return Record("collect", r.channel,
                      " " + std::to_string(r.max_digits) + " " + r.terminators + " " +
                          std::to_string(r.timeout_ms));
    }
    kzapp::KZCallOutcome DetectTones(int channel, bool on) override {
        return Record("detect-tones", channel, on ? " on" : " off");
    }
    kzapp::KZCallOutcome Gain(int channel, int in_db, int out_db) override {
        return Record("gain", channel, " " + std::to_string(in_db) + " " + std::to_string(out_db));
    }
    kzapp::KZCallOutcome Hold(int channel, bool on) override {
        return Record(on ? "hold" : "resume", channel);
    }
    kzapp::KZCallOutcome Transfer(const kzapp::KZTransferRequest& r) override {
        return Record("transfer", r.channel,
                      " " + r.target + " " + std::to_string(r.replaces_channel.value_or(-1)));
    }
    kzapp::KZCallOutcome Redirect(const kzapp::KZRedirectRequest& r) override {
        return Record("redirect", r.channel, " " + r.target + " " + std::to_string(r.code) + " " + r.text);
    }

private:
    kzapp::KZCallOutcome Record(const char* name, int channel, const std::string& more = "") {
        last = name + (" " + std::to_string(channel)) + more;
        return kzapp::KZCallOutcome::Accepted(channel);
    }
};

} // namespace

TEST(KzhostControl, CallCommandsReachCallControlWithTheirArguments) {
    struct Case {
        const char* line;
        const char* reaches;
        int channel; // in the "ok" reply
    };
    const Case cases[] = {
        {R"({"cmd":"dial","to":"sip:b@h"})", "dial any  sip:b@h udp :", 5},
        {R"({"cmd":"dial","channel":2,"from":"sip:a@h","to":"sip:b@h","transport":"tls","user":"u","password":"p"})",
         "dial 2 sip:a@h sip:b@h tls u:p", 2},
        {R"({"cmd":"answer","channel":4})", "answer 4", 4},
        {R"({"cmd":"ring","channel":4})", "ring 4", 4},
        {R"({"cmd":"hangup","channel":3})", "hangup 3 0", 3},
        {R"({"cmd":"hangup","channel":3,"cause":486})", "hangup 3 486", 3},
        {R"({"cmd":"bridge","channel":1,"with":2})", "bridge 1 2 dsp", 1},
        {R"({"cmd":"bridge","channel":1,"with":2,"mode":"rtp"})", "bridge 1 2 rtp", 1},
        {R"({"cmd":"bridge","channel":1,"with":2,"mode":"dsp","duplex":"half"})", "bridge 1 2 dsp half", 1},
        {R"({"cmd":"unbridge","channel":2})", "unbridge 2", 2},
        {R"({"cmd":"play","channel":1,"files":["/a.wav","/b.mp3"],"loop":true,"random":true})",
         "play 1 /a.wav /b.mp3 loop random stop:", 1},
        {R"({"cmd":"play","channel":1,"files":["/a.wav"],"stop_digits":"#*"})", "play 1 /a.wav stop:#*", 1},
        {R"({"cmd":"record","channel":2,"path":"/r.au"})", "record 2 /r.au linear max:-1 stop:", 2},
        {R"({"cmd":"record","channel":2,"path":"/r.raw","format":"alaw","mixed":true,"max_seconds":30,"stop_digits":"#"})",
         "record 2 /r.raw alaw mixed max:30 stop:#", 2},
        {R"({"cmd":"stop-play","channel":3})", "stop-play 3", 3},
        {R"({"cmd":"stop-record","channel":3})", "stop-record 3", 3},
        {R"({"cmd":"send-dtmf","channel":0,"digits":"12*#AD"})", "send-dtmf 0 12*#AD auto", 0},
        {R"({"cmd":"send-dtmf","channel":0,"digits":"9","method":"info"})", "send-dtmf 0 9 info", 0},
        {R"({"cmd":"collect","channel":4,"max_digits":4,"terminators":"#","timeout_ms":5000})",
         "collect 4 4 # 5000", 4},
        {R"({"cmd":"collect","channel":4,"timeout_ms":300})", "collect 4 0  300", 4},
        {R"({"cmd":"detect-tones","channel":4,"on":false})", "detect-tones 4 off", 4},
        {R"({"cmd":"gain","channel":2,"out_db":-6})", "gain 2 0 -6", 2},
    };
    NoStack host;
    RecordingCalls calls;
    const kzapp::KZControlCommands commands(host, calls, "");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        kzapp::KZClientSession session{.authenticated = true};
        const KZJson reply = commands.Execute(c.line, session);
        EXPECT_EQ(calls.last, c.reaches);
        EXPECT_EQ(reply.value("event", ""), "ok") << reply.dump();
        EXPECT_EQ(reply.value("channel", -1), c.channel);
    }
}

TEST(KzhostControl, BadMediaCommandsReachNothing) {
    const std::string long_path = "/" + std::string(255, 'a');
    const struct {
        std::string line;
        std::string reason;
    } cases[] = {
        {R"({"cmd":"play","channel":1,"files":[]})", "names no file"},
        {R"({"cmd":"play","channel":1,"files":["a.wav"]})", "not an absolute path"},
        {R"({"cmd":"play","channel":1,"files":"/a.wav"})", "list of strings"},
        {R"({"cmd":"play","channel":1,"files":["/a.wav"],"stop_digits":"#x"})", "only 0-9"},
        {R"({"cmd":"play","channel":1,"files":["/a.wav"],"loop":true,"stop_digits":"#"})", "neither loops"},
        {R"({"cmd":"record","channel":1})", "\"path\" is required"},
        {R"({"cmd":"record","channel":1,"path":")" + long_path + R"("})", "longer than 255"},
        {R"({"cmd":"record","channel":1,"path":"/r.wav","format":"gsm"})", "one of linear, ulaw, alaw"},
        {R"({"cmd":"record","channel":1,"path":"/r.wav","max_seconds":0})", "between 1 and"},
        {R"({"cmd":"send-dtmf","channel":1,"digits":""})", "is empty"},
        {R"({"cmd":"send-dtmf","channel":1,"digits":"12","method":"sms"})", "\"method\" must be one of"},
        {R"({"cmd":"send-dtmf","channel":1,"digits":")" + std::string(65, '1') + R"("})", "more than 64"},
        {R"({"cmd":"collect","channel":1})", "needs"},
        {R"({"cmd":"collect","channel":1,"max_digits":65})", "between 1 and 64"},
        {R"({"cmd":"collect","channel":1,"terminators":")" + std::string(17, '#') + R"("})", "more than 16"},
        {R"({"cmd":"detect-tones","channel":1})", "\"on\" is required"},
        {R"({"cmd":"gain","channel":1,"in_db":21})", "between -40 and 20"},
        {R"({"cmd":"stop-play"})", "\"channel\" is required"},
    };
    NoStack host;
    RecordingCalls calls;
    const kzapp::KZControlCommands commands(host, calls, "");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line.substr(0, 100));
        kzapp::KZClientSession session{.authenticated = true};
        const KZJson reply = commands.Execute(c.line, session);
        EXPECT_EQ(reply.value("event", ""), "error");
        EXPECT_NE(reply.value("reason", "").find(c.reason), std::string::npos) << reply.dump();
        EXPECT_EQ(calls.last, "");
    }
    kzapp::KZClientSession session{.authenticated = true};
    const KZJson subscribed = commands.Execute(
        R"({"cmd":"subscribe","events":["dtmf","collect-done","play-done","record-done","tone"]})", session);
    EXPECT_EQ(subscribed.value("event", ""), "subscribed") << subscribed.dump();
}

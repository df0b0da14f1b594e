// The server registers with a real registrar: Debian's kamailio on 127.0.0.1, started here on a
// free port with tests/kamailio/kamailio.cfg, bounded in time and stopped by its PID. One account
// registers with digest credentials and is refreshed when kamailio's short lifetime runs out; one
// with a wrong password fails and is retried; Stop unregisters.
#include "host/CKZAPIEnv.h"
#include "host/CKZCfgInterface.h"
#include "server/CKZSIPServer.h"
#include "support/kzhost_process.h"
#include "support/sip_peer.h"
#include "support/sip_requests.h"
#include "support/sip_server.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using KZAPI::CKZCfgInterface;
using Clock = std::chrono::steady_clock;

namespace {

constexpr char kKamailio[] = "/usr/sbin/kamailio";
constexpr int kGrantedSeconds = 12; // kamailio.cfg's max_expires

class Kamailio {
public:
    explicit Kamailio(uint16_t port) : m_port(port) {
        char dir[] = "/tmp/kz-kamailio-XXXXXX";
        m_dir = mkdtemp(dir) ? dir : "";
        m_pidfile = m_dir + "/kamailio.pid";
        m_log = m_dir + "/kamailio.log";
        const std::string listen = "udp:127.0.0.1:" + std::to_string(port);
        m_child = fork();
        if (m_child != 0) return;
        const int out = open(m_log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(out, 2);
        execlp("timeout", "timeout", "120", kKamailio, "-f", KZ_KAMAILIO_CFG, "-l", listen.c_str(), "-P",
               m_pidfile.c_str(), "-E", "-DD", "-Y", m_dir.c_str(), "-w", m_dir.c_str(), "-m", "16", "-M",
               "4", static_cast<char*>(nullptr));
        _exit(127);
    }
    ~Kamailio() {
        if (const pid_t pid = Pid(); pid > 0) kill(pid, SIGTERM);
        if (m_child > 0) waitpid(m_child, nullptr, 0);
        std::filesystem::remove_all(m_dir);
    }

    // True once it answers a request on its port (within five seconds).
    bool Ready() const {
        kztest::UdpPeer probe;
        for (int i = 0; i < 25; ++i) {
            probe.send_to(m_port, kztest::sip_request("OPTIONS", probe.port(), m_port));
            if (!probe.receive(200).empty()) return Pid() > 0;
        }
        return false;
    }
    std::string Log() const {
        std::ifstream in(m_log);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

private:
    pid_t Pid() const {
        std::ifstream in(m_pidfile);
        pid_t pid = 0;
        in >> pid;
        return pid;
    }

    uint16_t m_port;
    std::string m_dir, m_pidfile, m_log;
    pid_t m_child = -1;
};

// The messages on the wire and the registration reports, in order.
class WireRecorder : public KZAPI::CKZAPIEnv {
public:
    struct Report {
        Clock::time_point at;
        int account, registered, seconds;
    };
    void FireOn_SIPMsg(int direction, const char*, uint16_t, const char*, uint16_t, const char* text,
                       int length, int, void*) override {
        std::lock_guard lock(m_mutex);
        m_wire.push_back((direction ? "> " : "< ") + std::string(text, static_cast<size_t>(length)));
    }
    void Send_RegStatus(int account, int registered, int seconds) override {
        std::lock_guard lock(m_mutex);
        m_reports.push_back({Clock::now(), account, registered, seconds});
    }
    void Send_RegFailure(int account, int code, const char* reason) override {
        std::lock_guard lock(m_mutex);
        m_failures.push_back(std::to_string(account) + " " + std::to_string(code) + " " + reason);
    }

    // The reports of one account, waiting until there are `count` of them (or the time is up).
    std::vector<Report> ReportsOf(int account, size_t count, std::chrono::seconds limit) const {
        const auto deadline = Clock::now() + limit;
        for (;;) {
            std::vector<Report> found;
            {
                std::lock_guard lock(m_mutex);
                for (const Report& r : m_reports)
                    if (r.account == account) found.push_back(r);
            }
            if (found.size() >= count || Clock::now() > deadline) return found;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    std::vector<std::string> Failures() const {
        std::lock_guard lock(m_mutex);
        return m_failures;
    }
    // Whether a message sent ('>') or received ('<') contains every one of the texts.
    bool Saw(char direction, std::initializer_list<std::string> texts) const {
        std::lock_guard lock(m_mutex);
        for (const std::string& m : m_wire) {
            if (m[0] != direction) continue;
            bool all = true;
            for (const std::string& t : texts)
                all = all && m.find(t) != std::string::npos;
            if (all) return true;
        }
        return false;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_wire;
    std::vector<Report> m_reports;
    std::vector<std::string> m_failures;
};

// The lines a control-socket client receives (every event kind by default).
class ControlClient {
public:
    explicit ControlClient(uint16_t port) {
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        for (int i = 0; i < 50 && connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0; ++i) {
            close(m_fd);
            m_fd = socket(AF_INET, SOCK_STREAM, 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    ~ControlClient() { close(m_fd); }
    // Everything received, reading until text appears or timeout_ms passes.
    const std::string& WaitFor(const std::string& text, int timeout_ms) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (m_received.find(text) == std::string::npos && Clock::now() < deadline) {
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char buf[1024];
            const ssize_t n = read(m_fd, buf, sizeof(buf));
            if (n <= 0) break;
            m_received.append(buf, static_cast<size_t>(n));
        }
        return m_received;
    }

private:
    int m_fd = -1;
    std::string m_received;
};

void Set(const char* key, const std::string& value) {
    CKZCfgInterface::CFG_SetValue(key, value.c_str());
}

} // namespace

TEST(KamailioRegistrar, RegistersRefreshesFailsWithAWrongPasswordAndUnregisters) {
    if (access(kKamailio, X_OK) != 0)
        GTEST_SKIP() << "kamailio is not installed (scripts/install-deps adds it)";
    const uint16_t registrar_port = kztest::free_port_pair();
    Kamailio kamailio(registrar_port);
    ASSERT_TRUE(kamailio.Ready()) << kamailio.Log();

    CKZCfgInterface::CFG_Clear();
    const uint16_t port = kztest::free_port_pair();
    const std::string domain = "127.0.0.1:" + std::to_string(registrar_port);
    Set("kzsrv.sip.ip.address", "127.0.0.1");
    Set("kzsrv.sip.ip.port", std::to_string(port));
    Set("kzsrv.sip.use.nat.addr", "1");
    Set("kzsrv.sip.keep.alive.msg", "0");
    Set("kzsrv.sip.on.msg", "1");
    Set("kzsrv.sip.reg.client.num", "2");
    Set("kzsrv.sip.reg1.username", "alice");
    Set("kzsrv.sip.reg1.password", "password");
    Set("kzsrv.sip.reg1.domain", domain);
    Set("kzsrv.sip.reg2.username", "mallory");
    Set("kzsrv.sip.reg2.password", "guessed");
    Set("kzsrv.sip.reg2.domain", domain);
    Set("kzsrv.sip.reg2.retry.interval", "3");
    WireRecorder wire;
    KZAPI::CKZAPIEnv::SetKZAPIEnv(&wire);
    kztest::ServerPtr server = kztest::make_server();
    ASSERT_EQ(server->Create(), 1u);
    ASSERT_EQ(server->Start(), 1u);

    // Registered with digest credentials for the lifetime kamailio grants.
    const auto first = wire.ReportsOf(0, 1, std::chrono::seconds(10));
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].registered, 1);
    EXPECT_EQ(first[0].seconds, kGrantedSeconds);
    EXPECT_TRUE(
        wire.Saw('>', {"REGISTER sip:" + domain, "Authorization: Digest", "username=\"alice\"", "qop=auth"}));
    EXPECT_TRUE(wire.Saw('<', {"SIP/2.0 200 OK", "expires=" + std::to_string(kGrantedSeconds)}));

    // Refreshed when the granted lifetime runs out (a lifetime below a minute has no margin).
    const auto refreshed = wire.ReportsOf(0, 2, std::chrono::seconds(kGrantedSeconds + 8));
    ASSERT_EQ(refreshed.size(), 2u);
    const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(refreshed[1].at - refreshed[0].at);
    EXPECT_GE(gap.count(), (kGrantedSeconds - 1) * 1000);
    EXPECT_LE(gap.count(), (kGrantedSeconds + 3) * 1000);
    EXPECT_EQ(refreshed[1].registered, 1);

    // The wrong password: refused, reported, tried again after its retry interval.
    const std::vector<std::string> failures = wire.Failures();
    ASSERT_GE(failures.size(), 2u);
    EXPECT_EQ(failures[0], "1 401 Unauthorized");
    EXPECT_EQ(failures[1], "1 401 Unauthorized");
    int registered = -1, seconds = -1;
    server->GetRegStatus(1, &registered, &seconds);
    EXPECT_EQ(registered, 0);

    // Stop unregisters alice and waits for kamailio's answer.
    server->Stop();
    EXPECT_TRUE(wire.Saw('>', {"REGISTER sip:" + domain, "Expires: 0", "Authorization: Digest"}));
    const auto last = wire.ReportsOf(0, 3, std::chrono::seconds(1));
    ASSERT_EQ(last.size(), 3u);
    EXPECT_EQ(last[2].registered, 0);
    EXPECT_NE(kamailio.Log().find("register alice expires 0"), std::string::npos);
    server->Destroy();
    server.reset();
    KZAPI::CKZAPIEnv::SetKZAPIEnv(nullptr);
    CKZCfgInterface::CFG_Clear();
}

TEST(KamailioRegistrar, KzhostPrintsAndPublishesRegistrations) {
    if (access(kKamailio, X_OK) != 0)
        GTEST_SKIP() << "kamailio is not installed (scripts/install-deps adds it)";
    const uint16_t registrar_port = kztest::free_port_pair();
    Kamailio kamailio(registrar_port);
    ASSERT_TRUE(kamailio.Ready()) << kamailio.Log();
    const std::string domain = "127.0.0.1:" + std::to_string(registrar_port);
    const uint16_t control_port = kztest::free_port_pair();
    kztest::KzhostProcess kzhost({"--set", "kzsrv.sip.ip.address=127.0.0.1",
                                  "--set", "kzsrv.sip.ip.port=" + std::to_string(kztest::free_port_pair()),
                                  "--set", "kzsrv.sip.use.nat.addr=1",
                                  "--set", "kzhost.control.port=" + std::to_string(control_port),
                                  "--set", "kzsrv.sip.reg.client.num=2",
                                  "--set", "kzsrv.sip.reg1.username=alice",
                                  "--set", "kzsrv.sip.reg1.password=password",
                                  "--set", "kzsrv.sip.reg1.domain=" + domain,
                                  "--set", "kzsrv.sip.reg2.username=mallory",
                                  "--set", "kzsrv.sip.reg2.password=guessed",
                                  "--set", "kzsrv.sip.reg2.domain=" + domain});
    ASSERT_TRUE(kzhost.Started());
    ASSERT_NE(kzhost.WaitForOutput("control socket on", 5000).find("control socket on"), std::string::npos);
    ControlClient client(control_port);

    const std::string registered =
        R"({"event":"registration","account":1,"state":"registered","code":200,"reason":"OK","seconds":12})";
    EXPECT_NE(client.WaitFor(registered, 10000).find(registered), std::string::npos) << client.WaitFor("", 0);
    const std::string failed =
        R"({"event":"registration","account":2,"state":"failed","code":401,"reason":"Unauthorized")";
    EXPECT_NE(client.WaitFor(failed, 5000).find(failed), std::string::npos);
    EXPECT_NE(kzhost.WaitForOutput("kzhost: account 1 registered for 12 s", 1000)
                  .find("kzhost: account 1 registered for 12 s"),
              std::string::npos);
    EXPECT_NE(kzhost.WaitForOutput("kzhost: account 2 failed 401 Unauthorized", 1000)
                  .find("kzhost: account 2 failed 401 Unauthorized"),
              std::string::npos);

    EXPECT_EQ(kzhost.Terminate(SIGTERM, 10000), 0);
    EXPECT_NE(
        kzhost.WaitForOutput("kzhost: account 1 unregistered", 1000).find("kzhost: account 1 unregistered"),
        std::string::npos)
        << kzhost.WaitForOutput("", 0);
}

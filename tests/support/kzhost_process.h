// kzhost as a child process for tests: standard output and error on one pipe, killed if still
// running when the object goes. The control socket is off unless the arguments configure it, so
// tests running side by side never compete for its port.
#pragma once

#include <cerrno>
#include <chrono>
#include <csignal>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace kztest {

class KzhostProcess {
public:
    explicit KzhostProcess(std::vector<std::string> args) {
        args.insert(args.begin(), {KZHOST_BIN, "--set", "kzhost.control.port=0"});
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int out[2];
        if (pipe(out) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        if (posix_spawn(&m_pid, KZHOST_BIN, &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        m_out = out[0];
    }
    ~KzhostProcess() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_out >= 0) close(m_out);
    }
    KzhostProcess(const KzhostProcess&) = delete;
    KzhostProcess& operator=(const KzhostProcess&) = delete;

    // Output so far, reading until text appears or timeout_ms passes.
    std::string WaitForOutput(const std::string& text, int timeout_ms) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (m_output.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            pollfd p{m_out, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char buf[512];
            const ssize_t n = read(m_out, buf, sizeof(buf));
            if (n <= 0) break;
            m_output.append(buf, static_cast<size_t>(n));
        }
        return m_output;
    }

    // Sends the signal (0: only waits) and waits up to timeout_ms for the exit; the exit status,
    // or -1 when it is still running.
    int Terminate(int signal, int timeout_ms) {
        if (signal) kill(m_pid, signal);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            usleep(20000);
        }
        return -1;
    }

    bool Started() const { return m_pid > 0; }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_output;
};

} // namespace kztest

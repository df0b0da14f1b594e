// A program run as a child process for tests: started with posix_spawnp, standard output and
// error collected from one pipe, every wait bounded, and killed by its own PID if it still runs
// when the object goes.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace kztest {

class ChildProcess {
public:
    ChildProcess() = default;
    explicit ChildProcess(std::vector<std::string> argv) { Start(std::move(argv)); }
    ~ChildProcess() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_out >= 0) close(m_out);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts argv[0] (searched in PATH unless it names a path) with its input from /dev/null; what
    // an earlier start left is let go (the earlier child must have ended).
    bool Start(std::vector<std::string> argv) {
        if (m_out >= 0) close(m_out);
        m_output.clear();
        m_status = -1;
        std::vector<char*> args;
        for (std::string& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        int out[2];
        if (pipe(out) != 0) return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        if (posix_spawnp(&m_pid, args[0], &actions, nullptr, args.data(), environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        m_out = out[0];
        return m_pid > 0;
    }
    bool Started() const { return m_pid > 0; }

    // Output so far, reading until text appears, the output ends or timeout_ms pass.
    std::string WaitForOutput(const std::string& text, int timeout_ms) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (m_output.find(text) == std::string::npos && ReadSome(deadline)) {
        }
        return m_output;
    }
    // Whatever the child has written by now.
    std::string Output() {
        while (ReadSome(std::chrono::steady_clock::now())) {
        }
        return m_output;
    }

    // Sends the signal (0: only waits) and waits up to timeout_ms for the exit: the exit status,
    // 128 + signal when it was killed, or -1 when it is still running.
    int Terminate(int signal, int timeout_ms) {
        if (m_pid <= 0) return m_status;
        if (signal) kill(m_pid, signal);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return m_status;
            }
            if (std::chrono::steady_clock::now() >= deadline) return -1;
            ReadSome(std::chrono::steady_clock::now() + std::chrono::milliseconds(10)); // keeps the pipe open
        }
    }
    // SIGTERM, then SIGKILL when the child has not ended within a second.
    void Stop() {
        if (Terminate(SIGTERM, 1000) < 0) Terminate(SIGKILL, 5000);
    }

private:
    // Reads what arrives before the deadline; false once the deadline passed or the output ended.
    bool ReadSome(std::chrono::steady_clock::time_point deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{m_out, POLLIN, 0};
        if (m_out < 0 || poll(&p, 1, static_cast<int>(std::max<long>(0, left.count()))) <= 0) return false;
        char buf[4096];
        const ssize_t n = read(m_out, buf, sizeof(buf));
        if (n <= 0) return false;
        m_output.append(buf, static_cast<size_t>(n));
        return true;
    }

    pid_t m_pid = -1;
    int m_out = -1;
    int m_status = -1;
    std::string m_output;
};

// Runs a command to its end (killing it after timeout_ms): its status, -1 on timeout.
inline int run_command(const std::vector<std::string>& argv, int timeout_ms, std::string* output = nullptr) {
    ChildProcess p;
    if (!p.Start(argv)) return -1;
    const int status = p.Terminate(0, timeout_ms);
    if (status < 0) p.Stop();
    if (output) *output = p.Output();
    return status;
}

// The path of a program found in PATH or in the system directories ("" when absent).
inline std::string find_program(const std::string& name) {
    if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : "";
    const char* path = getenv("PATH");
    std::stringstream dirs(std::string(path ? path : "") + ":/usr/local/sbin:/usr/sbin:/sbin:/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0) return dir + "/" + name;
    return "";
}

} // namespace kztest

// Child processes for the STUN integration tests: started with fork/exec, output captured in a
// temporary file, every wait bounded, stopped by their own PID.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

class StunTestProcess {
public:
    StunTestProcess() = default;
    ~StunTestProcess() {
        Stop();
        if (!m_output_path.empty()) unlink(m_output_path.c_str());
    }
    StunTestProcess(const StunTestProcess&) = delete;
    StunTestProcess& operator=(const StunTestProcess&) = delete;

    // Starts argv[0] (searched in PATH) with standard output and error into one file.
    bool Start(const std::vector<std::string>& argv) {
        char path[] = "/tmp/kzstun-test-XXXXXX";
        int fd = mkstemp(path);
        if (fd < 0) return false;
        m_output_path = path;
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        m_pid = fork();
        if (m_pid == 0) {
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
            int null_fd = open("/dev/null", O_RDONLY);
            if (null_fd >= 0) dup2(null_fd, STDIN_FILENO);
            execvp(args[0], args.data());
            _exit(127);
        }
        close(fd);
        return m_pid > 0;
    }

    // Waits up to timeout_ms for the process to end: its exit status, 128 + signal when it was
    // killed, or -1 when it is still running.
    int Wait(int timeout_ms) {
        if (m_pid <= 0) return m_status;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            int status = 0;
            pid_t r = waitpid(m_pid, &status, WNOHANG);
            if (r == m_pid) {
                m_pid = -1;
                m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return m_status;
            }
            if (std::chrono::steady_clock::now() >= deadline) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    // SIGTERM, then SIGKILL when the process has not ended within a second.
    void Stop() {
        if (m_pid <= 0) return;
        kill(m_pid, SIGTERM);
        if (Wait(1000) >= 0) return;
        kill(m_pid, SIGKILL);
        Wait(5000);
    }

    bool Running() const { return m_pid > 0; }
    pid_t Pid() const { return m_pid; }

    std::string Output() const {
        std::ifstream in(m_output_path);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    // Waits until the output contains text or the process ends; true when the text appeared.
    bool WaitForOutput(const std::string& text, int timeout_ms) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < deadline) {
            if (Output().find(text) != std::string::npos) return true;
            if (Wait(0) >= 0) return Output().find(text) != std::string::npos;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

private:
    pid_t m_pid = -1;
    int m_status = -1;
    std::string m_output_path;
};

// Runs a command to its end (killing it after timeout_ms); returns its status, -1 on timeout.
inline int StunRunCommand(const std::vector<std::string>& argv, int timeout_ms,
                          std::string* output = nullptr) {
    StunTestProcess p;
    if (!p.Start(argv)) return -1;
    int status = p.Wait(timeout_ms);
    if (status < 0) p.Stop();
    if (output) *output = p.Output();
    return status;
}

// The path of a program found in PATH or in the system directories ("" when absent).
inline std::string StunFindProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : "";
    const char* path = getenv("PATH");
    std::stringstream dirs(std::string(path ? path : "") + ":/usr/local/sbin:/usr/sbin:/sbin:/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (dir.empty()) continue;
        const std::string candidate = dir + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

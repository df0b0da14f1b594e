// A client of kzhost's control socket on 127.0.0.1: sends command lines and reads the JSON
// events that come back, one line at a time with a deadline.
#pragma once

#include "app/KZControlCommands.h"
#include "support/sip_peer.h"

#include <chrono>
#include <optional>
#include <string>

namespace kztest {

class ControlClient {
    using KZJson = kzapp::KZJson;
    using Clock = std::chrono::steady_clock;

public:
    explicit ControlClient(uint16_t port, const std::string& address = "127.0.0.1", int receive_buffer = 0)
        : m_fd(socket(AF_INET, SOCK_STREAM, 0)) {
        if (receive_buffer) setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof(receive_buffer));
        sockaddr_in a = loopback(port, address.c_str());
        m_connected = connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    }
    ~ControlClient() { close(m_fd); }

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

} // namespace kztest

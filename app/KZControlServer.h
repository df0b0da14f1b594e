// kzhost's control socket: a TCP server for applications that drive the host, one JSON object
// per line in both directions. One poll thread serves the listening socket and every client;
// lines are bounded, clients are bounded, and a client that does not read what it is sent is
// dropped instead of holding up the others. Events from anywhere in the host reach the
// subscribed clients through Publish.
#pragma once

#include "app/KZControlCommands.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kzapp {

// A file descriptor closed with its owner.
class KZFd {
public:
    KZFd() = default;
    explicit KZFd(int fd) : m_fd(fd) {}
    ~KZFd() { Reset(); }
    KZFd(KZFd&& other) noexcept : m_fd(other.Release()) {}
    KZFd& operator=(KZFd&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    KZFd(const KZFd&) = delete;
    KZFd& operator=(const KZFd&) = delete;

    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    int Release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void Reset(int fd = -1);

private:
    int m_fd = -1;
};

struct KZControlOptions {
    std::string address = "127.0.0.1"; // IPv4
    uint16_t port = 0;                 // 0: one the system chooses
    size_t max_line = 64 * 1024;       // bytes of one command line
    size_t max_clients = 64;
    size_t max_unsent = 1024 * 1024;  // bytes queued for one client before it is dropped
    size_t max_pending_events = 4096; // published events not yet handed to the clients
    // Loopback clients need no token. Off, every client is treated as another host's (tests
    // exercise the token rules this way without leaving the loopback network).
    bool trust_loopback = true;
};

class KZControlServer {
public:
    KZControlServer(KZControlOptions options, const KZControlCommands& commands);
    ~KZControlServer();
    KZControlServer(const KZControlServer&) = delete;
    KZControlServer& operator=(const KZControlServer&) = delete;

    // "" once it listens and its thread runs, else why it does not.
    std::string Start();
    void Stop();

    // The port it listens on (the chosen one when the options said 0).
    uint16_t Port() const { return m_port; }
    const std::string& Address() const { return m_options.address; }
    size_t ClientCount() const { return m_client_count.load(); }

    // From any thread: hands the event to every client subscribed to its kind. False when it is
    // not an object whose "event" names a kind clients subscribe to, when the server does not
    // run, or when too many events are already waiting.
    bool Publish(const KZJson& event);

private:
    struct Client;
    struct PendingEvent {
        KZEventMask kind;
        std::string line;
    };

    std::string Listen();
    void Run();
    void PollOnce();
    void Wake();
    static short EventsWanted(const Client& client);
    void AcceptClients();
    void AdmitClient(KZFd fd, const std::string& peer, bool loopback);
    void DeliverPublished();
    void ReadFrom(Client& client);
    void HandleInput(Client& client);
    void HandleLine(Client& client, std::string_view line);
    void Send(Client& client, const KZJson& event);
    void Queue(Client& client, const std::string& line);
    void Flush(Client& client);
    void RemoveFinished();

    KZControlOptions m_options;
    const KZControlCommands& m_commands;
    KZFd m_listener;
    KZFd m_wake;
    uint16_t m_port = 0;
    std::thread m_thread;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stopping{false};
    std::atomic<size_t> m_client_count{0};
    std::vector<std::unique_ptr<Client>> m_clients; // the poll thread's alone

    std::mutex m_pending_mutex;
    std::deque<PendingEvent> m_pending;
};

} // namespace kzapp

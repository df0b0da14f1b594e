#include "app/KZControlServer.h"

#include "host/CKZLogInterface.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kzapp {

using KZAPI::CKZLogInterface;

namespace {

constexpr size_t kReadChunk = 16 * 1024;
constexpr int kListenBacklog = 16;
// Reads per client per poll round, so that one busy client cannot starve the others.
constexpr int kReadsPerRound = 4;

std::string text_of(const KZJson& event) {
    // Text from the network may hold bytes that are not UTF-8; they must not stop the reply.
    return event.dump(-1, ' ', false, KZJson::error_handler_t::replace);
}

std::string line_of(const KZJson& event) {
    return text_of(event) + "\n";
}

std::string peer_text(const sockaddr_in& a) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof(text));
    return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

bool is_loopback(const sockaddr_in& a) {
    return (ntohl(a.sin_addr.s_addr) >> 24) == 127;
}

// One line to a connection being turned away; it may not arrive, and that is no loss.
void refuse(const KZFd& fd, const char* reason) {
    const std::string line = line_of(error_event(reason));
    [[maybe_unused]] const ssize_t n = send(fd.Get(), line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

std::optional<KZEventMask> published_kind(const KZJson& event) {
    if (!event.is_object()) return std::nullopt;
    const auto name = event.find("event");
    if (name == event.end() || !name->is_string()) return std::nullopt;
    const auto kind = event_kind_named(name->get<std::string>());
    if (!kind) return std::nullopt;
    return event_bit(*kind);
}

} // namespace

void KZFd::Reset(int fd) {
    if (m_fd >= 0) close(m_fd);
    m_fd = fd;
}

struct KZControlServer::Client {
    KZFd fd;
    std::string peer;
    std::string input;
    bool discarding = false; // inside a line that was too long, until its end
    std::string output;
    bool closing = false; // read no more; closed once its output is sent
    bool gone = false;    // closed at once: disconnected, or dropped for not reading
    KZClientSession session;
};

KZControlServer::KZControlServer(KZControlOptions options, const KZControlCommands& commands)
    : m_options(std::move(options)), m_commands(commands) {}

KZControlServer::~KZControlServer() {
    Stop();
}

std::string KZControlServer::Start() {
    if (m_running) return "";
    if (std::string why = Listen(); !why.empty()) return why;
    m_wake = KZFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!m_wake.Valid()) return std::string("control socket: eventfd: ") + std::strerror(errno);
    m_stopping = false;
    m_running = true;
    m_thread = std::thread([this] { Run(); });
    return "";
}

void KZControlServer::Stop() {
    if (!m_thread.joinable()) return;
    {
        // From here on Publish leaves the wake descriptor alone, so it can be closed below.
        std::lock_guard lock(m_pending_mutex);
        m_running = false;
        m_pending.clear();
    }
    m_stopping = true;
    Wake();
    m_thread.join();
    m_clients.clear();
    m_client_count = 0;
    m_listener.Reset();
    m_wake.Reset();
}

std::string KZControlServer::Listen() {
    const std::string where = m_options.address + ":" + std::to_string(m_options.port);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(m_options.port);
    if (inet_pton(AF_INET, m_options.address.c_str(), &a.sin_addr) != 1)
        return "control address \"" + m_options.address + "\" is not an IPv4 address";
    KZFd fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const int on = 1;
    // Lets a restarted host take its port back from connections still in TIME_WAIT; a port
    // another socket listens on stays refused.
    if (!fd.Valid() || setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0)
        return "control socket: " + std::string(std::strerror(errno));
    if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        if (errno == EADDRINUSE) return "control port " + where + " is in use";
        return "control socket " + where + ": " + std::strerror(errno);
    }
    if (listen(fd.Get(), kListenBacklog) != 0) return "control socket " + where + ": " + std::strerror(errno);
    socklen_t len = sizeof(a);
    getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&a), &len);
    m_port = ntohs(a.sin_port);
    m_listener = std::move(fd);
    return "";
}

bool KZControlServer::Publish(const KZJson& event) {
    const auto kind = published_kind(event);
    if (!kind) {
        CKZLogInterface::Log(CKZLogInterface::LOG_WARNING, "control socket: not an event to publish: %s",
                             text_of(event).c_str());
        return false;
    }
    {
        std::lock_guard lock(m_pending_mutex);
        if (!m_running) return false;
        if (m_pending.size() >= m_options.max_pending_events) {
            CKZLogInterface::Log(CKZLogInterface::LOG_WARNING,
                                 "control socket: %zu events wait, one more dropped", m_pending.size());
            return false;
        }
        m_pending.push_back({*kind, line_of(event)});
        Wake();
    }
    return true;
}

void KZControlServer::Wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(m_wake.Get(), &one, sizeof(one));
}

void KZControlServer::Run() {
    pthread_setname_np(pthread_self(), "kz-control");
    while (!m_stopping)
        PollOnce();
}

void KZControlServer::PollOnce() {
    std::vector<pollfd> fds;
    fds.reserve(m_clients.size() + 2);
    fds.push_back({m_wake.Get(), POLLIN, 0});
    fds.push_back({m_listener.Get(), POLLIN, 0});
    for (const auto& c : m_clients)
        fds.push_back({c->fd.Get(), EventsWanted(*c), 0});
    if (poll(fds.data(), fds.size(), -1) < 0) {
        if (errno != EINTR)
            CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "control socket: poll: %s",
                                 std::strerror(errno));
        return;
    }
    if (fds[0].revents & POLLIN) {
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = read(m_wake.Get(), &count, sizeof(count));
        DeliverPublished();
    }
    // Clients accepted below are not in fds yet; only the first ones are looked at.
    const size_t polled = fds.size() - 2;
    for (size_t i = 0; i < polled; ++i) {
        Client& c = *m_clients[i];
        if (!c.closing && (fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR))) ReadFrom(c);
        Flush(c);
    }
    if (fds[1].revents & POLLIN) AcceptClients();
    RemoveFinished();
}

short KZControlServer::EventsWanted(const Client& client) {
    // A client on its way out is only written to: what it still sends is not read.
    const short in = client.closing ? 0 : POLLIN;
    return static_cast<short>(client.output.empty() ? in : in | POLLOUT);
}

void KZControlServer::AcceptClients() {
    for (;;) {
        sockaddr_in a{};
        socklen_t len = sizeof(a);
        KZFd fd(
            accept4(m_listener.Get(), reinterpret_cast<sockaddr*>(&a), &len, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd.Valid()) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                CKZLogInterface::Log(CKZLogInterface::LOG_WARNING, "control socket: accept: %s",
                                     std::strerror(errno));
            return;
        }
        const std::string peer = peer_text(a);
        if (m_clients.size() >= m_options.max_clients) {
            CKZLogInterface::Log(CKZLogInterface::LOG_WARNING,
                                 "control socket: %s refused: %zu clients already", peer.c_str(),
                                 m_clients.size());
            refuse(fd, "too many clients");
            continue;
        }
        const bool trusted = m_options.trust_loopback && is_loopback(a);
        if (!trusted && !m_commands.TokenRequired()) {
            CKZLogInterface::Log(CKZLogInterface::LOG_WARNING,
                                 "control socket: %s refused: only loopback clients without a token",
                                 peer.c_str());
            refuse(fd, "connections from other hosts are refused");
            continue;
        }
        AdmitClient(std::move(fd), peer, trusted);
    }
}

void KZControlServer::AdmitClient(KZFd fd, const std::string& peer, bool loopback) {
    auto client = std::make_unique<Client>();
    client->fd = std::move(fd);
    client->peer = peer;
    client->session.authenticated = loopback;
    m_clients.push_back(std::move(client));
    m_client_count = m_clients.size();
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "control socket: %s connected", peer.c_str());
}

void KZControlServer::DeliverPublished() {
    std::deque<PendingEvent> events;
    {
        std::lock_guard lock(m_pending_mutex);
        events.swap(m_pending);
    }
    for (const PendingEvent& event : events)
        for (const auto& c : m_clients)
            if (!c->closing && c->session.authenticated && (c->session.subscribed & event.kind))
                Queue(*c, event.line);
}

void KZControlServer::ReadFrom(Client& client) {
    char buffer[kReadChunk];
    for (int round = 0; round < kReadsPerRound && !client.closing; ++round) {
        const ssize_t n = recv(client.fd.Get(), buffer, sizeof(buffer), 0);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
        if (n <= 0) {
            CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "control socket: %s disconnected",
                                 client.peer.c_str());
            client.closing = client.gone = true;
            return;
        }
        client.input.append(buffer, static_cast<size_t>(n));
        HandleInput(client);
    }
}

void KZControlServer::HandleInput(Client& client) {
    size_t start = 0;
    size_t end = 0;
    while (!client.closing && (end = client.input.find('\n', start)) != std::string::npos) {
        if (client.discarding)
            client.discarding = false; // the end of a line already answered as too long
        else
            HandleLine(client, std::string_view(client.input).substr(start, end - start));
        start = end + 1;
    }
    client.input.erase(0, start);
    if (client.input.size() > m_options.max_line && !client.discarding) {
        Send(client, error_event("line longer than " + std::to_string(m_options.max_line) + " bytes"));
        client.discarding = true;
    }
    if (client.discarding) client.input.clear();
}

void KZControlServer::HandleLine(Client& client, std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.find_first_not_of(" \t") == std::string_view::npos) return; // blank lines are no commands
    if (line.size() > m_options.max_line) {
        Send(client, error_event("line longer than " + std::to_string(m_options.max_line) + " bytes"));
        return;
    }
    Send(client, m_commands.Execute(line, client.session));
    if (client.session.close_after_reply) client.closing = true;
}

void KZControlServer::Send(Client& client, const KZJson& event) {
    Queue(client, line_of(event));
}

void KZControlServer::Queue(Client& client, const std::string& line) {
    if (client.gone) return;
    if (client.output.size() + line.size() > m_options.max_unsent) {
        CKZLogInterface::Log(CKZLogInterface::LOG_WARNING,
                             "control socket: %s dropped: it leaves more than %zu bytes unread",
                             client.peer.c_str(), m_options.max_unsent);
        client.closing = client.gone = true;
        return;
    }
    client.output += line;
}

void KZControlServer::Flush(Client& client) {
    while (!client.gone && !client.output.empty()) {
        const ssize_t n = send(client.fd.Get(), client.output.data(), client.output.size(), MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            client.closing = client.gone = true;
            return;
        }
        client.output.erase(0, static_cast<size_t>(n));
    }
}

void KZControlServer::RemoveFinished() {
    std::erase_if(m_clients, [](const std::unique_ptr<Client>& c) {
        // A client told to go first gets its last reply; one that cannot take it goes at once.
        return c->gone || (c->closing && c->output.empty());
    });
    m_client_count = m_clients.size();
}

} // namespace kzapp

#include "host/KZUDPRelay.h"

#include "host/CBaseSocket.h"
#include "host/CBaseThread.h"
#include "host/CKZLogInterface.h"
#include "host/KZNetAddr.h"
#include "host/KZRTPSocketPool.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace KZAPI {

namespace {

// The loop wakes at least this often, so a stop is seen even when no wake-up arrives.
constexpr int kPollMs = 50;
// Datagrams read from one socket per pass before the other sockets get their turn.
constexpr int kReadBurst = 64;
constexpr size_t kMaxItemsPerGroup = 2;
constexpr size_t kMaxDatagram = 65536;
constexpr size_t kRTPHeaderSize = 12;

struct Endpoint {
    uint32_t ip = 0; // network order
    uint16_t port = 0;

    bool IsSet() const { return ip != 0 && port != 0; }
    bool operator==(const Endpoint&) const = default;
    std::string Text() const { return KZ_InetNtoa(ip) + ":" + std::to_string(port); }
};

struct RelayItem {
    int id = 0;
    int group = 0;
    CBaseSocket socket;
    CKZChannel* channel = nullptr;
    Endpoint configured; // set by the caller; wins over the latched address
    Endpoint latched;    // where the last datagram came from
    uint32_t ssrc = 0;
    int dtmf_payload = -1;
    // Renumbering of RTP sent out of the item, so that its remote party sees one stream.
    bool renumber = false;
    bool anchored = false;
    uint16_t next_sequence = 0; // what the next packet out carries when (re)anchoring
    uint32_t next_timestamp = 0;
    uint16_t sequence_offset = 0;
    uint32_t timestamp_offset = 0;
    uint32_t source_ssrc = 0; // of the stream coming in, to notice a new one

    Endpoint Remote() const { return configured.IsSet() ? configured : latched; }
};

struct RelayGroup {
    std::vector<int> items;
};

// A telephone-event packet waiting to be handed to the sink once the lock is released.
struct DTMFPacket {
    CKZChannel* channel = nullptr;
    std::vector<uint8_t> data;
    std::string address;
    uint16_t port = 0;
};

// Address text and port to an endpoint: "" / null, "0.0.0.0" or port 0 give an unset endpoint.
bool parse_endpoint(const char* address, uint16_t port, Endpoint* out) {
    *out = Endpoint{};
    if (!address || !*address || port == 0) return true;
    uint32_t ip = 0;
    if (!CBaseSocket::ParseAddress(address, &ip)) return false;
    if (ip != 0) *out = Endpoint{ip, port};
    return true;
}

// RTP version 2 and not RTCP (whose packet types 200-204 fall in 72-76 once the marker bit is
// taken off; RFC 5761 keeps 64-95 apart for that reason).
bool is_rtp(const uint8_t* data, size_t len) {
    if (len < kRTPHeaderSize || (data[0] >> 6) != 2) return false;
    const int type = data[1] & 0x7f;
    return type < 64 || type > 95;
}

bool is_telephone_event(const uint8_t* data, size_t len, int payload) {
    return payload >= 0 && len > kRTPHeaderSize && (data[0] >> 6) == 2 && (data[1] & 0x7f) == payload;
}

void write_ssrc(uint8_t* data, uint32_t ssrc) {
    for (int i = 0; i < 4; ++i)
        data[8 + i] = static_cast<uint8_t>(ssrc >> (24 - 8 * i));
}

uint32_t read_u32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) << 24 | static_cast<uint32_t>(at[1]) << 16 |
           static_cast<uint32_t>(at[2]) << 8 | at[3];
}

void write_u32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

// Continues the item's outgoing sequence and timestamp across the switch to relayed packets
// (and across a new incoming stream), so the far end's receiver sees no jump.
void renumber(RelayItem& to, uint8_t* data) {
    constexpr uint32_t kAssumedFrameTicks = 160;
    const uint16_t sequence = static_cast<uint16_t>(data[2] << 8 | data[3]);
    const uint32_t timestamp = read_u32(data + 4);
    const uint32_t source = read_u32(data + 8);
    if (!to.anchored || source != to.source_ssrc) {
        to.sequence_offset = static_cast<uint16_t>(to.next_sequence - sequence);
        to.timestamp_offset = to.next_timestamp - timestamp;
        to.source_ssrc = source;
        to.anchored = true;
    }
    const uint16_t out_sequence = static_cast<uint16_t>(sequence + to.sequence_offset);
    const uint32_t out_timestamp = timestamp + to.timestamp_offset;
    data[2] = static_cast<uint8_t>(out_sequence >> 8);
    data[3] = static_cast<uint8_t>(out_sequence);
    write_u32(data + 4, out_timestamp);
    to.next_sequence = static_cast<uint16_t>(out_sequence + 1);
    to.next_timestamp = out_timestamp + kAssumedFrameTicks;
}

class CKZUDPRelayService : public CBaseThread {
public:
    static CKZUDPRelayService& Instance() {
        static CKZUDPRelayService service;
        return service;
    }

    ~CKZUDPRelayService() override {
        Shutdown();
        if (m_wake_fd >= 0) close(m_wake_fd);
    }

    bool Start();
    void Stop();
    bool Accepting() const {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_accepting;
    }

    int OpenGroup();
    bool CloseGroup(int group);
    int AddItem(int group, uint32_t local_ip, uint16_t local_port, Endpoint peer, CKZChannel* channel,
                int dtmf_payload, const KZRelayOutgoingStream& stream);

    // Runs change(item) under the lock; false for an unknown item.
    template <typename Change> bool UpdateItem(int id, Change change) {
        std::lock_guard<std::mutex> guard(m_lock);
        RelayItem* item = FindItem(id);
        if (!item) return false;
        change(*item);
        return true;
    }

    void SetSink(KZRelayPacketSink sink) { m_sink.store(sink); }

protected:
    void DoUnblockedLoop() override;
    void OnStopRequested() override { WakeUp(); }

private:
    CKZUDPRelayService();

    void Shutdown();
    void CloseAllLocked();
    void ItemsChangedLocked();
    // Waits until the relay thread has left the poll that may still hold closed sockets: the
    // kernel frees their ports only then, and callers reopen those ports at once.
    void WaitForPollExitLocked(std::unique_lock<std::mutex>& guard);
    void WakeUp();
    void DrainWake();
    RelayItem* FindItem(int id);
    RelayItem* PartnerOf(const RelayItem& item);
    bool OpenItemSocket(RelayItem& item, uint32_t local_ip, uint16_t local_port);

    // Relay thread only.
    void RefreshPollSet();
    void ServeItem(int id);
    void RelayDatagram(RelayItem& from, size_t len, Endpoint source);
    void Latch(RelayItem& item, Endpoint source);
    void DeliverDTMF();

    std::mutex m_life; // orders Start and Stop
    mutable std::mutex m_lock;
    int m_wake_fd = -1;
    bool m_accepting = false;
    int m_next_handle = 1;
    uint64_t m_generation = 1; // changes whenever the set of sockets changes
    std::map<int, RelayGroup> m_groups;
    std::map<int, std::unique_ptr<RelayItem>> m_items;
    std::atomic<KZRelayPacketSink> m_sink{nullptr};
    uint64_t m_poll_exits = 0; // polls the relay thread has returned from
    int m_poll_exit_waiters = 0;
    std::condition_variable m_poll_exited;
    std::atomic<std::thread::id> m_loop_thread{};

    // State of the relay thread's loop.
    uint64_t m_polled_generation = 0;
    std::vector<pollfd> m_fds;     // the wake-up descriptor, then one per item
    std::vector<int> m_fd_items;   // the item of m_fds[k + 1]
    std::vector<uint8_t> m_buffer; // one datagram
    std::vector<DTMFPacket> m_dtmf;
};

CKZUDPRelayService::CKZUDPRelayService() : m_buffer(kMaxDatagram) {
    m_wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_wake_fd < 0)
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "UDP relay: eventfd failed: %s", strerror(errno));
}

bool CKZUDPRelayService::Start() {
    std::lock_guard<std::mutex> life(m_life);
    if (IsRunning()) return true;
    if (m_wake_fd < 0) return false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_accepting = true;
    }
    if (!StartThread("kz-udp-relay")) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_accepting = false;
        return false;
    }
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "UDP relay service started");
    return true;
}

void CKZUDPRelayService::Stop() {
    std::lock_guard<std::mutex> life(m_life);
    if (!IsRunning() && !Accepting()) return;
    Shutdown();
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "UDP relay service stopped");
}

// Stops without logging: also runs from the static destructor, when the log may be gone.
void CKZUDPRelayService::Shutdown() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_accepting = false;
    }
    StopThread();
    std::lock_guard<std::mutex> guard(m_lock);
    CloseAllLocked();
}

void CKZUDPRelayService::CloseAllLocked() {
    m_items.clear();
    m_groups.clear();
    ItemsChangedLocked();
}

void CKZUDPRelayService::ItemsChangedLocked() {
    ++m_generation;
    WakeUp();
}

void CKZUDPRelayService::WakeUp() {
    const uint64_t one = 1;
    ssize_t r;
    do {
        r = write(m_wake_fd, &one, sizeof(one));
    } while (r < 0 && errno == EINTR);
}

void CKZUDPRelayService::DrainWake() {
    uint64_t count;
    while (read(m_wake_fd, &count, sizeof(count)) > 0) {
    }
}

RelayItem* CKZUDPRelayService::FindItem(int id) {
    auto it = m_items.find(id);
    return it == m_items.end() ? nullptr : it->second.get();
}

RelayItem* CKZUDPRelayService::PartnerOf(const RelayItem& item) {
    auto group = m_groups.find(item.group);
    if (group == m_groups.end()) return nullptr;
    for (int id : group->second.items)
        if (id != item.id) return FindItem(id);
    return nullptr;
}

int CKZUDPRelayService::OpenGroup() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_accepting) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR,
                             "KZ_OpenUDPRelayGroup: the UDP relay service is not running");
        return KZ_RELAY_INVALID_HANDLE;
    }
    const int id = m_next_handle++;
    m_groups.emplace(id, RelayGroup{});
    return id;
}

bool CKZUDPRelayService::CloseGroup(int group) {
    std::unique_lock<std::mutex> guard(m_lock);
    auto it = m_groups.find(group);
    if (it == m_groups.end()) return false;
    for (int id : it->second.items)
        m_items.erase(id); // closes the socket
    m_groups.erase(it);
    ItemsChangedLocked();
    WaitForPollExitLocked(guard);
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "KZ_CloseUDPRelayGroup %d", group);
    return true;
}

void CKZUDPRelayService::WaitForPollExitLocked(std::unique_lock<std::mutex>& guard) {
    if (!IsRunning() || m_loop_thread.load() == std::this_thread::get_id()) return;
    const uint64_t seen = m_poll_exits;
    ++m_poll_exit_waiters;
    m_poll_exited.wait_for(guard, std::chrono::milliseconds(2 * kPollMs),
                           [&] { return m_poll_exits != seen; });
    --m_poll_exit_waiters;
}

bool CKZUDPRelayService::OpenItemSocket(RelayItem& item, uint32_t local_ip, uint16_t local_port) {
    KZRTPSocketPool::Instance().EvictPort(local_port); // a call's ports kept for reuse give way
    if (!item.socket.OpenUDP(local_ip, local_port)) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "KZ_AddUDPRelayGroupItem: cannot bind %s:%d: %s",
                             KZ_InetNtoa(local_ip).c_str(), local_port,
                             CBaseSocket::ErrorText(item.socket.GetLastError()).c_str());
        return false;
    }
    // The relay thread drains each socket until it would block, and drops what cannot be sent now.
    const int fd = item.socket.GetHandle();
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return true;
}

int CKZUDPRelayService::AddItem(int group, uint32_t local_ip, uint16_t local_port, Endpoint peer,
                                CKZChannel* channel, int dtmf_payload, const KZRelayOutgoingStream& stream) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_groups.find(group);
    if (it == m_groups.end() || it->second.items.size() >= kMaxItemsPerGroup) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR,
                             "KZ_AddUDPRelayGroupItem: group %d is unknown or full", group);
        return KZ_RELAY_INVALID_HANDLE;
    }
    auto item = std::make_unique<RelayItem>();
    if (!OpenItemSocket(*item, local_ip, local_port)) return KZ_RELAY_INVALID_HANDLE;
    item->id = m_next_handle++;
    item->group = group;
    item->channel = channel;
    item->configured = peer;
    item->dtmf_payload = dtmf_payload;
    item->ssrc = stream.ssrc;
    item->renumber = stream.renumber;
    item->next_sequence = stream.next_sequence;
    item->next_timestamp = stream.next_timestamp;
    const int id = item->id;
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE,
                         "KZ_AddUDPRelayGroupItem group %d item %d port %d peer %s", group, id,
                         item->socket.GetLocalPort(), peer.IsSet() ? peer.Text().c_str() : "none");
    it->second.items.push_back(id);
    m_items.emplace(id, std::move(item));
    ItemsChangedLocked();
    return id;
}

void CKZUDPRelayService::RefreshPollSet() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_generation == m_polled_generation) return;
    m_polled_generation = m_generation;
    m_fds.assign(1, pollfd{m_wake_fd, POLLIN, 0});
    m_fd_items.clear();
    for (const auto& [id, item] : m_items) {
        m_fds.push_back(pollfd{item->socket.GetHandle(), POLLIN, 0});
        m_fd_items.push_back(id);
    }
}

void CKZUDPRelayService::DoUnblockedLoop() {
    m_loop_thread.store(std::this_thread::get_id());
    RefreshPollSet();
    const int ready = poll(m_fds.data(), m_fds.size(), kPollMs);
    {
        std::lock_guard<std::mutex> guard(m_lock);
        ++m_poll_exits;
        if (m_poll_exit_waiters) m_poll_exited.notify_all();
    }
    if (ready < 0) {
        if (errno != EINTR) {
            CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "UDP relay: poll failed: %s", strerror(errno));
            Sleep(10);
        }
        return;
    }
    if (StopRequested()) return;
    if (m_fds[0].revents & POLLIN) DrainWake();
    // A socket closed since the set was built shows up as POLLNVAL and is skipped; the close also
    // woke the loop, so the next pass polls the new set.
    for (size_t k = 1; k < m_fds.size(); ++k)
        if (m_fds[k].revents & (POLLIN | POLLERR)) ServeItem(m_fd_items[k - 1]);
    DeliverDTMF();
}

void CKZUDPRelayService::ServeItem(int id) {
    std::lock_guard<std::mutex> guard(m_lock);
    RelayItem* item = FindItem(id);
    if (!item) return; // closed after the poll set was built
    for (int i = 0; i < kReadBurst; ++i) {
        Endpoint source;
        const int n = item->socket.RecvFrom(m_buffer.data(), m_buffer.size(), &source.ip, &source.port);
        if (n < 0) {
            const int error = item->socket.GetLastError();
            if (error == EAGAIN || error == EWOULDBLOCK) break;
            continue; // an ICMP error reported for an earlier send: the next datagram may be fine
        }
        RelayDatagram(*item, static_cast<size_t>(n), source);
    }
}

void CKZUDPRelayService::Latch(RelayItem& item, Endpoint source) {
    if (item.latched == source) return;
    item.latched = source;
    if (!item.configured.IsSet())
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "UDP relay item %d latched to %s", item.id,
                             source.Text().c_str());
}

void CKZUDPRelayService::RelayDatagram(RelayItem& from, size_t len, Endpoint source) {
    uint8_t* data = m_buffer.data();
    Latch(from, source);
    if (from.channel && is_telephone_event(data, len, from.dtmf_payload))
        m_dtmf.push_back(DTMFPacket{from.channel, std::vector<uint8_t>(data, data + len),
                                    KZ_InetNtoa(source.ip), source.port});
    RelayItem* to = PartnerOf(from);
    if (!to) return;
    const Endpoint destination = to->Remote();
    if (!destination.IsSet()) return; // the other leg has not been heard from yet
    if (is_rtp(data, len)) {
        if (to->renumber) renumber(*to, data);
        if (to->ssrc != 0) write_ssrc(data, to->ssrc);
    }
    to->socket.SendTo(data, len, destination.ip, destination.port); // a full buffer drops the packet
}

void CKZUDPRelayService::DeliverDTMF() {
    if (m_dtmf.empty()) return;
    const KZRelayPacketSink sink = m_sink.load();
    for (DTMFPacket& p : m_dtmf)
        if (sink) sink(p.channel, p.data.data(), static_cast<int>(p.data.size()), p.address.c_str(), p.port);
    m_dtmf.clear();
}

} // namespace

bool KZ_StartUDPRelayServer() {
    return CKZUDPRelayService::Instance().Start();
}

void KZ_StopUDPRelayServer() {
    CKZUDPRelayService::Instance().Stop();
}

bool KZ_IsUDPRelayServerRunning() {
    return CKZUDPRelayService::Instance().Accepting();
}

int KZ_OpenUDPRelayGroup() {
    return CKZUDPRelayService::Instance().OpenGroup();
}

bool KZ_CloseUDPRelayGroup(int group) {
    return CKZUDPRelayService::Instance().CloseGroup(group);
}

int KZ_AddUDPRelayGroupItem(int group, const char* local_address, uint16_t local_port,
                            const char* peer_address, uint16_t peer_port, CKZChannel* channel,
                            int dtmf_payload) {
    return KZ_AddUDPRelayGroupItem(group, local_address, local_port, peer_address, peer_port, channel,
                                   dtmf_payload, KZRelayOutgoingStream{});
}

int KZ_AddUDPRelayGroupItem(int group, const char* local_address, uint16_t local_port,
                            const char* peer_address, uint16_t peer_port, CKZChannel* channel,
                            int dtmf_payload, const KZRelayOutgoingStream& stream) {
    uint32_t local_ip = 0;
    Endpoint peer;
    if (!CBaseSocket::ParseAddress(local_address, &local_ip) ||
        !parse_endpoint(peer_address, peer_port, &peer)) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "KZ_AddUDPRelayGroupItem: bad address %s or %s",
                             local_address ? local_address : "", peer_address ? peer_address : "");
        return KZ_RELAY_INVALID_HANDLE;
    }
    return CKZUDPRelayService::Instance().AddItem(group, local_ip, local_port, peer, channel, dtmf_payload,
                                                  stream);
}

bool KZ_SetUDPRelayGroupItemSrc(int item, const char* address, uint16_t port) {
    Endpoint remote;
    if (!parse_endpoint(address, port, &remote)) return false;
    return CKZUDPRelayService::Instance().UpdateItem(item, [&](RelayItem& i) { i.configured = remote; });
}

bool KZ_SetUDPRelayGroupItemSSRC(int item, uint32_t ssrc) {
    return CKZUDPRelayService::Instance().UpdateItem(item, [&](RelayItem& i) { i.ssrc = ssrc; });
}

bool KZ_SetUDPRelayGroupItemSequence(int item, uint16_t next_sequence, uint32_t next_timestamp) {
    return CKZUDPRelayService::Instance().UpdateItem(item, [&](RelayItem& i) {
        i.renumber = true;
        i.anchored = false;
        i.next_sequence = next_sequence;
        i.next_timestamp = next_timestamp;
    });
}

bool KZ_GetUDPRelayGroupItemSequence(int item, uint16_t* next_sequence, uint32_t* next_timestamp) {
    bool relayed = false;
    CKZUDPRelayService::Instance().UpdateItem(item, [&](RelayItem& i) {
        relayed = i.renumber && i.anchored;
        *next_sequence = i.next_sequence;
        *next_timestamp = i.next_timestamp;
    });
    return relayed;
}

bool KZ_SetUDPRelayGroupItemDTMF(int item, int payload) {
    return CKZUDPRelayService::Instance().UpdateItem(item, [&](RelayItem& i) { i.dtmf_payload = payload; });
}

uint16_t KZ_GetUDPRelayGroupItemLocalPort(int item) {
    uint16_t port = 0;
    CKZUDPRelayService::Instance().UpdateItem(item, [&](RelayItem& i) { port = i.socket.GetLocalPort(); });
    return port;
}

void KZ_SetUDPRelayPacketSink(KZRelayPacketSink sink) {
    CKZUDPRelayService::Instance().SetSink(sink);
}

} // namespace KZAPI

// Stack instance: construction, settings, connection ids and the message hook.
#include "sipstack/sip_group.h"

#include "host/CKZAPIEnv.h"
#include "host/CKZCfgInterface.h"
#include "host/CKZLogInterface.h"
#include "host/KZNetAddr.h"
#include "host/KZStrFunc.h"
#include "sipstack/CSIPProcessThread.h"
#include "sipstack/CSIPTransports.h"

#include <cstring>

using KZAPI::CKZCfgInterface;

namespace {
constexpr size_t kHookMin = 5;
constexpr size_t kHookMax = 2047;
constexpr size_t kRawTextMin = 20;
// What the heap spends on an allocation beyond the bytes asked for.
constexpr uint64_t kAllocationOverhead = 16;

// What a queued block costs in memory: its text, its padding, its slot in the ring and the heap's
// own bookkeeping. Charging only the text would let a flood of tiny datagrams hold many times the
// limit.
uint64_t queued_charge(const sip_cmd& cmd) {
    return cmd.length + sip_cmd::kPadding + sizeof(sip_cmd) + kAllocationOverhead;
}

void raise_to(std::atomic<uint64_t>& peak, uint64_t value) {
    uint64_t seen = peak.load(std::memory_order_relaxed);
    while (value > seen && !peak.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
    }
}

uint64_t since(std::atomic<uint64_t>& reported, const std::atomic<uint64_t>& total) {
    const uint64_t now = total.load(std::memory_order_relaxed);
    return now - reported.exchange(now, std::memory_order_relaxed);
}
} // namespace

sip_group::sip_group() : m_clock(&KZAPI::CKZClock::System()) {
    m_config.sip_port = 5060;
    m_config.transport_mask = KZ_SIP_TRANSPORT_UDP;
}

sip_group::~sip_group() {
    StopTransports();
    KZAPI::CMutexLock lock(m_dialog_mutex);
    m_dialogs.Clear();
}

void sip_group::LoadSettings() {
    m_settings.Load();
}

uint32_t sip_group::NewConnectionId() {
    KZAPI::CMutexLock lock(m_dialog_mutex);
    uint32_t id = ++m_connection_counter;
    if (id == 0) id = ++m_connection_counter; // 0 never names a dialog
    return id;
}

size_t sip_group::DialogCount() {
    KZAPI::CMutexLock lock(m_dialog_mutex);
    return m_dialogs.Size();
}

bool sip_group::PushReceived(sip_cmd&& cmd) {
    m_counters.blocks_received.fetch_add(1, std::memory_order_relaxed);
    const uint64_t charge = queued_charge(cmd);
    m_received.Lock();
    const uint64_t queued = m_received_bytes.load(std::memory_order_relaxed) + charge;
    const bool room = queued <= m_settings.received_queue_max_bytes;
    if (room) {
        m_received_bytes.store(queued, std::memory_order_relaxed);
        m_received.Push(std::move(cmd));
    }
    m_received.Unlock();
    if (room) {
        raise_to(m_received_bytes_peak, queued);
        return true;
    }
    m_counters.dropped_queue_full.fetch_add(1, std::memory_order_relaxed);
    ReportDiscards();
    return false;
}

bool sip_group::TakeReceivedBlock() {
    m_received.Lock();
    const bool taken = m_received.Pop(&m_parsing);
    if (taken) m_received_bytes.fetch_sub(queued_charge(m_parsing), std::memory_order_relaxed);
    m_received.Unlock();
    return taken;
}

void sip_group::ReportDiscards() {
    const int64_t now = Now();
    int64_t last = m_discard_report.last_second.load(std::memory_order_relaxed);
    if (now - last < kDiscardReportInterval) return;
    if (!m_discard_report.last_second.compare_exchange_strong(last, now)) return; // another thread reports
    const uint64_t unparsable = since(m_discard_report.parse_failures, m_counters.parse_failures);
    const uint64_t rejected = since(m_discard_report.rejected, m_counters.rejected);
    const uint64_t dropped = since(m_discard_report.dropped, m_counters.dropped_queue_full);
    const uint64_t unreported = since(m_discard_report.undeliverable, m_counters.undeliverable_dropped);
    if (unreported)
        KZAPI::CKZLogInterface::Log(
            KZAPI::CKZLogInterface::LOG_WARNING,
            "Undeliverable blocks not reported as events (too many waiting): %llu since "
            "the last report",
            static_cast<unsigned long long>(unreported));
    if (unparsable + rejected + dropped == 0) return;
    KZAPI::CKZLogInterface::Log(KZAPI::CKZLogInterface::LOG_WARNING,
                                "SIP input discarded: %llu unparsable, %llu rejected, %llu dropped (queue "
                                "full) since the last report",
                                static_cast<unsigned long long>(unparsable),
                                static_cast<unsigned long long>(rejected),
                                static_cast<unsigned long long>(dropped));
}

void sip_group::ReportUndeliverable(sip_cmd&& cmd) {
    m_counters.undeliverable.fetch_add(1, std::memory_order_relaxed);
    m_undeliverable.Lock();
    const bool room = m_undeliverable.Count() < kMaxUndeliverableQueued;
    if (room) m_undeliverable.Push(std::move(cmd));
    m_undeliverable.Unlock();
    if (room) return;
    m_counters.undeliverable_dropped.fetch_add(1, std::memory_order_relaxed);
    ReportDiscards();
}

bool sip_group::TakeUndeliverableEvent(KZSIPEvent* event) {
    sip_cmd cmd;
    if (!m_undeliverable.PopLocked(&cmd)) return false;
    memset(event, 0, sizeof(*event));
    event->event_type = KZ_EVENT_SIP_OUTGOING_MESSAGE_ERROR_UNREACHABLE_HOST;
    event->connection_id = cmd.dialog_id;
    event->protocol = cmd.protocol;
    event->connection = cmd.connection;
    const size_t len = static_cast<size_t>(cmd.remaining());
    event->code = static_cast<uint32_t>(len);
    if (cmd.data && len >= kRawTextMin && len < KZSIPEvent::kRawTextSize) {
        memcpy(event->raw_text, cmd.data.get() + cmd.position, len);
        event->raw_text[len] = '\0';
    }
    return true;
}

void sip_group::GetStats(KZ_SIPStackStats* stats) {
    memset(stats, 0, sizeof(*stats));
    auto read = [](const std::atomic<uint64_t>& v) { return v.load(std::memory_order_relaxed); };
    stats->blocks_received = read(m_counters.blocks_received);
    stats->messages_delivered = read(m_counters.messages_delivered);
    stats->external_messages = read(m_counters.external_messages);
    stats->parse_failures = read(m_counters.parse_failures);
    stats->rejected = read(m_counters.rejected);
    stats->keep_alives = read(m_counters.keep_alives);
    stats->dropped_queue_full = read(m_counters.dropped_queue_full);
    stats->queued_bytes = read(m_received_bytes);
    stats->queued_bytes_peak = read(m_received_bytes_peak);
    stats->queued_bytes_limit = m_settings.received_queue_max_bytes;
    stats->undeliverable = read(m_counters.undeliverable);
    stats->undeliverable_dropped = read(m_counters.undeliverable_dropped);
    stats->dialogs = DialogCount();
    KZAPI::CMutexLock lock(m_transport_mutex);
    const CSIPStreamTransport* streams[] = {m_tcp.get(), m_tls.get()};
    for (const CSIPStreamTransport* transport : streams) {
        if (!transport) continue;
        const auto c = transport->GetStreamCounters().connections;
        stats->stream_refused_by_limits += c.refused_per_address + c.refused_total;
        stats->stream_idle_closes += c.idle_closed;
        stats->stream_handshake_failures += c.handshake_timeouts + c.handshake_failures;
        stats->stream_connect_failures += c.connect_failures;
    }
}

void sip_group::ReportToHook(int direction, const sip_msg* msg, const char* text, size_t len) {
    if (!m_settings.msg_hook || len < kHookMin || len > kHookMax) return;
    std::string to = KZAPI::KZ_InetNtoa(msg->get_to_ip());
    KZAPI::CKZAPIEnv::GetKZAPIEnv()->FireOn_SIPMsg(direction, "", 0, to.c_str(), msg->get_to_port(), text,
                                                   static_cast<int>(len), msg->get_prot(),
                                                   msg->get_tcp_socket());
}

void sip_group::ReportReceivedToHook(const sip_cmd& cmd) {
    size_t len = static_cast<size_t>(cmd.remaining());
    if (!m_settings.msg_hook || len < kHookMin || len > kHookMax) return;
    std::string from = KZAPI::KZ_InetNtoa(cmd.from_ip);
    std::string to = KZAPI::KZ_InetNtoa(cmd.to_ip);
    KZAPI::CKZAPIEnv::GetKZAPIEnv()->FireOn_SIPMsg(0, from.c_str(), cmd.from_port, to.c_str(), cmd.to_port,
                                                   cmd.text(), static_cast<int>(len), cmd.protocol,
                                                   cmd.connection);
}

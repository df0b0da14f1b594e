// sip_group: one SIP stack instance. It owns the transports, the queue of received data, the UDP
// send queue, the dialog table and the connection-id counter, and does the dialog work: receive
// processing and bookkeeping, the once-a-second timer sweep with its retransmissions, and sending.
#pragma once

#include "host/CKZClock.h"
#include "host/CMutex.h"
#include "sipmsg/KZSIPEvent.h"
#include "sipmsg/sip_dialog.h"
#include "sipmsg/sip_msg.h"
#include "sipstack/CSIPAddressFilter.h"
#include "sipstack/CSIPDialogTable.h"
#include "sipstack/CSIPRefusalLog.h"
#include "sipstack/CSIPStackSettings.h"
#include "sipstack/KZ_SIPProtocolConfig.h"
#include "sipstack/KZ_SIPStackStats.h"
#include "sipstack/TCQueue.h"
#include "sipstack/sip_cmd.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CSIPUDPServerThread;
class CSIPTCPServerThread;
class CSIPTLSServerThread;
class CSIPProcessThread;

// 0xFFFFA8F4: the complement of KZ_EVENT_SIP_OUTGOING_MESSAGE_ERROR_INVALID_IE.
constexpr uint32_t KZ_SIP_SEND_REFUSED_SDP_IN_CANCEL_2XX = ~static_cast<uint32_t>(0x570B);

class sip_group {
public:
    static constexpr unsigned kReceivedQueueCapacity = 200;
    static constexpr uint32_t kRetransmissionInterval = 2; // seconds
    // Undelivered blocks waiting to be reported; more are only counted.
    static constexpr unsigned kMaxUndeliverableQueued = 64;
    // Discarded input is summed up in one log line at most this often.
    static constexpr int64_t kDiscardReportInterval = 10; // seconds

    // What one step of receive processing came to.
    enum class ReceiveOutcome { kEvent, kRejected, kEmpty };

    // A message taken out of the dialog table to be re-sent once the table is unlocked.
    struct PendingResend {
        std::unique_ptr<sip_msg> message;
        uint32_t dialog_id = 0;
    };
    using PendingResends = std::vector<PendingResend>;

    sip_group();
    ~sip_group();
    sip_group(const sip_group&) = delete;
    sip_group& operator=(const sip_group&) = delete;

    // Reads the stack's settings from the host configuration (message hook, TLS type and files).
    void LoadSettings();

    // ---- transports ----
    // Opens the transports of the configuration's mask; false when one fails to open.
    bool StartTransports();
    void StopTransports();
    // Composes msg and hands it to the transport of its protocol; 0 or KZ_SIP_RESULT_FAILURE.
    // dialog_id names the dialog for a delivery failure reported later (0 for none).
    uint32_t ComposeAndSendSIPMsg(sip_msg* msg, const char* host, uint16_t port, uint32_t dialog_id = 0);
    // Sends text as it stands (no composing, no dialog).
    uint32_t SendExternalMessage(const char* text, size_t len, const char* host, uint16_t port,
                                 int32_t protocol, void* connection);
    void ReSendOutgoingMessage(sip_msg* msg, uint32_t dialog_id = 0);
    // Called by the transport threads. False when the received queue is full: the block is
    // dropped and counted.
    bool PushReceived(sip_cmd&& cmd);
    // Called by a transport for a block it could not deliver after accepting it (a connection
    // that failed to open or closed with the block still queued). Reported to the application as
    // an event by the next processing pass.
    void ReportUndeliverable(sip_cmd&& cmd);
    // The event for the oldest undelivered block; false when there is none.
    bool TakeUndeliverableEvent(KZSIPEvent* event);
    void GetStats(KZ_SIPStackStats* stats);
    const CSIPStackSettings& Settings() const { return m_settings; }
    TCQueue<sip_cmd>& UdpSendQueue() { return m_udp_send; }
    bool IsAllowed(uint32_t ipv4, uint16_t port) const { return m_filter.Check(ipv4, port); }
    CSIPAddressFilter& Filter() { return m_filter; }
    // Where the transports count the packets they refuse, so that a flood logs a line a second.
    CSIPRefusalLog& Refusals() { return m_refusals; }
    // Once a second: tells of the refused packets of sources that went quiet since their line.
    void ReportRefusals() {
        m_refusals.Flush(Now(),
                         [](uint32_t source, uint64_t untold) { CSIPRefusalLog::LogUntold(source, untold); });
    }
    CSIPUDPServerThread* UdpTransport() const { return m_udp.get(); }
    CSIPTCPServerThread* TcpTransport() const { return m_tcp.get(); }
    CSIPTLSServerThread* TlsTransport() const { return m_tls.get(); }

    // ---- sending within dialogs ----
    // Forgets the dialog of a connection id (its retransmissions stop); an error when none has it.
    uint32_t TerminateConnection(uint32_t connection_id);
    // Completes msg from its dialog (or opens one), records it and sends it. 0, KZ_SIP_RESULT_FAILURE, or
    // KZ_SIP_SEND_REFUSED_SDP_IN_CANCEL_2XX for a 2xx to a CANCEL that carries SDP.
    uint32_t SendMessage(sip_msg* msg, const char* host, uint16_t port, uint32_t connection_id);
    // CANCEL of an outgoing INVITE that has had a provisional response.
    uint32_t SendCancel(sip_msg* msg, const char* host, uint16_t port, uint32_t new_connection_id,
                        uint32_t dialog_connection_id);

    // ---- dialogs ----
    uint32_t NewConnectionId();
    // One message of received data into `current`: an event, a rejected block (counted), or
    // nothing queued.
    ReceiveOutcome ReceiveProcessing(sip_msg* current, KZSIPEvent* event);
    // Waits up to timeout_ms for received data; true when some is waiting.
    bool WaitForReceived(unsigned timeout_ms);
    // Dialog bookkeeping of a received message; false rejects the event.
    bool DialogBookkeeping(const sip_msg* msg, KZSIPEvent* event);
    // Bookkeeping of a message that receive processing produced, counted as delivered or rejected.
    bool AdmitReceived(const sip_msg* msg, KZSIPEvent* event);
    // Logs the input discarded (and the undelivered blocks not reported) since the last such
    // line, at most once per kDiscardReportInterval.
    void ReportDiscards();
    // Once-a-second work: expiry, error events (pushed into `events`) and retransmissions.
    void TimerSweep(TCQueue<KZSIPEvent>* events);
    size_t DialogCount();
    KZAPI::CMutex& DialogMutex() { return m_dialog_mutex; }
    CSIPDialogTable& Dialogs() { return m_dialogs; }

    // ---- time ----
    // The clock may be swapped (tests) while transport threads read it.
    int64_t Now() const { return Clock()->NowSeconds(); }
    void SetClock(KZAPI::CKZClock* clock) {
        m_clock.store(clock ? clock : &KZAPI::CKZClock::System(), std::memory_order_release);
    }
    KZAPI::CKZClock* Clock() const { return m_clock.load(std::memory_order_acquire); }

    // ---- message hook ----
    void ReportToHook(int direction, const sip_msg* msg, const char* text, size_t len);
    void ReportReceivedToHook(const sip_cmd& cmd);

    KZ_SIPProtocolConfig m_config{};
    CSIPStackSettings m_settings;
    CSIPProcessThread* m_process = nullptr; // attached queue

private:
    bool BookkeepRequest(const sip_msg* msg, KZSIPEvent* event);
    bool BookkeepResponse(const sip_msg* msg, KZSIPEvent* event, PendingResends* resends);
    sip_dialog* MatchDialog(const sip_msg* msg, bool is_request);
    void SweepDialog(sip_dialog* d, int64_t now, int32_t max_duration, TCQueue<KZSIPEvent>* events,
                     PendingResends* resends);
    void ResendAll(PendingResends* resends);
    ReceiveOutcome Rejected(std::atomic<uint64_t>* counter);
    bool TakeReceivedBlock();
    uint32_t PrepareRequest(sip_msg* msg, uint32_t connection_id, uint32_t dest_ip, uint16_t dest_port,
                            uint32_t* dialog_id);
    uint32_t PrepareResponse(sip_msg* msg, const char* host, uint16_t port, uint32_t connection_id,
                             std::string* dest_host, uint16_t* dest_port, uint32_t* dialog_id);
    void PushErrorEvent(TCQueue<KZSIPEvent>* events, uint32_t type, sip_dialog* d, const sip_msg& msg);
    void RemoveDialog(sip_dialog* d);
    uint32_t SendRequestInDialog(sip_dialog* d, sip_msg* msg);
    uint32_t SendNewRequest(sip_msg* msg, uint32_t connection_id, sip_dialog** created);
    uint32_t PrepareResponseInDialog(sip_dialog* d, sip_msg* msg, bool* remove_after);
    void RecordResponse(sip_dialog* d, sip_msg* msg, bool* remove_after);
    void TakeDialogTransport(sip_dialog* d, sip_msg* msg);
    void LogSending(const sip_msg* msg);
    void StoreResponseDestination(uint32_t dialog_id, uint32_t ip, uint16_t port);
    bool EnsureUdpTransport();
    bool EnsureTcpTransport(bool at_start);
    bool EnsureTlsTransport(bool at_start);
    // A message to send, in text owned by the caller; copied only when it must wait in a queue.
    struct OutgoingText {
        const char* text = nullptr;
        size_t length = 0;
        uint32_t to_ip = 0;
        uint16_t to_port = 0;
        int32_t protocol = 0;
        void* connection = nullptr;
        uint32_t dialog_id = 0;
        sip_cmd ToCmd() const;
    };
    uint32_t SendBlock(const OutgoingText& out, const char* log_text_prefix);

    std::unique_ptr<CSIPUDPServerThread> m_udp;
    std::unique_ptr<CSIPTCPServerThread> m_tcp;
    std::unique_ptr<CSIPTLSServerThread> m_tls;
    KZAPI::CMutex m_transport_mutex;
    TCQueue<sip_cmd> m_received{kReceivedQueueCapacity, true, true};
    // Bytes m_received holds, each block charged with its bookkeeping too; changed under its lock.
    std::atomic<uint64_t> m_received_bytes{0};
    std::atomic<uint64_t> m_received_bytes_peak{0};
    TCQueue<sip_cmd> m_undeliverable{16, true};
    // The block being parsed, taken out of m_received so that the transports can push while it is
    // parsed; it may hold more messages (a stream read). Only the processing thread touches it.
    sip_cmd m_parsing;
    TCQueue<sip_cmd> m_udp_send{kReceivedQueueCapacity, true};
    std::atomic<uint32_t> m_connection_counter{0};
    CSIPDialogTable m_dialogs;
    KZAPI::CMutex m_dialog_mutex;
    CSIPAddressFilter m_filter;
    CSIPRefusalLog m_refusals;
    std::atomic<KZAPI::CKZClock*> m_clock;

    struct Counters {
        std::atomic<uint64_t> blocks_received{0};
        std::atomic<uint64_t> messages_delivered{0};
        std::atomic<uint64_t> external_messages{0};
        std::atomic<uint64_t> parse_failures{0};
        std::atomic<uint64_t> rejected{0};
        std::atomic<uint64_t> keep_alives{0};
        std::atomic<uint64_t> dropped_queue_full{0};
        std::atomic<uint64_t> undeliverable{0};
        std::atomic<uint64_t> undeliverable_dropped{0};
    } m_counters;
    // The totals that the last discard report had seen, and when it was written.
    struct DiscardReport {
        std::atomic<int64_t> last_second{0};
        std::atomic<uint64_t> parse_failures{0};
        std::atomic<uint64_t> rejected{0};
        std::atomic<uint64_t> dropped{0};
        std::atomic<uint64_t> undeliverable{0};
    } m_discard_report;
};

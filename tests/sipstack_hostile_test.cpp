// The stack under hostile input: floods of garbage over loopback while legitimate requests must
// still be answered, a received queue bounded in bytes, discarded input counted and
// summed up in the log, undelivered blocks reported as events, and no transport hand-off under the
// dialog lock.
#include "host/CKZAPIEnv.h"
#include "host/CKZClock.h"
#include "include/kzsipapi.h"
#include "sipstack/CSIPProcessThread.h"
#include "sipstack/sip_group.h"
#include "support/garbage_flood.h"
#include "support/log_capture.h"
#include "support/loopback_stack.h"
#include "support/sip_peer.h"
#include "support/sip_requests.h"
#include "support/stream_client.h"
#include "support/test_certificate.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using std::chrono::milliseconds;

void queue_text(sip_group* stack, const std::string& text) {
    sip_cmd cmd;
    cmd.from_ip = 0x0100007F;
    cmd.from_port = 5999;
    cmd.assign(text.data(), text.size());
    stack->PushReceived(std::move(cmd));
}

// A stack of the flat interface with a polled queue attached, not started.
struct PolledStack {
    PolledStack() {
        KZ_SIP_Open(&stack);
        KZ_QUEUE_Create(KZ_QUEUE_POLLED, &queue);
        KZ_QUEUE_Attach(queue, stack, nullptr);
    }
    ~PolledStack() {
        KZ_QUEUE_Detach(queue, stack);
        KZ_QUEUE_Destroy(queue);
        KZ_SIP_Close(stack);
    }
    void Queue(const std::string& text) { queue_text(static_cast<sip_group*>(stack), text); }
    void* stack = nullptr;
    void* queue = nullptr;
};

// On the polled queue the server runs (the threaded one takes its loads in the stream tests).
// Round trips are measured by bench/flood_latency; here every probe must be answered and every
// block accounted for, with the received queue held to its bound.
TEST(HostileFlood, LegitimateRequestsAreAnsweredDuringAndAfterAGarbageFlood) {
    constexpr long kEachKind = 10000;
    ASSERT_TRUE(kztest::TestCertificate::Shared().ok());
    kztest::AnsweringStack stack(KZ_QUEUE_POLLED);
    std::atomic<bool> flooding{true};
    std::thread flood([&] { stack.Flood(kEachKind, flooding); });
    kztest::UdpPeer udp;
    kztest::StreamClient tcp(stack.port()), tls(static_cast<uint16_t>(stack.port() + 1), true);
    ASSERT_TRUE(tcp.ok());
    ASSERT_TRUE(tls.ok());
    int unanswered = 0, during = 0, resends = 0;
    uint64_t peak = 0;
    for (int n = 0, after = 0; after < 6; ++n) { // while the flood lasts and a few probes after it
        const bool in_flood = flooding.load();
        during += in_flood;
        after += !in_flood;
        peak = std::max(peak, stack.stats().queued_bytes);
        unanswered += !stack.Probe(n, udp, tcp, tls, &resends);
    }
    flood.join();
    const KZ_SIPStackStats s = stack.stats();

    EXPECT_EQ(unanswered, 0);
    EXPECT_GT(during, 0) << "probed while flooded";
    EXPECT_GT(s.blocks_received, static_cast<uint64_t>(kEachKind)) << "the flood reached the stack";
    EXPECT_GT(s.external_messages, 0u) << "random bytes come out as external texts";
    EXPECT_GT(s.rejected + s.parse_failures, 0u) << "truncated requests are rejected";
    EXPECT_GE(s.parse_failures + s.rejected + s.keep_alives + s.dropped_queue_full + s.messages_delivered,
              s.blocks_received)
        << "every block is accounted for";
    EXPECT_LE(s.queued_bytes_peak, s.queued_bytes_limit);
    EXPECT_LE(peak, s.queued_bytes_limit);
}

// ---- the processing pass ----

TEST(HostileInput, APollReachesAValidRequestBehindRejectedInputWithoutReportingAnEmptyQueue) {
    constexpr int kGarbage = 1000;
    PolledStack p;
    std::mt19937 rng(3);
    for (int i = 0; i < kGarbage; ++i)
        p.Queue(kztest::truncated_request(rng, 5060));
    p.Queue(kztest::sip_request("OPTIONS", 5999, 5060));
    KZSIPEvent e{};
    std::vector<uint32_t> results;
    for (int poll = 0; poll < 20; ++poll) {
        results.push_back(KZ_QUEUE_WaitOnEvent(p.queue, 0, &e));
        if (results.back() != KZ_QUEUE_MORE_WAITING) break;
    }
    ASSERT_EQ(results.back(), KZ_SIP_RESULT_OK) << "the valid request comes out";
    EXPECT_EQ(e.event_type, KZ_EVENT_SIP_MESSAGE_REQUEST);
    EXPECT_EQ(results.size(), kGarbage / CSIPProcessThread::kMaxRejectedPerPass + 1)
        << "each poll before it discards a full share of rejected blocks and says more is waiting";
    EXPECT_EQ(KZ_QUEUE_WaitOnEvent(p.queue, 0, &e), KZ_SIP_RESULT_FAILURE) << "then the queue is empty";
    const KZ_SIPStackStats s = kztest::stats_of(p.stack);
    EXPECT_EQ(s.rejected + s.parse_failures, static_cast<uint64_t>(kGarbage));
    EXPECT_EQ(s.messages_delivered, 1u);
    EXPECT_EQ(s.queued_bytes, 0u);
}

// Line ends after a message are not another message; a block of blanks and line ends alone is a
// keep-alive, not unparsable input, and what follows it is still read.
TEST(HostileInput, BlanksAndLineEndsAroundAMessageAreNeitherMessagesNorFailures) {
    const std::string options = kztest::sip_request("OPTIONS", 5999, 5060);
    const std::pair<std::vector<std::string>, uint64_t> cases[] = {
        {{options + "\r\n"}, 0},  {{options + "\n"}, 0},      {{options + "\r\n\r\n  \t"}, 0},
        {{"  \r\n", options}, 1}, {{"\r\n\r\n", options}, 1}, {{"  ", options}, 1},
        {{"\n", options}, 1}};
    for (const auto& [blocks, keep_alives] : cases) {
        SCOPED_TRACE(testing::PrintToString(blocks[0].substr(0, 8)));
        kztest::LogCapture log;
        PolledStack p;
        for (const std::string& block : blocks)
            p.Queue(block);
        KZSIPEvent e{};
        while (KZ_QUEUE_WaitOnEvent(p.queue, 0, &e) != KZ_SIP_RESULT_FAILURE) {
        }
        const KZ_SIPStackStats s = kztest::stats_of(p.stack);
        EXPECT_EQ(s.messages_delivered, 1u);
        EXPECT_EQ(s.keep_alives, keep_alives);
        EXPECT_EQ(s.parse_failures + s.rejected, 0u);
        EXPECT_EQ(log.CountAtLevel(KZAPI::CKZLogInterface::LOG_WARNING), 0);
    }
}

TEST(HostileInput, DiscardedInputIsSummedUpInOneLogLineEveryTenSeconds) {
    kztest::LogCapture log;
    KZAPI::CKZLogInterface::SetMaxLevel(KZAPI::CKZLogInterface::LOG_WARNING); // no per-message traces
    KZAPI::CKZManualClock clock;
    sip_group stack;
    stack.SetClock(&clock);
    CSIPProcessThread queue(CSIPProcessThread::QUEUE_POLLED);
    queue.Attach(&stack, nullptr);
    std::mt19937 rng(9);
    auto discard = [&](int n) {
        for (int i = 0; i < n; ++i)
            queue_text(&stack, kztest::truncated_request(rng, 5060));
        KZSIPEvent e;
        for (int i = 0; i < 100 && queue.RunPass(&e, false) != CSIPProcessThread::PassOutcome::kIdle; ++i) {
        }
    };
    discard(1);
    EXPECT_TRUE(log.HasLine("SIP input discarded: 0 unparsable, 1 rejected, 0 dropped (queue full) since the "
                            "last report"));
    discard(500);
    clock.Advance(9);
    discard(500);
    EXPECT_EQ(log.CountAtLevel(KZAPI::CKZLogInterface::LOG_WARNING), 1) << "nothing more within ten seconds";
    clock.Advance(1);
    discard(1);
    EXPECT_EQ(log.CountAtLevel(KZAPI::CKZLogInterface::LOG_WARNING), 2);
    EXPECT_TRUE(log.HasLine("SIP input discarded: 0 unparsable, 1001 rejected, 0 dropped (queue full) since "
                            "the last report"));
    queue.Detach();
}

// ---- the received queue's bound ----

TEST(HostileInput, AFullReceivedQueueDropsAndCountsNewBlocksAndTakesThemAgainOnceDrained) {
    constexpr uint64_t kLimit = 16 * 1024;
    constexpr int kDatagrams = 120;
    const uint16_t port = kztest::free_port_pair();
    sip_group stack;
    stack.m_settings.received_queue_max_bytes = kLimit;
    kztest::on_loopback(stack, port);
    ASSERT_TRUE(stack.StartTransports());
    kztest::UdpPeer peer;
    const std::string request = kztest::sip_request("OPTIONS", peer.port(), port);
    for (int i = 0; i < kDatagrams; ++i)
        peer.send_to(port, request);
    KZ_SIPStackStats s{};
    ASSERT_TRUE(kztest::wait_until([&] { return stack.GetStats(&s), s.blocks_received == kDatagrams; }));
    EXPECT_GT(s.dropped_queue_full, 0u);
    EXPECT_LE(s.queued_bytes, kLimit);
    EXPECT_GT(s.queued_bytes, kLimit - 2 * request.size() - 512) << "filled up to the bound";
    EXPECT_EQ(s.queued_bytes_peak, s.queued_bytes);
    const uint64_t accepted = kDatagrams - s.dropped_queue_full;

    CSIPProcessThread queue(CSIPProcessThread::QUEUE_POLLED);
    queue.Attach(&stack, nullptr);
    KZSIPEvent e;
    uint64_t delivered = 0;
    for (int i = 0; i < kDatagrams * 2 && queue.RunPass(&e, false) != CSIPProcessThread::PassOutcome::kIdle;
         ++i)
        delivered += e.event_type == KZ_EVENT_SIP_MESSAGE_REQUEST;
    EXPECT_EQ(delivered, accepted);
    stack.GetStats(&s);
    EXPECT_EQ(s.queued_bytes, 0u);
    sip_cmd again;
    again.assign(request.data(), request.size());
    EXPECT_TRUE(stack.PushReceived(std::move(again)));
    queue.Detach();
    stack.StopTransports();
}

// ---- undelivered blocks ----

TEST(HostileInput, UndeliveredBlocksComeOutAsEventsOfTheirDialogAndAreBounded) {
    const std::pair<size_t, bool> cases[] = {{10, false}, {200, true}, {2047, true}, {3000, false}};
    sip_group stack;
    CSIPProcessThread queue(CSIPProcessThread::QUEUE_POLLED);
    queue.Attach(&stack, nullptr);
    int dummy_connection = 0;
    for (const auto& [length, raw_text] : cases) {
        sip_cmd cmd;
        const std::string text(length, 'x');
        cmd.assign(text.data(), text.size());
        cmd.protocol = 1;
        cmd.connection = &dummy_connection;
        cmd.dialog_id = static_cast<uint32_t>(length);
        stack.ReportUndeliverable(std::move(cmd));
        KZSIPEvent e{};
        ASSERT_TRUE(queue.RunOnePass(&e, false)) << length;
        EXPECT_EQ(e.event_type, static_cast<uint32_t>(KZ_EVENT_SIP_OUTGOING_MESSAGE_ERROR_UNREACHABLE_HOST));
        EXPECT_EQ(e.connection_id, length);
        EXPECT_EQ(e.protocol, 1);
        EXPECT_EQ(e.connection, &dummy_connection);
        EXPECT_EQ(std::string(e.raw_text), raw_text ? text : "") << length;
    }
    for (unsigned i = 0; i < sip_group::kMaxUndeliverableQueued + 10; ++i) {
        sip_cmd cmd;
        cmd.assign("lost", 4);
        stack.ReportUndeliverable(std::move(cmd));
    }
    KZSIPEvent e{};
    unsigned events = 0;
    while (events < 1000 && queue.RunOnePass(&e, false))
        ++events;
    EXPECT_EQ(events, sip_group::kMaxUndeliverableQueued);
    KZ_SIPStackStats s{};
    stack.GetStats(&s);
    EXPECT_EQ(s.undeliverable, std::size(cases) + sip_group::kMaxUndeliverableQueued + 10);
    EXPECT_EQ(s.undeliverable_dropped, 10u);
    queue.Detach();
}

// ---- the dialog lock and the transport ----

// Holds every sent message inside the transport hand-off (the message hook is its last step)
// until released.
class BlockingSendHook : public KZAPI::CKZAPIEnv {
public:
    BlockingSendHook() { KZAPI::CKZAPIEnv::SetKZAPIEnv(this); }
    ~BlockingSendHook() override {
        Release();
        KZAPI::CKZAPIEnv::SetKZAPIEnv(nullptr);
    }
    void FireOn_SIPMsg(int direction, const char*, uint16_t, const char*, uint16_t, const char*, int, int,
                       void*) override {
        if (direction != 1) return;
        std::call_once(m_entered, [this] { m_inside.set_value(); });
        m_released.wait();
    }
    bool WaitInside(int timeout_ms) {
        return m_inside_seen.wait_for(milliseconds(timeout_ms)) == std::future_status::ready;
    }
    void Release() {
        std::call_once(m_releasing, [this] { m_release.set_value(); });
    }

private:
    std::promise<void> m_inside, m_release;
    std::once_flag m_entered, m_releasing;
    std::future<void> m_inside_seen = m_inside.get_future();
    std::shared_future<void> m_released = m_release.get_future().share();
};

std::unique_ptr<sip_msg> parsed(const std::string& text, std::vector<char>* buffer, KZSIPEvent* e) {
    buffer->assign(text.begin(), text.end());
    buffer->push_back('\0');
    auto m = std::make_unique<sip_msg>();
    *e = KZSIPEvent{};
    m->init_from_buf(buffer->data(), e);
    m->set_ip_address(0x0100007F, 5999, 0x0100007F, 5060);
    return m;
}

TEST(HostileInput, ReceiveBookkeepingGoesOnWhileASendIsInsideTheTransport) {
    enum Send { kNewRequest, kResponseInADialog, kRetransmissionOfTheSweep };
    for (const Send kind : {kNewRequest, kResponseInADialog, kRetransmissionOfTheSweep}) {
        SCOPED_TRACE(kind);
        KZAPI::CKZManualClock clock;
        kztest::UdpPeer peer;
        sip_group stack;
        stack.SetClock(&clock);
        stack.m_settings.msg_hook = 1;
        kztest::on_loopback(stack, kztest::free_port_pair());
        ASSERT_TRUE(stack.StartTransports());
        // The dialog set up before the send that will sit in the transport hand-off.
        uint32_t conn = stack.NewConnectionId();
        std::vector<char> buffer;
        KZSIPEvent e;
        auto invite = parsed(kztest::sip_request("INVITE", peer.port(), 5060), &buffer, &e);
        if (kind == kResponseInADialog && stack.DialogBookkeeping(invite.get(), &e)) conn = e.connection_id;
        if (kind == kRetransmissionOfTheSweep) {
            stack.SendMessage(kztest::app_request("INVITE", peer.port()).get(), nullptr, 0, conn);
            clock.Advance(2);
        }
        const auto send = [&] {
            if (kind == kRetransmissionOfTheSweep) stack.TimerSweep(nullptr);
            if (kind == kResponseInADialog)
                stack.SendMessage(kztest::app_response(180, "Ringing").get(), nullptr, 0, conn);
            if (kind == kNewRequest)
                stack.SendMessage(kztest::app_request("OPTIONS", peer.port()).get(), nullptr, 0, conn);
        };
        BlockingSendHook hook;
        std::thread sender(send);
        ASSERT_TRUE(hook.WaitInside(2000));

        auto bookkeeping = std::async(std::launch::async, [&stack, &peer] {
            std::vector<char> buffer;
            KZSIPEvent e;
            auto other =
                parsed(kztest::sip_request("MESSAGE", peer.port(), 5060, "", "other-call"), &buffer, &e);
            return stack.DialogBookkeeping(other.get(), &e) && stack.DialogCount() > 0;
        });
        const bool proceeded = bookkeeping.wait_for(milliseconds(2000)) == std::future_status::ready;
        hook.Release();
        sender.join();
        EXPECT_TRUE(proceeded) << "the dialog lock is free while the send is in the transport";
        EXPECT_TRUE(bookkeeping.get());
        stack.StopTransports();
    }
}

} // namespace

#include "sipstack/CSIPProcessThread.h"

#include "host/CKZLogInterface.h"
#include "sipmsg/sip_msg_pool.h"
#include "sipstack/sip_group.h"

#include <cstring>
#include <memory>

using KZAPI::CKZLogInterface;

namespace {
constexpr unsigned kIdleWaitMs = 20;
}

CSIPProcessThread::CSIPProcessThread(int queue_type) : m_type(queue_type) {}

CSIPProcessThread::~CSIPProcessThread() {
    StopThread();
    KZSIPEvent e;
    while (m_events.Pop(&e))
        delete e.message;
}

void CSIPProcessThread::Attach(sip_group* stack, void* user_data) {
    m_stack_stamp = stack;
    m_user_data = user_data;
    m_last_sweep = stack ? stack->Now() : 0;
    m_stack.store(stack);
}

void CSIPProcessThread::Detach() {
    m_stack.store(nullptr);
    m_stack_stamp = nullptr;
    m_user_data = nullptr;
}

void CSIPProcessThread::Stamp(KZSIPEvent* event) {
    event->stack = m_stack_stamp;
    event->user_data = m_user_data;
}

void CSIPProcessThread::Deliver(KZSIPEvent* event, KZSIPEvent* out) {
    m_current_protocol = event->protocol;
    m_current_connection = event->connection;
    if (KZSIPEventHandler handler = m_handler.load()) handler(event);
    if (out && out != event) *out = *event;
}

bool CSIPProcessThread::DeliverQueued(KZSIPEvent* out) {
    KZSIPEvent queued;
    if (!m_events.Pop(&queued)) return false;
    Stamp(&queued);
    if (queued.message) {
        std::unique_ptr<sip_msg> carried(queued.message);
        m_current.copy_msg_from(carried.get());
        queued.message = nullptr;
        sip_msg_pool::Give(std::move(carried));
    }
    Deliver(&queued, out);
    return true;
}

bool CSIPProcessThread::DeliverUndeliverable(sip_group* stack, KZSIPEvent* out) {
    KZSIPEvent event;
    if (!stack->TakeUndeliverableEvent(&event)) return false;
    Stamp(&event);
    Deliver(&event, out);
    return true;
}

CSIPProcessThread::PassOutcome CSIPProcessThread::ProcessReceived(sip_group* stack, KZSIPEvent* out) {
    KZSIPEvent event;
    for (unsigned rejected = 0; rejected < kMaxRejectedPerPass; ++rejected) {
        memset(&event, 0, sizeof(event));
        switch (stack->ReceiveProcessing(&m_current, &event)) {
        case sip_group::ReceiveOutcome::kEmpty:
            return PassOutcome::kIdle;
        case sip_group::ReceiveOutcome::kRejected:
            continue;
        case sip_group::ReceiveOutcome::kEvent:
            Stamp(&event);
            if (!stack->AdmitReceived(&m_current, &event)) continue;
            Deliver(&event, out);
            return PassOutcome::kEvent;
        }
    }
    return PassOutcome::kMoreWaiting;
}

bool CSIPProcessThread::SweepWhenDue(sip_group* stack) {
    const int64_t now = stack->Now();
    if (now == m_last_sweep) return false;
    m_last_sweep = now;
    stack->TimerSweep(&m_events);
    stack->ReportDiscards();
    stack->ReportRefusals();
    return true;
}

CSIPProcessThread::PassOutcome CSIPProcessThread::RunPass(KZSIPEvent* out, bool may_sleep) {
    sip_group* stack = m_stack.load();
    // With nothing to do, a threaded queue waits for received data (a short wait, so the
    // once-a-second sweep and queued events are never late by more than that).
    auto idle = [&] {
        if (may_sleep) {
            if (stack)
                stack->WaitForReceived(kIdleWaitMs);
            else
                Sleep(1);
        }
        return PassOutcome::kIdle;
    };
    if (!stack) return idle();
    try {
        if (DeliverQueued(out) || DeliverUndeliverable(stack, out)) return PassOutcome::kEvent;
        const PassOutcome received = ProcessReceived(stack, out);
        if (received == PassOutcome::kEvent) return received;
        if (received == PassOutcome::kMoreWaiting) {
            // A flood of rejected input must not hold back retransmissions and expiry.
            SweepWhenDue(stack);
            return received;
        }
        if (!SweepWhenDue(stack)) return idle();
        return m_events.IsEmpty() ? PassOutcome::kIdle : PassOutcome::kMoreWaiting;
    } catch (...) {
        CKZLogInterface::Log(
            CKZLogInterface::LOG_ERROR,
            "*************CSIPProcessThread::DoUnblockedLoop got an exception***********************");
        return idle();
    }
}

void CSIPProcessThread::DoUnblockedLoop() {
    RunOnePass(nullptr, true);
}

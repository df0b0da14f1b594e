#include "sipstack/CSIPProcessThread.h"

#include "host/CKZLogInterface.h"
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

bool CSIPProcessThread::RunOnePass(KZSIPEvent* out, bool may_sleep) {
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
        return false;
    };
    if (!stack) return idle();
    try {
        KZSIPEvent queued;
        if (m_events.Pop(&queued)) {
            Stamp(&queued);
            if (queued.message) {
                std::unique_ptr<sip_msg> carried(queued.message);
                m_current.copy_msg_from(carried.get());
                queued.message = nullptr;
            }
            Deliver(&queued, out);
            return true;
        }
        KZSIPEvent event;
        memset(&event, 0, sizeof(event));
        if (stack->ReceiveProcessing(&m_current, &event)) {
            Stamp(&event);
            if (!stack->DialogBookkeeping(&m_current, &event)) return idle();
            Deliver(&event, out);
            return true;
        }
        const int64_t now = stack->Now();
        if (now == m_last_sweep) return idle();
        m_last_sweep = now;
        stack->TimerSweep(&m_events);
        return false;
    } catch (...) {
        CKZLogInterface::Log(
            1, "*************CSIPProcessThread::DoUnblockedLoop got an exception***********************");
        return idle();
    }
}

void CSIPProcessThread::DoUnblockedLoop() {
    RunOnePass(nullptr, true);
}

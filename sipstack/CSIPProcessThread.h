// CSIPProcessThread: the object behind an event queue. Each pass of its loop delivers one queued
// event, or processes received data up to the first message it delivers (input that is rejected
// costs only its parse and the pass goes on), or runs the once-a-second timer sweep. A
// threaded queue runs the loop on its own thread and calls the event handler; a polled queue
// runs one pass each time the application asks for an event.
#pragma once

#include "host/CBaseThread.h"
#include "sipmsg/KZSIPEvent.h"
#include "sipmsg/sip_msg.h"
#include "sipstack/TCQueue.h"

#include <atomic>
#include <cstdint>

class sip_group;

using KZSIPEventHandler = void (*)(KZSIPEvent*);

class CSIPProcessThread : public KZAPI::CBaseThread {
public:
    enum : int { QUEUE_POLLED = 0, QUEUE_THREADED = 1 };
    static constexpr size_t kEventQueueCapacity = 1024;
    // Rejected blocks handled in one pass before it returns, so that one pass stays short.
    static constexpr unsigned kMaxRejectedPerPass = 256;

    // What a pass came to: an event, no event yet with received input still waiting (poll again
    // at once), or nothing to do.
    enum class PassOutcome { kEvent, kMoreWaiting, kIdle };

    explicit CSIPProcessThread(int queue_type);
    ~CSIPProcessThread() override;

    void Attach(sip_group* stack, void* user_data);
    void Detach();
    sip_group* Stack() const { return m_stack.load(); }
    void SetEventHandler(KZSIPEventHandler handler) { m_handler.store(handler); }
    KZSIPEventHandler GetEventHandler() const { return m_handler.load(); }
    int QueueType() const { return m_type; }

    // One pass of the loop in the caller's thread. When an event results it is delivered to the
    // handler (threaded queues) and copied into *event; returns true when there was one.
    bool RunOnePass(KZSIPEvent* event, bool may_sleep) {
        return RunPass(event, may_sleep) == PassOutcome::kEvent;
    }
    PassOutcome RunPass(KZSIPEvent* event, bool may_sleep);

    // The message of the last delivered event.
    const sip_msg& CurrentMessage() const { return m_current; }
    TCQueue<KZSIPEvent>& Events() { return m_events; }
    int64_t LastSweep() const { return m_last_sweep; }

protected:
    void DoUnblockedLoop() override;

private:
    void Stamp(KZSIPEvent* event);
    void Deliver(KZSIPEvent* event, KZSIPEvent* out);
    bool DeliverQueued(KZSIPEvent* out);
    bool DeliverUndeliverable(sip_group* stack, KZSIPEvent* out);
    PassOutcome ProcessReceived(sip_group* stack, KZSIPEvent* out);
    // Runs the timer sweep when the second changed since the last one; true when it ran.
    bool SweepWhenDue(sip_group* stack);

    std::atomic<sip_group*> m_stack{nullptr};
    int m_type;
    void* m_stack_stamp = nullptr;
    void* m_user_data = nullptr;
    std::atomic<KZSIPEventHandler> m_handler{nullptr};
    sip_msg m_current;
    int32_t m_current_protocol = 0;
    void* m_current_connection = nullptr;
    int64_t m_last_sweep = 0;
    TCQueue<KZSIPEvent> m_events{kEventQueueCapacity};
};

#include "host/CKZDSP.h"

#include "host/CKZDSPApp.h"
#include "host/CKZDSPTimer.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

namespace KZAPI {

namespace {

// Frames cross DSPs inside a delivery (a tick or a frame handed on). Whoever takes a DSP or an
// application out of the graph (disconnect, RemoveApp, destructor) first unlinks it, then drains:
// waits until every delivery that was already running when the drain began has left, since those
// may still hold the old link. Deliveries never wait for anything here: each thread announces
// the epoch it entered in, and a drain opens a new epoch and waits only for threads still inside
// an older one. Nothing is called back while a drain waits.
//
// A drain from inside a delivery returns at once (it would be waiting for itself), and a caller
// must not drain while holding a lock that an application's callback takes.
class DeliveryGate {
public:
    // Never destroyed: threads that ever delivered unregister from it when they end, which may
    // be after static destructors have run.
    static DeliveryGate& Get() {
        static DeliveryGate* const gate = std::make_unique<DeliveryGate>().release();
        return *gate;
    }

    void Enter() {
        Slot& slot = ThisThread();
        if (slot.depth++ == 0) slot.epoch.store(m_epoch.load());
    }
    void Leave() {
        Slot& slot = ThisThread();
        if (--slot.depth == 0) slot.epoch.store(0);
    }
    void Drain() {
        if (ThisThread().depth > 0) return;
        const uint64_t epoch = m_epoch.fetch_add(1) + 1;
        std::lock_guard lock(m_slots_mutex);
        for (const Slot* slot : m_slots) {
            for (;;) {
                const uint64_t entered = slot->epoch.load();
                if (entered == 0 || entered >= epoch) break;
                std::this_thread::yield();
            }
        }
    }

private:
    struct Slot {
        std::atomic<uint64_t> epoch{0}; // 0: outside any delivery
        int depth = 0;                  // touched by the owning thread only
    };
    // Registers the thread's slot on its first delivery and unregisters it when the thread ends.
    struct ThreadSlot {
        Slot slot;
        ThreadSlot() {
            DeliveryGate& gate = Get();
            std::lock_guard lock(gate.m_slots_mutex);
            gate.m_slots.push_back(&slot);
        }
        ~ThreadSlot() {
            DeliveryGate& gate = Get();
            std::lock_guard lock(gate.m_slots_mutex);
            gate.m_slots.erase(std::find(gate.m_slots.begin(), gate.m_slots.end(), &slot));
        }
    };
    static Slot& ThisThread() {
        static thread_local ThreadSlot mine;
        return mine.slot;
    }

    std::atomic<uint64_t> m_epoch{1};
    std::mutex m_slots_mutex;
    std::vector<const Slot*> m_slots;
};

class DeliveryScope {
public:
    DeliveryScope() { DeliveryGate::Get().Enter(); }
    ~DeliveryScope() { DeliveryGate::Get().Leave(); }
    DeliveryScope(const DeliveryScope&) = delete;
    DeliveryScope& operator=(const DeliveryScope&) = delete;
};

// Connection changes are rare; one lock keeps multi-step ones (both halves of a full-duplex link,
// a DSP leaving every list) whole. It also holds every DSP alive, for DisconnectAll.
// Both never destroyed, for DSPs that outlive the static destructors.
std::mutex& GraphMutex() {
    static std::mutex* const mutex = std::make_unique<std::mutex>().release();
    return *mutex;
}
std::unordered_set<CKZDSP*>& AllDSPs() {
    static auto* const dsps = std::make_unique<std::unordered_set<CKZDSP*>>().release();
    return *dsps;
}

template <typename T, int N> struct Snapshot {
    T* items[N] = {};
    int count = 0;
};

} // namespace

CKZDSP::CKZDSP(int audio_format, CKZDSPTimer* timer) : m_audio_format(audio_format), m_timer(timer) {
    std::lock_guard lock(GraphMutex());
    AllDSPs().insert(this);
}

CKZDSP::~CKZDSP() {
    StopTimer();
    {
        std::lock_guard lock(GraphMutex());
        AllDSPs().erase(this);
    }
    DisconnectAll();
    {
        CMutexLock lock(m_mutex);
        for (int i = 0; i < m_app_count; ++i)
            m_apps[i]->SetObjDSP(nullptr);
        m_app_count = 0;
    }
    DeliveryGate::Get().Drain();
}

bool CKZDSP::AddApp(CKZDSPApp* app) {
    if (!app) return false;
    CMutexLock lock(m_mutex);
    if (m_app_count == kMaxApps || std::find(m_apps, m_apps + m_app_count, app) != m_apps + m_app_count)
        return false;
    m_apps[m_app_count++] = app;
    app->SetObjDSP(this);
    return true;
}

bool CKZDSP::RemoveApp(CKZDSPApp* app) {
    {
        CMutexLock lock(m_mutex);
        CKZDSPApp** end = m_apps + m_app_count;
        CKZDSPApp** it = std::find(m_apps, end, app);
        if (it == end) return false;
        std::copy(it + 1, end, it);
        m_apps[--m_app_count] = nullptr;
        app->SetObjDSP(nullptr);
    }
    DeliveryGate::Get().Drain();
    return true;
}

namespace {

using AppList = Snapshot<CKZDSPApp, CKZDSP::kMaxApps>;
using DSPList = Snapshot<CKZDSP, CKZDSP::kMaxListeners>;

template <typename Call> void ForEach(const AppList& apps, Call call) {
    for (int i = 0; i < apps.count; ++i)
        call(*apps.items[i]);
}

} // namespace

void CKZDSP::DeliverRxFrame(uint16_t sequence, uint32_t timestamp, const uint8_t* data, int length) {
    DeliveryScope gate;
    AppList apps;
    DSPList listeners;
    {
        CMutexLock lock(m_mutex);
        apps.count = m_app_count;
        std::copy(m_apps, m_apps + m_app_count, apps.items);
        listeners.count = m_listener_count;
        std::copy(m_listeners, m_listeners + m_listener_count, listeners.items);
    }
    ForEach(apps, [&](CKZDSPApp& app) { app.OnRxBufArrived(sequence, timestamp, data, length); });
    // What this DSP receives is what its listeners transmit.
    for (int i = 0; i < listeners.count; ++i) {
        if (listeners.items[i]->m_dominant.load()) continue; // the listener sends its own audio only
        AppList heard;
        {
            CMutexLock lock(listeners.items[i]->m_mutex);
            heard.count = listeners.items[i]->m_app_count;
            std::copy(listeners.items[i]->m_apps, listeners.items[i]->m_apps + heard.count, heard.items);
        }
        ForEach(heard, [&](CKZDSPApp& app) { app.OnTxBufArrived(sequence, timestamp, data, length); });
    }
}

void CKZDSP::DeliverTxFrame(uint16_t sequence, uint32_t timestamp, const uint8_t* data, int length,
                            const CKZDSPApp* source) {
    const CKZDSPApp* dominant = m_dominant.load();
    if (dominant && dominant != source) return;
    DeliveryScope gate;
    AppList apps;
    {
        CMutexLock lock(m_mutex);
        apps.count = m_app_count;
        std::copy(m_apps, m_apps + m_app_count, apps.items);
    }
    ForEach(apps, [&](CKZDSPApp& app) { app.OnTxBufArrived(sequence, timestamp, data, length); });
}

void CKZDSP::StartTimer(unsigned period_ms) {
    if (period_ms == 0) {
        StopTimer();
        return;
    }
    m_period_ms.store(period_ms);
    (m_timer ? *m_timer : CKZDSPTimer::Instance()).Schedule(this, period_ms);
}

void CKZDSP::StopTimer() {
    if (m_period_ms.exchange(0) == 0) return;
    (m_timer ? *m_timer : CKZDSPTimer::Instance()).Cancel(this);
}

void CKZDSP::Tick() {
    DeliveryScope gate;
    AppList apps;
    {
        CMutexLock lock(m_mutex);
        apps.count = m_app_count;
        std::copy(m_apps, m_apps + m_app_count, apps.items);
    }
    ForEach(apps, [](CKZDSPApp& app) { app.OnDSPTimer(); });
}

int CKZDSP::FullDuplexConnect(CKZDSP* a, CKZDSP* b) {
    if (!a || !b || a == b || a->m_audio_format != b->m_audio_format) return -1;
    std::lock_guard lock(GraphMutex());
    const bool a_heard_b = a->IsListeningTo(b);
    if (!a_heard_b && !b->AddListener(a)) return -1;
    if (b->IsListeningTo(a) || a->AddListener(b)) return 0;
    if (!a_heard_b) b->RemoveListener(a); // leave no half of a link that failed
    return -1;
}

int CKZDSP::FullDuplexDisconnect(CKZDSP* a, CKZDSP* b) {
    if (!a || !b || a == b) return -1;
    bool removed = false;
    {
        std::lock_guard lock(GraphMutex());
        removed = b->RemoveListener(a);
        removed = a->RemoveListener(b) || removed;
    }
    if (!removed) return -1;
    DeliveryGate::Get().Drain();
    return 0;
}

int CKZDSP::HalfDuplexConnect(CKZDSP* listener, CKZDSP* source) {
    if (!listener || !source || listener == source || listener->m_audio_format != source->m_audio_format)
        return -1;
    std::lock_guard lock(GraphMutex());
    return listener->IsListeningTo(source) || source->AddListener(listener) ? 0 : -1;
}

int CKZDSP::HalfDuplexDisconnect(CKZDSP* listener, CKZDSP* source) {
    if (!listener || !source || listener == source) return -1;
    bool removed = false;
    {
        std::lock_guard lock(GraphMutex());
        removed = source->RemoveListener(listener);
    }
    if (!removed) return -1;
    DeliveryGate::Get().Drain();
    return 0;
}

void CKZDSP::DisconnectAll() {
    {
        std::lock_guard lock(GraphMutex());
        for (CKZDSP* other : AllDSPs())
            if (other != this) other->RemoveListener(this);
        CMutexLock own(m_mutex);
        std::fill(m_listeners, m_listeners + m_listener_count, nullptr);
        m_listener_count = 0;
    }
    DeliveryGate::Get().Drain();
}

bool CKZDSP::IsListeningTo(const CKZDSP* source) const {
    if (!source) return false;
    CMutexLock lock(source->m_mutex);
    CKZDSP* const* end = source->m_listeners + source->m_listener_count;
    return std::find(source->m_listeners, end, this) != end;
}

bool CKZDSP::AddListener(CKZDSP* listener) {
    CMutexLock lock(m_mutex);
    if (m_listener_count == kMaxListeners ||
        std::find(m_listeners, m_listeners + m_listener_count, listener) != m_listeners + m_listener_count)
        return false;
    m_listeners[m_listener_count++] = listener;
    return true;
}

bool CKZDSP::RemoveListener(CKZDSP* listener) {
    CMutexLock lock(m_mutex);
    CKZDSP** end = m_listeners + m_listener_count;
    CKZDSP** it = std::find(m_listeners, end, listener);
    if (it == end) return false;
    std::copy(it + 1, end, it);
    m_listeners[--m_listener_count] = nullptr;
    return true;
}

} // namespace KZAPI

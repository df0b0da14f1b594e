#include "sipmsg/sip_msg_pool.h"

#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace {

struct Store {
    std::mutex mutex;
    std::vector<std::unique_ptr<sip_msg>> kept;
};

// Never destroyed: messages are given back by objects torn down at exit, after any static.
Store& store() {
    alignas(Store) static unsigned char storage[sizeof(Store)];
    static Store* const instance = ::new (storage) Store();
    return *instance;
}

} // namespace

std::unique_ptr<sip_msg> sip_msg_pool::Take() {
    Store& s = store();
    {
        std::lock_guard lock(s.mutex);
        if (!s.kept.empty()) {
            std::unique_ptr<sip_msg> message = std::move(s.kept.back());
            s.kept.pop_back();
            return message;
        }
    }
    return std::make_unique<sip_msg>();
}

void sip_msg_pool::Give(std::unique_ptr<sip_msg> message) {
    if (!message) return;
    message->reset_for_reuse(); // outside the lock: it walks every element
    Store& s = store();
    std::lock_guard lock(s.mutex);
    if (s.kept.size() >= kMaxKept) return; // deleted as it goes out of scope
    if (s.kept.capacity() == 0) s.kept.reserve(kMaxKept);
    s.kept.push_back(std::move(message));
}

size_t sip_msg_pool::Kept() {
    Store& s = store();
    std::lock_guard lock(s.mutex);
    return s.kept.size();
}

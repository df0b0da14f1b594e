// Events published from the module's threads, collected for a test that waits for them by name.
#pragma once

#include "app/KZControlCommands.h"
#include "support/sip_peer.h"

#include <mutex>
#include <string>
#include <vector>

namespace kztest {

class PublishedEvents {
public:
    void Add(const kzapp::KZJson& event) {
        std::lock_guard lock(m_mutex);
        m_events.push_back(event);
    }
    // The next event called name, dropping the ones before it; null when none comes within 3 s.
    kzapp::KZJson Await(const std::string& name) {
        kzapp::KZJson found;
        wait_until([&] {
            std::lock_guard lock(m_mutex);
            for (size_t i = 0; i < m_events.size(); ++i)
                if (m_events[i].value("event", "") == name) {
                    found = m_events[i];
                    m_events.erase(m_events.begin(), m_events.begin() + static_cast<long>(i) + 1);
                    return true;
                }
            return false;
        });
        return found;
    }

private:
    std::mutex m_mutex;
    std::vector<kzapp::KZJson> m_events;
};

} // namespace kztest

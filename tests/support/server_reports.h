// What a server reported to its host from its own threads, one line a report, kept in order for a
// test that waits for them.
#pragma once

#include "support/sip_peer.h"

#include <mutex>
#include <string>
#include <vector>

namespace kztest {

class ServerReports {
public:
    void Add(std::string report) {
        std::lock_guard lock(m_mutex);
        m_reports.push_back(std::move(report));
    }
    // The n-th report, waiting for it up to timeout_ms; "" when it did not come.
    std::string At(size_t n, int timeout_ms = 2000) const {
        wait_until([&] { return Reports().size() > n; }, timeout_ms);
        const std::vector<std::string> reports = Reports();
        return n < reports.size() ? reports[n] : "";
    }
    // The first report Next has not returned yet, waiting for it up to two seconds; "" when none came.
    std::string Next() {
        std::string report = At(m_taken);
        if (!report.empty()) ++m_taken;
        return report;
    }
    std::vector<std::string> Reports() const {
        std::lock_guard lock(m_mutex);
        return m_reports;
    }
    void Clear() {
        std::lock_guard lock(m_mutex);
        m_reports.clear();
        m_taken = 0;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_reports;
    size_t m_taken = 0;
};

} // namespace kztest

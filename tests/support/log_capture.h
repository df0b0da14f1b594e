// Collects the host's log lines (at trace level) for as long as it lives.
#pragma once

#include "host/CKZLogInterface.h"

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace kztest {

class LogCapture {
public:
    LogCapture() {
        KZAPI::CKZLogInterface::SetMaxLevel(KZAPI::CKZLogInterface::LOG_TRACE);
        KZAPI::CKZLogInterface::SetSink([this](unsigned level, unsigned, const char* line) {
            std::lock_guard lock(m_mutex);
            m_lines.emplace_back(level, line);
        });
    }
    ~LogCapture() {
        KZAPI::CKZLogInterface::SetSink(nullptr);
        KZAPI::CKZLogInterface::SetMaxLevel(KZAPI::CKZLogInterface::LOG_WARNING);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // True when a line at the level (0: any level) contains text.
    bool Contains(const std::string& text, unsigned level = 0) const {
        std::lock_guard lock(m_mutex);
        for (const auto& [l, line] : m_lines)
            if ((level == 0 || l == level) && line.find(text) != std::string::npos) return true;
        return false;
    }
    int CountAtLevel(unsigned level) const {
        std::lock_guard lock(m_mutex);
        int n = 0;
        for (const auto& entry : m_lines)
            n += entry.first == level;
        return n;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::pair<unsigned, std::string>> m_lines;
};

} // namespace kztest

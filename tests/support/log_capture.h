// Collects the host's log lines (at trace level) for as long as it lives, then restores the
// log level it found.
#pragma once

#include "host/CKZLogInterface.h"

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace kztest {

class LogCapture {
public:
    LogCapture() : m_level(KZAPI::CKZLogInterface::GetMaxLevel()) {
        KZAPI::CKZLogInterface::SetMaxLevel(KZAPI::CKZLogInterface::LOG_TRACE);
        KZAPI::CKZLogInterface::SetSink([this](unsigned level, unsigned, const char* line) {
            std::lock_guard lock(m_mutex);
            m_lines.emplace_back(level, line);
        });
    }
    ~LogCapture() {
        KZAPI::CKZLogInterface::SetSink(nullptr);
        KZAPI::CKZLogInterface::SetMaxLevel(m_level);
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
    // True when a whole line equals text.
    bool HasLine(const std::string& text) const {
        std::lock_guard lock(m_mutex);
        for (const auto& entry : m_lines)
            if (entry.second == text) return true;
        return false;
    }
    // The number of lines that contain text.
    int CountContaining(const std::string& text) const {
        std::lock_guard lock(m_mutex);
        int n = 0;
        for (const auto& entry : m_lines)
            n += entry.second.find(text) != std::string::npos;
        return n;
    }
    int CountAtLevel(unsigned level) const {
        std::lock_guard lock(m_mutex);
        int n = 0;
        for (const auto& entry : m_lines)
            n += entry.first == level;
        return n;
    }

private:
    const unsigned m_level; // restored when the capture ends
    mutable std::mutex m_mutex;
    std::vector<std::pair<unsigned, std::string>> m_lines;
};

} // namespace kztest

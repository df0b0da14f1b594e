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
    bool Contains(const std::string& text, unsigned level = 0) const { return Count(text, level) > 0; }
    // True when a whole line equals text.
    bool HasLine(const std::string& text) const { return Count(text, 0, true) > 0; }
    int CountContaining(const std::string& text) const { return Count(text, 0); }
    int CountAtLevel(unsigned level) const { return Count("", level); }

private:
    const unsigned m_level; // restored when the capture ends
    mutable std::mutex m_mutex;
    std::vector<std::pair<unsigned, std::string>> m_lines;

    // The lines at the level (0: any level) that contain text, or equal it when whole.
    int Count(const std::string& text, unsigned level, bool whole = false) const {
        std::lock_guard lock(m_mutex);
        int n = 0;
        for (const auto& [l, line] : m_lines)
            n += (level == 0 || l == level) && (whole ? line == text : line.find(text) != std::string::npos);
        return n;
    }
};

} // namespace kztest

// Host logging. Levels: 1 errors, 2 warnings, 4 traces. A line is written when its level is at
// or below the configured maximum. The category form tags lines (2048 = SIP message traces).
#pragma once

#include <atomic>
#include <cstdarg>
#include <functional>
#include <string>

namespace KZAPI {

class CKZLogInterface {
public:
    enum : unsigned { LOG_ERROR = 1, LOG_WARNING = 2, LOG_TRACE = 4 };
    enum : unsigned { CATEGORY_SIP = 2048 };

    using Sink = std::function<void(unsigned level, unsigned category, const char* line)>;

    static void Log(unsigned level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    static void Log(unsigned level, unsigned category, const char* fmt, ...)
        __attribute__((format(printf, 3, 4)));
    static void LogV(unsigned level, unsigned category, const char* fmt, va_list args);

    static bool IsEnabled(unsigned level) { return level <= s_max_level.load(std::memory_order_relaxed); }
    static void SetMaxLevel(unsigned level) { s_max_level.store(level, std::memory_order_relaxed); }
    static unsigned GetMaxLevel() { return s_max_level.load(std::memory_order_relaxed); }
    // Writes to the named file (appending) instead of stderr; an empty path returns to stderr.
    static bool SetLogFile(const std::string& path);
    // Drops lines whose category shares a bit with mask (0, the default, drops none): a program
    // can keep the SIP message traces (2048) out of a warnings-level log.
    static void SetMutedCategories(unsigned mask) { s_muted.store(mask, std::memory_order_relaxed); }
    // Replaces the default writer (for example to capture lines in tests); null restores it.
    static void SetSink(Sink sink);

private:
    static std::atomic<unsigned> s_max_level;
    static std::atomic<unsigned> s_muted;
};

} // namespace KZAPI

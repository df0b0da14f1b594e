#include "host/CKZLogInterface.h"

#include <cstdio>
#include <ctime>
#include <mutex>
#include <sys/time.h>

namespace KZAPI {

std::atomic<unsigned> CKZLogInterface::s_max_level{CKZLogInterface::LOG_WARNING};
std::atomic<unsigned> CKZLogInterface::s_muted{0};

namespace {

struct LogState {
    std::mutex mutex;
    FILE* file = nullptr;
    CKZLogInterface::Sink sink;
    ~LogState() {
        if (file) fclose(file);
    }
};

LogState& state() {
    static LogState s;
    return s;
}

const char* level_tag(unsigned level) {
    switch (level) {
    case 1:
        return "ERR";
    case 2:
        return "WRN";
    default:
        return "TRC";
    }
}

} // namespace

void CKZLogInterface::LogV(unsigned level, unsigned category, const char* fmt, va_list args) {
    if (!IsEnabled(level) || !fmt || (category & s_muted.load(std::memory_order_relaxed))) return;
    std::string text;
    char buf[1024];
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(buf, sizeof(buf), fmt, copy);
    va_end(copy);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof(buf)) {
        text.assign(buf, static_cast<size_t>(n));
    } else {
        text.resize(static_cast<size_t>(n) + 1);
        vsnprintf(text.data(), text.size(), fmt, args);
        text.resize(static_cast<size_t>(n));
    }

    LogState& st = state();
    std::lock_guard<std::mutex> lock(st.mutex);
    if (st.sink) {
        st.sink(level, category, text.c_str());
        return;
    }
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm t{};
    localtime_r(&tv.tv_sec, &t);
    FILE* out = st.file ? st.file : stderr;
    fprintf(out, "%02d:%02d:%02d.%03ld %s", t.tm_hour, t.tm_min, t.tm_sec,
            static_cast<long>(tv.tv_usec / 1000), level_tag(level));
    if (category) fprintf(out, " [%u]", category);
    fprintf(out, " %s\n", text.c_str());
    if (st.file) fflush(st.file);
}

void CKZLogInterface::Log(unsigned level, const char* fmt, ...) {
    if (!IsEnabled(level)) return;
    va_list args;
    va_start(args, fmt);
    LogV(level, 0, fmt, args);
    va_end(args);
}

void CKZLogInterface::Log(unsigned level, unsigned category, const char* fmt, ...) {
    if (!IsEnabled(level)) return;
    va_list args;
    va_start(args, fmt);
    LogV(level, category, fmt, args);
    va_end(args);
}

bool CKZLogInterface::SetLogFile(const std::string& path) {
    LogState& st = state();
    std::lock_guard<std::mutex> lock(st.mutex);
    if (st.file) fclose(st.file);
    st.file = nullptr;
    if (path.empty()) return true;
    st.file = fopen(path.c_str(), "a");
    return st.file != nullptr;
}

void CKZLogInterface::SetSink(Sink sink) {
    LogState& st = state();
    std::lock_guard<std::mutex> lock(st.mutex);
    st.sink = std::move(sink);
}

} // namespace KZAPI

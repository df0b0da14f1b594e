// Refused input comes in floods when a source has been shut out: one log line per packet would
// cost more than the refusal itself. This lets one line per source through each second and
// counts the packets refused in between, to be told with the source's next line or, when the
// source has gone quiet, by the once-a-second pass.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <unordered_map>

class CSIPRefusalLog {
public:
    // Sources followed at once; refusals from further sources are only counted, together.
    static constexpr size_t kMaxSources = 1024;
    // A source with nothing left to tell is forgotten after this many quiet seconds.
    static constexpr int64_t kForgetSeconds = 10;

    // Counts one packet refused from the source at that second. True when its line is due; then
    // *untold holds the packets refused since the source's last line that no line told of.
    bool Count(uint32_t source, int64_t now, uint64_t* untold);

    // Once a second: report(source, untold) for each source whose last line is a second or more
    // old and whose later refusals are untold (source 0: those of the sources not followed).
    void Flush(int64_t now, const std::function<void(uint32_t source, uint64_t untold)>& report);

    // The line that tells of refusals no line told (a source of 0 stands for the sources not
    // followed).
    static void LogUntold(uint32_t source, uint64_t untold);

private:
    struct Source {
        int64_t logged = 0; // the second of its last line
        uint64_t untold = 0;
    };
    std::mutex m_mutex;
    std::unordered_map<uint32_t, Source> m_sources;
    uint64_t m_others = 0; // refused from sources beyond kMaxSources
};

// CSIPReadPacer: when the UDP transport thread may rest between reads. Under a steady stream of
// datagrams the thread would otherwise wake for nearly every one, and each wake costs a context
// switch or two. Once a window of time has seen many datagrams, each read is followed by a short
// pause, so the next wake finds several waiting in the socket's buffer. The messages lose no
// time that matters: the server thread takes them at its next pass, which comes every few
// milliseconds. A quiet window ends the pausing.
#pragma once

#include <cstdint>

class CSIPReadPacer {
public:
    static constexpr uint64_t kWindowUs = 10000;
    // 2 000 datagrams a second: well above a person's traffic, well below a load test's.
    static constexpr unsigned kBusyPerWindow = 20;
    static constexpr unsigned kPauseUs = 300;

    // Notes `count` datagrams read at `now_us` (any steady microsecond clock); returns how many
    // microseconds to rest before the next read.
    unsigned AfterRead(uint64_t now_us, unsigned count) {
        if (now_us - m_window_start >= kWindowUs) {
            // A window with no read at all ends the pausing too.
            m_busy = now_us - m_window_start < 2 * kWindowUs && m_in_window >= kBusyPerWindow;
            m_window_start = now_us;
            m_in_window = 0;
        }
        m_in_window += count;
        return m_busy ? kPauseUs : 0;
    }

private:
    uint64_t m_window_start = 0;
    unsigned m_in_window = 0;
    bool m_busy = false;
};

// The nonces a proxy site issues in its challenges: the issue second, sealed so that only the
// site can open it, and the nonce counts already answered with each one, so that a captured
// answer cannot be sent again while its nonce is still fresh.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

class ProxyNonce {
public:
    // A nonce stays acceptable for less than this many seconds after its issue.
    static constexpr int64_t kWindowSeconds = 6;

    // The issue second sealed into a nonce; "" when no random salt could be drawn.
    static std::string Issue(int64_t now);
    // The second a nonce of ours was issued, or nothing when it does not open.
    static std::optional<int64_t> IssueTime(const char* nonce);
    // Whether the nonce is ours, not from the future and less than the window old.
    static bool IsFresh(const char* nonce, int64_t now);
};

// The nonce counts seen per nonce; bounded, and forgotten once their nonce is past the window.
class ProxyNonceCounts {
public:
    static constexpr size_t kMaxNonces = 4096;
    // Far more answers than a client sends within one nonce's short life.
    static constexpr size_t kMaxCountsPerNonce = 64;

    // Records the count for the nonce: false when it was seen before (a replay) or the table is
    // full of nonces that are still fresh. An answer without qop has the count "" and so can be
    // used once.
    bool Admit(const std::string& nonce, const std::string& nc, int64_t issued, int64_t now);
    size_t Size() const { return m_counts.size(); }

private:
    struct Entry {
        int64_t issued = 0;
        std::set<std::string> counts;
    };
    void Expire(int64_t now);
    std::map<std::string, Entry> m_counts;
};

#include "proxy/ProxyNonce.h"

#include "host/KZSimpleCrypt.h"
#include "host/KZStrFunc.h"

#include <cstdlib>

namespace {

// The two keys that seal the site's nonces; a nonce opens only with both.
constexpr char kNonceKey1[] = "k7#Qz!p2Rv@m9Lw&x";
constexpr char kNonceKey2[] = "T4^bN8$e+Hy1*Gc6j";
static_assert(sizeof(kNonceKey1) == 18 && sizeof(kNonceKey2) == 18, "nonce keys are 17 characters");

} // namespace

std::string ProxyNonce::Issue(int64_t now) {
    char seconds[24];
    KZAPI::s_printf(seconds, sizeof(seconds), "%u", static_cast<unsigned>(now));
    return KZAPI::KZ_SimpleEncrypt(seconds, kNonceKey1, kNonceKey2);
}

std::optional<int64_t> ProxyNonce::IssueTime(const char* nonce) {
    if (!nonce || !*nonce) return std::nullopt;
    const std::string opened = KZAPI::KZ_SimpleDecrypt(nonce, kNonceKey1, kNonceKey2);
    if (opened.empty() || opened.find_first_not_of("0123456789") != std::string::npos || opened.size() > 10)
        return std::nullopt;
    return static_cast<int64_t>(std::strtoull(opened.c_str(), nullptr, 10));
}

bool ProxyNonce::IsFresh(const char* nonce, int64_t now) {
    const std::optional<int64_t> issued = IssueTime(nonce);
    return issued && *issued <= now && now - *issued < kWindowSeconds;
}

void ProxyNonceCounts::Expire(int64_t now) {
    for (auto it = m_counts.begin(); it != m_counts.end();)
        it = now - it->second.issued >= ProxyNonce::kWindowSeconds || it->second.issued > now
                 ? m_counts.erase(it)
                 : std::next(it);
}

bool ProxyNonceCounts::Admit(const std::string& nonce, const std::string& nc, int64_t issued, int64_t now) {
    Expire(now);
    auto found = m_counts.find(nonce);
    if (found == m_counts.end()) {
        // Refusing beats forgetting: a forgotten nonce would let its answers be replayed.
        if (m_counts.size() >= kMaxNonces) return false;
        found = m_counts.emplace(nonce, Entry{issued, {}}).first;
    }
    if (found->second.counts.size() >= kMaxCountsPerNonce) return false;
    return found->second.counts.insert(nc).second;
}

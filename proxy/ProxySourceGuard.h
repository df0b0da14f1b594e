// The sources that draw challenges from a site far faster than any phone needs: a REGISTER
// flood, or a password guesser. Such a source is shut out at the transport for a while, so that
// its requests cost the server nothing past the socket and the users' own registrations keep
// their pace.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

class ProxySourceGuard {
public:
    // Far above what the phones behind one address ask for in normal use (each registration
    // draws one challenge); a site with hundreds of phones behind one NAT address that all come
    // back at once may see it shut out for a while.
    static constexpr int kChallengesPerSecond = 200;
    static constexpr int64_t kShutOutSeconds = 30;
    // Addresses counted at once; beyond that new ones go uncounted rather than grow the table.
    static constexpr size_t kMaxSources = 4096;

    // Counts a challenge sent to the address in second `now`: true when that takes the address
    // over its budget, so that it is to be shut out from now on.
    bool CountChallenge(const std::string& address, int64_t now);
    // The shut-out addresses whose time has run out by `now`; they are forgotten here.
    std::vector<std::string> TakeReleased(int64_t now);
    bool IsShutOut(const std::string& address) const { return m_shut_out.count(address) != 0; }

private:
    struct Second {
        int64_t second = 0;
        int challenges = 0;
    };
    std::map<std::string, Second> m_counts;
    std::map<std::string, int64_t> m_shut_out; // address -> second its shut-out ends
};

// CBaseDNSClient: DNS SRV look-ups (RFC 2782) through the system resolver library. The SRV service
// is switched on by InitDNSSrv and off by FreeDNSSrv (counted: it stays on until every InitDNSSrv
// has had its FreeDNSSrv); while it is off DSNSRVSearch finds nothing. Every look-up is bounded by
// the query timeout, whatever the name servers do.
#pragma once

#include "host/KZStrFunc.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace KZAPI {

// One SRV answer: where the service runs and how it ranks (lower priority first; among equal
// priorities a larger weight is preferred).
struct KZSRVRecord {
    std::string target; // host name, without the trailing dot
    uint16_t port = 0;
    uint16_t priority = 0;
    uint16_t weight = 0;
};

class CBaseDNSClient {
public:
    static void InitDNSSrv();
    static void FreeDNSSrv();
    static bool IsDNSSrvEnabled();

    // Asks address:port instead of the name servers of /etc/resolv.conf; "" or null goes back to
    // those. False when the address is not a dotted quad.
    static bool SetNameServer(const char* address, uint16_t port = 53);
    // Each name server is given timeout_seconds per try and asked `attempts` times (defaults 2, 1).
    static void SetQueryTimeout(int timeout_seconds, int attempts);

    // Looks up the SRV records of a full name such as "_sip._udp.example.com", best first (by
    // priority, then by weight, larger first). Records whose target is "." (no such service) are
    // left out. Returns how many were found: 0 when the name does not exist, has no SRV records or
    // no name server answered in time (the reason is logged at level 4).
    static int QuerySRV(const char* name, std::vector<KZSRVRecord>& records);

    // The SIP server of a domain: the best SRV record of "_sip._udp.<domain>", else of
    // "_sip._tcp.<domain>" (a ":port" after the domain is ignored). On success target gets the
    // host name and *port (when given) its port. False while the SRV service is off, or when the
    // domain has no SIP SRV records.
    static bool DSNSRVSearch(const char* domain, std::string& target, uint16_t* port);
    template <size_t N> static bool DSNSRVSearch(const char* domain, char (&target)[N], uint16_t* port) {
        std::string found;
        if (!DSNSRVSearch(domain, found, port)) return false;
        str_cpy(target, found.c_str(), N);
        return true;
    }
};

} // namespace KZAPI

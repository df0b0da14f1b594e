// The two address filter lists of a stack instance: a deny list (0) and an allow list (1).
// Transports consult Check() before they take or send anything.
#pragma once

#include "sipstack/IP_ADDR.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CSIPAddressFilter {
public:
    enum : int { DENY_LIST = 0, ALLOW_LIST = 1 };

    // Adds (add != 0) or deletes the entry named by text; 1 when the list changed.
    int Set(const char* text, int list, int add);
    unsigned Count(int list) const;
    // Text of entry index; "" for a bad list or index.
    std::string Item(int list, unsigned index) const;
    // ipv4 in network order; the port takes no part.
    bool Check(uint32_t ipv4, uint16_t port) const;

private:
    using List = std::vector<std::unique_ptr<IP_ADDR>>;
    static bool Holds(const List& list, const uint8_t address[4]);

    mutable std::mutex m_mutex;
    List m_lists[2];
};

// IP_ADDR: one entry of an address filter list: an IPv4 address, an identity text or a MAC address.
#pragma once

#include <cstdint>

class IP_ADDR {
public:
    enum : uint8_t { KIND_IP = 0, KIND_IDENTITY = 1, KIND_MAC = 2, KIND_UNCLASSIFIED = 255 };
    static constexpr unsigned kTextSize = 128;

    IP_ADDR() = default;
    virtual ~IP_ADDR() = default;

    // Classifies text as an IPv4 address, a MAC address or else an identity, and fills the entry.
    void classify(const char* text);
    // True when both entries are of the same kind and name the same address or identity.
    bool same_as(const IP_ADDR& other) const;
    // The text the entry is listed with.
    const char* text() const { return kind == KIND_IDENTITY ? identity : address_text; }

    uint8_t kind = KIND_UNCLASSIFIED;
    char identity[kTextSize] = {};
    uint8_t ip[4] = {};
    char address_text[kTextSize] = {};
    uint8_t flag = 0;
    uint8_t mac[6] = {};
};

static_assert(sizeof(IP_ADDR::identity) == 128 && sizeof(IP_ADDR::address_text) == 128,
              "filter texts keep at most 127 characters");

// A user's subscriptions to its own message-waiting state (RFC 3842 over RFC 6665): each is the
// dialog its SUBSCRIBE made, where that dialog's NOTIFYs go, and the CSeq they count on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct ProxyMwiSubscription {
    static constexpr size_t kTagSize = 256;
    static constexpr size_t kTextSize = 512;
    static constexpr size_t kAddressSize = 64;

    char call_id[kTextSize] = "";
    char local_tag[kTagSize] = "";          // ours: the To tag of the 200
    char remote_tag[kTagSize] = "";         // the subscriber's From tag
    char local_uri[kTextSize] = "";         // the subscribed mailbox (the SUBSCRIBE's To): the NOTIFY's From
    char remote_uri[kTextSize] = "";        // the subscriber (its From): the NOTIFY's To
    char contact[kTextSize] = "";           // the subscriber's Contact: the NOTIFY's Request-URI
    char source_address[kAddressSize] = ""; // where the SUBSCRIBE came from: where NOTIFYs go
    uint16_t source_port = 0;
    int transport = 0; // 0 UDP, 1 or more TCP/TLS
    int64_t start = 0;
    int lifetime = 0;
    uint32_t cseq = 0; // of the last NOTIFY sent
    // One NOTIFY at a time in the dialog (RFC 6665 4.2.2): a change while one is unanswered waits.
    int64_t notify_sent = 0; // when the unanswered one left; 0 when none is
    bool notify_due = false;

    bool IsLive(int64_t now) const { return now >= start && now < start + lifetime; }
    int SecondsLeft(int64_t now) const { return static_cast<int>(start + lifetime - now); }
    // An answer lost on the way is not waited for longer than a non-INVITE transaction lasts.
    bool AwaitsAnswer(int64_t now) const { return notify_sent != 0 && now - notify_sent < 32; }
};

static_assert(sizeof(ProxyMwiSubscription::call_id) == 512 && sizeof(ProxyMwiSubscription::contact) == 512,
              "Call-ID and Contact hold 511 characters");
static_assert(sizeof(ProxyMwiSubscription::source_address) >= 46, "an address text fits, IPv6 too");

// At most kMaxPerUser subscriptions: a phone keeps one, a few phones share an account; a new one
// beyond that replaces the oldest.
class ProxyMwiSubscriptions {
public:
    static constexpr size_t kMaxPerUser = 4;

    // The subscription of that dialog; null when none. An empty local tag matches any of ours.
    ProxyMwiSubscription* Find(const char* call_id, const char* remote_tag, const char* local_tag);
    // Room for a new subscription, the oldest given up when all are taken.
    ProxyMwiSubscription& Add();
    void Remove(const ProxyMwiSubscription* subscription);
    // Takes out the subscriptions that are no longer live.
    std::vector<ProxyMwiSubscription> TakeExpired(int64_t now);

    bool Empty() const { return m_items.empty(); }
    size_t Count() const { return m_items.size(); }
    std::vector<ProxyMwiSubscription>& Items() { return m_items; }

private:
    std::vector<ProxyMwiSubscription> m_items;
};

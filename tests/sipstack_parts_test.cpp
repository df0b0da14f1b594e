// The stack's building blocks: address filters, the growable queue, stream framing and the
// dialog table's first-match order.
#include "host/KZNetAddr.h"
#include "sipstack/CSIPAddressFilter.h"
#include "sipstack/CSIPDialogTable.h"
#include "sipstack/CSIPStreamFramer.h"
#include "sipstack/TCQueue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {
uint32_t ip(const char* text) {
    return KZAPI::KZ_InetAddr(text);
}
} // namespace

TEST(AddressFilter, DenyListRefusesItsAddressesAndAnAllowListAdmitsOnlyItsOwn) {
    CSIPAddressFilter f;
    EXPECT_TRUE(f.Check(ip("10.0.0.1"), 5060));
    EXPECT_EQ(f.Set("10.0.0.1", CSIPAddressFilter::DENY_LIST, 1), 1);
    EXPECT_FALSE(f.Check(ip("10.0.0.1"), 5060));
    EXPECT_FALSE(f.Check(ip("10.0.0.1"), 1)) << "the port takes no part";
    EXPECT_TRUE(f.Check(ip("10.0.0.2"), 5060));
    // The same address twice needs two deletions.
    f.Set("10.0.0.1", CSIPAddressFilter::DENY_LIST, 1);
    EXPECT_EQ(f.Set("10.0.0.1", CSIPAddressFilter::DENY_LIST, 0), 1);
    EXPECT_FALSE(f.Check(ip("10.0.0.1"), 5060));
    EXPECT_EQ(f.Set("10.0.0.1", CSIPAddressFilter::DENY_LIST, 0), 1);
    EXPECT_TRUE(f.Check(ip("10.0.0.1"), 5060));
    EXPECT_EQ(f.Set("10.0.0.1", CSIPAddressFilter::DENY_LIST, 0), 0) << "nothing left to delete";
    EXPECT_EQ(f.Set("10.0.0.1", 2, 1), 0) << "only lists 0 and 1 exist";

    // An allow list admits only its addresses, and deny wins over allow.
    f.Set("sip-trunk-1", CSIPAddressFilter::ALLOW_LIST, 1);
    EXPECT_FALSE(f.Check(ip("127.0.0.1"), 5060)) << "an allow list without IP entries refuses everyone";
    f.Set("127.0.0.1", CSIPAddressFilter::ALLOW_LIST, 1);
    EXPECT_TRUE(f.Check(ip("127.0.0.1"), 5060));
    EXPECT_FALSE(f.Check(ip("127.0.0.2"), 5060));
    f.Set("127.0.0.1", CSIPAddressFilter::DENY_LIST, 1);
    EXPECT_FALSE(f.Check(ip("127.0.0.1"), 5060));
}

TEST(AddressFilter, IdentitiesAndMacsAreListedButTakeNoPartInTheCheck) {
    CSIPAddressFilter f;
    const int L = CSIPAddressFilter::DENY_LIST;
    f.Set("192.168.1.300", L, 1);     // a number above 255: an identity
    f.Set("AA-BB-CC-DD-EE-0F", L, 1); // a MAC address, listed as given
    ASSERT_EQ(f.Count(L), 2u);
    EXPECT_EQ(f.Item(L, 1), "AA-BB-CC-DD-EE-0F");
    EXPECT_TRUE(f.Check(ip("192.168.1.44"), 0));
    EXPECT_EQ(f.Set("aa-bb-cc-dd-ee-0f", L, 0), 1) << "MAC entries compare by bytes";
    EXPECT_EQ(f.Set("192.168.1.300", L, 0), 1);
    EXPECT_EQ(f.Count(L), 0u);
}

TEST(TCQueue, GrowsWhenFullAndKeepsOrder) {
    TCQueue<int> q(2);
    for (int i = 0; i < 5; ++i)
        q.Push(i);
    EXPECT_EQ(q.Count(), 5u);
    EXPECT_GE(q.Capacity(), 5u);
    int v = -1;
    ASSERT_TRUE(q.Pop(&v));
    EXPECT_EQ(v, 0);
    q.Push(5);
    q.Push(6); // wraps around, then grows again
    q.Push(7);
    q.Push(8);
    std::vector<int> got;
    while (q.Pop(&v))
        got.push_back(v);
    EXPECT_EQ(got, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_FALSE(q.Pop());
    TCQueue<int> unlocked(4);
    EXPECT_FALSE(unlocked.Wait(10)) << "a queue without a wait returns at once";
}

TEST(StreamFramer, SkipsKeepAlivesBetweenMessagesAndRefusesALengthBeyondTheLimit) {
    const std::string a = "OPTIONS sip:a SIP/2.0\r\nl: 4\r\n\r\nbody";
    const std::string b = "BYE sip:b SIP/2.0\r\nContent-Length: 0\r\n\r\n";
    CSIPStreamFramer f;
    const std::string both = "\r\n\r\n" + b + a; // a keep-alive, then two messages in one read
    ASSERT_TRUE(f.Append(both.data(), both.size()));
    std::string out;
    ASSERT_TRUE(f.Next(&out));
    EXPECT_EQ(out, b);
    ASSERT_TRUE(f.Next(&out));
    EXPECT_EQ(out, a) << "the compact form of Content-Length counts";
    EXPECT_FALSE(f.Next(&out));
    CSIPStreamFramer g(1024);
    std::string head = "INFO sip:a SIP/2.0\r\nContent-Length: 999999\r\n\r\n" + std::string(1100, 'y');
    EXPECT_FALSE(g.Append(head.data(), head.size()));
}

TEST(DialogTable, FirstMatchInCreationOrderAndRemoval) {
    CSIPDialogTable t;
    auto make = [](const char* call_id, const char* tag, uint32_t conn) {
        auto d = std::make_unique<sip_dialog>();
        d->call_id = call_id;
        d->remote_tag = tag;
        d->connection_id = conn;
        return d;
    };
    sip_dialog* first = t.Append(make("c1", "x", 1));
    sip_dialog* second = t.Append(make("c1", "x", 2));
    t.Append(make("c2", "x", 3));
    auto tag_x = [](const sip_dialog& d) { return d.remote_tag == "x"; };
    EXPECT_EQ(t.FindByCallId("c1", tag_x), first);
    EXPECT_EQ(t.FindByCallId("c3", tag_x), nullptr);
    EXPECT_EQ(t.FindByConnectionId(2), second);
    t.Remove(first);
    EXPECT_EQ(t.FindByCallId("c1", tag_x), second);
    // Re-indexing keeps the dialog's place in the order.
    std::string old = second->call_id.c_str();
    second->call_id = "c2";
    t.Reindex(second, old, 2);
    sip_dialog* c2_first = t.FindByCallId("c2", tag_x);
    EXPECT_EQ(c2_first, second) << "created before the other c2 dialog";
    std::vector<uint32_t> order;
    t.ForEach([&](sip_dialog* d) {
        order.push_back(d->connection_id);
        t.Remove(d);
    });
    EXPECT_EQ(order, (std::vector<uint32_t>{2, 3}));
    EXPECT_EQ(t.Size(), 0u);
}

#include "host/CBaseDNSClient.h"

#include "host/CKZLogInterface.h"

#include <algorithm>
#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <resolv.h>
#include <string_view>

namespace KZAPI {

namespace {

constexpr int kDefaultTimeoutSeconds = 2;
constexpr int kDefaultAttempts = 1;

// How look-ups are made; read under the lock and copied into each query's own resolver state.
struct ResolverSettings {
    bool own_server = false;
    sockaddr_in server{};
    int timeout_seconds = kDefaultTimeoutSeconds;
    int attempts = kDefaultAttempts;
};

struct DNSClientState {
    std::mutex lock;
    ResolverSettings settings;
    int srv_users = 0;
};

DNSClientState& state() {
    static DNSClientState s;
    return s;
}

ResolverSettings current_settings() {
    std::lock_guard<std::mutex> guard(state().lock);
    return state().settings;
}

void apply_settings(const ResolverSettings& settings, struct __res_state& res) {
    res.retrans = settings.timeout_seconds;
    res.retry = settings.attempts;
    if (settings.own_server) {
        res.nscount = 1;
        res.nsaddr_list[0] = settings.server;
    }
}

bool read_srv_record(const ns_msg& msg, const ns_rr& rr, KZSRVRecord& record) {
    if (ns_rr_type(rr) != ns_t_srv || ns_rr_class(rr) != ns_c_in || ns_rr_rdlen(rr) < 7) return false;
    const unsigned char* rd = ns_rr_rdata(rr);
    char host[NS_MAXDNAME] = {};
    if (dn_expand(ns_msg_base(msg), ns_msg_end(msg), rd + 6, host, sizeof(host)) < 0) return false;
    record.priority = static_cast<uint16_t>(ns_get16(rd));
    record.weight = static_cast<uint16_t>(ns_get16(rd + 2));
    record.port = static_cast<uint16_t>(ns_get16(rd + 4));
    record.target = host;
    return !record.target.empty() && record.target != "."; // the root target: no such service
}

void parse_srv_answer(const unsigned char* answer, int len, std::vector<KZSRVRecord>& records) {
    ns_msg msg{};
    if (ns_initparse(answer, len, &msg) != 0) {
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "CBaseDNSClient: unreadable answer (%d bytes)", len);
        return;
    }
    const int count = ns_msg_count(msg, ns_s_an);
    for (int i = 0; i < count; ++i) {
        ns_rr rr{};
        if (ns_parserr(&msg, ns_s_an, i, &rr) != 0) break;
        KZSRVRecord record;
        if (read_srv_record(msg, rr, record)) records.push_back(std::move(record));
    }
    std::stable_sort(records.begin(), records.end(), [](const KZSRVRecord& a, const KZSRVRecord& b) {
        return a.priority != b.priority ? a.priority < b.priority : a.weight > b.weight;
    });
}

} // namespace

void CBaseDNSClient::InitDNSSrv() {
    std::lock_guard<std::mutex> guard(state().lock);
    ++state().srv_users;
}

void CBaseDNSClient::FreeDNSSrv() {
    std::lock_guard<std::mutex> guard(state().lock);
    if (state().srv_users > 0) --state().srv_users;
}

bool CBaseDNSClient::IsDNSSrvEnabled() {
    std::lock_guard<std::mutex> guard(state().lock);
    return state().srv_users > 0;
}

bool CBaseDNSClient::SetNameServer(const char* address, uint16_t port) {
    ResolverSettings update;
    if (address && *address) {
        if (inet_pton(AF_INET, address, &update.server.sin_addr) != 1) return false;
        update.server.sin_family = AF_INET;
        update.server.sin_port = htons(port);
        update.own_server = true;
    }
    std::lock_guard<std::mutex> guard(state().lock);
    state().settings.own_server = update.own_server;
    state().settings.server = update.server;
    return true;
}

void CBaseDNSClient::SetQueryTimeout(int timeout_seconds, int attempts) {
    std::lock_guard<std::mutex> guard(state().lock);
    state().settings.timeout_seconds = timeout_seconds > 0 ? timeout_seconds : kDefaultTimeoutSeconds;
    state().settings.attempts = attempts > 0 ? attempts : kDefaultAttempts;
}

int CBaseDNSClient::QuerySRV(const char* name, std::vector<KZSRVRecord>& records) {
    records.clear();
    if (!name || !*name) return 0;
    // Each query has its own resolver state, so look-ups on several threads do not meet.
    struct __res_state res {};
    if (res_ninit(&res) != 0) {
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "CBaseDNSClient: resolver set-up failed for %s",
                             name);
        return 0;
    }
    apply_settings(current_settings(), res);
    std::vector<unsigned char> answer(NS_MAXMSG);
    const int len = res_nquery(&res, name, ns_c_in, ns_t_srv, answer.data(), static_cast<int>(answer.size()));
    const int error = res.res_h_errno;
    res_nclose(&res);
    if (len < 0) {
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "CBaseDNSClient: no SRV answer for %s (%s)", name,
                             hstrerror(error));
        return 0;
    }
    parse_srv_answer(answer.data(), len, records);
    return static_cast<int>(records.size());
}

bool CBaseDNSClient::DSNSRVSearch(const char* domain, std::string& target, uint16_t* port) {
    if (!IsDNSSrvEnabled() || !domain) return false;
    std::string_view host = trim_white(domain);
    host = host.substr(0, host.find(':'));
    if (host.empty()) return false;
    std::vector<KZSRVRecord> records;
    for (const char* service : {"_sip._udp.", "_sip._tcp."}) {
        if (QuerySRV((service + std::string(host)).c_str(), records) == 0) continue;
        target = records.front().target;
        if (port) *port = records.front().port;
        return true;
    }
    return false;
}

} // namespace KZAPI

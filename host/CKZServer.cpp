#include "host/CKZServer.h"

#include "host/CKZChannel.h"
#include "host/KZNetAddr.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <ifaddrs.h>
#include <mutex>
#include <net/if.h>
#include <netinet/in.h>

namespace KZAPI {

namespace {

std::atomic<CKZServer*> g_server{nullptr};

struct LocalAddresses {
    std::mutex mutex;
    bool loaded = false;
    std::vector<std::string> all;
    std::string first_public;
};

LocalAddresses& local_addresses() {
    static LocalAddresses a;
    return a;
}

bool is_loopback(uint32_t host_order) {
    return (host_order >> 24) == 127;
}
bool is_link_local(uint32_t host_order) {
    return (host_order >> 16) == 0xA9FE;
}

void load_local_addresses(LocalAddresses& a) {
    a.all.clear();
    a.first_public.clear();
    std::vector<std::string> loopback;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs* i = list; i; i = i->ifa_next) {
            if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP)) continue;
            const uint32_t addr = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
            const uint32_t host_order = ntohl(addr);
            const std::string text = KZ_InetNtoa(addr);
            if (is_loopback(host_order)) {
                loopback.push_back(text);
                continue;
            }
            a.all.push_back(text);
            if (a.first_public.empty() && !is_link_local(host_order)) a.first_public = text;
        }
        freeifaddrs(list);
    }
    a.all.insert(a.all.end(), loopback.begin(), loopback.end());
    a.loaded = true;
}

LocalAddresses& loaded_local_addresses() {
    LocalAddresses& a = local_addresses();
    if (!a.loaded) load_local_addresses(a);
    return a;
}

} // namespace

CKZServer::CKZServer() {
    g_server.store(this);
}

CKZServer::~CKZServer() {
    StopThread();
    CKZServer* self = this;
    g_server.compare_exchange_strong(self, nullptr);
}

unsigned CKZServer::Create() {
    return 1;
}

unsigned CKZServer::Start() {
    return StartThread("kz-server") ? 1 : 0;
}

unsigned CKZServer::Stop() {
    StopThread();
    return 1;
}

unsigned CKZServer::Destroy() {
    return 1;
}

int CKZServer::GetNumOfChannels() const {
    CMutexLock lock(m_server_mutex);
    return static_cast<int>(m_channels.size());
}

CKZChannel* CKZServer::GetChannel(int index) const {
    CMutexLock lock(m_server_mutex);
    if (index < 0 || index >= static_cast<int>(m_channels.size())) return nullptr;
    return m_channels[static_cast<size_t>(index)];
}

void CKZServer::AddChannel(CKZChannel* channel) {
    CMutexLock lock(m_server_mutex);
    if (channel && m_channel_set.insert(channel).second) m_channels.push_back(channel);
}

void CKZServer::RemoveChannel(CKZChannel* channel) {
    CMutexLock lock(m_server_mutex);
    m_channel_set.erase(channel);
    m_channels.erase(std::remove(m_channels.begin(), m_channels.end(), channel), m_channels.end());
}

// Found through the call controls' index: a walk over thousands of channels (each a cache miss)
// for every message of every call made the cost of a call grow with the calls already up.
CKZChannel* CKZServer::GetChannelByCRV(int kind, uint32_t crv) const {
    if (crv == 0) return nullptr;
    CMutexLock lock(m_server_mutex);
    return CKZCallControl::FindChannelByCRV(
        kind, crv, [this](const CKZChannel* channel) { return m_channel_set.contains(channel); });
}

// Round the channels from the one after the last given: with thousands of calls up, the search
// for a free channel does not walk the busy ones first every time, and a channel just released
// rests while the others take the next calls.
CKZChannel* CKZServer::GetIdleChannel(int protocol, int direction) const {
    CMutexLock lock(m_server_mutex);
    const size_t count = m_channels.size();
    for (size_t step = 0; step < count; ++step) {
        const size_t at = (m_idle_cursor + step) % count;
        CKZChannel* ch = m_channels[at];
        if (ch->GetProtocol() == protocol && ch->AcceptsDirection(direction) && ch->IsIdle()) {
            m_idle_cursor = at + 1;
            return ch;
        }
    }
    return nullptr;
}

int CKZServer::GetLocalIPCount() {
    LocalAddresses& a = local_addresses();
    std::lock_guard lock(a.mutex);
    return static_cast<int>(loaded_local_addresses().all.size());
}

const char* CKZServer::GetLocalIP(int index) {
    LocalAddresses& a = local_addresses();
    std::lock_guard lock(a.mutex);
    const auto& all = loaded_local_addresses().all;
    if (index < 0 || index >= static_cast<int>(all.size())) return "";
    return all[static_cast<size_t>(index)].c_str();
}

const char* CKZServer::GetFirstLocalPublicIP() {
    LocalAddresses& a = local_addresses();
    std::lock_guard lock(a.mutex);
    return loaded_local_addresses().first_public.c_str();
}

bool CKZServer::IsLocalIP(const char* address) {
    if (!address || !*address) return false;
    LocalAddresses& a = local_addresses();
    std::lock_guard lock(a.mutex);
    const auto& all = loaded_local_addresses().all;
    return std::find(all.begin(), all.end(), address) != all.end();
}

void CKZServer::RefreshLocalIPs() {
    LocalAddresses& a = local_addresses();
    std::lock_guard lock(a.mutex);
    load_local_addresses(a);
}

CKZServer* CKZServer::GetServerObj() {
    return g_server.load();
}

} // namespace KZAPI

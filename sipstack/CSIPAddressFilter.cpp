#include "sipstack/CSIPAddressFilter.h"
#include "sipmsg/kz_sip_result.h"

#include "host/CKZLogInterface.h"

#include <cstring>

using KZAPI::CKZLogInterface;

namespace {

const char* kind_name(uint8_t kind) {
    switch (kind) {
    case IP_ADDR::KIND_IP:
        return "IP";
    case IP_ADDR::KIND_MAC:
        return "MAC";
    default:
        return "ID";
    }
}

} // namespace

int CSIPAddressFilter::Set(const char* text, int list, int add) {
    if (list != DENY_LIST && list != ALLOW_LIST) return 0;
    if (!text) text = "";
    std::lock_guard<std::mutex> lock(m_mutex);
    List& entries = m_lists[list];
    if (add) {
        auto entry = std::make_unique<IP_ADDR>();
        entry->classify(text);
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Added %s Filter: %s", kind_name(entry->kind), text);
        entries.push_back(std::move(entry));
        return 1;
    }
    if (strcmp(text, "RemoveAll") == 0) {
        entries.clear();
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Removed all filters in the list!");
        return 1;
    }
    IP_ADDR probe;
    probe.classify(text);
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (!(*it)->same_as(probe)) continue;
        CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "Deleted %s Filter: %s", kind_name(probe.kind),
                             text);
        entries.erase(it);
        return 1;
    }
    return 0;
}

unsigned CSIPAddressFilter::Count(int list) const {
    if (list != DENY_LIST && list != ALLOW_LIST) return 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<unsigned>(m_lists[list].size());
}

std::string CSIPAddressFilter::Item(int list, unsigned index) const {
    if (list != DENY_LIST && list != ALLOW_LIST) return "";
    std::lock_guard<std::mutex> lock(m_mutex);
    if (index >= m_lists[list].size()) return "";
    return m_lists[list][index]->text();
}

bool CSIPAddressFilter::Holds(const List& list, const uint8_t address[4]) {
    for (const auto& e : list)
        if (e->kind == IP_ADDR::KIND_IP && memcmp(e->ip, address, 4) == 0) return true;
    return false;
}

bool CSIPAddressFilter::Check(uint32_t ipv4, uint16_t /*port*/) const {
    uint8_t address[4];
    memcpy(address, &ipv4, 4); // network order: the bytes in written order
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_lists[DENY_LIST].empty() && Holds(m_lists[DENY_LIST], address)) return false;
    if (!m_lists[ALLOW_LIST].empty()) return Holds(m_lists[ALLOW_LIST], address);
    return true;
}

// UDP switch groups: pairs of relay ports placed after the RTP blocks of all channels, handed to
// proxied calls that relay their media through this server.
#include "host/KZStrFunc.h"
#include "host/KZUDPRelay.h"
#include "server/CKZSIPGroup.h"
#include "server/CKZSIPServer.h"

#include <cstring>

namespace {
constexpr int kPortsPerChannel = 4;
constexpr uint32_t kNatOpen = 0;
constexpr uint32_t kNatIndependentMappingAndFilter = 2;
} // namespace

void CKZSIPServer::BuildUDPSwitchPorts(int n, int channel_count) {
    KZAPI::CMutexLock lock(m_switch_mutex);
    m_switch_ports.clear();
    m_switch_in_use.assign(static_cast<size_t>(n > 0 ? n : 0), 0);
    m_switch_port_text[0] = '\0';
    const uint32_t nat = m_pSIPGroup ? m_pSIPGroup->GetNATType() : kNatOpen;
    for (int i = 0; i < 2 * n; ++i) {
        const int local = m_rtp_range.start + kPortsPerChannel * (channel_count + i / 2) + 2 * (i % 2);
        unsigned short port = static_cast<unsigned short>(local);
        if (nat != kNatOpen && m_pSIPGroup) {
            uint16_t mapped = port;
            if (m_pSIPGroup->GetMappedPublicIPAndPort(0, nullptr, mapped)) port = mapped;
        }
        m_switch_ports.push_back(port);
        char item[16];
        KZAPI::s_printf(item, sizeof(item), "-%d", port);
        KZAPI::str_cat(m_switch_port_text, item, sizeof(m_switch_port_text));
    }
}

void CKZSIPServer::StartUDPSwitchGroups() {
    int n = CFG_GetIntValue("kzsrv.sip.udp.switch.group", 0);
    const uint32_t nat = m_pSIPGroup ? m_pSIPGroup->GetNATType() : kNatOpen;
    if (n <= 0 || (nat != kNatOpen && nat != kNatIndependentMappingAndFilter)) n = 0;
    const int channels = GetNumOfChannels();
    BuildUDPSwitchPorts(n, channels);
    for (int j = 0; j < n; ++j) {
        const int group = KZAPI::KZ_OpenUDPRelayGroup();
        if (group == KZAPI::KZ_RELAY_INVALID_HANDLE) continue;
        const int first = m_rtp_range.start + kPortsPerChannel * (channels + j);
        const int item1 = KZAPI::KZ_AddUDPRelayGroupItem(group, nullptr, static_cast<unsigned short>(first),
                                                         nullptr, 0, nullptr, -1);
        const int item2 = KZAPI::KZ_AddUDPRelayGroupItem(
            group, nullptr, static_cast<unsigned short>(first + 2), nullptr, 0, nullptr, -1);
        m_switch_relay_groups.push_back(group);
        m_switch_relay_items.emplace_back(item1, item2);
    }
}

void CKZSIPServer::StopUDPSwitchGroups() {
    for (int group : m_switch_relay_groups)
        KZAPI::KZ_CloseUDPRelayGroup(group);
    m_switch_relay_groups.clear();
    KZAPI::CMutexLock lock(m_switch_mutex);
    m_switch_relay_items.clear();
    m_switch_ports.clear();
    m_switch_in_use.clear();
    m_switch_port_text[0] = '\0';
}

int CKZSIPServer::InitUDPSwitchPort(unsigned short& port1, unsigned short& port2) {
    KZAPI::CMutexLock lock(m_switch_mutex);
    for (size_t i = 0; i < m_switch_in_use.size(); ++i) {
        if (m_switch_in_use[i]) continue;
        m_switch_in_use[i] = 1;
        port1 = m_switch_ports[2 * i];
        port2 = m_switch_ports[2 * i + 1];
        return static_cast<int>(i);
    }
    return kNoSwitchGroup;
}

void CKZSIPServer::FreeUDPSwitchPort(int index) {
    KZAPI::CMutexLock lock(m_switch_mutex);
    if (index < 0 || static_cast<size_t>(index) >= m_switch_in_use.size()) return;
    m_switch_in_use[static_cast<size_t>(index)] = 0;
    // The next call on the group starts from latching, not from this call's parties.
    if (static_cast<size_t>(index) < m_switch_relay_items.size()) {
        KZAPI::KZ_SetUDPRelayGroupItemSrc(m_switch_relay_items[static_cast<size_t>(index)].first, "", 0);
        KZAPI::KZ_SetUDPRelayGroupItemSrc(m_switch_relay_items[static_cast<size_t>(index)].second, "", 0);
    }
}

bool CKZSIPServer::SetUDPSwitchPortPeer(int index, int side, const char* address, uint16_t port) {
    KZAPI::CMutexLock lock(m_switch_mutex);
    if (index < 0 || static_cast<size_t>(index) >= m_switch_relay_items.size()) return false;
    const auto& items = m_switch_relay_items[static_cast<size_t>(index)];
    return KZAPI::KZ_SetUDPRelayGroupItemSrc(side == SWITCH_SIDE_FIRST ? items.first : items.second,
                                             address ? address : "", port);
}

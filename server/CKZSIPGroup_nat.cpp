// CKZSIPGroup: NAT detection with STUN, public address mapping, and SIP address helpers.
#include "server/CKZSIPGroup.h"

#include "host/CBaseSocket.h"
#include "host/CKZLogInterface.h"
#include "host/KZNetAddr.h"
#include "host/KZStrFunc.h"
#include "nat/CKZStunClient.h"
#include "sipmsg/sip_msg.h"

#include <cctype>
#include <cstring>

using KZAPI::CKZLogInterface;

namespace {

constexpr unsigned kTrace = CKZLogInterface::LOG_TRACE;
constexpr unsigned kError = CKZLogInterface::LOG_ERROR;
// Dotted IPv4 text with its NUL.
constexpr size_t kIPv4TextSize = 16;

// The group's NAT code of a classification of the STUN client.
uint32_t nat_code_of(int test_result) {
    switch (test_result) {
    case KZ_STUN_NAT_UNKNOWN:
        return CKZSIPGroup::NAT_UNKNOWN_ERROR;
    case KZ_STUN_NAT_OPEN:
        return CKZSIPGroup::NAT_OPEN;
    case KZ_STUN_NAT_BLOCKED:
        return CKZSIPGroup::NAT_BLOCKED;
    case KZ_STUN_NAT_INDEPENDENT_FILTER:
        return CKZSIPGroup::NAT_INDEPENDENT_FILTER;
    case KZ_STUN_NAT_ADDRESS_FILTER:
        return CKZSIPGroup::NAT_ADDRESS_FILTER;
    case KZ_STUN_NAT_PORT_FILTER:
        return CKZSIPGroup::NAT_PORT_FILTER;
    case KZ_STUN_NAT_DEPENDENT_MAPPING:
        return CKZSIPGroup::NAT_DEPENDENT_MAPPING;
    case KZ_STUN_NAT_FIREWALL:
        return CKZSIPGroup::NAT_FIREWALL;
    default:
        return CKZSIPGroup::NAT_OTHER;
    }
}

// Text of a NAT that maps (codes 2 to 8), or null.
const char* mapping_text(uint32_t nat_type) {
    switch (nat_type) {
    case CKZSIPGroup::NAT_INDEPENDENT_FILTER:
        return "Independent Mapping, Independent Filter";
    case CKZSIPGroup::NAT_ADDRESS_FILTER:
        return "Independedt Mapping, Address Dependendent Filter";
    case CKZSIPGroup::NAT_PORT_FILTER:
        return "Indepndent Mapping, Port Dependent Filter";
    case CKZSIPGroup::NAT_DEPENDENT_MAPPING:
        return "Dependent Mapping";
    default:
        return nullptr;
    }
}

bool is_mapping_nat(uint32_t nat_type) {
    return mapping_text(nat_type) != nullptr;
}

// The local interface to bind STUN sockets on; null (any address) for an empty or unknown text.
const KZStunAddress4* local_interface(const char* address, KZStunAddress4& out) {
    const uint32_t net = CKZSIPGroup::GetRealInetAddr(address);
    if (net == 0) return nullptr;
    out = KZStunAddress4{0, KZStunToHostOrder(net)};
    return &out;
}

} // namespace

// ---- detection ----

uint32_t CKZSIPGroup::AutoDetectNatType() {
    KZ_SIPProtocolConfig config{};
    GetConfig(&config);
    LogSTUNServers();
    const uint16_t port = config.sip_port > 0 ? static_cast<uint16_t>(config.sip_port) : kDefaultSIPPort;
    SetRealPublicSIPIP(config.local_address);
    m_real_public_sip_port = port;

    int selected = -1;
    const uint32_t result = DetectWithSTUNServers(config.local_address, port, &selected);
    StoreNATType(result, selected >= 0 || (result != kFailure && result != NAT_UNKNOWN_ERROR));
    LogNATType();
    if (selected >= 0 && (m_nat_type == NAT_OPEN || is_mapping_nat(m_nat_type)))
        MapPublicAddress(m_stun_servers[selected], config.local_address, port);

    FallBackToLocalAddress();
    CKZLogInterface::Log(kTrace, "Detected real SIP ip:%s, port:%d.", m_real_public_sip_ip,
                         static_cast<int>(m_real_public_sip_port));
    return m_nat_type;
}

void CKZSIPGroup::LogSTUNServers() const {
    bool any = false;
    for (int i = 0; i < kSTUNServerCount; ++i) {
        if (!m_stun_servers[i][0]) continue;
        CKZLogInterface::Log(kTrace, "STUN Server[%d]:%s", i, m_stun_servers[i]);
        any = true;
    }
    if (!any) CKZLogInterface::Log(kTrace, "NO STUN Server is set");
}

// Tries the servers in slot order up to the first empty slot; the first answer that is neither
// an error nor "blocked" selects its server. Returns the last result.
uint32_t CKZSIPGroup::DetectWithSTUNServers(const char* local_address, uint16_t local_port, int* selected) {
    uint32_t result = kFailure;
    for (int i = 0; i < kSTUNServerCount && m_stun_servers[i][0]; ++i) {
        result = CheckNATType(m_stun_servers[i], local_address, local_port);
        if (result != kFailure && result != NAT_UNKNOWN_ERROR && result != NAT_BLOCKED) {
            *selected = i;
            break;
        }
    }
    return result;
}

void CKZSIPGroup::StoreNATType(uint32_t result, bool take_flags) {
    m_preserves_ports = 0;
    m_hairpin = 0;
    if (take_flags) {
        if (result & NAT_FLAG_HAIRPIN) {
            m_hairpin = 1;
            result &= ~static_cast<uint32_t>(NAT_FLAG_HAIRPIN);
        }
        if (result & NAT_FLAG_PRESERVES_PORT) {
            m_preserves_ports = 1;
            result &= ~static_cast<uint32_t>(NAT_FLAG_PRESERVES_PORT);
        }
    }
    m_nat_type = result;
    if (m_nat_type == NAT_OPEN) m_in_nat = 0;
    if (is_mapping_nat(m_nat_type)) m_in_nat = 1;
}

void CKZSIPGroup::LogNATType() const {
    if (const char* text = mapping_text(m_nat_type)) {
        CKZLogInterface::Log(kTrace, "%s%s%s", text,
                             m_preserves_ports ? ", preserves ports" : ", random port",
                             m_hairpin ? ", will hairpin" : ", no hairpin");
        return;
    }
    switch (m_nat_type) {
    case NAT_OPEN:
        CKZLogInterface::Log(kTrace, "Open");
        break;
    case NAT_FIREWALL:
        CKZLogInterface::Log(kTrace, "Firewall");
        break;
    case NAT_BLOCKED:
        CKZLogInterface::Log(kTrace, "Blocked or could not reach STUN server");
        break;
    case NAT_UNKNOWN_ERROR:
        CKZLogInterface::Log(kError, "Some unknown type error detetecting NAT type");
        break;
    case kFailure:
        CKZLogInterface::Log(kError, "Some stun error detetecting NAT type!");
        break;
    default:
        CKZLogInterface::Log(kTrace, "Unkown NAT type");
        break;
    }
}

// The STUN server's view of the SIP address and port becomes the public SIP address and port.
void CKZSIPGroup::MapPublicAddress(const char* stun_server, const char* local_address, uint16_t local_port) {
    char address[kAddressTextSize];
    KZAPI::str_cpy(address, local_address, sizeof(address));
    uint16_t port = local_port;
    if (GetMappedPublicIPAndPort(stun_server, address, port) != 1) return;
    SetRealPublicSIPIP(address);
    m_real_public_sip_port = port;
}

uint32_t CKZSIPGroup::CheckNATType(const char* stun_server, const char* local_address, uint16_t local_port) {
    KZStunAddress4 server;
    if (!CKZStunClient::ParseServerName(stun_server, server)) return kFailure;
    if (local_port == 0) local_port = kDefaultSIPPort;
    KZStunAddress4 iface;
    const KZStunAddress4* local = local_interface(local_address, iface);

    bool preserves_port = false, hairpin = false;
    const int test = CKZStunClient::NatType(server, true, &preserves_port, &hairpin, local_port, local);
    if (test == KZ_STUN_NAT_FAILURE) return kFailure;
    uint32_t code = nat_code_of(test);
    if (hairpin) code += NAT_FLAG_HAIRPIN;
    if (preserves_port) code += NAT_FLAG_PRESERVES_PORT;
    return code;
}

// ---- mapping ----

int CKZSIPGroup::GetMappedPublicIPAndPort(int stun_index, char* address, uint16_t& port) {
    if (stun_index < 0 || stun_index >= kSTUNServerCount) return 0;
    return GetMappedPublicIPAndPort(m_stun_servers[stun_index], address, port);
}

int CKZSIPGroup::GetMappedPublicIPAndPort(const char* stun_server, char* address, uint16_t& port) {
    if (!stun_server || !*stun_server) return 0;
    KZStunAddress4 server;
    if (!CKZStunClient::ParseServerName(stun_server, server)) return 0;
    KZStunAddress4 iface;
    const KZStunAddress4* local = local_interface(address, iface);

    KZStunAddress4 mapped;
    KZAPI::CBaseSocket sock = CKZStunClient::OpenMappedSocket(server, mapped, port, local);
    if (!sock.IsOpen()) return 0;
    sock.Close();
    if (address) KZStunIPText(mapped.addr, address, kIPv4TextSize);
    port = mapped.port;
    return 1;
}

// ---- address helpers ----

uint32_t CKZSIPGroup::GetRealInetAddr(const char* text) {
    return text ? kz_get_real_inet_addr(text) : 0;
}

int CKZSIPGroup::GetSIPAddressInfo(char* text, char** user, char** host, char** port) {
    if (!text || !user || !host || !port) return 0;
    if (char* transport = strstr(text, "transport=")) *transport = '\0';
    if (!kz_get_sip_address_info(text, user, host, port)) return 0;
    const bool has_user = *user && **user;
    const bool has_host = *host && **host;
    return has_user || has_host ? 1 : 0;
}

int CKZSIPGroup::UnsignedNumberOnlyCheck(const char* text) {
    if (!text || !*text) return 0;
    for (const char* p = text; *p; ++p)
        if (!isdigit(static_cast<unsigned char>(*p))) return 0;
    return 1;
}

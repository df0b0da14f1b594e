// A proxy site: the domains this server is registrar and proxy for, and how it serves them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CKZSIPGroup;
class sip_msg;
struct ProxyTransferTarget;

// How a site serves its domains (one flag per site setting).
struct CKZSIPProxySiteOptions {
    bool register_qop = false;
    bool register_opaque = false;
    bool record_route = false;
    bool udp_relay = false;
    bool map_reg_source = false;
    bool check_user_status = false;
};

class CKZSIPProxySite {
public:
    using Options = CKZSIPProxySiteOptions;

    CKZSIPProxySite(int number, std::vector<std::string> domains, const Options& options)
        : m_number(number), m_domains(std::move(domains)), m_options(options) {}
    virtual ~CKZSIPProxySite() = default;

    int GetNumber() const { return m_number; }
    const std::vector<std::string>& GetDomains() const { return m_domains; }
    const Options& GetOptions() const { return m_options; }

    // True when one of the site's domains equals the text, compared without regard to case.
    bool ServesDomain(const char* domain) const;

    // Whether the message comes from or goes to one of the site's users, at the given second. The
    // site knows its users once their records are loaded; without them it claims no message.
    virtual bool IsOKForProxyUser(sip_msg* /*message*/, int64_t /*now*/) { return false; }
    // Takes over an unanswered incoming call as a proxied session towards the target; the result
    // of the session start (0 when none was started, as here, where the site runs no sessions).
    virtual int TransferCall(const ProxyTransferTarget& /*target*/, uint32_t /*connection*/,
                             sip_msg* /*invite*/, CKZSIPGroup* /*group*/, const char* /*sender_address*/,
                             uint16_t /*sender_port*/) {
        return 0;
    }

private:
    int m_number;
    std::vector<std::string> m_domains;
    Options m_options;
};

// A proxy site: the domains this server is registrar and proxy for, and how it serves them.
#pragma once

#include <string>
#include <vector>

class CKZSIPProxySite {
public:
    struct Options {
        bool register_qop = false;
        bool register_opaque = false;
        bool record_route = false;
        bool udp_relay = false;
        bool map_reg_source = false;
        bool check_user_status = false;
    };

    CKZSIPProxySite(int number, std::vector<std::string> domains, const Options& options)
        : m_number(number), m_domains(std::move(domains)), m_options(options) {}
    virtual ~CKZSIPProxySite() = default;

    int GetNumber() const { return m_number; }
    const std::vector<std::string>& GetDomains() const { return m_domains; }
    const Options& GetOptions() const { return m_options; }

    // True when one of the site's domains equals the text, compared without regard to case.
    bool ServesDomain(const char* domain) const;

private:
    int m_number;
    std::vector<std::string> m_domains;
    Options m_options;
};

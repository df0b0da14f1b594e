#include "server/CKZSIPProxySite.h"

#include "host/KZStrFunc.h"

bool CKZSIPProxySite::ServesDomain(const char* domain) const {
    if (!domain || !*domain) return false;
    for (const std::string& d : m_domains)
        if (KZAPI::iequals(d.c_str(), domain)) return true;
    return false;
}

// A stack on 127.0.0.1 for tests, and messages as the application hands them to it: a request to
// a peer on 127.0.0.1 and a bare response whose dialog fields the stack fills in.
#pragma once

#include "host/KZStrFunc.h"
#include "sipstack/sip_group.h"
#include "support/test_certificate.h"

#include <memory>
#include <string>

namespace kztest {

// Sets the stack up to listen on 127.0.0.1:port (TLS on the next port) with the test certificate.
inline void on_loopback(sip_group& stack, uint16_t port, int32_t mask = KZ_SIP_TRANSPORT_UDP) {
    KZAPI::str_cpy(stack.m_config.local_address, "127.0.0.1", sizeof(stack.m_config.local_address));
    stack.m_config.sip_port = port;
    stack.m_config.transport_mask = mask;
    if (!(mask & KZ_SIP_TRANSPORT_TLS)) return;
    const auto& cert = TestCertificate::Shared();
    KZAPI::str_cpy(stack.m_settings.cert_file, cert.cert(), CSIPStackSettings::kFilePathSize);
    KZAPI::str_cpy(stack.m_settings.key_file, cert.key(), CSIPStackSettings::kFilePathSize);
}

// protocol: 0 UDP, 1 TCP, 2 TLS.
inline std::unique_ptr<sip_msg> app_request(const char* method, uint16_t peer_port, uint16_t own_port = 5060,
                                            int protocol = 0) {
    static const char* const kVia[] = {"SIP/2.0/UDP", "SIP/2.0/TCP", "SIP/2.0/TLS"};
    auto m = std::make_unique<sip_msg>();
    const std::string uri = "sip:bob@127.0.0.1:" + std::to_string(peer_port);
    m->add_ie(KZ_IE_SIP_REQUEST_LINE_METHOD, 0, method);
    m->add_ie(KZ_IE_SIP_REQUEST_LINE_URI, 0, uri.c_str());
    m->add_ie(KZ_IE_SIP_REQUEST_LINE_PROTVERSION, 0, "SIP/2.0");
    m->add_ie(KZ_IE_SIP_VIA_PROTOCOL, 0, kVia[protocol]);
    m->add_ie(KZ_IE_SIP_VIA_ADDRESS, 0, ("127.0.0.1:" + std::to_string(own_port)).c_str());
    m->add_ie(KZ_IE_SIP_FROM, 0, "<sip:alice@127.0.0.1>");
    m->add_ie(KZ_IE_SIP_TO, 0, ("<" + uri + ">").c_str());
    m->add_ie(KZ_IE_SIP_MAX_FORWARDS, 0, "70");
    if (protocol) m->set_prot(protocol);
    return m;
}

inline std::unique_ptr<sip_msg> app_response(uint32_t code = 200, const char* reason = "OK") {
    auto m = std::make_unique<sip_msg>();
    m->add_ie(KZ_IE_SIP_RESPONSE_LINE_PROTVERSION, 0, "SIP/2.0");
    m->add_ie(KZ_IE_SIP_RESPONSE_LINE_STATUS_CODE, 0, std::to_string(code).c_str());
    m->add_ie(KZ_IE_SIP_RESPONSE_LINE_STATUS_STRING, 0, reason);
    return m;
}

} // namespace kztest

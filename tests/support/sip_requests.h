// Raw SIP requests for tests, sent from a peer on 127.0.0.1 to a stack on the same host.
#pragma once

#include <cstdint>
#include <string>

namespace kztest {

// A complete out-of-dialog request from 127.0.0.1:from_port. extra is inserted as header lines
// (each ending "\r\n"); call_id defaults to one made from the method and port.
inline std::string sip_request(const std::string& method, uint16_t from_port, uint16_t to_port,
                               const std::string& extra = "", const std::string& call_id = "") {
    const std::string port = std::to_string(from_port);
    const std::string target = "127.0.0.1:" + std::to_string(to_port);
    const std::string id = call_id.empty() ? method + "-" + port + "@127.0.0.1" : call_id;
    return method + " sip:service@" + target + " SIP/2.0\r\n" + "Via: SIP/2.0/UDP 127.0.0.1:" + port +
           ";branch=z9hG4bK-" + method + port + ";rport\r\n" + "Max-Forwards: 70\r\n" +
           "From: <sip:tester@127.0.0.1:" + port + ">;tag=t" + port + "\r\n" + "To: <sip:service@" + target +
           ">\r\n" + "Call-ID: " + id + "\r\n" + "CSeq: 1 " + method + "\r\n" +
           "Contact: <sip:tester@127.0.0.1:" + port + ">\r\n" + extra + "Content-Length: 0\r\n\r\n";
}

// An INVITE from al to bob on 127.0.0.1, or the 200 OK answering it, carrying an SDP body.
inline std::string sdp_message(const std::string& body, bool answer = false) {
    return std::string(answer ? "SIP/2.0 200 OK\r\n" : "INVITE sip:bob@127.0.0.1 SIP/2.0\r\n") +
           "Via: SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bK5\r\nFrom: <sip:al@127.0.0.1>;tag=1\r\n"
           "To: <sip:bob@127.0.0.1>\r\nCall-ID: sdp-1\r\nCSeq: 1 INVITE\r\nContent-Type: application/sdp\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

// The status line of a response ("SIP/2.0 200 OK"), or "" when the text is not one.
inline std::string status_line(const std::string& response) {
    if (response.rfind("SIP/2.0 ", 0) != 0) return "";
    return response.substr(0, response.find("\r\n"));
}

// The value of the first header line called name (without the line break), or "".
inline std::string header_value(const std::string& text, const std::string& name) {
    size_t p = text.find("\r\n" + name + ": ");
    if (p == std::string::npos) return "";
    p += name.size() + 4;
    return text.substr(p, text.find("\r\n", p) - p);
}

// A response to the request text that copies its dialog fields, with to_tag added to To when To
// has none.
inline std::string response_to(const std::string& request, int code, const std::string& reason,
                               const std::string& to_tag) {
    std::string to = header_value(request, "To");
    if (!to_tag.empty() && to.find(";tag=") == std::string::npos) to += ";tag=" + to_tag;
    return "SIP/2.0 " + std::to_string(code) + " " + reason + "\r\nVia: " + header_value(request, "Via") +
           "\r\nFrom: " + header_value(request, "From") + "\r\nTo: " + to +
           "\r\nCall-ID: " + header_value(request, "Call-ID") + "\r\nCSeq: " + header_value(request, "CSeq") +
           "\r\nContent-Length: 0\r\n\r\n";
}

} // namespace kztest

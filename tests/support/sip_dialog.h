// A raw UDP peer's side of a dialog with the stack: responses to the stack's requests and the
// peer's own requests inside the dialog, built from the messages the peer received.
#pragma once

#include "support/sip_peer.h"
#include "support/sip_requests.h"

#include <chrono>
#include <string>

namespace kztest {

// Content-Type and Content-Length lines, and the body (an SDP when not empty).
inline std::string with_body(const std::string& body, const std::string& type = "application/sdp") {
    return body.empty() ? "Content-Length: 0\r\n\r\n"
                        : "Content-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) +
                              "\r\n\r\n" + body;
}

// Every Via line of a request, as a response must repeat them.
inline std::string via_lines(const std::string& request) {
    std::string lines;
    for (size_t p = request.find("\r\nVia: "); p != std::string::npos; p = request.find("\r\nVia: ", p + 2))
        lines += request.substr(p + 2, request.find("\r\n", p + 2) - p);
    return lines;
}

// The far end's response to a request of the stack; its To gets the tag far1 unless status is 100.
inline std::string response_to(const std::string& request, const std::string& status, uint16_t peer_port,
                               const std::string& extra = "", const std::string& body = "") {
    std::string to = header_value(request, "To");
    if (status.rfind("100", 0) != 0 && to.find(";tag=") == std::string::npos) to += ";tag=far1";
    return "SIP/2.0 " + status + "\r\n" + via_lines(request) + "From: " + header_value(request, "From") +
           "\r\nTo: " + to + "\r\nCall-ID: " + header_value(request, "Call-ID") +
           "\r\nCSeq: " + header_value(request, "CSeq") +
           "\r\nContact: <sip:bob@127.0.0.1:" + std::to_string(peer_port) + ">\r\n" + extra + with_body(body);
}

// The first message the peer receives whose first line starts with start, or "".
inline std::string receive_starting(const UdpPeer& peer, const std::string& start, int timeout_ms = 1500) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        const std::string text = peer.receive(100);
        if (text.rfind(start, 0) == 0) return text;
    }
    return "";
}

// The peer's request inside a dialog the stack on 127.0.0.1:to_port answered with to_tag: a
// sip_request of the dialog's Call-ID with the tag on To, CSeq cseq and a branch of that CSeq.
// extra holds header lines (a Content-Type for the body among them).
inline std::string in_dialog_request(const std::string& method, uint16_t from_port, uint16_t to_port,
                                     const std::string& call_id, const std::string& to_tag, int cseq,
                                     const std::string& extra = "", const std::string& body = "") {
    const std::string to = "To: <sip:service@127.0.0.1:" + std::to_string(to_port) + ">";
    std::string request = sip_request(method, from_port, to_port, extra, call_id);
    request.insert(request.find(to) + to.size(), ";tag=" + to_tag);
    request.replace(request.find("CSeq: 1 "), 8, "CSeq: " + std::to_string(cseq) + " ");
    request.replace(request.find("z9hG4bK-"), 8, "z9hG4bK-" + std::to_string(cseq) + "-");
    if (!body.empty())
        request.replace(request.find("Content-Length: 0"), std::string::npos,
                        "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    return request;
}

} // namespace kztest

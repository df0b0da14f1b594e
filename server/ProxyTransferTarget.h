// Where the application sends a call it hands to the proxy: either one destination text, or a
// list of "|"-separated items naming the destination, the caller, credentials, the Request-URI,
// the address and port to send to, and whether a new session is wanted.
#pragma once

#include <cstdint>
#include <string>

struct ProxyTransferTarget {
    std::string destination;  // "To<...>" (from the "<" on), or an item that names nothing else
    std::string caller;       // "From<...>" (from the "<" on)
    std::string user;         // "User<...>"
    std::string password;     // "Password<...>"
    std::string request_uri;  // "RequestURI<...>"
    std::string dest_ip;      // "DestIP<...>"
    uint16_t dest_port = 0;   // "DestPort<...>"
    bool new_session = false; // "NewSession", in any case

    // Reads a target text; one without "|" is only a destination.
    static ProxyTransferTarget Parse(const std::string& text);
};

// The module's configuration for a server of a test: SIP on 127.0.0.1 without a STUN look-up.
#pragma once

#include "host/CKZCfgInterface.h"
#include "support/sip_peer.h"

#include <initializer_list>
#include <string>
#include <utility>

namespace kztest {

using Settings = std::initializer_list<std::pair<const char*, std::string>>;

inline void set_config(Settings settings) {
    for (const auto& [key, value] : settings)
        KZAPI::CKZCfgInterface::CFG_SetValue(key, value.c_str());
}

// A fresh configuration with SIP on 127.0.0.1:port, then extra. With rtp_channel the RTP range
// starts where that channel's block of ports is free.
inline void configure_loopback_server(uint16_t port, Settings extra = {}, int rtp_channel = -1) {
    KZAPI::CKZCfgInterface::CFG_Clear();
    set_config({{"kzsrv.sip.ip.address", "127.0.0.1"},
                {"kzsrv.sip.ip.port", std::to_string(port)},
                {"kzsrv.sip.use.nat.addr", "1"}});
    if (rtp_channel >= 0)
        set_config({{"kzsrv.sip.rtpstartrange", std::to_string(rtp_start_for_channel(rtp_channel))}});
    set_config(extra);
}

} // namespace kztest

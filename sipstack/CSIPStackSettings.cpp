#include "sipstack/CSIPStackSettings.h"

#include "host/CKZCfgInterface.h"
#include "host/KZStrFunc.h"

using KZAPI::CKZCfgInterface;

namespace {

unsigned positive(const char* key, unsigned fallback) {
    const int v = CKZCfgInterface::CFG_GetIntValue(key, static_cast<int>(fallback));
    return v > 0 ? static_cast<unsigned>(v) : fallback;
}

} // namespace

void CSIPStackSettings::Load() {
    msg_hook = CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.on.msg", 0);
    ssl_type = CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.ssl.type", 3);
    KZAPI::str_cpy(cert_file, CKZCfgInterface::CFG_GetValue("kzsrv.sip.ssl.cert.file", "").c_str(),
                   sizeof(cert_file));
    KZAPI::str_cpy(key_file, CKZCfgInterface::CFG_GetValue("kzsrv.sip.ssl.key.file", "").c_str(),
                   sizeof(key_file));
    max_dialog_duration = CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.max.dlg.duration", 21600);
    received_queue_max_bytes = positive("kzsrv.sip.recv.queue.max.bytes", 8u << 20);
    stream_idle_timeout_s = positive("kzsrv.sip.tcp.idle.timeout", 32);
    stream_lifetime_s = positive("kzsrv.sip.tcp.connection.lifetime", 600);
    max_connections_per_address = positive("kzsrv.sip.tcp.max.per.address", 1000);
    max_connections = positive("kzsrv.sip.tcp.max.connections", 8000);
    tls_handshake_timeout_ms = positive("kzsrv.sip.tls.handshake.timeout", 3000);
}

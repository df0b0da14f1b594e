// CSIPStackSettings: what a stack reads from the host configuration once, when it is opened.
// Nothing on the message path reads the configuration again.
#pragma once

#include <cstdint>

struct CSIPStackSettings {
    static constexpr unsigned kFilePathSize = 260;

    int msg_hook = 0;                    // "kzsrv.sip.on.msg"
    int32_t ssl_type = 3;                // "kzsrv.sip.ssl.type"
    char cert_file[kFilePathSize] = {};  // "kzsrv.sip.ssl.cert.file"
    char key_file[kFilePathSize] = {};   // "kzsrv.sip.ssl.key.file"
    int32_t max_dialog_duration = 21600; // "kzsrv.sip.max.dlg.duration", seconds

    // Received data waiting to be parsed; beyond this, new input is dropped and counted.
    uint64_t received_queue_max_bytes = 8u << 20; // "kzsrv.sip.recv.queue.max.bytes"
    // A TCP/TLS connection that completes no message for this long is closed.
    unsigned stream_idle_timeout_s = 32; // "kzsrv.sip.tcp.idle.timeout"
    // A connection that has carried messages, with nothing half-received, is closed after this
    // long without traffic (keep-alive CRLFs count).
    unsigned stream_lifetime_s = 600;            // "kzsrv.sip.tcp.connection.lifetime"
    unsigned max_connections_per_address = 1000; // "kzsrv.sip.tcp.max.per.address"
    unsigned max_connections = 8000;             // "kzsrv.sip.tcp.max.connections"
    unsigned tls_handshake_timeout_ms = 3000;    // "kzsrv.sip.tls.handshake.timeout"

    // Reads every key above, each with the default written here.
    void Load();
};

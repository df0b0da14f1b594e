// kzstun: asks a classic STUN server for the mapped address of a local port and classifies
// the NAT between this host and the server.
#include "host/CKZLogInterface.h"
#include "nat/CKZStunClient.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void usage(const char* argv0) {
    fprintf(stderr,
            "usage: %s SERVER[:PORT] [-i LOCAL_ADDRESS] [-p LOCAL_PORT] [-v]\n"
            "  SERVER         STUN server name or address (port 3478 unless given)\n"
            "  -i ADDRESS     local address to send from (default: any)\n"
            "  -p PORT        local port (the classification also uses PORT + 1; default: random)\n"
            "  -v             print every test result and log the client's traces\n"
            "exit status: 0 when the classification completed, 1 when it could not run, 2 on bad usage\n",
            argv0);
}

const char* yes_no(bool b) {
    return b ? "yes" : "no";
}

} // namespace

int main(int argc, char** argv) {
    const char* server_name = nullptr;
    const char* local_name = nullptr;
    long port = 0;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        const bool has_value = i + 1 < argc;
        if (!strcmp(argv[i], "-i") && has_value) {
            local_name = argv[++i];
        } else if (!strcmp(argv[i], "-p") && has_value) {
            port = strtol(argv[++i], nullptr, 10);
            if (port <= 0 || port >= 65535) {
                usage(argv[0]);
                return 2;
            }
        } else if (!strcmp(argv[i], "-v")) {
            verbose = true;
        } else if (argv[i][0] != '-' && !server_name) {
            server_name = argv[i];
        } else {
            usage(argv[0]);
            return 2;
        }
    }
    if (!server_name) {
        usage(argv[0]);
        return 2;
    }
    KZAPI::CKZLogInterface::SetMaxLevel(verbose ? KZAPI::CKZLogInterface::LOG_TRACE
                                                : KZAPI::CKZLogInterface::LOG_ERROR);

    KZStunAddress4 server;
    if (!CKZStunClient::ParseServerName(server_name, server)) {
        fprintf(stderr, "kzstun: cannot start: cannot resolve the server %s\n", server_name);
        return 1;
    }
    KZStunAddress4 local;
    if (local_name && !CKZStunClient::ParseServerName(local_name, local)) {
        fprintf(stderr, "kzstun: cannot start: cannot resolve the local address %s\n", local_name);
        return 1;
    }
    const KZStunAddress4* iface = local_name ? &local : nullptr;
    char text[KZ_STUN_ADDRESS_TEXT_SIZE];
    printf("server          %s\n", KZStunAddressText(server, text, sizeof(text)));
    fflush(stdout);

    KZStunAddress4 mapped;
    {
        KZAPI::CBaseSocket sock =
            CKZStunClient::OpenMappedSocket(server, mapped, static_cast<uint16_t>(port), iface);
        if (sock.IsOpen()) {
            char local_text[KZ_STUN_ADDRESS_TEXT_SIZE];
            uint32_t ip = 0;
            uint16_t local_port = 0;
            sock.GetLocalAddress(&ip, &local_port);
            printf("local address   %s\n",
                   KZStunAddressText(KZStunAddress4{local_port, KZStunToHostOrder(ip)}, local_text,
                                     sizeof(local_text)));
            printf("mapped address  %s\n", KZStunAddressText(mapped, text, sizeof(text)));
        } else {
            printf("mapped address  none (no answer)\n");
        }
        fflush(stdout);
    }

    bool preserves_port = false, hairpin = false;
    const int nat = CKZStunClient::NatType(server, verbose, &preserves_port, &hairpin,
                                           static_cast<uint16_t>(port), iface);
    printf("NAT type        %d %s\n", nat, CKZStunClient::NatTypeName(nat));
    if (nat == KZ_STUN_NAT_FAILURE)
        fprintf(stderr, "kzstun: cannot classify: no local sockets on port %ld and the next one\n", port);
    if (nat >= KZ_STUN_NAT_OPEN && nat != KZ_STUN_NAT_BLOCKED) {
        printf("preserves port  %s\n", yes_no(preserves_port));
        printf("hairpin         %s\n", yes_no(hairpin));
    }
    return nat >= KZ_STUN_NAT_OPEN ? 0 : 1;
}

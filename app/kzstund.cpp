// kzstund: a classic STUN server (CKZStunServer) on a primary and an optional alternate
// address, each answering on ports 3478 and 3479. It runs until SIGINT or SIGTERM, or for a
// given number of seconds.
#include "app/kz_start_failure.h"
#include "host/CKZLogInterface.h"
#include "nat/CKZStunServer.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>

namespace {

void usage(const char* argv0) {
    fprintf(stderr,
            "usage: %s -h PRIMARY [-a ALTERNATE] [-p PORT] [-P PORT] [-v] [-t SECONDS]\n"
            "  -h PRIMARY    address answering on ports 3478 and 3479\n"
            "  -a ALTERNATE  second address of this host; without it change-IP requests get no answer\n"
            "  -p PORT       first port instead of 3478 (0: a free port)\n"
            "  -P PORT       second port instead of 3479 (0: a free port)\n"
            "  -v            log every request to standard error\n"
            "  -t SECONDS    stop after SECONDS (default: run until SIGINT or SIGTERM)\n",
            argv0);
}

bool start(CKZStunServer& server, const char* primary, const char* alternate, const long ports[2]) {
    kzapp::FirstLoggedError first_error;
    if (server.Start(primary, alternate, static_cast<uint16_t>(ports[0]), static_cast<uint16_t>(ports[1])))
        return true;
    const std::string where =
        std::string("cannot serve on ") + primary + (alternate ? " and " : "") + (alternate ? alternate : "");
    kzapp::report_cannot_start("kzstund", kzapp::first_of(first_error.Text(), where));
    return false;
}

} // namespace

int main(int argc, char** argv) {
    const char* primary = nullptr;
    const char* alternate = nullptr;
    long seconds = 0;
    bool verbose = false;
    long ports[2] = {KZ_STUN_DEFAULT_PORT, KZ_STUN_ALTERNATE_PORT};
    for (int i = 1; i < argc; ++i) {
        const bool has_value = i + 1 < argc;
        if (!strcmp(argv[i], "-h") && has_value) {
            primary = argv[++i];
        } else if (!strcmp(argv[i], "-a") && has_value) {
            alternate = argv[++i];
        } else if (!strcmp(argv[i], "-t") && has_value) {
            seconds = strtol(argv[++i], nullptr, 10);
            if (seconds <= 0) {
                usage(argv[0]);
                return 2;
            }
        } else if ((!strcmp(argv[i], "-p") || !strcmp(argv[i], "-P")) && has_value) {
            long& port = ports[argv[i][1] == 'P'];
            port = strtol(argv[++i], nullptr, 10);
            if (port < 0 || port > 65535) {
                usage(argv[0]);
                return 2;
            }
        } else if (!strcmp(argv[i], "-v")) {
            verbose = true;
        } else {
            usage(argv[0]);
            return 2;
        }
    }
    if (!primary) {
        usage(argv[0]);
        return 2;
    }
    KZAPI::CKZLogInterface::SetMaxLevel(verbose ? KZAPI::CKZLogInterface::LOG_TRACE
                                                : KZAPI::CKZLogInterface::LOG_ERROR);

    // The signals are taken here with sigtimedwait; the server thread inherits the blocked mask.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    CKZStunServer server;
    if (!start(server, primary, alternate, ports)) return 1;
    printf("kzstund ready:");
    for (int i = 0; i < (server.HasAlternateAddress() ? CKZStunServer::SOCK_COUNT : 2); ++i) {
        char text[KZ_STUN_ADDRESS_TEXT_SIZE];
        printf(" %s", KZStunAddressText(server.GetSocketAddress(i), text, sizeof(text)));
    }
    printf("\n");
    fflush(stdout);

    timespec wait{};
    wait.tv_sec = seconds > 0 ? seconds : 3600;
    for (;;) {
        if (sigtimedwait(&stop_signals, nullptr, &wait) > 0) break; // a stop signal
        if (errno == EINTR) continue;
        if (seconds > 0) break; // the run time is over
    }
    server.Stop();
    printf("kzstund stopped\n");
    return 0;
}

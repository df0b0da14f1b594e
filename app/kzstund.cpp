// kzstund: a classic STUN server (CKZStunServer) on a primary and an optional alternate
// address, each answering on ports 3478 and 3479. It runs until SIGINT or SIGTERM, or for a
// given number of seconds.
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
            "usage: %s -h PRIMARY [-a ALTERNATE] [-v] [-t SECONDS]\n"
            "  -h PRIMARY    address answering on ports 3478 and 3479\n"
            "  -a ALTERNATE  second address of this host; without it change-IP requests get no answer\n"
            "  -v            log every request to standard error\n"
            "  -t SECONDS    stop after SECONDS (default: run until SIGINT or SIGTERM)\n",
            argv0);
}

} // namespace

int main(int argc, char** argv) {
    const char* primary = nullptr;
    const char* alternate = nullptr;
    long seconds = 0;
    bool verbose = false;
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
    if (!server.Start(primary, alternate)) {
        fprintf(stderr, "kzstund: cannot serve on %s%s%s (see the log above)\n", primary,
                alternate ? " and " : "", alternate ? alternate : "");
        return 1;
    }
    printf("kzstund ready: %s:3478 %s:3479", primary, primary);
    if (alternate) printf(" %s:3478 %s:3479", alternate, alternate);
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

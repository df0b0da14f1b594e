// kzhost: the host program. It loads the SIP module (libkzsipapi.so) with dlopen, takes the
// module's class factory, reads a "key = value" configuration, creates and starts the server and
// runs it with "kzhost.channels" SIP channels (32 by default) until SIGINT or SIGTERM, then stops
// and destroys it.
//
//   kzhost [--config FILE] [--set key=value]... [--log-level 1|2|4] [--module PATH]
//          [--answer-after SECONDS] [--hangup-after SECONDS] [--sound DEVICE]
//
// Without --config every setting has its default: a SIP server on port 5060 over UDP. Offered
// calls ring and wait for the application, which drives them through the control socket
// (docs/control-socket.md); --answer-after and --hangup-after let kzhost answer and end them
// itself. --sound names the local sound device (a sound card's name, "null" or "wav:PATH"; the
// key "kzsrv.sip.dxsound.device") and opens it at start; calls go on it with sound-open. Every
// call event is printed as one line.
#include "app/KZCallEvents.h"
#include "app/KZControlHost.h"
#include "app/KZHostChannels.h"
#include "app/kz_start_failure.h"
#include "host/CKZCallControl.h"
#include "host/CKZCfgInterface.h"
#include "host/CKZClassEnv.h"
#include "host/CKZLogInterface.h"
#include "host/CKZServer.h"
#include "host/KZStrFunc.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <unistd.h>
#include <vector>

using KZAPI::CKZCfgInterface;

namespace {

constexpr unsigned kServerClass = 1;
using AllocFn = void* (*)(unsigned);
using FreeFn = void (*)(unsigned, void*);

struct Options {
    std::string config;
    std::vector<std::string> overrides;
    unsigned log_level = 2;
    std::string module;
    kzapp::KZCallPolicy calls;
    std::string sound;
};

void usage() {
    std::fprintf(stderr,
                 "usage: kzhost [--config FILE] [--set key=value]... [--log-level 1|2|4] [--module PATH]\n"
                 "              [--answer-after SECONDS] [--hangup-after SECONDS] [--sound DEVICE]\n");
}

// A whole number of seconds, or -1 when the text is not one.
int seconds(const char* text) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && value >= 0 && value <= 86400 ? static_cast<int>(value) : -1;
}

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--config" && has_value)
            o.config = argv[++i];
        else if (a == "--set" && has_value)
            o.overrides.emplace_back(argv[++i]);
        else if (a == "--log-level" && has_value)
            o.log_level = static_cast<unsigned>(std::atoi(argv[++i]));
        else if (a == "--module" && has_value)
            o.module = argv[++i];
        else if (a == "--sound" && has_value)
            o.sound = argv[++i];
        else if (a == "--answer-after" && has_value)
            o.calls.answer_after = seconds(argv[++i]);
        else if (a == "--hangup-after" && has_value)
            o.calls.hangup_after = seconds(argv[++i]);
        else
            return false;
        if ((o.calls.answer_after && *o.calls.answer_after < 0) ||
            (o.calls.hangup_after && *o.calls.hangup_after < 0))
            return false;
    }
    return true;
}

std::string executable_dir() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) return "";
    path[n] = '\0';
    std::string s(path);
    return s.substr(0, s.rfind('/') + 1);
}

// The module named on the command line, else the one built next to this program's directory, else
// whatever the library path finds.
void* load_module(const std::string& explicit_path) {
    if (!explicit_path.empty()) return dlopen(explicit_path.c_str(), RTLD_NOW);
    const std::string dir = executable_dir();
    for (const std::string& candidate : {dir + "../libkzsipapi.so", dir + "libkzsipapi.so"})
        if (access(candidate.c_str(), R_OK) == 0) return dlopen(candidate.c_str(), RTLD_NOW);
    return dlopen("libkzsipapi.so", RTLD_NOW);
}

bool apply_configuration(const Options& o) {
    if (!o.config.empty() && CKZCfgInterface::CFG_LoadFile(o.config) < 0) {
        std::fprintf(stderr, "kzhost: cannot read %s\n", o.config.c_str());
        return false;
    }
    for (const std::string& kv : o.overrides) {
        const size_t eq = kv.find('=');
        if (eq == std::string::npos || eq == 0) {
            std::fprintf(stderr, "kzhost: --set needs key=value, got %s\n", kv.c_str());
            return false;
        }
        CKZCfgInterface::CFG_SetValue(kv.substr(0, eq).c_str(), kv.substr(eq + 1).c_str());
    }
    if (!o.sound.empty()) CKZCfgInterface::CFG_SetValue("kzsrv.sip.dxsound.device", o.sound.c_str());
    return true;
}

// Why the server did not start, as truthfully as this program can tell.
std::string start_failure_reason(const std::string& first_error) {
    const std::string address(
        KZAPI::trim_spaces(CKZCfgInterface::CFG_GetValue("kzsrv.sip.ip.address", "").c_str()));
    const int port = CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.ip.port", 5060);
    const int mask = CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.protocol", 1);
    return kzapp::first_of(kzapp::busy_sip_port(address, port, mask),
                           kzapp::first_of(first_error, "the server did not start (see the log above)"));
}

bool create_and_start(KZAPI::CKZServer& server) {
    kzapp::FirstLoggedError first_error;
    if (server.Create() && server.Start()) return true;
    kzapp::report_cannot_start("kzhost", start_failure_reason(first_error.Text()));
    return false;
}

kzapp::KZStackStatsReader stack_stats_reader(void* module) {
    return reinterpret_cast<kzapp::KZStackStatsReader>(dlsym(module, "KZAPI_Server_GetStackStats"));
}

bool start_control(kzapp::KZHostControl& control) {
    const std::string why = control.Start();
    if (why.empty()) return true;
    kzapp::report_cannot_start("kzhost", why);
    return false;
}

void print_control(kzapp::KZHostControl& control) {
    const kzapp::KZControlServer* socket = control.Socket();
    if (!socket) return;
    std::printf("kzhost: control socket on %s:%u\n", socket->Address().c_str(),
                static_cast<unsigned>(socket->Port()));
    std::fflush(stdout);
}

void print_listening() {
    const std::string address = CKZCfgInterface::CFG_GetValue("kzsrv.sip.ip.address", "").c_str();
    const int port = CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.ip.port", 5060);
    const int mask = CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.protocol", 1);
    const char* mode = CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.server.model", 1) ? "server" : "client";
    const std::string shown = address.empty() ? "0.0.0.0" : address;
    std::string transports;
    if (mask & 1) transports += " UDP " + shown + ":" + std::to_string(port);
    if (mask & 2) transports += " TCP " + shown + ":" + std::to_string(port);
    if (mask & 4) transports += " TLS " + shown + ":" + std::to_string(port + 1);
    std::printf("kzhost: SIP %s listening on%s (pid %d); stop with Ctrl-C\n", mode, transports.c_str(),
                static_cast<int>(getpid()));
    std::fflush(stdout);
}

void print_line(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

bool start_channels(kzapp::KZHostChannels& channels) {
    const int count =
        CKZCfgInterface::CFG_GetIntValue("kzhost.channels", kzapp::KZHostChannels::kDefaultCount);
    const std::string why = channels.Start(count);
    if (!why.empty()) {
        kzapp::report_cannot_start("kzhost", why);
        return false;
    }
    print_line("kzhost: " + std::to_string(channels.Count()) + " SIP channels");
    return true;
}

int wait_for_stop_signal(const sigset_t& signals) {
    int signal = 0;
    sigwait(&signals, &signal);
    return signal;
}

// Runs the host's channels with their call events until a stop signal; false when they cannot
// start.
bool run_calls(KZAPI::CKZServer& server, kzapp::KZHostControl& control, const Options& o,
               const sigset_t& signals) {
    kzapp::KZCallEvents events({[&control](const kzapp::KZJson& event) { control.Publish(event); },
                                [](const std::string& line) { std::printf("%s\n", line.c_str()); },
                                [] { std::fflush(stdout); }},
                               o.calls);
    events.Start();
    // The sinks are in place before any channel starts, and gone before the events are.
    KZAPI::CKZCallControl::SetEventSink(&events);
    KZAPI::CKZMediaEventSink::SetMediaEventSink(&events);
    control.SetMediaWatch(&events);
    control.SetTransferWatch(&events);
    kzapp::KZHostChannels channels(server);
    bool started = start_channels(channels);
    // The sound device asked for opens at start, so that a bad device shows at once.
    if (started && !o.sound.empty()) {
        started = server.GetDXSound(true) != nullptr;
        if (started)
            print_line("kzhost: sound device " + o.sound);
        else
            kzapp::report_cannot_start("kzhost", "the sound device " + o.sound + " cannot be opened");
    }
    if (started) {
        print_listening();
        print_control(control);
        const int signal = wait_for_stop_signal(signals);
        std::printf("kzhost: %s received, stopping\n", signal == SIGINT ? "SIGINT" : "SIGTERM");
        std::fflush(stdout);
    }
    channels.Stop();
    control.SetMediaWatch(nullptr);
    control.SetTransferWatch(nullptr);
    KZAPI::CKZMediaEventSink::SetMediaEventSink(nullptr);
    KZAPI::CKZCallControl::SetEventSink(nullptr);
    events.Stop();
    return started;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        usage();
        return 2;
    }
    KZAPI::CKZLogInterface::SetMaxLevel(o.log_level);
    // SIP message traces (category 2048) belong to a trace-level log only.
    if (o.log_level < KZAPI::CKZLogInterface::LOG_TRACE)
        KZAPI::CKZLogInterface::SetMutedCategories(KZAPI::CKZLogInterface::CATEGORY_SIP);
    if (!apply_configuration(o)) return 2;

    // Every thread the module starts inherits this mask, so only sigwait below sees the signals.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    void* module = load_module(o.module);
    if (!module) {
        std::fprintf(stderr, "kzhost: cannot load the module: %s\n", dlerror());
        return 1;
    }
    auto alloc = reinterpret_cast<AllocFn>(dlsym(module, "KZAPI_Alloc_Class_PRC"));
    auto free_fn = reinterpret_cast<FreeFn>(dlsym(module, "KZAPI_Free_Class_PRC"));
    if (!alloc || !free_fn) {
        std::fprintf(stderr, "kzhost: the module has no class factory\n");
        dlclose(module);
        return 1;
    }
    KZAPI::AfxGetClassEnv()->SetEntry("allocate", reinterpret_cast<void*>(alloc));
    KZAPI::AfxGetClassEnv()->SetEntry("free", reinterpret_cast<void*>(free_fn));

    auto* server = static_cast<KZAPI::CKZServer*>(alloc(kServerClass));
    if (!server) {
        std::fprintf(stderr, "kzhost: the module made no server\n");
        dlclose(module);
        return 1;
    }
    int status = 0;
    if (!create_and_start(*server)) {
        status = 1;
    } else {
        kzapp::KZHostControl control(*server, stack_stats_reader(module));
        if (!start_control(control) || !run_calls(*server, control, o, signals)) status = 1;
        control.Stop();
        server->Stop();
    }
    server->Destroy();
    free_fn(kServerClass, server);
    KZAPI::AfxGetClassEnv()->SetEntry("allocate", nullptr);
    KZAPI::AfxGetClassEnv()->SetEntry("free", nullptr);
    // The module stays loaded until the process ends: unloading it would also unload the codec
    // libraries it pulled in, whose own start-up state then looks leaked to a leak checker.
    (void)module;
    return status;
}

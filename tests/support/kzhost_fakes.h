// kzhost's side of a call without the module: a call control that writes down what the host asks
// of it, a channel carrying it, the event agent without its thread on a manual clock, and the
// command lines run as an authenticated client.
#pragma once

#include "app/KZCallEvents.h"
#include "app/KZControlCommands.h"
#include "host/CKZCallControl.h"
#include "host/CKZChannel.h"
#include "host/CKZClock.h"
#include "support/command_table.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace kztest {

// Its calls go out in PCMA; `refuse` makes hold, transfer and redirection say no.
class FakeCall final : public KZAPI::CKZCallControl {
public:
    std::atomic<int> answered{0}, hung_up{0};
    std::atomic<std::thread::id> answered_on{};
    std::string asked; // the last thing asked of the call, with its arguments
    bool refuse = false;
    std::string contact;

    unsigned AnswerCall() override {
        answered_on = std::this_thread::get_id();
        ++answered;
        return Note("answer");
    }
    unsigned RingCall() override { return Note("ring"); }
    unsigned DisconnectCall() override {
        ++hung_up;
        return Note("hangup");
    }
    unsigned SetupCallEx(const char* from, const char* to, const char*, const char*, const char* user,
                         const char* password, const char*, uint16_t, int protocol, int) override {
        return Note("dial " + std::string(from) + " " + to + " " + user + ":" + password + " " +
                    std::to_string(protocol));
    }
    int GetCurrentAudioCodec() override { return 8; }
    unsigned Hold() override { return Note("hold"); }
    unsigned TransferTo(const char* target, int dest_channel) override {
        return Note("transfer " + std::string(target) + " " + std::to_string(dest_channel));
    }
    unsigned RedirectTo(const char* target, const char* code, const char* text) override {
        return Note("redirect " + std::string(target) + " " + code + " " + text);
    }
    const char* GetPeerSIPContactAddress() override { return contact.c_str(); }

    // As the module reports them: under the call's lock.
    void Become(int status) {
        KZAPI::CMutexLock lock(GetCallMutex());
        SetStatus(status);
    }
    void Holding(bool held, bool by_remote) {
        KZAPI::CMutexLock lock(GetCallMutex());
        ReportHolding(held, by_remote);
    }
    void TransferReport(int code, const char* text) {
        KZAPI::CMutexLock lock(GetCallMutex());
        ReportTransferProgress(code, text);
    }

private:
    unsigned Note(const std::string& what) {
        asked = what;
        return refuse ? 0 : 1;
    }
};

struct FakeChannel {
    explicit FakeChannel(int number) : channel(number, KZAPI::CKZCallControl::KIND_SIP) {
        channel.SetCallControl(&call);
        call.SetChannel(&channel);
    }
    ~FakeChannel() { channel.SetCallControl(nullptr); }
    KZAPI::CKZChannel channel;
    FakeCall call;
};

// The agent without its thread, on the manual clock, collecting what it prints and publishes.
struct Agent {
    explicit Agent(kzapp::KZCallPolicy policy = {})
        : events({[this](const kzapp::KZJson& e) { published.push_back(e); },
                  [this](const std::string& l) { lines.push_back(l); }},
                 policy, clock) {
        KZAPI::CKZCallControl::SetEventSink(&events);
    }
    ~Agent() { KZAPI::CKZCallControl::SetEventSink(nullptr); }
    void After(int seconds) {
        clock.Advance(seconds);
        events.RunOnce();
    }
    void Clear() {
        published.clear();
        lines.clear();
    }
    KZAPI::CKZManualClock clock;
    std::vector<kzapp::KZJson> published;
    std::vector<std::string> lines;
    kzapp::KZCallEvents events;
};

} // namespace kztest

// The inbound call: the offered INVITE, account matching, Replaces, and the provisional and
// final answers the host asks for.
#include "callcontrol/CKZSIPAPICC.h"

unsigned CKZSIPAPICC::OnOffered(void*, void*) {
    return 0;
}

unsigned CKZSIPAPICC::OnSetup() {
    return 0;
}

unsigned CKZSIPAPICC::AcceptCall() {
    return 0;
}

unsigned CKZSIPAPICC::RingCall() {
    return 0;
}

unsigned CKZSIPAPICC::SessionProgressCall(const char*) {
    return 0;
}

unsigned CKZSIPAPICC::SessionProgressCall(void*) {
    return 0;
}

unsigned CKZSIPAPICC::AnswerCall() {
    return 0;
}

unsigned CKZSIPAPICC::OnConnAck() {
    return 0;
}

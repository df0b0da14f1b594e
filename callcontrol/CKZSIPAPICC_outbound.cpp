// The outbound call: placing the INVITE and following its provisional and final responses.
#include "callcontrol/CKZSIPAPICC.h"

unsigned CKZSIPAPICC::SetupCall(const char*, const char*) {
    return 0;
}

unsigned CKZSIPAPICC::SetupCallEx(const char*, const char*, const char*, const char*, const char*,
                                  const char*, const char*, uint16_t, int, int) {
    return 0;
}

unsigned CKZSIPAPICC::MakeSIPCall(const char*, const char*, uint16_t, const char*, const char*, uint16_t) {
    return 0;
}

unsigned CKZSIPAPICC::MakeSIPCallEx(const char*, const char*, const char*, const char*, const char*,
                                    const char*, const char*, uint16_t) {
    return 0;
}

unsigned CKZSIPAPICC::OnTrying() {
    return 0;
}

unsigned CKZSIPAPICC::OnRinging() {
    return 0;
}

unsigned CKZSIPAPICC::OnSessionProgress() {
    return 0;
}

unsigned CKZSIPAPICC::OnConnect() {
    return 0;
}

unsigned CKZSIPAPICC::SendConnAck() {
    return 0;
}

unsigned CKZSIPAPICC::SendSIPAck() {
    return 1;
}

unsigned CKZSIPAPICC::SendSIPPrack() {
    return 0;
}

bool CKZSIPAPICC::IsOKWithSDPForInvite() {
    return false;
}

unsigned CKZSIPAPICC::On3xxResponse(CKZSIPGroup*, const KZSIPEvent*) {
    return 0;
}

void CKZSIPAPICC::SendKeepAliveMsgForOutboundCall() {}

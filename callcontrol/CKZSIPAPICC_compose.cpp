// Composition of the call's requests and responses: addresses, contacts, routes, SDP and
// digest credentials.
#include "callcontrol/CKZSIPAPICC.h"

int CKZSIPAPICC::SendSIPRequestMsg(const char*, const char*, const char*, const char*, const char*, unsigned,
                                   int, const char*, uint16_t) {
    return 1;
}

int CKZSIPAPICC::SendSIPRequestMsgEx(const char*, const char*, const char*, const char*, const char*,
                                     unsigned, int) {
    return 1;
}

int CKZSIPAPICC::SendSIPResponseMsg(sip_msg*, int, const char*, const char*, const char*, const char*,
                                    const char*, const char*, unsigned, int) {
    return 1;
}

void CKZSIPAPICC::BuildLocalContactID(const kz_sip_user_reg_profile*, CKZSIPGroup*, const char*,
                                      const char*) {}

unsigned CKZSIPAPICC::DynamicallyDecideSDPAndViaAddrForRequest(CKZSIPGroup*, CKZSIPGroup::SDP_AND_VIA_ADDR&,
                                                               const char*, const char*, const char*,
                                                               const kz_sip_user_reg_profile*) {
    return 0;
}

void CKZSIPAPICC::SmartlyDecideRemoteContactID(const char*) {}

int CKZSIPAPICC::BuildSIPRequestURI(const char*, char* uri, size_t size) {
    if (size) uri[0] = 0;
    return -1;
}

void CKZSIPAPICC::BuildSIPFromAndToStr(char* from, size_t, char* to, size_t) {
    from[0] = to[0] = 0;
}

void CKZSIPAPICC::BuildRouteInfoFromRequest(int, const char*, uint16_t) {}

void CKZSIPAPICC::GetSIPPeerIPAddressAndPort(char* address, size_t, uint16_t& port) {
    address[0] = 0;
    port = 0;
}

unsigned CKZSIPAPICC::SetSIPAndRTPAddr(const char*, const char*) {
    return 0;
}

void CKZSIPAPICC::SaveCreditChallengeInfo(CKZSIPGroup*, kz_sip_user_reg_profile*) {}

uint32_t CKZSIPAPICC::AddCreditIntoRequest(CKZSIPGroup*, sip_msg*, const char*, const char*) {
    return 0;
}

unsigned CKZSIPAPICC::ResentByeWithCredit(CKZSIPGroup*) {
    return 0;
}

unsigned CKZSIPAPICC::ResentInviteWithCredit() {
    return 0;
}

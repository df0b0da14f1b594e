// Inside an established call: re-INVITEs from the remote, hold, transfer and redirection.
#include "callcontrol/CKZSIPAPICC.h"

unsigned CKZSIPAPICC::OnReInvite(CKZSIPGroup*) {
    return 0;
}

unsigned CKZSIPAPICC::OnSDPChangeOK(CKZSIPGroup*) {
    return 0;
}

unsigned CKZSIPAPICC::OnSDPChangeAck(CKZSIPGroup*) {
    return 0;
}

unsigned CKZSIPAPICC::OnInfo(CKZSIPGroup*) {
    return 0;
}

unsigned CKZSIPAPICC::OnRefer(CKZSIPGroup*) {
    return 0;
}

unsigned CKZSIPAPICC::OnReferNotify(CKZSIPGroup*) {
    return 0;
}

unsigned CKZSIPAPICC::DoTransfer() {
    return 0;
}

unsigned CKZSIPAPICC::DoTransfer2(CKZSIPGroup*, int) {
    return 0;
}

unsigned CKZSIPAPICC::SendSIPRefer(CKZSIPGroup*, const char*, int) {
    return 0;
}

unsigned CKZSIPAPICC::SendSIPTransferNotify(CKZSIPGroup*, const char*, const char*, const char*, const char*,
                                            const char*) {
    return 0;
}

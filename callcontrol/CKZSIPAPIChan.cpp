#include "callcontrol/CKZSIPAPIChan.h"

#include "callcontrol/CKZSIPAPICC.h"
#include "host/CKZCfgInterface.h"
#include "host/CKZLogInterface.h"

#include <iterator>

using KZAPI::CKZCfgInterface;
using KZAPI::CKZLogInterface;

namespace {

// Host audio direction (the index) and the call's forced RTP direction it stands for.
constexpr int kForcedDirByHostDir[] = {CKZSIPAPICC::RTP_NO_MEDIA, CKZSIPAPICC::RTP_SENDONLY,
                                       CKZSIPAPICC::RTP_RECVONLY, CKZSIPAPICC::RTP_SENDRECV};
constexpr int kHostDirNone = 0;

} // namespace

unsigned CKZSIPAPIChan::Create() {
    if (GetCallControl()) return 1; // created already
    KZAPI::CKZCallControl* cc = AllocCallControl();
    if (!cc) return 0;
    SetCallControl(cc);
    cc->SetChannel(this);
    ApplyConfiguredSwitches(*cc);
    SetCallMediaApp(dynamic_cast<CKZSIPAPICC*>(cc));
    AllocMediaControls();
    return 1;
}

void CKZSIPAPIChan::ApplyConfiguredSwitches(KZAPI::CKZCallControl& cc) {
    cc.SetAutoAccept(CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.callcontrol.auto.acceptcall", 1));
    cc.SetAutoRing(CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.callcontrol.auto.ringcall", 1));
    cc.SetAutoAnswer(CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.callcontrol.auto.answercall", 0));
    cc.SetAutoTransfer(CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.callcontrol.auto.transfercall", 1));
}

void CKZSIPAPIChan::AllocMediaControls() {
    SetDTMFControl(AllocDTMFControl());
    SetAudioControl(AllocAudioControl());
    SetToneControl(AllocToneControl());
    for (KZAPI::CKZAppControl* control : {static_cast<KZAPI::CKZAppControl*>(GetDTMFControl()),
                                          static_cast<KZAPI::CKZAppControl*>(GetAudioControl()),
                                          static_cast<KZAPI::CKZAppControl*>(GetToneControl())})
        if (control) control->SetChannel(this);
}

unsigned CKZSIPAPIChan::Destroy() {
    SetCallMediaApp(nullptr);
    FreeCallControl();
    FreeAudioControl();
    FreeDTMFControl();
    FreeToneControl();
    return 1;
}

CKZSIPAPICC* CKZSIPAPIChan::GetSIPCallControl() const {
    return dynamic_cast<CKZSIPAPICC*>(GetCallControl());
}

int CKZSIPAPIChan::GetAudioDir() {
    CKZSIPAPICC* cc = GetSIPCallControl();
    if (!cc) return kHostDirNone;
    KZAPI::CMutexLock lock(cc->GetCallMutex());
    const int forced = cc->GetRTPForceDir();
    for (int host = 0; host < static_cast<int>(std::size(kForcedDirByHostDir)); ++host)
        if (kForcedDirByHostDir[host] == forced) return host;
    return kHostDirNone; // not forced
}

int CKZSIPAPIChan::SetAudioDir(int direction) {
    CKZLogInterface::Log(CKZLogInterface::LOG_TRACE, "CKZSIPAPIChan::SetAudioDir %d", direction);
    CKZSIPAPICC* cc = GetSIPCallControl();
    if (!cc || direction < 0 || direction >= static_cast<int>(std::size(kForcedDirByHostDir)))
        return kConnectFailed;
    KZAPI::CMutexLock lock(cc->GetCallMutex());
    cc->SetRTPForceDir(kForcedDirByHostDir[direction]);
    return 0;
}

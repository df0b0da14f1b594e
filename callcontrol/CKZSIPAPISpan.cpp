#include "callcontrol/CKZSIPAPISpan.h"

#include "host/CKZCfgInterface.h"
#include "host/CKZChannel.h"

CKZSIPAPISpan::~CKZSIPAPISpan() {
    Stop();
}

int CKZSIPAPISpan::GetNumOfChannels() {
    return KZAPI::CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.channum.per.span", kDefaultChannelsPerSpan);
}

bool CKZSIPAPISpan::DoUnblockedLoop() {
    for (KZAPI::CKZChannel* channel : ChannelsForTurn())
        if (KZAPI::CKZDSPApp* call_media = channel->GetCallMediaApp())
            call_media->GetAppTimer().CheckEveryTimer();
    return true;
}

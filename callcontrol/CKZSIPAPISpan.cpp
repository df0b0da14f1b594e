#include "callcontrol/CKZSIPAPISpan.h"

#include "host/CKZCfgInterface.h"
#include "host/CKZChannel.h"
#include "host/CKZDSPApp.h"
#include "host/CKZDTMFControl.h"

CKZSIPAPISpan::~CKZSIPAPISpan() {
    Stop();
}

int CKZSIPAPISpan::GetNumOfChannels() {
    return KZAPI::CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.channum.per.span", kDefaultChannelsPerSpan);
}

bool CKZSIPAPISpan::DoUnblockedLoop() {
    if (KZAPI::CTimer::RunningCount() == 0) return true;
    for (KZAPI::CKZChannel* channel : ChannelsForTurn()) {
        // The DTMF application sends digits forwarded as INFO from here, off the media tick.
        for (KZAPI::CKZDSPApp* app : {channel->GetCallMediaApp(), channel->GetDTMFApp()}) {
            if (!app) continue;
            app->GetAppTimer().CheckEveryTimer();
            app->GetAppTimer().NoteForTurns();
        }
    }
    return true;
}

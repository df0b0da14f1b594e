// CKZSIPAPISpan: the module's SIP span. Its timer turn checks the application timer of every
// channel's call control; the turn runs on the host's shared tick thread while the span is
// started.
#pragma once

#include "host/CKZSpan.h"

class CKZSIPAPISpan : public KZAPI::CKZSIPSpan {
public:
    static constexpr int kDefaultChannelsPerSpan = 2;

    CKZSIPAPISpan() = default;
    ~CKZSIPAPISpan() override;

    // "kzsrv.sip.channum.per.span".
    int GetNumOfChannels() override;
    bool DoUnblockedLoop() override;
};

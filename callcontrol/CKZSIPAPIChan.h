// CKZSIPAPIChan: the module's SIP channel. It owns the channel's call control (and, with the
// media applications, its audio, DTMF and tone controls) and maps the host's audio direction
// onto the call's forced RTP direction.
#pragma once

#include "host/CKZSIPChannel.h"

class CKZSIPAPICC;

class CKZSIPAPIChan : public KZAPI::CKZSIPChannel {
public:
    CKZSIPAPIChan() = default;
    ~CKZSIPAPIChan() override = default;

    unsigned Create() override;
    unsigned Destroy() override;

    // Host direction 0 none, 1 send only, 2 receive only, 3 both; other values change nothing.
    int GetAudioDir() override;
    int SetAudioDir(int direction) override;

    CKZSIPAPICC* GetSIPCallControl() const;

private:
    void ApplyConfiguredSwitches(KZAPI::CKZCallControl& cc);
    void AllocMediaControls();
};

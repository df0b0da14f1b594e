// CKZSIPChannel: the host's SIP channel. Its call control comes from the loaded module's class
// environment (class 261) and goes back there.
#pragma once

#include "host/CKZChannel.h"

namespace KZAPI {

class CKZSIPChannel : public CKZChannel {
public:
    static constexpr unsigned kCallControlClass = 261;

    explicit CKZSIPChannel(int number = 0) : CKZChannel(number, CKZCallControl::KIND_SIP) {}
    bool IsSIP() const override { return true; }

protected:
    CKZCallControl* AllocCallControl() override;
    void FreeCallControl() override;
};

} // namespace KZAPI

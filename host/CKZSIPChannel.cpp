#include "host/CKZSIPChannel.h"

#include "host/CKZClassEnv.h"

namespace KZAPI {

CKZCallControl* CKZSIPChannel::AllocCallControl() {
    // The environment hands out call controls as their host base.
    return static_cast<CKZCallControl*>(AfxGetClassEnv()->Allocate(kCallControlClass));
}

void CKZSIPChannel::FreeCallControl() {
    if (CKZCallControl* cc = GetCallControl()) AfxGetClassEnv()->Free(kCallControlClass, cc);
    SetCallControl(nullptr);
}

} // namespace KZAPI

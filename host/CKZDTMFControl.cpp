#include "host/CKZDTMFControl.h"

namespace KZAPI {

unsigned CKZDTMFControl::StartDTMFDetection(int, const char*, unsigned) {
    return 0;
}
unsigned CKZDTMFControl::StopDTMFDetection() {
    return 0;
}
bool CKZDTMFControl::IsCollecting() const {
    return false;
}
void CKZDTMFControl::StartDTMFTimer(unsigned) {}
void CKZDTMFControl::StopDTMFTimer() {}
void CKZDTMFControl::OnDTMFTimerExpired() {}
void CKZDTMFControl::CheckDTMFTimer() {}
void CKZDTMFControl::On_DTMF_Key_Down(char, uint64_t) {}
void CKZDTMFControl::On_DTMF_Key_Up(char, uint64_t) {}
void CKZDTMFControl::On_DTMF_Done(int, const char*) {}
int CKZDTMFControl::ChannelNumber() const {
    return -1;
}
bool CKZDTMFControl::FinishCollection(char (&)[kMaxCollectedDigits + 1]) {
    return false;
}

} // namespace KZAPI

#include "callcontrol/CKZSIPDTMFControl.h"

#include "callcontrol/CKZSIPAPICC.h"

CKZSIPDTMFControl::~CKZSIPDTMFControl() {
    KZAPI::KZ_DTMF_Destroy(m_detector);
}
int CKZSIPDTMFControl::GetDTMFType() const {
    return 3;
}
unsigned CKZSIPDTMFControl::PlayDTMFString(const char*) {
    return 0;
}
void CKZSIPDTMFControl::On_DTMF_Key_Down(char key, uint64_t tick) {
    CKZDTMFControl::On_DTMF_Key_Down(key, tick);
}
void CKZSIPDTMFControl::On_DTMF_Key_Up(char key, uint64_t tick) {
    CKZDTMFControl::On_DTMF_Key_Up(key, tick);
}
void CKZSIPDTMFControl::On_DTMF_Done(int result, const char* digits) {
    CKZDTMFControl::On_DTMF_Done(result, digits);
}
unsigned CKZSIPDTMFControl::EnableDTMFDetection() {
    return 0;
}
unsigned CKZSIPDTMFControl::DisableDTMFDetection() {
    return 1;
}
void CKZSIPDTMFControl::OnRxSIPInfo(const char*, const char*, uint32_t) {}
void CKZSIPDTMFControl::OnRxRFC2833DTMF(const uint8_t*, int, uint16_t, uint32_t, bool) {}
void CKZSIPDTMFControl::OnRxBufArrived(uint16_t, uint32_t, const uint8_t*, int) {}
void CKZSIPDTMFControl::OnDSPTimer() {
    CheckDTMFTimer();
}
unsigned CKZSIPDTMFControl::PlayDTMFString0(const char*) {
    return 0;
}
unsigned CKZSIPDTMFControl::PlayDTMFString1(const char*) {
    return 0;
}
unsigned CKZSIPDTMFControl::PlayDTMFString2(const char*) {
    return 0;
}
unsigned CKZSIPDTMFControl::PlayDTMFString3(const char*) {
    return 0;
}
CKZSIPAPICC* CKZSIPDTMFControl::CallControl() const {
    return nullptr;
}
bool CKZSIPDTMFControl::ProcessesReceivedDigits() const {
    return false;
}

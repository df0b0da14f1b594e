#include "media/CKZSIPAudioControl.h"

CKZSIPAudioControl::~CKZSIPAudioControl() = default;
unsigned CKZSIPAudioControl::PlayAudio(void*) {
    return 0;
}
unsigned CKZSIPAudioControl::PlayAudio(int, const char*, unsigned) {
    return 0;
}
unsigned CKZSIPAudioControl::PlayAudio(bool, bool) {
    return 0;
}
unsigned CKZSIPAudioControl::RecordAudio(void*) {
    return 0;
}
unsigned CKZSIPAudioControl::RecordAudio(const char*, int, const char*, unsigned, uint32_t) {
    return 0;
}
unsigned CKZSIPAudioControl::RecordAudio(const char*, uint32_t) {
    return 0;
}
unsigned CKZSIPAudioControl::RecordAudio2(const char*, int, const char*, unsigned, uint32_t) {
    return 0;
}
unsigned CKZSIPAudioControl::StopPlaying(const char*) {
    return 0;
}
unsigned CKZSIPAudioControl::StopRecording(const char*) {
    return 0;
}
unsigned CKZSIPAudioControl::PlayRTAudio(void*) {
    return 0;
}
unsigned CKZSIPAudioControl::RecordRTAudio(void*) {
    return 0;
}
void CKZSIPAudioControl::On_DTMF_Done(int, const char*) {}
unsigned CKZSIPAudioControl::ContinuePlayingAudioFile() {
    return 0;
}
void CKZSIPAudioControl::CloseAudioInResFile() {}
void CKZSIPAudioControl::CloseAudioOutResFile() {}
void CKZSIPAudioControl::OnRxBufArrived(uint16_t, uint32_t, const uint8_t*, int) {}
void CKZSIPAudioControl::OnTxBufArrived(uint16_t, uint32_t, const uint8_t*, int) {}
void CKZSIPAudioControl::OnDSPTimer() {}
void CKZSIPAudioControl::OnPlayTimerExpired(void*) {}
void CKZSIPAudioControl::OnRecordTimerExpired(void*) {}

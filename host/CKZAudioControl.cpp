#include "host/CKZAudioControl.h"

namespace KZAPI {

void CKZAudioControl::OnPlayAudioDone(int, const char*) {}
void CKZAudioControl::OnRecordAudioDone(int, const char*) {}
unsigned CKZAudioControl::AddAudioPlayDocument(const char*, uint32_t) {
    return 0;
}
unsigned CKZAudioControl::ClearAudioPlayDocument() {
    return 1;
}
int CKZAudioControl::GetPlayListSize() const {
    return 0;
}
bool CKZAudioControl::GetPlayListEntry(int, KZ_AC_PLAY_ENTRY&) const {
    return false;
}
unsigned CKZAudioControl::StopAudio() {
    return 0;
}
void CKZAudioControl::SetAudioFormat(const KZ_AC_AUDIO_FORMAT& format) {
    m_format = format;
}
KZ_AC_AUDIO_FORMAT CKZAudioControl::GetAudioFormat() const {
    return m_format;
}
int CKZAudioControl::ChannelNumber() const {
    return -1;
}

} // namespace KZAPI

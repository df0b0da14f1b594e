#include "host/CKZToneControl.h"

namespace KZAPI {

CKZToneControl::~CKZToneControl() {
    KZ_TONE_Destroy(m_detector);
}
unsigned CKZToneControl::StartToneDetection() {
    return 0;
}
unsigned CKZToneControl::StopToneDetection() {
    return 1;
}
void CKZToneControl::ProcessToneSamples(const int16_t*, int, int, unsigned) {}
void CKZToneControl::OnToneDetected(int) {}
int CKZToneControl::ParseToneTable(const char*, KZ_TONE_DEF*, int) {
    return 0;
}
const char* CKZToneControl::DefaultToneTable() {
    return "";
}
int CKZToneControl::ChannelNumber() const {
    return -1;
}

} // namespace KZAPI

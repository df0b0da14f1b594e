#include "host/audiotools/KZDTMF.h"

namespace KZAPI {

KZ_DTMF_HANDLE KZ_DTMF_Create(int, int, int) {
    return nullptr;
}
void KZ_DTMF_Destroy(KZ_DTMF_HANDLE) {}
int KZ_DTMF_Gen_String_Tone(KZ_DTMF_HANDLE, uint8_t*, int, const char*, int, int) {
    return 0;
}
int KZ_DTMF_Detect_Single_N_1(KZ_DTMF_HANDLE, const int16_t*, int) {
    return -1;
}
void KZ_DTMF_Reset(KZ_DTMF_HANDLE) {}
int KZ_DTMF_CodeOfChar(char) {
    return -1;
}
char KZ_DTMF_CharOfCode(int) {
    return 0;
}

} // namespace KZAPI

#include "host/audiotools/KZToneDetector.h"

namespace KZAPI {

KZ_TONE_HANDLE KZ_TONE_Create(const KZ_TONE_DEF*, int) {
    return nullptr;
}
void KZ_TONE_Destroy(KZ_TONE_HANDLE) {}
int KZ_TONE_Process(KZ_TONE_HANDLE, const int16_t*, int) {
    return -1;
}
void KZ_TONE_Reset(KZ_TONE_HANDLE) {}

} // namespace KZAPI

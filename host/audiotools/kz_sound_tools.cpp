#include "host/audiotools/KZSoundTools.h"

namespace KZAPI {

int KZ_SND_Mix(int16_t*, const int16_t* const*, int, int) {
    return 0;
}
KZ_AGC4_HANDLE KZ_AGC4_Create(float) {
    return nullptr;
}
void KZ_AGC4_Destroy(KZ_AGC4_HANDLE) {}
void KZ_AGC4_Process(KZ_AGC4_HANDLE, int16_t*, int) {}
KZ_PCM_ANALYZER_HANDLE KZ_PCM_ANALYZER_Create(int) {
    return nullptr;
}
void KZ_PCM_ANALYZER_Destroy(KZ_PCM_ANALYZER_HANDLE) {}
void KZ_PCM_ANALYZER_Feed(KZ_PCM_ANALYZER_HANDLE, const int16_t*, int) {}
KZ_PCM_ANALYSIS KZ_PCM_ANALYZER_Result(KZ_PCM_ANALYZER_HANDLE) {
    return {};
}
void KZ_PCM_ANALYZER_Reset(KZ_PCM_ANALYZER_HANDLE) {}

} // namespace KZAPI

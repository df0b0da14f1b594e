#include "host/KZJitterBuffer.h"

namespace KZAPI {

KZ_JB_HANDLE KZ_JB_Create(const CKZClock*) {
    return nullptr;
}
void KZ_JB_Destroy(KZ_JB_HANDLE) {}
bool KZ_JB_ResetAll(KZ_JB_HANDLE, int, int, int, int, int) {
    return false;
}
bool KZ_JB_AddFrame(KZ_JB_HANDLE, uint16_t, uint32_t, const void*, int) {
    return false;
}
int KZ_JB_GetFrame(KZ_JB_HANDLE, void*, int, int, uint16_t*, uint32_t*, bool*) {
    return 0;
}
void KZ_JB_GetStats(KZ_JB_HANDLE, KZ_JB_STATS* stats) {
    *stats = {};
}

} // namespace KZAPI

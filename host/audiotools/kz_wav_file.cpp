#include "host/audiotools/KZWavFile.h"

namespace KZAPI {

KZ_WAV_FILE_HANDLE KZ_WAV_FILE_ROpen(const char*, uint32_t*, uint32_t) {
    return nullptr;
}
int KZ_WAV_FILE_Read(KZ_WAV_FILE_HANDLE, uint8_t*, int) {
    return 0;
}
KZ_WAV_FILE_HANDLE KZ_WAV_FILE_Open(const char*, int, bool, uint32_t) {
    return nullptr;
}
int KZ_FILE_Write(KZ_WAV_FILE_HANDLE, const uint8_t*, int) {
    return 0;
}
void KZ_WAV_FILE_Close(KZ_WAV_FILE_HANDLE) {}

} // namespace KZAPI

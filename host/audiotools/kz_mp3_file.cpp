#include "host/audiotools/KZMP3File.h"

namespace KZAPI {

KZ_MP3_FILE_HANDLE KZ_MP3_FILE_ROpen(const char*) {
    return nullptr;
}
int KZ_MP3_FILE_Read(KZ_MP3_FILE_HANDLE, uint8_t*, int) {
    return 0;
}
KZ_MP3_FILE_HANDLE KZ_MP3_FILE_WOpen(const char*, int, int) {
    return nullptr;
}
int KZ_MP3_FILE_Write(KZ_MP3_FILE_HANDLE, const uint8_t*, int) {
    return 0;
}
void KZ_MP3_FILE_Close(KZ_MP3_FILE_HANDLE) {}

} // namespace KZAPI

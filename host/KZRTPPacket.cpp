#include "host/KZRTPPacket.h"

namespace KZAPI {

bool KZRTPPacket::Parse(const void*, int) {
    return false;
}
int KZRTPPacket::Write(uint8_t*, int, uint8_t, bool, uint16_t, uint32_t, uint32_t, const void*, int) {
    return 0;
}
bool KZ_IsRTCPPacket(const void*, int) {
    return false;
}

} // namespace KZAPI

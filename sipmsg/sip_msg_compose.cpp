// Composer: placeholder until the composer lands.
#include "sipmsg/sip_msg.h"
uint32_t sip_msg::write_into_buf(KZAPI::CString*) {
    return KZ_SIP_FAILURE;
}
void sip_msg::gen_unique_branch(char* buffer, unsigned size) {
    if (size) buffer[0] = 0;
}
void sip_msg::gen_via_branch(int) {}

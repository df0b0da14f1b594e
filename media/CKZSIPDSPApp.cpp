#include "media/CKZSIPDSPApp.h"

int CKZSIPDSPApp::AudioFormatCode2RTPPayload(int, const uint8_t*, int, const KZAPI::StaticPayloadInfo&, void*,
                                             uint8_t*, int) {
    return 0;
}
int CKZSIPDSPApp::RTPPayload2AudioFormatCode(const KZAPI::StaticPayloadInfo&, void*, const uint8_t*, int, int,
                                             uint8_t*, int) {
    return 0;
}
int CKZSIPDSPApp::ConvertAudioFormat(int, const uint8_t*, int, int, void*, uint8_t*, int) {
    return 0;
}
uint8_t CKZSIPDSPApp::SilenceValue(int host_format) {
    return host_format == 3 ? 0xFF : host_format == 4 ? 0xD5 : 0;
}

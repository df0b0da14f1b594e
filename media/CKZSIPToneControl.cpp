#include "media/CKZSIPToneControl.h"

void CKZSIPToneControl::OnRxBufArrived(uint16_t, uint32_t, const uint8_t*, int) {}

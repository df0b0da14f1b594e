// CKZSIPToneControl: the SIP channel's tone-detection application: it hands the channel's
// received audio to the host's tone detector as 16-bit samples at 8 kHz.
#pragma once

#include "host/CKZToneControl.h"
#include "media/CKZSIPDSPApp.h"

class CKZSIPToneControl : public KZAPI::CKZToneControl, public CKZSIPDSPApp {
public:
    void OnRxBufArrived(uint16_t sequence, uint32_t timestamp, const uint8_t* data, int length) override;
};

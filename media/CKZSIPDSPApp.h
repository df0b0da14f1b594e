// CKZSIPDSPApp: the base of the module's media applications. Its two static operations convert
// one frame between the DSP's audio format and the negotiated RTP payload, through the codec
// library and the call's encoder or decoder handle.
#pragma once

#include "host/CKZDSPApp.h"
#include "host/KZRTPPayload.h"

#include <cstdint>

class CKZSIPDSPApp : public KZAPI::CKZDSPApp {
public:
    // Host format -> payload; returns the payload bytes written, 0 when refused.
    static int AudioFormatCode2RTPPayload(int host_format, const uint8_t* input, int input_length,
                                          const KZAPI::StaticPayloadInfo& payload, void* encoder,
                                          uint8_t* output, int capacity);
    // Payload -> host format; returns the bytes written, 0 when refused. A null input conceals
    // one lost frame where the codec can (Opus), else refuses.
    static int RTPPayload2AudioFormatCode(const KZAPI::StaticPayloadInfo& payload, void* decoder,
                                          const uint8_t* input, int input_length, int host_format,
                                          uint8_t* output, int capacity);
    // Converts a frame between host formats (law <-> linear, law <-> law, GSM with a handle);
    // returns the bytes written, 0 when refused.
    static int ConvertAudioFormat(int from_format, const uint8_t* input, int input_length, int to_format,
                                  void* gsm, uint8_t* output, int capacity);
    // The silence byte of a law format (0xFF mu-law, 0xD5 A-law), 0 for linear.
    static uint8_t SilenceValue(int host_format);
};

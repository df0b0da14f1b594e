// The encoder and decoder of a call's negotiated payload, created when its RTP opens and
// destroyed when it closes. G.711 needs no handle; Speex and AMR share one handle both ways.
#pragma once

#include "host/KZRTPPayload.h"

// The settings some codecs take when their handles are made.
struct KZCodecSettings {
    int speex_complexity = 3;
    int speex_quality = 8;
    int amr_mode = 0;
    bool amr_dtx = false;
};

class KZCallCodec {
public:
    KZCallCodec() = default;
    ~KZCallCodec() { Close(); }
    KZCallCodec(const KZCallCodec&) = delete;
    KZCallCodec& operator=(const KZCallCodec&) = delete;

    // Creates the handles of the payload.
    void Open(const KZAPI::StaticPayloadInfo& payload, const KZCodecSettings& settings);
    void Close();

    void* Encoder() const { return m_encoder; }
    void* Decoder() const { return m_decoder; }

private:
    int m_code = -1;
    void* m_encoder = nullptr;
    void* m_decoder = nullptr;
};

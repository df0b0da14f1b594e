// libKZAPIEx.so: the SRTP extension library (RFC 3711 over libsrtp2). The SIP module loads it
// with dlopen and resolves these entry points by name; each takes and returns plain C values.
//
// Keys are the base64 text of an SDP "inline:" parameter: master key followed by master salt,
// optionally followed by "|lifetime" and "|MKI:length" (the lifetime is not enforced).
//
// The encoder builds each RTP header itself: version 2, the payload type and marker given, its
// own sequence number (random start, +1 per packet), its own timestamp (random start, advanced
// by each packet's increment after the packet) and the SSRC given at creation. The module hands
// over payloads only, so the stream's counters live where the keystream is drawn.
//
// Buffers: the caller's error_text holds KZAPIEX_ERROR_TEXT_SIZE bytes; a protect output holds
// the payload length + KZAPIEX_PROTECT_OVERHEAD bytes; an unprotect output holds the packet's
// length. Payloads above KZAPIEX_MAX_PAYLOAD_BYTES and packets above KZAPIEX_MAX_SRTP_BYTES
// are refused.
#pragma once

#include <stdint.h>

#define KZAPIEX_ERROR_TEXT_SIZE 256
#define KZAPIEX_RTP_HEADER_BYTES 12
#define KZAPIEX_MAX_TAG_BYTES 16
#define KZAPIEX_MAX_MKI_BYTES 8
#define KZAPIEX_PROTECT_OVERHEAD (KZAPIEX_RTP_HEADER_BYTES + KZAPIEX_MAX_TAG_BYTES + KZAPIEX_MAX_MKI_BYTES)
#define KZAPIEX_MAX_PAYLOAD_BYTES 1488
#define KZAPIEX_MAX_SRTP_BYTES (KZAPIEX_MAX_PAYLOAD_BYTES + KZAPIEX_PROTECT_OVERHEAD)
#define KZAPIEX_MIN_RTCP_BYTES 8
#define KZAPIEX_MAX_RTCP_BYTES KZAPIEX_MAX_PAYLOAD_BYTES
// SRTCP adds the E flag with the 31-bit index, the tag and the MKI.
#define KZAPIEX_SRTCP_OVERHEAD (4 + KZAPIEX_MAX_TAG_BYTES + KZAPIEX_MAX_MKI_BYTES)

// Error codes written to the creation functions' error out parameter (0 = none).
enum KZAPIExError {
    KZAPIEX_OK = 0,
    KZAPIEX_ERR_NOT_STARTED = 1,   // KZAPI_MyFun0 was not called
    KZAPIEX_ERR_UNKNOWN_SUITE = 2, // the suite is not one of the eight supported
    KZAPIEX_ERR_BAD_KEY = 3,       // missing, not base64, too short, or a bad MKI part
    KZAPIEX_ERR_SRTP = 4,          // libsrtp refused the session (the text names its status)
    KZAPIEX_ERR_BAD_ARGUMENT = 5,  // a null or out-of-range argument
};

#ifdef __cplusplus
extern "C" {
#endif

#define KZAPIEX_EXPORT __attribute__((visibility("default")))

// Starts the library (libsrtp's crypto kernel, once per process). 0 = success.
KZAPIEX_EXPORT int KZAPI_MyFun0(void);
// Counterpart of KZAPI_MyFun0. 0 = success.
KZAPIEX_EXPORT int KZAPI_MyFun10(void);
// A receive context for packets from any SSRC. Null on failure, with *error and error_text set.
KZAPIEX_EXPORT void* KZAPI_MyFun1(const char* key, const char* suite, int* error, char* error_text);
// A send context for the stream of ssrc. Null on failure, with *error and error_text set.
KZAPIEX_EXPORT void* KZAPI_MyFun5(const char* key, const char* suite, uint32_t ssrc, int* error,
                                  char* error_text);
// Unprotects an SRTP packet into output. The RTP packet's length, or a negative libsrtp status
// (authentication or replay failure), or -KZAPIEX_ERR_BAD_ARGUMENT.
KZAPIEX_EXPORT int KZAPI_MyFun2(void* context, const uint8_t* packet, int length, uint8_t* output);
// Builds the next RTP packet around payload and protects it into output. The SRTP packet's
// length, or a negative value as for KZAPI_MyFun2. With output null nothing is built: the
// timestamp moves on by timestamp_increment (a frame held back by silence suppression) and 0 is
// returned.
KZAPIEX_EXPORT int KZAPI_MyFun6(void* context, int payload_type, const uint8_t* payload, int length,
                                int marker, uint32_t timestamp_increment, uint8_t* output);
// Protects an RTCP compound sent from the context's SSRC into output, which holds the packet's
// length + KZAPIEX_SRTCP_OVERHEAD bytes and may be the packet's own buffer. The SRTCP packet's
// length, or a negative value as for KZAPI_MyFun2.
KZAPIEX_EXPORT int KZAPI_MyFun3(void* context, const uint8_t* packet, int length, uint8_t* output);
// Unprotects an SRTCP packet into output (the packet's length; it may be the packet's own
// buffer). The RTCP compound's length, or a negative value as for KZAPI_MyFun2.
KZAPIEX_EXPORT int KZAPI_MyFun8(void* context, const uint8_t* packet, int length, uint8_t* output);
// Frees a receive context (null is ignored).
KZAPIEX_EXPORT void KZAPI_MyFun4(void* context);
// Frees a send context (null is ignored).
KZAPIEX_EXPORT void KZAPI_MyFun7(void* context);

#ifdef __cplusplus
}
#endif

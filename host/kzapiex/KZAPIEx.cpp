// The extension library's entry points: thin C wrappers over KZSRTPContext.
#include "host/kzapiex/KZAPIEx.h"

#include "host/kzapiex/KZSRTPContext.h"

#include <srtp2/srtp.h>

#include <atomic>
#include <cstdio>
#include <mutex>

using KZAPIEx::KZSRTPContext;

namespace {

// libsrtp's crypto kernel is process-wide and shared by every user of this library in the
// process (several servers may have started it): it starts with the first start and is shut
// down with the last release, so nothing it allocated outlives the library.
std::mutex g_start_mutex;
int g_starts = 0; // starts not yet released
std::atomic<int> g_init_status{-1};

void Report(int* error, char* error_text, int code, const char* text, int srtp_status) {
    if (error) *error = code;
    if (!error_text) return;
    if (srtp_status != 0)
        std::snprintf(error_text, KZAPIEX_ERROR_TEXT_SIZE, "%s (libsrtp status %d)", text, srtp_status);
    else
        std::snprintf(error_text, KZAPIEX_ERROR_TEXT_SIZE, "%s", text);
}

void* Create(KZSRTPContext::Direction direction, const char* key, const char* suite, uint32_t ssrc,
             int* error, char* error_text) {
    if (g_init_status.load() != 0) {
        Report(error, error_text, KZAPIEX_ERR_NOT_STARTED, "the SRTP library is not started", 0);
        return nullptr;
    }
    KZSRTPContext::Error failure;
    std::unique_ptr<KZSRTPContext> context = KZSRTPContext::Create(direction, key, suite, ssrc, failure);
    Report(error, error_text, failure.code, failure.text, failure.srtp_status);
    return context.release(); // owned by the caller until KZAPI_MyFun4 / KZAPI_MyFun7
}

KZSRTPContext* AsContext(void* context, KZSRTPContext::Direction direction) {
    auto* c = static_cast<KZSRTPContext*>(context);
    return c && c->GetDirection() == direction ? c : nullptr;
}

} // namespace

extern "C" {

int KZAPI_MyFun0(void) {
    std::lock_guard lock(g_start_mutex);
    if (g_starts == 0) g_init_status.store(static_cast<int>(srtp_init()));
    if (g_init_status.load() == 0) ++g_starts;
    return g_init_status.load();
}

int KZAPI_MyFun10(void) {
    std::lock_guard lock(g_start_mutex);
    if (g_starts == 0 || --g_starts > 0) return 0;
    g_init_status.store(-1);
    return static_cast<int>(srtp_shutdown());
}

void* KZAPI_MyFun1(const char* key, const char* suite, int* error, char* error_text) {
    return Create(KZSRTPContext::Direction::Receive, key, suite, 0, error, error_text);
}

void* KZAPI_MyFun5(const char* key, const char* suite, uint32_t ssrc, int* error, char* error_text) {
    return Create(KZSRTPContext::Direction::Send, key, suite, ssrc, error, error_text);
}

int KZAPI_MyFun2(void* context, const uint8_t* packet, int length, uint8_t* output) {
    KZSRTPContext* c = AsContext(context, KZSRTPContext::Direction::Receive);
    return c ? c->Unprotect(packet, length, output) : -KZAPIEX_ERR_BAD_ARGUMENT;
}

int KZAPI_MyFun6(void* context, int payload_type, const uint8_t* payload, int length, int marker,
                 uint32_t timestamp_increment, uint8_t* output) {
    KZSRTPContext* c = AsContext(context, KZSRTPContext::Direction::Send);
    return c ? c->Protect(payload_type, payload, length, marker != 0, timestamp_increment, output)
             : -KZAPIEX_ERR_BAD_ARGUMENT;
}

int KZAPI_MyFun3(void* context, const uint8_t* packet, int length, uint8_t* output) {
    KZSRTPContext* c = AsContext(context, KZSRTPContext::Direction::Send);
    return c ? c->ProtectRTCP(packet, length, output) : -KZAPIEX_ERR_BAD_ARGUMENT;
}

int KZAPI_MyFun8(void* context, const uint8_t* packet, int length, uint8_t* output) {
    KZSRTPContext* c = AsContext(context, KZSRTPContext::Direction::Receive);
    return c ? c->UnprotectRTCP(packet, length, output) : -KZAPIEX_ERR_BAD_ARGUMENT;
}

void KZAPI_MyFun4(void* context) {
    delete AsContext(context, KZSRTPContext::Direction::Receive);
}

void KZAPI_MyFun7(void* context) {
    delete AsContext(context, KZSRTPContext::Direction::Send);
}

} // extern "C"

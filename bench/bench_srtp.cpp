// SRTP cost per packet through the extension library as the module calls it: protect one
// payload (header built, encrypted, tagged) and unprotect it again, per suite and payload size
// (160 bytes: 20 ms of G.711; 1200: a large Opus or video packet).
#include "host/KZBase64.h"
#include "server/KZAPIExLibrary.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

const char* const kSuites[] = {"AES_CM_128_HMAC_SHA1_80", "AES_CM_128_HMAC_SHA1_32",
                               "AES_256_CM_HMAC_SHA1_80", "AEAD_AES_128_GCM", "AEAD_AES_256_GCM"};

KZAPIExLibrary& Library() {
    static KZAPIExLibrary library;
    if (!library.IsAvailable()) library.LoadFrom(KZ_EXT_LIBRARY);
    return library;
}

void BM_ProtectUnprotect(benchmark::State& state) {
    KZAPIExLibrary& lib = Library();
    const char* suite = kSuites[state.range(0)];
    const int length = static_cast<int>(state.range(1));
    state.SetLabel(suite);
    if (!lib.IsAvailable()) {
        state.SkipWithError("libKZAPIEx.so did not load");
        return;
    }
    uint8_t key[30];
    for (size_t i = 0; i < sizeof(key); ++i)
        key[i] = static_cast<uint8_t>(i * 13 + 5);
    char key_text[64];
    KZAPI::KZ_b64_encode(key, sizeof(key), key_text, sizeof(key_text));
    int error = 0;
    char text[KZAPIExLibrary::kErrorTextSize];
    void* encoder = lib.create_encoder(key_text, suite, 0x11223344, &error, text);
    void* decoder = lib.create_decoder(key_text, suite, &error, text);
    std::vector<uint8_t> payload(static_cast<size_t>(length), 0x55), wire(payload.size() + 64),
        plain(payload.size() + 64);
    for (auto _ : state) {
        const int protected_length = lib.protect(encoder, 0, payload.data(), length, 0, 160, wire.data());
        const int plain_length = lib.unprotect(decoder, wire.data(), protected_length, plain.data());
        if (plain_length != length + 12) {
            state.SkipWithError("round trip failed");
            break;
        }
        benchmark::DoNotOptimize(plain.data());
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * length);
    lib.free_encoder(encoder);
    lib.free_decoder(decoder);
}
BENCHMARK(BM_ProtectUnprotect)->ArgsProduct({{0, 1, 2, 3, 4}, {160, 1200}});

} // namespace

BENCHMARK_MAIN();

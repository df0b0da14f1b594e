// The SRTP extension library as the server loads it, once for the whole fuzzing run, with the
// log level from KZ_FUZZ_LOG (quiet without it).
#pragma once

#include "host/CKZLogInterface.h"
#include "server/KZAPIExLibrary.h"

#include <cstdlib>

namespace kzfuzz {

// A key of 30 bytes (master key and salt), as a call announces its own.
inline constexpr const char* kCallKey = "PS1uQCVbVjhMNDQ9WSh1e0Q2KzoibVJbcTg/Nl1g";

inline const KZAPIExLibrary& extension() {
    static KZAPIExLibrary* library = [] {
        const char* level = std::getenv("KZ_FUZZ_LOG");
        KZAPI::CKZLogInterface::SetMaxLevel(level ? static_cast<unsigned>(std::atoi(level)) : 0);
        auto* loaded = new KZAPIExLibrary;
        loaded->LoadFrom(KZ_EXTENSION_LIBRARY_PATH);
        if (!loaded->IsAvailable()) abort(); // without the library nothing is exercised
        // libsrtp's crypto backend starts and stops with its first and last context; one context
        // held for the whole run keeps it from doing so for every input.
        int error = 0;
        char text[KZAPIExLibrary::kErrorTextSize];
        static void* held = nullptr;
        held = loaded->create_decoder(kCallKey, "AES_CM_128_HMAC_SHA1_80", &error, text);
        if (!held) abort();
        return loaded;
    }();
    return *library;
}

} // namespace kzfuzz

// The optional SRTP extension library (libKZAPIEx.so). It is looked for next to the module first,
// then on the normal library path; when it is absent SRTP is simply unavailable.
#pragma once

#include <cstdint>
#include <string>

// Entry points of the extension library, resolved by name ("KZAPI_MyFun<n>").
extern "C" {
using KZAPIEx_Init = int (*)();    // MyFun0, 0 = success
using KZAPIEx_Release = int (*)(); // MyFun10, 0 = success
using KZAPIEx_CreateDecoder = void* (*)(const char* key, const char* suite, int* error, char* error_text);
using KZAPIEx_CreateEncoder = void* (*)(const char* key, const char* suite, uint32_t ssrc, int* error,
                                        char* error_text);
using KZAPIEx_Unprotect = int (*)(void* ctx, const uint8_t* packet, int length, uint8_t* output);
using KZAPIEx_Protect = int (*)(void* ctx, int payload_type, const uint8_t* payload, int length, int marker,
                                uint32_t timestamp_increment, uint8_t* output);
using KZAPIEx_FreeContext = void (*)(void* ctx);
// MyFun3 protects an RTCP compound, MyFun8 unprotects one; output may be the packet's buffer.
using KZAPIEx_RTCPTransform = int (*)(void* ctx, const uint8_t* packet, int length, uint8_t* output);
}

class KZAPIExLibrary {
public:
    static constexpr const char* kFileName = "libKZAPIEx.so";
    static constexpr size_t kErrorTextSize = 256; // size of the error_text buffers passed to the library

    KZAPIExLibrary() = default;
    ~KZAPIExLibrary() { Unload(); }
    KZAPIExLibrary(const KZAPIExLibrary&) = delete;
    KZAPIExLibrary& operator=(const KZAPIExLibrary&) = delete;

    // Loads the library from the module's directory, else the library path, resolves the entry
    // points and starts it. A missing library is not an error.
    void Load();
    // The same from one file (an absolute or relative path).
    void LoadFrom(const std::string& path);
    // Releases the library (when it started) and forgets it.
    void Unload();

    bool IsLoaded() const { return m_handle != nullptr; }
    // True when the library started and its entry points are usable.
    bool IsAvailable() const { return init != nullptr; }

    KZAPIEx_Init init = nullptr;
    KZAPIEx_Release release = nullptr;
    KZAPIEx_CreateDecoder create_decoder = nullptr;
    KZAPIEx_CreateEncoder create_encoder = nullptr;
    KZAPIEx_Unprotect unprotect = nullptr;
    KZAPIEx_Protect protect = nullptr;
    KZAPIEx_FreeContext free_decoder = nullptr;
    KZAPIEx_FreeContext free_encoder = nullptr;
    KZAPIEx_RTCPTransform protect_rtcp = nullptr; // absent from older libraries: RTCP goes plain
    KZAPIEx_RTCPTransform unprotect_rtcp = nullptr;

private:
    bool Open(const std::string& path);
    void Resolve();
    void Start();
    void ClearEntryPoints();

    void* m_handle = nullptr;
};

#include "server/KZAPIExLibrary.h"

#include "host/CKZLogInterface.h"

#include <dlfcn.h>

using KZAPI::CKZLogInterface;

namespace {

// The directory of the file this code was loaded from (the module), with a trailing '/'.
std::string module_directory() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&module_directory), &info) || !info.dli_fname) return "";
    const std::string path = info.dli_fname;
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

template <typename Fn> Fn symbol(void* handle, const char* name) {
    return reinterpret_cast<Fn>(dlsym(handle, name));
}

} // namespace

void KZAPIExLibrary::Load() {
    Unload();
    const std::string dir = module_directory();
    if (!dir.empty() && Open(dir + kFileName)) {
        Resolve();
        Start();
        return;
    }
    if (Open(kFileName)) {
        Resolve();
        Start();
    }
}

void KZAPIExLibrary::LoadFrom(const std::string& path) {
    Unload();
    if (!Open(path)) return;
    Resolve();
    Start();
}

bool KZAPIExLibrary::Open(const std::string& path) {
    // Kept mapped after the last dlclose: the crypto library under it keeps process-wide state
    // (and OpenSSL's) that must not be torn out from under a later load or the exit handlers.
    m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    return m_handle != nullptr;
}

void KZAPIExLibrary::Resolve() {
    init = symbol<KZAPIEx_Init>(m_handle, "KZAPI_MyFun0");
    release = symbol<KZAPIEx_Release>(m_handle, "KZAPI_MyFun10");
    create_decoder = symbol<KZAPIEx_CreateDecoder>(m_handle, "KZAPI_MyFun1");
    create_encoder = symbol<KZAPIEx_CreateEncoder>(m_handle, "KZAPI_MyFun5");
    unprotect = symbol<KZAPIEx_Unprotect>(m_handle, "KZAPI_MyFun2");
    protect = symbol<KZAPIEx_Protect>(m_handle, "KZAPI_MyFun6");
    free_decoder = symbol<KZAPIEx_FreeContext>(m_handle, "KZAPI_MyFun4");
    free_encoder = symbol<KZAPIEx_FreeContext>(m_handle, "KZAPI_MyFun7");
    protect_rtcp = symbol<KZAPIEx_RTCPTransform>(m_handle, "KZAPI_MyFun3");
    unprotect_rtcp = symbol<KZAPIEx_RTCPTransform>(m_handle, "KZAPI_MyFun8");
}

void KZAPIExLibrary::Start() {
    if (!init) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "Doesn't locate functios in KZAPIEx.dll");
        ClearEntryPoints();
        return;
    }
    const int result = init();
    if (result != 0) {
        CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "KZAPIEx Init Error %d", result);
        ClearEntryPoints();
    }
}

void KZAPIExLibrary::Unload() {
    if (release) {
        const int result = release();
        if (result != 0) CKZLogInterface::Log(CKZLogInterface::LOG_ERROR, "KZAPIEx Free Error %d", result);
    }
    ClearEntryPoints();
    if (m_handle) dlclose(m_handle);
    m_handle = nullptr;
}

void KZAPIExLibrary::ClearEntryPoints() {
    init = nullptr;
    release = nullptr;
    create_decoder = nullptr;
    create_encoder = nullptr;
    unprotect = nullptr;
    protect = nullptr;
    free_decoder = nullptr;
    free_encoder = nullptr;
    protect_rtcp = nullptr;
    unprotect_rtcp = nullptr;
}

#include "host/CKZClassEnv.h"

namespace KZAPI {

bool CKZClassEnv::SetEntry(const std::string& name, void* function) {
    std::lock_guard lock(m_mutex);
    if (name == "allocate") {
        m_allocate = reinterpret_cast<AllocateFn>(function);
        return true;
    }
    if (name == "free") {
        m_free = reinterpret_cast<FreeFn>(function);
        return true;
    }
    return false;
}

void* CKZClassEnv::GetEntry(const std::string& name) const {
    std::lock_guard lock(m_mutex);
    if (name == "allocate") return reinterpret_cast<void*>(m_allocate);
    if (name == "free") return reinterpret_cast<void*>(m_free);
    return nullptr;
}

bool CKZClassEnv::HasEntries() const {
    std::lock_guard lock(m_mutex);
    return m_allocate && m_free;
}

void* CKZClassEnv::Allocate(unsigned code) const {
    AllocateFn allocate;
    {
        std::lock_guard lock(m_mutex);
        allocate = m_allocate;
    }
    return allocate ? allocate(code) : nullptr;
}

void CKZClassEnv::Free(unsigned code, void* object) const {
    FreeFn free_fn;
    {
        std::lock_guard lock(m_mutex);
        free_fn = m_free;
    }
    if (free_fn) free_fn(code, object);
}

CKZClassEnv* AfxGetClassEnv() {
    static CKZClassEnv env;
    return &env;
}

} // namespace KZAPI

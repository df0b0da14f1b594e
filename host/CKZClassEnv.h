// The host's class environment: named entry points through which host code obtains objects of
// the loaded module by class code ("allocate") and returns them ("free"). The program that loads
// the module fills the entries with the module's class factory.
#pragma once

#include <mutex>
#include <string>

namespace KZAPI {

class CKZClassEnv {
public:
    using AllocateFn = void* (*)(unsigned code);
    using FreeFn = void (*)(unsigned code, void* object);

    // Sets an entry by name: "allocate" takes an AllocateFn, "free" a FreeFn. Unknown names are
    // refused (false).
    bool SetEntry(const std::string& name, void* function);
    void* GetEntry(const std::string& name) const;
    bool HasEntries() const;

    // Null when the "allocate" entry is missing or it returns null.
    void* Allocate(unsigned code) const;
    // Does nothing when the "free" entry is missing.
    void Free(unsigned code, void* object) const;

private:
    mutable std::mutex m_mutex;
    AllocateFn m_allocate = nullptr;
    FreeFn m_free = nullptr;
};

// The process's class environment.
CKZClassEnv* AfxGetClassEnv();

} // namespace KZAPI

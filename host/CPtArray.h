// KZAPI::CPtArray: a growable array of untyped pointers. It does not own what it points to.
#pragma once

#include <cstddef>
#include <vector>

namespace KZAPI {

class CPtArray {
public:
    explicit CPtArray(size_t initial_capacity = 0) { m_items.reserve(initial_capacity); }

    size_t GetSize() const { return m_items.size(); }
    bool IsEmpty() const { return m_items.empty(); }
    void* GetAt(size_t i) const { return i < m_items.size() ? m_items[i] : nullptr; }
    void SetAt(size_t i, void* p) {
        if (i < m_items.size()) m_items[i] = p;
    }
    size_t Add(void* p) {
        m_items.push_back(p);
        return m_items.size() - 1;
    }
    // Inserts before position i (appends when i is past the end).
    void InsertAt(size_t i, void* p) {
        if (i >= m_items.size())
            m_items.push_back(p);
        else
            m_items.insert(m_items.begin() + static_cast<std::ptrdiff_t>(i), p);
    }
    void RemoveAt(size_t i) {
        if (i < m_items.size()) m_items.erase(m_items.begin() + static_cast<std::ptrdiff_t>(i));
    }
    void RemoveAll() { m_items.clear(); }
    void Reserve(size_t n) { m_items.reserve(n); }
    void* const* GetData() const { return m_items.data(); }

private:
    std::vector<void*> m_items;
};

} // namespace KZAPI

#include "sipmsg/sip_ie.h"

sip_ie::sip_ie(const sip_ie& other) : m_id(other.m_id), m_slots(other.m_slots), m_first(other.m_first) {
    if (other.m_rest) {
        m_rest = std::make_unique<KZAPI::CString[]>(MAX_VALUES - 1);
        for (unsigned i = 0; i < MAX_VALUES - 1; ++i)
            m_rest[i] = other.m_rest[i];
    }
}

sip_ie& sip_ie::operator=(const sip_ie& other) {
    if (this == &other) return *this;
    m_id = other.m_id;
    clear();
    for (unsigned i = 0; i < MAX_VALUES; ++i)
        if (other.has_value(i)) set_value(i, other.get_value(i).View());
    return *this;
}

sip_ie::~sip_ie() = default;

const KZAPI::CString& sip_ie::empty_value() {
    static const KZAPI::CString empty;
    return empty;
}

void sip_ie::set_value(unsigned index, std::string_view value) {
    if (index == 0) {
        m_first = value;
        return;
    }
    if (index >= MAX_VALUES) return;
    if (!m_rest) {
        if (value.empty()) return;
        m_rest = std::make_unique<KZAPI::CString[]>(MAX_VALUES - 1);
    }
    m_rest[index - 1] = value;
    written(index);
}

void sip_ie::append_value(unsigned index, std::string_view text) {
    if (index == 0) {
        m_first.Append(text);
        return;
    }
    if (index >= MAX_VALUES) return;
    if (!m_rest) m_rest = std::make_unique<KZAPI::CString[]>(MAX_VALUES - 1);
    m_rest[index - 1].Append(text);
    written(index);
}

unsigned sip_ie::get_value_count() const {
    if (m_first.IsEmpty()) return 0;
    if (!m_rest) return 1;
    unsigned n = 1;
    while (n < m_slots && !m_rest[n - 1].IsEmpty())
        ++n;
    return n;
}

void sip_ie::clear() {
    m_first.Empty();
    for (unsigned i = 1; i < m_slots; ++i)
        m_rest[i - 1].Empty();
    m_slots = 1;
}

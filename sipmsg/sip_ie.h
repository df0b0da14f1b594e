// sip_ie: one information element of a SIP message: an element id and up to twenty values.
// Value 0 is stored inline; the other nineteen are allocated only when one is written, since
// most elements carry a single value.
#pragma once

#include "host/CString.h"
#include "sipmsg/kz_sip_export.h"

#include <cstdint>
#include <memory>
#include <string_view>

class KZSIPAPI_EXPORT sip_ie {
public:
    static constexpr unsigned MAX_VALUES = 20;

    explicit sip_ie(uint32_t id = 0) : m_id(id) {}
    sip_ie(const sip_ie& other);
    sip_ie& operator=(const sip_ie& other);
    virtual ~sip_ie();

    uint32_t get_id() const { return m_id; }
    void set_id(uint32_t id) { m_id = id; }

    // Index 20 or more reads as the empty string.
    const KZAPI::CString& get_value(unsigned index) const {
        if (index == 0) return m_first;
        if (index >= MAX_VALUES || !m_rest) return empty_value();
        return m_rest[index - 1];
    }
    bool has_value(unsigned index) const { return !get_value(index).IsEmpty(); }
    // Writing index 20 or more is ignored.
    void set_value(unsigned index, std::string_view value);
    // Appends text to the value at index (creating it when empty).
    void append_value(unsigned index, std::string_view text);
    // The indexes below this may hold a value; none at or above it does.
    unsigned value_slots() const { return m_slots; }
    // Number of leading non-empty values.
    unsigned get_value_count() const;
    // Empties every value, keeping the storage for reuse (a recycled element is cleared on every
    // message, so only the indexes ever written are touched).
    void clear();

    static const KZAPI::CString& empty_value();

private:
    void written(unsigned index) {
        if (index >= m_slots) m_slots = index + 1;
    }

    uint32_t m_id;
    unsigned m_slots = 1;
    KZAPI::CString m_first;
    std::unique_ptr<KZAPI::CString[]> m_rest; // values 1..19
};

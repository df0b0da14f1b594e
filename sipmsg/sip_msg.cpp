// Element operations, copying and message facts of sip_msg.
#include "sipmsg/sip_msg.h"

#include "host/KZStrFunc.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kInitialElementCapacity = 64;
constexpr size_t kMaxSpareElements = 64;

std::string_view view_of(const char* value) {
    return std::string_view(value);
}

uint32_t decimal_value(const KZAPI::CString& text) {
    return static_cast<uint32_t>(strtoul(text.c_str(), nullptr, 10));
}

} // namespace

sip_msg::sip_msg() = default;

sip_msg::~sip_msg() {
    for (size_t i = 0; i < m_elements.GetSize(); ++i)
        delete static_cast<sip_ie*>(m_elements.GetAt(i));
    for (sip_ie* ie : m_spare)
        delete ie;
}

size_t sip_msg::lower_bound(uint32_t id, bool* found) const {
    size_t lo = 0, hi = m_elements.GetSize();
    void* const* data = m_elements.GetData();
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (static_cast<sip_ie*>(data[mid])->get_id() < id)
            lo = mid + 1;
        else
            hi = mid;
    }
    *found = lo < m_elements.GetSize() && static_cast<sip_ie*>(data[lo])->get_id() == id;
    return lo;
}

sip_ie* sip_msg::find_element(uint32_t id) const {
    bool found = false;
    size_t pos = lower_bound(kz_sip_ie_canonical(id), &found);
    return found ? static_cast<sip_ie*>(m_elements.GetAt(pos)) : nullptr;
}

sip_ie* sip_msg::new_element(uint32_t id) {
    if (m_spare.empty()) return new sip_ie(id);
    sip_ie* ie = m_spare.back();
    m_spare.pop_back();
    ie->set_id(id);
    return ie;
}

void sip_msg::recycle(sip_ie* ie) {
    if (m_spare.size() >= kMaxSpareElements) {
        delete ie;
        return;
    }
    ie->clear();
    m_spare.push_back(ie);
}

uint32_t sip_msg::add_ie(uint32_t id, unsigned index, const char* value) {
    if (!value) return KZ_SIP_RESULT_NULL_VALUE;
    return add_ie(id, index, view_of(value));
}

uint32_t sip_msg::add_ie(uint32_t id, unsigned index, std::string_view value) {
    id = kz_sip_ie_canonical(id);
    bool found = false;
    size_t pos = lower_bound(id, &found);
    sip_ie* ie = found ? static_cast<sip_ie*>(m_elements.GetAt(pos)) : nullptr;
    if (ie && ie->has_value(index)) return KZ_SIP_RESULT_VALUE_PRESENT;
    std::string_view trimmed = KZAPI::trim_spaces(value);
    if (trimmed.empty()) return KZ_SIP_RESULT_FAILURE;
    if (index >= sip_ie::MAX_VALUES) return KZ_SIP_RESULT_OK;
    if (!ie) {
        ie = new_element(id);
        if (m_elements.IsEmpty()) m_elements.Reserve(kInitialElementCapacity);
        m_elements.InsertAt(pos, ie);
    }
    ie->set_value(index, trimmed);
    return KZ_SIP_RESULT_OK;
}

uint32_t sip_msg::set_ie(uint32_t id, unsigned index, const char* value) {
    if (!value) return KZ_SIP_RESULT_NULL_VALUE;
    return set_ie(id, index, view_of(value));
}

uint32_t sip_msg::set_ie(uint32_t id, unsigned index, std::string_view value) {
    return find_ie(id, index) ? replace_ie(id, index, value) : add_ie(id, index, value);
}

uint32_t sip_msg::replace_ie(uint32_t id, unsigned index, const char* value) {
    if (!value) return KZ_SIP_RESULT_NULL_VALUE;
    return replace_ie(id, index, view_of(value));
}

uint32_t sip_msg::replace_ie(uint32_t id, unsigned index, std::string_view value) {
    sip_ie* ie = find_element(id);
    if (!ie || !ie->has_value(index)) return KZ_SIP_RESULT_NO_VALUE;
    ie->set_value(index, KZAPI::trim_spaces(value));
    return KZ_SIP_RESULT_OK;
}

uint32_t sip_msg::remove_ie(uint32_t id, unsigned index) {
    id = kz_sip_ie_canonical(id);
    bool found = false;
    size_t pos = lower_bound(id, &found);
    sip_ie* ie = found ? static_cast<sip_ie*>(m_elements.GetAt(pos)) : nullptr;
    if (!ie || !ie->has_value(index)) return KZ_SIP_RESULT_NO_VALUE;
    if (index == 0) {
        m_elements.RemoveAt(pos);
        recycle(ie);
    } else {
        ie->set_value(index, std::string_view());
    }
    return KZ_SIP_RESULT_OK;
}

uint32_t sip_msg::get_ie(uint32_t id, unsigned index, char* buffer, unsigned* size) const {
    if (!buffer || !size) return KZ_SIP_RESULT_NULL_VALUE;
    const KZAPI::CString& v = get_ie_value(id, index);
    if (v.IsEmpty()) return KZ_SIP_RESULT_NO_VALUE;
    if (v.GetLength() < *size) {
        memcpy(buffer, v.c_str(), v.GetLength() + 1);
        return KZ_SIP_RESULT_OK;
    }
    *size = static_cast<unsigned>(v.GetLength() + 1);
    return KZ_SIP_RESULT_BUFFER_SMALL;
}

sip_ie* sip_msg::get_ie(uint32_t id) const {
    return find_element(id);
}

sip_ie* sip_msg::get_ie_by_index(unsigned i) const {
    return static_cast<sip_ie*>(m_elements.GetAt(i));
}

unsigned sip_msg::get_ie_value_count(uint32_t id) const {
    const sip_ie* ie = find_element(id);
    return ie ? ie->get_value_count() : 0;
}

bool sip_msg::find_ie(uint32_t id, unsigned index) const {
    const sip_ie* ie = find_element(id);
    return ie && ie->has_value(index);
}

const KZAPI::CString& sip_msg::get_ie_value(uint32_t id, unsigned index) const {
    const sip_ie* ie = find_element(id);
    return ie ? ie->get_value(index) : sip_ie::empty_value();
}

bool sip_msg::copy_ie(const sip_msg* src, uint32_t id, unsigned index) {
    return copy_ie(src, id, index, id, index);
}

bool sip_msg::copy_ie(const sip_msg* src, uint32_t src_id, unsigned src_index, uint32_t dst_id,
                      unsigned dst_index) {
    if (!src) return false;
    const KZAPI::CString& v = src->get_ie_value(src_id, src_index);
    if (v.IsEmpty()) return false;
    if (src != this) {
        set_ie(dst_id, dst_index, v.View());
        return true;
    }
    // Copied first: writing may move or reuse the value read.
    std::string value(v.View());
    set_ie(dst_id, dst_index, std::string_view(value));
    return true;
}

void sip_msg::copy_msg_from(const sip_msg* src) {
    if (!src || src == this) return;
    reset_all();
    // The source is sorted already: its elements are appended in order, into recycled storage.
    m_elements.Reserve(src->get_ie_count());
    for (unsigned e = 0; e < src->get_ie_count(); ++e)
        if (sip_ie* copy = copy_element(*src->get_ie_by_index(e))) m_elements.Add(copy);
    drop_via_parts_beyond(src->get_ie_value_count(KZ_IE_SIP_VIA_ADDRESS));
    m_from_ip = src->m_from_ip;
    m_from_port = src->m_from_port;
    m_to_ip = src->m_to_ip;
    m_to_port = src->m_to_port;
    m_protocol = src->m_protocol;
    m_connection = src->m_connection;
    m_raw = src->m_raw;
}

void sip_msg::copy_via_from(const sip_msg* src, bool keep_branch, bool new_branch) {
    static constexpr uint32_t kViaParts[] = {
        KZ_IE_SIP_VIA_PROTOCOL, KZ_IE_SIP_VIA_ADDRESS, KZ_IE_SIP_VIA_PARAM,      KZ_IE_SIP_VIA_RECEIVED,
        KZ_IE_SIP_VIA_MADDR,    KZ_IE_SIP_VIA_CID,     KZ_IE_SIP_VIA_X_ROUTE_TAG};
    if (!src) return;
    const unsigned count = src->get_ie_value_count(KZ_IE_SIP_VIA_ADDRESS);
    for (unsigned i = 0; i < count; ++i) {
        for (uint32_t id : kViaParts)
            copy_value(src, id, i);
        if (keep_branch)
            copy_value(src, KZ_IE_SIP_VIA_BRANCH, i);
        else if (new_branch)
            gen_via_branch(static_cast<int>(i));
    }
    drop_via_parts_beyond(count);
}

void sip_msg::copy_value(const sip_msg* src, uint32_t id, unsigned index) {
    if (src != this) {
        set_ie(id, index, src->get_ie_value(id, index).View());
        return;
    }
    // Copied first: writing may move or reuse the value read.
    std::string value(src->get_ie_value(id, index).View());
    set_ie(id, index, std::string_view(value));
}

void sip_msg::drop_via_parts_beyond(unsigned count) {
    static constexpr uint32_t kStale[] = {7, 8, 9, 10, 11, 12, 40, 41};
    for (uint32_t id : kStale)
        remove_ie(id, count);
}

sip_ie* sip_msg::copy_element(const sip_ie& from) {
    sip_ie* copy = nullptr;
    for (unsigned i = 0; i < from.value_slots(); ++i) {
        std::string_view value = KZAPI::trim_spaces(from.get_value(i).View());
        if (value.empty()) continue;
        if (!copy) copy = new_element(from.get_id());
        copy->set_value(i, value);
    }
    return copy;
}

namespace {

void copy_ids(const sip_msg* from, sip_msg* to, std::initializer_list<uint32_t> ids) {
    for (uint32_t id : ids)
        to->copy_ie(from, id, 0);
}

void copy_credentials(const sip_msg* from, sip_msg* to) {
    if (from->find_ie(KZ_IE_SIP_WWW_AUTH_RESP_TYPE, 0)) {
        copy_ids(from, to, {113, 114, 115, 116, 117, 118, 119, 123, 124, 125, 121});
    } else if (from->find_ie(KZ_IE_SIP_PROXY_AUTH_RESP_TYPE, 0)) {
        copy_ids(from, to, {81, 82, 83, 84, 85, 86, 87, 89, 91, 92, 93});
    }
}

} // namespace

void sip_msg::copy_credit_to(sip_msg* dst) const {
    if (dst) copy_credentials(this, dst);
}

void sip_msg::copy_credit_from(const sip_msg* src) {
    if (src) copy_credentials(src, this);
}

uint32_t sip_msg::cseq() const {
    return decimal_value(get_ie_value(KZ_IE_SIP_CSEQ_NUMBER));
}

const char* sip_msg::cseq_method() const {
    return get_ie_value(KZ_IE_SIP_CSEQ_METHOD).c_str();
}

uint32_t sip_msg::get_msg_type() const {
    const sip_ie* first = get_ie_by_index(0);
    if (!first) return 0;
    if (first->get_id() == KZ_IE_SIP_REQUEST_LINE_METHOD)
        return kz_sip_make_msg_type(first->get_value(0).c_str()) | KZ_SIP_MSG_REQUEST_FLAG;
    if (first->get_id() == KZ_IE_SIP_RESPONSE_LINE_PROTVERSION)
        return kz_sip_make_response(get_ie_value(KZ_IE_SIP_RESPONSE_LINE_STATUS_CODE).c_str()) |
               KZ_SIP_MSG_RESPONSE_FLAG;
    return 0;
}

uint32_t sip_msg::is_request() const {
    uint32_t type = get_msg_type();
    return kz_sip_msg_is_request(type) ? type >> 24 : 0;
}

uint32_t sip_msg::is_response() const {
    uint32_t type = get_msg_type();
    return kz_sip_msg_is_response(type) ? (type & 0xFFF) : 0;
}

void sip_msg::reset_all() {
    for (size_t i = 0; i < m_elements.GetSize(); ++i)
        recycle(static_cast<sip_ie*>(m_elements.GetAt(i)));
    m_elements.RemoveAll();
    m_from_ip = 0;
    m_from_port = 0;
    m_to_ip = 0;
    m_to_port = 0;
}

void sip_msg::reset_for_reuse() {
    reset_all();
    m_protocol = 0;
    m_connection = nullptr;
    m_ssl_type = 0;
    m_raw.Empty();
}

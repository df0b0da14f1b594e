#include "sipstack/kz_sip_msgfuncs.h"
#include "sipmsg/kz_sip_result.h"
#include "sipmsg/sip_msg_pool.h"

#include "host/KZNetAddr.h"
#include "host/KZStrFunc.h"
#include "sipstack/CSIPProcessThread.h"
#include "sipstack/sip_group.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

sip_msg* as_msg(void* p) {
    return static_cast<sip_msg*>(p);
}

// Writes text into buffer under the get_ie contract (size in/out, 0xA00005 when too small).
uint32_t copy_out(const std::string& text, char* buffer, unsigned* size) {
    if (!buffer || !size) return KZ_SIP_RESULT_NULL_VALUE;
    if (text.size() < *size) {
        memcpy(buffer, text.c_str(), text.size() + 1);
        *size = static_cast<unsigned>(text.size());
        return 0;
    }
    *size = static_cast<unsigned>(text.size() + 1);
    return KZ_SIP_RESULT_BUFFER_SMALL;
}

// Writing a pseudo-element sets the field it stands for; true when id was one.
bool write_pseudo(sip_msg* m, uint32_t id, const char* value) {
    switch (id) {
    case KZ_IE_SIP_PROTOCOL:
        m->set_prot(static_cast<int32_t>(strtol(value, nullptr, 10)));
        return true;
    case KZ_IE_SIP_TCP_SOCKET:
        m->set_tcp_socket(reinterpret_cast<void*>(static_cast<uintptr_t>(strtoull(value, nullptr, 10))));
        return true;
    case KZ_IE_SIP_RAW_MESSAGE:
        m->set_raw_msg(value);
        return true;
    case KZ_IE_SIP_SSL_TYPE:
        m->set_ssl_type(static_cast<int32_t>(strtol(value, nullptr, 10)));
        return true;
    default:
        return false;
    }
}

uint32_t alloc_msg(void** msg) {
    if (!msg) return KZ_SIP_RESULT_NULL_HANDLE;
    try {
        *msg = sip_msg_pool::Take().release();
    } catch (const std::bad_alloc&) {
        *msg = nullptr;
    }
    return *msg ? KZ_SIP_RESULT_OK : KZ_SIP_RESULT_FAILURE;
}

uint32_t free_msg(void* msg) {
    if (!msg) return KZ_SIP_RESULT_FAILURE;
    sip_msg_pool::Give(std::unique_ptr<sip_msg>(as_msg(msg)));
    return 0;
}

uint32_t add_ie(void* msg, uint32_t id, unsigned index, const char* value) {
    if (!msg) return KZ_SIP_RESULT_NULL_HANDLE;
    if (!value) return KZ_SIP_RESULT_NULL_VALUE;
    return write_pseudo(as_msg(msg), id, value) ? 0 : as_msg(msg)->add_ie(id, index, value);
}

uint32_t replace_ie(void* msg, uint32_t id, unsigned index, const char* value) {
    if (!msg) return KZ_SIP_RESULT_NULL_HANDLE;
    if (!value) return KZ_SIP_RESULT_NULL_VALUE;
    return write_pseudo(as_msg(msg), id, value) ? 0 : as_msg(msg)->replace_ie(id, index, value);
}

uint32_t set_ie(void* msg, uint32_t id, unsigned index, const char* value) {
    if (!msg) return KZ_SIP_RESULT_NULL_HANDLE;
    if (!value) return KZ_SIP_RESULT_NULL_VALUE;
    return write_pseudo(as_msg(msg), id, value) ? 0 : as_msg(msg)->set_ie(id, index, value);
}

uint32_t get_ie(void* msg, uint32_t id, unsigned index, char* buffer, unsigned* size) {
    if (!msg) return KZ_SIP_RESULT_NULL_HANDLE;
    const sip_msg* m = as_msg(msg);
    switch (id) {
    case KZ_IE_SIP_PROTOCOL:
        return copy_out(std::to_string(m->get_prot()), buffer, size);
    case KZ_IE_SIP_TCP_SOCKET:
        return copy_out(
            std::to_string(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(m->get_tcp_socket()))), buffer,
            size);
    case KZ_IE_SIP_RAW_MESSAGE:
        return copy_out(m->get_raw_msg().Std(), buffer, size);
    case KZ_IE_SIP_SSL_TYPE:
        return copy_out(std::to_string(m->get_ssl_type()), buffer, size);
    default:
        break;
    }
    if (!buffer || !size) return KZ_SIP_RESULT_NULL_VALUE;
    uint32_t r = m->get_ie(id, index, buffer, size);
    if (r == 0) *size = static_cast<unsigned>(strlen(buffer));
    return r;
}

uint32_t remove_ie(void* msg, uint32_t id, unsigned index) {
    if (!msg) return KZ_SIP_RESULT_NULL_HANDLE;
    return as_msg(msg)->remove_ie(id, index);
}

uint32_t get_external_msg(void* stack, char* buffer, unsigned* size, char* address, unsigned address_size,
                          unsigned short* port) {
    sip_group* s = static_cast<sip_group*>(stack);
    if (!s || !s->m_process) return KZ_SIP_RESULT_FAILURE;
    const sip_msg& current = s->m_process->CurrentMessage();
    const KZAPI::CString& text = current.get_ie_value(KZ_IE_SIP_EXTERNAL_MESSAGE);
    if (text.IsEmpty()) return KZ_SIP_RESULT_FAILURE;
    if (address && address_size)
        KZAPI::str_cpy(address, KZAPI::KZ_InetNtoa(current.get_from_ip()).c_str(), address_size);
    if (port) *port = current.get_from_port();
    return copy_out(text.Std(), buffer, size);
}

uint32_t send_cancel(void* stack, void* msg, const char* host, unsigned short port, uint32_t new_id,
                     uint32_t dialog_id) {
    if (!stack || !msg) return KZ_SIP_RESULT_NULL_HANDLE;
    return static_cast<sip_group*>(stack)->SendCancel(as_msg(msg), host, port, new_id, dialog_id);
}

uint32_t send_external(void* stack, const char* text, const char* host, unsigned short port, int32_t protocol,
                       void* connection) {
    if (!stack || !text) return KZ_SIP_RESULT_NULL_HANDLE;
    return static_cast<sip_group*>(stack)->SendExternalMessage(text, strlen(text), host, port, protocol,
                                                               connection);
}

uint32_t terminate_connection(void* stack, void* connection) {
    if (!stack) return KZ_SIP_RESULT_NULL_HANDLE;
    return static_cast<sip_group*>(stack)->TerminateConnection(
        static_cast<uint32_t>(reinterpret_cast<uintptr_t>(connection)));
}

} // namespace

const KZSIPMessageFunctions& kz_sip_message_functions() {
    static const KZSIPMessageFunctions table = {
        alloc_msg,        free_msg,    add_ie,        replace_ie,          set_ie, get_ie, remove_ie,
        get_external_msg, send_cancel, send_external, terminate_connection};
    return table;
}

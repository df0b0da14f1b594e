// CKZSIPGroup: the stack's message functions and the element-by-element message helpers.
#include "server/CKZSIPGroup.h"

#include "host/CKZLogInterface.h"
#include "host/KZStrFunc.h"

#include <cstring>

using KZAPI::CKZLogInterface;

namespace {

constexpr unsigned kTrace = CKZLogInterface::LOG_TRACE;
constexpr unsigned kWarning = CKZLogInterface::LOG_WARNING;
constexpr unsigned kSIPCategory = CKZLogInterface::CATEGORY_SIP;

// Element ids of the catalogue that MSG_Copy and DumpSIPMessage walk.
constexpr uint32_t kLastCatalogueId = KZ_IE_SIP_NOTIFY_PRESENCE;
constexpr unsigned kCopyValuesPerElement = 10;
constexpr unsigned kDumpValuesPerElement = 10;
constexpr unsigned kCopyIEElementsMax = 100;

// The eight elements that make up one Via, in copy order after the address.
constexpr uint32_t kViaElements[] = {KZ_IE_SIP_VIA_PROTOCOL, KZ_IE_SIP_VIA_ADDRESS,    KZ_IE_SIP_VIA_BRANCH,
                                     KZ_IE_SIP_VIA_PARAM,    KZ_IE_SIP_VIA_RECEIVED,   KZ_IE_SIP_VIA_MADDR,
                                     KZ_IE_SIP_VIA_CID,      KZ_IE_SIP_VIA_X_ROUTE_TAG};
constexpr uint32_t kViaParameters[] = {KZ_IE_SIP_VIA_BRANCH, KZ_IE_SIP_VIA_PARAM, KZ_IE_SIP_VIA_RECEIVED,
                                       KZ_IE_SIP_VIA_MADDR,  KZ_IE_SIP_VIA_CID,   KZ_IE_SIP_VIA_X_ROUTE_TAG};

constexpr const char* kAllowedMethods[] = {"INVITE", "ACK",      "CANCEL",  "BYE", "REFER",
                                           "NOTIFY", "REGISTER", "OPTIONS", "INFO"};

// The pseudo-elements map onto message fields: every index reads the same value.
bool is_pseudo_element(uint32_t element) {
    return element == KZ_IE_SIP_PROTOCOL || element == KZ_IE_SIP_TCP_SOCKET ||
           element == KZ_IE_SIP_RAW_MESSAGE || element == KZ_IE_SIP_SSL_TYPE;
}

bool has_value(sip_msg* message, uint32_t element, unsigned index) {
    char value[CKZSIPGroup::kIEBufferSize];
    return CKZSIPGroup::MSG_GetIE_STR(message, element, index, value) == 0;
}

// Number of values before the first missing index.
unsigned value_count(sip_msg* message, uint32_t element) {
    unsigned count = 0;
    while (count < sip_ie::MAX_VALUES && has_value(message, element, count))
        ++count;
    return count;
}

// Empties one value and keeps the other indices where they are (removing index 0 would drop
// the whole element).
void empty_value(sip_msg* message, uint32_t element, unsigned index) {
    CKZSIPGroup::MSG_ReplaceIE_STR(message, element, index, "");
}

// Moves value index to index + 1 (emptying the target when the source has none).
void move_value_down(sip_msg* message, uint32_t element, unsigned index) {
    char value[CKZSIPGroup::kIEBufferSize];
    if (CKZSIPGroup::MSG_GetIE_STR(message, element, index, value) == 0)
        CKZSIPGroup::MSG_SetIE_STR(message, element, index + 1, value);
    else
        empty_value(message, element, index + 1);
}

// Inserts text as value 0 of element, moving the existing values one index down.
int add_latest(sip_msg* message, uint32_t element, const char* text) {
    if (!message || !text) return -1;
    for (unsigned i = value_count(message, element); i-- > 0;)
        move_value_down(message, element, i);
    return CKZSIPGroup::MSG_SetIE_STR(message, element, 0, text) == 0 ? 0 : -1;
}

// Copies one element at index when the source has it; false when it has not.
bool copy_if_present(sip_msg* source, sip_msg* target, uint32_t element, unsigned index) {
    return has_value(source, element, index) &&
           CKZSIPGroup::CopyIE_STR(source, target, element, index, index) == 0;
}

// One Via of a request into its response: address and protocol are required.
bool copy_request_via(sip_msg* request, sip_msg* response, unsigned index) {
    if (CKZSIPGroup::CopyIE_STR(request, response, KZ_IE_SIP_VIA_ADDRESS, index, index) != 0) return false;
    if (CKZSIPGroup::CopyIE_STR(request, response, KZ_IE_SIP_VIA_PROTOCOL, index, index) != 0) return false;
    for (uint32_t parameter : kViaParameters)
        copy_if_present(request, response, parameter, index);
    return true;
}

} // namespace

// ---- the stack's message functions ----

uint32_t CKZSIPGroup::AllocMessage(sip_msg** message) {
    auto alloc = Entry(&EntryPoints::msg_alloc);
    if (!alloc) return kFailure;
    void* created = nullptr;
    const uint32_t result = alloc(&created);
    if (message) *message = static_cast<sip_msg*>(created);
    return result;
}

uint32_t CKZSIPGroup::FreeMessage(sip_msg* message) {
    auto free = Entry(&EntryPoints::msg_free);
    return free ? free(message) : kFailure;
}

uint32_t CKZSIPGroup::GetMessage(void* handle, sip_msg** message, char* address, unsigned* length,
                                 unsigned short* port, char* text, int value) {
    auto get = Entry(&EntryPoints::sip_get_message);
    if (!get || !message) return kFailure;
    void* copy = nullptr;
    const uint32_t result = get(handle, &copy, address, length, port, text, value);
    *message = static_cast<sip_msg*>(copy);
    return result;
}

uint32_t CKZSIPGroup::GetExternalMessage(void* handle, char* buffer, unsigned* size, char* address,
                                         unsigned address_size, unsigned short* port) {
    auto get = Entry(&EntryPoints::get_external_msg);
    return get ? get(handle, buffer, size, address, address_size, port) : kFailure;
}

uint32_t CKZSIPGroup::SendMessage(void* handle, sip_msg* message, const char* address, unsigned short port,
                                  uint32_t connection) {
    auto send = Entry(&EntryPoints::sip_send_message);
    if (!send) return kFailure;
    // The flat interface takes a writable host text; hand it a copy.
    char host[kAddressTextSize] = {};
    if (address) KZAPI::str_cpy(host, address, sizeof(host));
    return send(handle, message, address ? host : nullptr, port,
                reinterpret_cast<void*>(static_cast<uintptr_t>(connection)));
}

uint32_t CKZSIPGroup::SendExternalMessage(void* handle, const char* text, const char* address,
                                          unsigned short port, int32_t protocol, void* connection) {
    auto send = Entry(&EntryPoints::send_external);
    return send ? send(handle, text, address, port, protocol, connection) : kFailure;
}

uint32_t CKZSIPGroup::SendCancel(void* handle, sip_msg* message, const char* address, unsigned short port,
                                 uint32_t new_connection, uint32_t dialog_connection) {
    auto send = Entry(&EntryPoints::send_cancel);
    return send ? send(handle, message, address, port, new_connection, dialog_connection) : kFailure;
}

// ---- element operations ----

uint32_t CKZSIPGroup::MSG_AddIE_STR(sip_msg* message, uint32_t element, unsigned index, const char* text) {
    auto add = Entry(&EntryPoints::msg_add_ie);
    return add ? add(message, element, index, text) : kFailure;
}

uint32_t CKZSIPGroup::MSG_GetIE_STR(sip_msg* message, uint32_t element, unsigned index, char* buffer,
                                    unsigned size) {
    auto get = Entry(&EntryPoints::msg_get_ie);
    if (!get) return kFailure;
    if (buffer && size) buffer[0] = '\0';
    return get(message, element, index, buffer, &size);
}

uint32_t CKZSIPGroup::MSG_RemoveIE_STR(sip_msg* message, uint32_t element, unsigned index) {
    auto remove = Entry(&EntryPoints::msg_remove_ie);
    return remove ? remove(message, element, index) : kFailure;
}

uint32_t CKZSIPGroup::MSG_ReplaceIE_STR(sip_msg* message, uint32_t element, unsigned index,
                                        const char* text) {
    auto replace = Entry(&EntryPoints::msg_replace_ie);
    return replace ? replace(message, element, index, text) : kFailure;
}

uint32_t CKZSIPGroup::MSG_SetIE_STR(sip_msg* message, uint32_t element, unsigned index, const char* text) {
    const uint32_t replaced = MSG_ReplaceIE_STR(message, element, index, text);
    return replaced == KZ_SIP_RESULT_NO_VALUE ? MSG_AddIE_STR(message, element, index, text) : replaced;
}

// ---- copies ----

int CKZSIPGroup::CopyIE_STR(sip_msg* source, sip_msg* target, uint32_t element, unsigned source_index,
                            unsigned target_index) {
    return CopyIE_2_IE_STR(source, target, element, element, source_index, target_index);
}

int CKZSIPGroup::CopyIE_2_IE_STR(sip_msg* source, sip_msg* target, uint32_t source_element,
                                 uint32_t target_element, unsigned source_index, unsigned target_index) {
    char value[kIEBufferSize];
    if (MSG_GetIE_STR(source, source_element, source_index, value) != 0) return -1;
    if (source_element == KZ_IE_SIP_PROTOCOL)
        CKZLogInterface::Log(kWarning, kSIPCategory, "SRC PROTOCOL %s", value);
    if (MSG_SetIE_STR(target, target_element, target_index, value) != 0) {
        CKZLogInterface::Log(kWarning, kSIPCategory, "Destination msg doesn't have %d element!",
                             static_cast<int>(source_element));
        return -1;
    }
    if (target_element == KZ_IE_SIP_PROTOCOL)
        CKZLogInterface::Log(kWarning, kSIPCategory, "DEST PROTOCOL set to %s", value);
    return 0;
}

int CKZSIPGroup::MSG_Copy(sip_msg* source, sip_msg* target) {
    for (uint32_t element = 1; element <= kLastCatalogueId; ++element) {
        const unsigned values = is_pseudo_element(element) ? 1 : kCopyValuesPerElement;
        for (unsigned i = 0; i < values && CopyIE_STR(source, target, element, i, i) == 0; ++i) {
        }
    }
    MSG_Copy_Via(source, target);
    return 0;
}

int CKZSIPGroup::MSG_Copy_Via(sip_msg* source, sip_msg* target) {
    unsigned index = 0;
    for (; index < sip_ie::MAX_VALUES; ++index) {
        if (CopyIE_STR(source, target, KZ_IE_SIP_VIA_ADDRESS, index, index) != 0) break;
        copy_if_present(source, target, KZ_IE_SIP_VIA_PROTOCOL, index);
        for (uint32_t parameter : kViaParameters)
            copy_if_present(source, target, parameter, index);
    }
    for (uint32_t element : kViaElements)
        MSG_RemoveIE_STR(target, element, index);
    return 0;
}

int CKZSIPGroup::MSG_Copy_IE_Elements(sip_msg* source, sip_msg* target, uint32_t element) {
    if (element == KZ_IE_SIP_PROTOCOL || element == KZ_IE_SIP_TCP_SOCKET ||
        element == KZ_IE_SIP_RAW_MESSAGE) {
        char value[kIEBufferSize];
        if (MSG_GetIE_STR(source, element, 0, value) == 0 && CopyIE_STR(source, target, element, 0, 0) == 0)
            CKZLogInterface::Log(kTrace, "MSG_Copy_IE_Elements %d %s", static_cast<int>(element), value);
        return 0;
    }
    unsigned index = 0;
    while (index < kCopyIEElementsMax && CopyIE_STR(source, target, element, index, index) == 0)
        ++index;
    MSG_RemoveIE_STR(target, element, index);
    return 0;
}

int CKZSIPGroup::AddRouteInfo(sip_msg* source, sip_msg* target, bool as_route) {
    const uint32_t target_element = as_route ? KZ_IE_SIP_ROUTE : KZ_IE_SIP_RECORD_ROUTE;
    unsigned index = 0;
    while (index < sip_ie::MAX_VALUES &&
           CopyIE_2_IE_STR(source, target, KZ_IE_SIP_RECORD_ROUTE, target_element, index, index) == 0)
        ++index;
    MSG_RemoveIE_STR(target, target_element, index);
    return 0;
}

// ---- routes and Vias ----

int CKZSIPGroup::MSG_AddLatestRecordRoute(sip_msg* message, const char* text) {
    return add_latest(message, KZ_IE_SIP_RECORD_ROUTE, text);
}

int CKZSIPGroup::MSG_AddLatestRoute(sip_msg* message, const char* text) {
    return add_latest(message, KZ_IE_SIP_ROUTE, text);
}

int CKZSIPGroup::MSG_AddLatestViaAddr(sip_msg* message, const char* address) {
    if (!message || !address) return -1;
    for (unsigned i = value_count(message, KZ_IE_SIP_VIA_ADDRESS); i-- > 0;)
        for (uint32_t element : kViaElements)
            move_value_down(message, element, i);
    for (uint32_t parameter : kViaParameters)
        empty_value(message, parameter, 0);
    MSG_SetIE_STR(message, KZ_IE_SIP_VIA_PROTOCOL, 0, "SIP/2.0/UDP");
    return MSG_SetIE_STR(message, KZ_IE_SIP_VIA_ADDRESS, 0, address) == 0 ? 0 : -1;
}

int CKZSIPGroup::MSG_RemoveLatestRoute(sip_msg* message) {
    const unsigned count = value_count(message, KZ_IE_SIP_ROUTE);
    if (count == 0) return -1;
    empty_value(message, KZ_IE_SIP_ROUTE, 0);
    char value[kIEBufferSize];
    for (unsigned i = 1; i < count; ++i)
        if (MSG_GetIE_STR(message, KZ_IE_SIP_ROUTE, i, value) == 0)
            MSG_SetIE_STR(message, KZ_IE_SIP_ROUTE, i - 1, value);
    empty_value(message, KZ_IE_SIP_ROUTE, count - 1);
    return 0;
}

uint32_t CKZSIPGroup::MSG_GetLatestViaAddr(sip_msg* message, char* buffer, unsigned size) {
    return MSG_GetIE_STR(message, KZ_IE_SIP_VIA_ADDRESS, 0, buffer, size);
}

// ---- common response elements ----

unsigned CKZSIPGroup::SetCopyCommonSendIE(sip_msg* request, sip_msg* response, const CKZSIPGroup* group) {
    MSG_AddIE_STR(response, KZ_IE_SIP_RESPONSE_LINE_PROTVERSION, 0, "SIP/2.0");
    MSG_AddIE_STR(response, KZ_IE_SIP_USER_AGENT, 0, group ? group->GetSIPUserAgent() : "KZAPISIPUA");
    MSG_AddIE_STR(response, KZ_IE_SIP_MAX_FORWARDS, 0, "70");

    unsigned vias = 0;
    while (vias < sip_ie::MAX_VALUES && copy_request_via(request, response, vias))
        ++vias;
    const bool to = CopyIE_STR(request, response, KZ_IE_SIP_TO, 0, 0) == 0;
    const bool from = CopyIE_STR(request, response, KZ_IE_SIP_FROM, 0, 0) == 0;
    CopyIE_STR(request, response, KZ_IE_SIP_PROTOCOL, 0, 0);
    return vias > 0 && to && from ? 1 : 0;
}

void CKZSIPGroup::SetMessageAllowField(sip_msg* message) {
    unsigned index = 0;
    for (const char* method : kAllowedMethods)
        MSG_SetIE_STR(message, KZ_IE_SIP_ALLOW, index++, method);
}

void CKZSIPGroup::DumpSIPMessage(sip_msg* message) {
    if (!message || message->is_empty() || !CKZLogInterface::IsEnabled(kTrace)) return;
    static constexpr char kFrame[] = "========================================";
    static_assert(sizeof(kFrame) - 1 == 40, "the frame is forty characters");
    CKZLogInterface::Log(kTrace, kSIPCategory, "%s", kFrame);
    char value[kIEBufferSize];
    for (uint32_t element = 1; element <= kLastCatalogueId; ++element) {
        const unsigned values = is_pseudo_element(element) ? 1 : kDumpValuesPerElement;
        for (unsigned i = 0; i < values; ++i)
            if (MSG_GetIE_STR(message, element, i, value) == 0)
                CKZLogInterface::Log(kTrace, kSIPCategory, "%s [%d]: %s", kz_sip_ie_name(element),
                                     static_cast<int>(i), value);
    }
    CKZLogInterface::Log(kTrace, kSIPCategory, "%s", kFrame);
}

// CKZSIPGroup: construction, the entry-point table, settings and the stack and queue wrappers.
#include "server/CKZSIPGroup.h"

#include "host/CKZServer.h"
#include "host/KZStrFunc.h"
#include "sipstack/kz_sip_msgfuncs.h"
#include "sipstack/sip_group.h"

#include <atomic>
#include <cstring>
#include <mutex>

namespace {

// The stack's address filters, which the flat interface does not carry.
int filter_set(void* stack, const char* text, int list, int add) {
    if (!stack || !text) return 0;
    return static_cast<sip_group*>(stack)->Filter().Set(text, list, add);
}

int filter_count(void* stack, int list) {
    if (!stack) return 0;
    return static_cast<int>(static_cast<sip_group*>(stack)->Filter().Count(list));
}

std::string filter_item(void* stack, int list, int index) {
    if (!stack || index < 0) return std::string();
    return static_cast<sip_group*>(stack)->Filter().Item(list, static_cast<unsigned>(index));
}

CKZSIPGroup::EntryPoints make_entry_points() {
    const KZSIPMessageFunctions& f = kz_sip_message_functions();
    CKZSIPGroup::EntryPoints e{};
    e.sip_open = KZ_SIP_Open;
    e.sip_close = KZ_SIP_Close;
    e.sip_set_config = KZ_SIP_SetConfig;
    e.sip_get_config = KZ_SIP_GetConfig;
    e.sip_start = KZ_SIP_Start;
    e.sip_stop = KZ_SIP_Stop;
    e.sip_get_connection_id = KZ_SIP_GetConnectionId;
    e.sip_send_message = KZ_SIP_SendMessage;
    e.sip_get_message = KZ_SIP_GetMessage;
    e.queue_create = KZ_QUEUE_Create;
    e.queue_destroy = KZ_QUEUE_Destroy;
    e.queue_attach = KZ_QUEUE_Attach;
    e.queue_detach = KZ_QUEUE_Detach;
    e.queue_wait_on_event = KZ_QUEUE_WaitOnEvent;
    e.msg_alloc = f.alloc_msg;
    e.msg_free = f.free_msg;
    e.msg_add_ie = f.add_ie;
    e.msg_replace_ie = f.replace_ie;
    e.msg_get_ie = f.get_ie;
    e.msg_remove_ie = f.remove_ie;
    e.get_external_msg = f.get_external_msg;
    e.send_cancel = f.send_cancel;
    e.send_external = f.send_external;
    e.terminate_connection = f.terminate_connection;
    e.set_ip_filter = filter_set;
    e.get_ip_filter_count = filter_count;
    e.get_ip_filter_item = filter_item;
    return e;
}

// Published once filled; readers on other threads see either nothing or the whole table.
std::atomic<const CKZSIPGroup::EntryPoints*> g_entry_points{nullptr};

} // namespace

void CKZSIPGroup::FillEntryPoints() {
    static std::once_flag once;
    std::call_once(once, [] {
        static const EntryPoints table = make_entry_points();
        g_entry_points.store(&table, std::memory_order_release);
    });
}

const CKZSIPGroup::EntryPoints* CKZSIPGroup::GetEntryPoints() {
    return g_entry_points.load(std::memory_order_acquire);
}

CKZSIPGroup::CKZSIPGroup(const char* library_name) {
    if (library_name && *library_name)
        m_library_name = 1;
    else
        FillEntryPoints();
}

CKZSIPGroup::~CKZSIPGroup() {
    if (m_sip_handle) Close();
}

// ---- settings ----

void CKZSIPGroup::SetUsePublicIPInRTP(const char* address) {
    KZAPI::str_cpy(m_public_ip_in_rtp, address ? address : "", sizeof(m_public_ip_in_rtp));
}

void CKZSIPGroup::SetSTUNServer(int index, const char* server) {
    if (index < 0 || index >= kSTUNServerCount) return;
    KZAPI::str_cpy(m_stun_servers[index], server ? server : "", sizeof(m_stun_servers[index]));
}

const char* CKZSIPGroup::GetSTUNServer(int index) const {
    if (index < 0 || index >= kSTUNServerCount) return "";
    return m_stun_servers[index];
}

void CKZSIPGroup::SetRealPublicSIPIP(const char* address) {
    KZAPI::str_cpy(m_real_public_sip_ip, address ? address : "", sizeof(m_real_public_sip_ip));
}

void CKZSIPGroup::SetSIPUserAgent(const char* user_agent) {
    KZAPI::str_cpy(m_user_agent, user_agent ? user_agent : "", sizeof(m_user_agent));
}

void CKZSIPGroup::SetSIPProxyName(const char* name) {
    KZAPI::str_cpy(m_sip_proxy_name, name ? name : "", sizeof(m_sip_proxy_name));
}

bool CKZSIPGroup::IsSIPProxyAsterisk() const {
    return strstr(m_sip_proxy_name, "Asterisk") != nullptr;
}

// ---- stack and queue ----

uint32_t CKZSIPGroup::Open() {
    auto open = Entry(&EntryPoints::sip_open);
    return open ? open(&m_sip_handle) : kFailure;
}

uint32_t CKZSIPGroup::Close() {
    auto close = Entry(&EntryPoints::sip_close);
    if (!m_sip_handle || !close) return 0;
    const uint32_t result = close(m_sip_handle);
    m_sip_handle = nullptr;
    return result;
}

uint32_t CKZSIPGroup::Stop() {
    auto stop = Entry(&EntryPoints::sip_stop);
    return stop ? stop(m_sip_handle) : kFailure;
}

uint32_t CKZSIPGroup::GetConfig(KZ_SIPProtocolConfig* config) {
    auto get = Entry(&EntryPoints::sip_get_config);
    return get ? get(m_sip_handle, config) : kFailure;
}

uint32_t CKZSIPGroup::SetConfig(KZ_SIPProtocolConfig* config) {
    auto set = Entry(&EntryPoints::sip_set_config);
    return set ? set(m_sip_handle, config) : kFailure;
}

int CKZSIPGroup::CreateEventQueue() {
    auto create = Entry(&EntryPoints::queue_create);
    auto attach = Entry(&EntryPoints::queue_attach);
    if (!create || !attach || !m_sip_handle) return QUEUE_NO_STACK;
    if (create(KZ_QUEUE_POLLED, &m_event_queue) != KZ_SIP_RESULT_OK) return QUEUE_NOT_CREATED;
    if (attach(m_event_queue, m_sip_handle, this) != KZ_SIP_RESULT_OK) return QUEUE_NOT_ATTACHED;
    return QUEUE_OK;
}

int CKZSIPGroup::DestroyEventQueue() {
    auto detach = Entry(&EntryPoints::queue_detach);
    auto destroy = Entry(&EntryPoints::queue_destroy);
    if (!detach || !destroy || !m_sip_handle) return QUEUE_NO_STACK;
    if (detach(m_event_queue, m_sip_handle) != KZ_SIP_RESULT_OK) return QUEUE_NOT_DETACHED;
    if (destroy(m_event_queue) != KZ_SIP_RESULT_OK) return QUEUE_NOT_DESTROYED;
    m_event_queue = nullptr;
    return QUEUE_OK;
}

uint32_t CKZSIPGroup::WaitOnEvent(unsigned timeout, KZSIPEvent* event) {
    auto wait = Entry(&EntryPoints::queue_wait_on_event);
    if (!wait || !m_event_queue) return kFailure;
    return wait(m_event_queue, timeout, event);
}

uint32_t CKZSIPGroup::GetConnectionId(uint32_t* id) {
    auto get = Entry(&EntryPoints::sip_get_connection_id);
    if (!get) return kFailure;
    void* value = nullptr;
    const uint32_t result = get(m_sip_handle, &value);
    if (result == 0 && id) *id = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(value));
    return result;
}

uint32_t CKZSIPGroup::TerminateConnection(uint32_t id) {
    auto terminate = Entry(&EntryPoints::terminate_connection);
    if (!terminate) return kFailure;
    return terminate(m_sip_handle, reinterpret_cast<void*>(static_cast<uintptr_t>(id)));
}

int CKZSIPGroup::SetIPFilter(const char* text, int kind, int mode) {
    auto set = Entry(&EntryPoints::set_ip_filter);
    return set ? set(m_sip_handle, text, kind, mode) : -1;
}

int CKZSIPGroup::GetIPFilterCount(int kind) {
    auto count = Entry(&EntryPoints::get_ip_filter_count);
    return count ? count(m_sip_handle, kind) : -1;
}

std::string CKZSIPGroup::GetIPFilterItem(int kind, int index) {
    auto item = Entry(&EntryPoints::get_ip_filter_item);
    return item ? item(m_sip_handle, kind, index) : std::string();
}

// ---- start ----

uint32_t CKZSIPGroup::StartTransports() {
    auto start = Entry(&EntryPoints::sip_start);
    return start ? start(m_sip_handle) : kFailure;
}

// The public SIP address is the announced RTP address when one is configured ("0" means none);
// without it, STUN detection decides unless the configured (NAT) address is to be used.
uint32_t CKZSIPGroup::Start() {
    const bool announced = m_public_ip_in_rtp[0] && strcmp(m_public_ip_in_rtp, "0") != 0;
    if (!announced && !m_use_nat_addr) {
        AutoDetectNatType();
        return StartTransports();
    }
    KZ_SIPProtocolConfig config{};
    GetConfig(&config);
    if (announced)
        SetRealPublicSIPIP(m_public_ip_in_rtp);
    else
        SettleConfiguredPublicAddress(config);
    m_real_public_sip_port = config.sip_port > 0 ? static_cast<uint16_t>(config.sip_port) : kDefaultSIPPort;
    return StartTransports();
}

// The configured address, else the first public local address, else the first local address.
void CKZSIPGroup::SettleConfiguredPublicAddress(const KZ_SIPProtocolConfig& config) {
    SetRealPublicSIPIP(config.local_address);
    FallBackToLocalAddress();
}

void CKZSIPGroup::FallBackToLocalAddress() {
    if (m_real_public_sip_ip[0]) return;
    SetRealPublicSIPIP(KZAPI::CKZServer::GetFirstLocalPublicIP());
    if (!m_real_public_sip_ip[0]) SetRealPublicSIPIP(KZAPI::CKZServer::GetLocalIP(0));
}

// CKZSIPGroup: the module's handle on one SIP stack instance. It opens, configures, starts and
// closes the stack and its polled event queue, knows the address and port under which the module
// is reachable from outside (found with STUN or configured), and composes the common responses
// and in-dialog requests. Static helpers edit message records element by element through the
// stack's message functions.
#pragma once

#include "include/kzsipapi.h"
#include "sipmsg/kz_sip_export.h"
#include "sipmsg/kz_sip_result.h"
#include "sipmsg/sip_msg.h"

#include <cstdint>
#include <string>

class KZSIPAPI_EXPORT CKZSIPGroup {
public:
    static constexpr unsigned kAddressTextSize = 256;
    static constexpr unsigned kLongTextSize = 512;
    // Element values are read into caller buffers of this size.
    static constexpr unsigned kIEBufferSize = 512;
    static constexpr int kSTUNServerCount = 6;
    static constexpr uint16_t kDefaultSIPPort = 5060;
    // The result of every operation whose stack entry point is missing, and of a failed NAT test.
    static constexpr uint32_t kFailure = KZ_SIP_RESULT_FAILURE;

    // Results of CreateEventQueue and DestroyEventQueue.
    enum QueueResult : int {
        QUEUE_OK = 0,
        QUEUE_NO_STACK = -1,      // entry point or stack missing
        QUEUE_NOT_CREATED = -2,   // create
        QUEUE_NOT_ATTACHED = -3,  // create
        QUEUE_NOT_DETACHED = -2,  // destroy
        QUEUE_NOT_DESTROYED = -3, // destroy
    };

    // NAT classification codes (the odd bit 1 and bit 16 of a raw test result say that the NAT
    // preserves ports and hairpins; AutoDetectNatType strips them into flags).
    enum : uint32_t {
        NAT_OPEN = 0,
        NAT_INDEPENDENT_FILTER = 2,
        NAT_ADDRESS_FILTER = 4,
        NAT_PORT_FILTER = 6,
        NAT_DEPENDENT_MAPPING = 8,
        NAT_FIREWALL = 10,
        NAT_BLOCKED = 12,
        NAT_OTHER = 14,
        NAT_UNKNOWN_ERROR = 238,
        NAT_FLAG_PRESERVES_PORT = 1,
        NAT_FLAG_HAIRPIN = 16,
    };

    // The Via and SDP address chosen for the next request or response of a call.
    struct SDP_AND_VIA_ADDR {
        char via_address[kAddressTextSize];
        uint16_t via_port;
        char sdp_address[kAddressTextSize];
        uint16_t sdp_port;
    };

    // The stack's functions, reached through one process-wide table that the first group
    // constructed without a library name fills.
    struct EntryPoints {
        uint32_t (*sip_open)(void** stack);
        uint32_t (*sip_close)(void* stack);
        uint32_t (*sip_set_config)(void* stack, KZ_SIPProtocolConfig* config);
        uint32_t (*sip_get_config)(void* stack, KZ_SIPProtocolConfig* config);
        uint32_t (*sip_start)(void* stack);
        uint32_t (*sip_stop)(void* stack);
        uint32_t (*sip_get_connection_id)(void* stack, void** id);
        uint32_t (*sip_send_message)(void* stack, void* msg, char* host, unsigned short port, void* id);
        uint32_t (*sip_get_message)(void* stack, void** msg, char* address, unsigned* size,
                                    unsigned short* port, char* text, int value);
        uint32_t (*queue_create)(KZQueueType type, void** queue);
        uint32_t (*queue_destroy)(void* queue);
        uint32_t (*queue_attach)(void* queue, void* stack, void* user_data);
        uint32_t (*queue_detach)(void* queue, void* stack);
        uint32_t (*queue_wait_on_event)(void* queue, unsigned timeout, KZSIPEvent* event);
        uint32_t (*msg_alloc)(void** msg);
        uint32_t (*msg_free)(void* msg);
        uint32_t (*msg_add_ie)(void* msg, uint32_t id, unsigned index, const char* value);
        uint32_t (*msg_replace_ie)(void* msg, uint32_t id, unsigned index, const char* value);
        uint32_t (*msg_get_ie)(void* msg, uint32_t id, unsigned index, char* buffer, unsigned* size);
        uint32_t (*msg_remove_ie)(void* msg, uint32_t id, unsigned index);
        uint32_t (*get_external_msg)(void* stack, char* buffer, unsigned* size, char* address,
                                     unsigned address_size, unsigned short* port);
        uint32_t (*send_cancel)(void* stack, void* msg, const char* host, unsigned short port,
                                uint32_t new_id, uint32_t dialog_id);
        uint32_t (*send_external)(void* stack, const char* text, const char* host, unsigned short port,
                                  int32_t protocol, void* connection);
        uint32_t (*terminate_connection)(void* stack, void* connection);
        int (*set_ip_filter)(void* stack, const char* text, int list, int add);
        int (*get_ip_filter_count)(void* stack, int list);
        std::string (*get_ip_filter_item)(void* stack, int list, int index);
    };

    // Without a library name the entry-point table is filled (once per process); with one only
    // the library-name flag is set.
    explicit CKZSIPGroup(const char* library_name = nullptr);
    ~CKZSIPGroup();
    CKZSIPGroup(const CKZSIPGroup&) = delete;
    CKZSIPGroup& operator=(const CKZSIPGroup&) = delete;

    // The table as filled so far (null before any group filled it).
    static const EntryPoints* GetEntryPoints();

    // ---- stack and queue ----
    uint32_t Open();
    uint32_t Close(); // 0 also when there is nothing to close
    uint32_t Stop();
    uint32_t GetConfig(KZ_SIPProtocolConfig* config);
    uint32_t SetConfig(KZ_SIPProtocolConfig* config);
    // Settles the public SIP address and port (configured, or detected with STUN) and starts
    // the transports.
    uint32_t Start();
    // QUEUE_OK, QUEUE_NO_STACK, QUEUE_NOT_CREATED or QUEUE_NOT_ATTACHED.
    int CreateEventQueue();
    // QUEUE_OK, QUEUE_NO_STACK, QUEUE_NOT_DETACHED or QUEUE_NOT_DESTROYED.
    int DestroyEventQueue();
    uint32_t WaitOnEvent(unsigned timeout, KZSIPEvent* event);
    uint32_t GetConnectionId(uint32_t* id);
    uint32_t TerminateConnection(uint32_t id);
    // Address filters: kind 0 deny list, 1 allow list; mode non-zero adds, zero deletes.
    int SetIPFilter(const char* text, int kind, int mode);
    int GetIPFilterCount(int kind);
    std::string GetIPFilterItem(int kind, int index);

    void* GetSIPHandle() const { return m_sip_handle; }
    void* GetEventQueue() const { return m_event_queue; }
    unsigned IsLibraryNameSet() const { return m_library_name; }

    // ---- NAT ----
    // Classifies the NAT with the configured STUN servers and settles the public SIP address
    // and port; returns the NAT type.
    uint32_t AutoDetectNatType();
    // One NAT test against stun_server from local_address:local_port (0 = 5060): a NAT code
    // plus NAT_FLAG_* bits, or kFailure.
    uint32_t CheckNATType(const char* stun_server, const char* local_address, uint16_t local_port);
    // The public address and port that the STUN server sees for a binding from address:port
    // (address may be null or empty for any local address). On success the mapped address is
    // written back into address (which must hold 16 characters) and port; returns 1, else 0.
    int GetMappedPublicIPAndPort(int stun_index, char* address, uint16_t& port);
    int GetMappedPublicIPAndPort(const char* stun_server, char* address, uint16_t& port);

    // ---- settings ----
    void SetUsePublicIPInRTP(const char* address);
    const char* GetUsePublicIPInRTP() const { return m_public_ip_in_rtp; }
    void SetUseNATAddr(unsigned use) { m_use_nat_addr = use; }
    unsigned IsUsingNATAddr() const { return m_use_nat_addr; }
    // Sets the in-NAT flag; the detected NAT type stays as it is.
    void SetNATType(unsigned in_nat) { m_in_nat = in_nat; }
    unsigned IsInNAT() const { return m_in_nat; }
    uint32_t GetNATType() const { return m_nat_type; }
    unsigned IsNATPreservingPorts() const { return m_preserves_ports; }
    unsigned IsNATHairpinning() const { return m_hairpin; }
    void SetSTUNServer(int index, const char* server);
    const char* GetSTUNServer(int index) const;
    void SetRealPublicSIPIP(const char* address);
    const char* GetRealPublicSIPIP() const { return m_real_public_sip_ip; }
    void SetRealPublicSIPPort(uint16_t port) { m_real_public_sip_port = port; }
    uint16_t GetRealPublicSIPPort() const { return m_real_public_sip_port; }
    void SetSIPUserAgent(const char* user_agent);
    const char* GetSIPUserAgent() const { return m_user_agent; }
    void SetSIPProxyName(const char* name);
    const char* GetSIPProxyName() const { return m_sip_proxy_name; }
    bool IsSIPProxyAsterisk() const;

    // ---- messages (stack results: 0 or a KZ_SIP_ERR_* code) ----
    static uint32_t AllocMessage(sip_msg** message);
    static uint32_t FreeMessage(sip_msg* message);
    // The message of the last event of the stack's queue (a copy the caller frees) with its
    // sender address and port. handle is the stack the event came from (KZSIPEvent::stack).
    static uint32_t GetMessage(void* handle, sip_msg** message, char* address, unsigned* length,
                               unsigned short* port, char* text = nullptr, int value = 0);
    static uint32_t GetExternalMessage(void* handle, char* buffer, unsigned* size, char* address,
                                       unsigned address_size, unsigned short* port);
    // address null and port 0: along the connection or the message's own routing.
    static uint32_t SendMessage(void* handle, sip_msg* message, const char* address, unsigned short port,
                                uint32_t connection);
    static uint32_t SendExternalMessage(void* handle, const char* text, const char* address,
                                        unsigned short port, int32_t protocol, void* connection);
    static uint32_t SendCancel(void* handle, sip_msg* message, const char* address, unsigned short port,
                               uint32_t new_connection, uint32_t dialog_connection);

    static uint32_t MSG_AddIE_STR(sip_msg* message, uint32_t element, unsigned index, const char* text);
    // Reads into buffer (kIEBufferSize bytes unless size says otherwise).
    static uint32_t MSG_GetIE_STR(sip_msg* message, uint32_t element, unsigned index, char* buffer,
                                  unsigned size = kIEBufferSize);
    static uint32_t MSG_RemoveIE_STR(sip_msg* message, uint32_t element, unsigned index);
    static uint32_t MSG_ReplaceIE_STR(sip_msg* message, uint32_t element, unsigned index, const char* text);
    // Replaces the value when present, else adds it.
    static uint32_t MSG_SetIE_STR(sip_msg* message, uint32_t element, unsigned index, const char* text);

    // Copies every element (at most 10 values each) and all Vias; returns 0.
    static int MSG_Copy(sip_msg* source, sip_msg* target);
    static int MSG_Copy_Via(sip_msg* source, sip_msg* target);
    static int MSG_Copy_IE_Elements(sip_msg* source, sip_msg* target, uint32_t element);
    // 0 when the value was copied, -1 when the source lacks it or the target refused it.
    static int CopyIE_STR(sip_msg* source, sip_msg* target, uint32_t element, unsigned source_index,
                          unsigned target_index);
    static int CopyIE_2_IE_STR(sip_msg* source, sip_msg* target, uint32_t source_element,
                               uint32_t target_element, unsigned source_index, unsigned target_index);
    // The source's Record-Route values into the target as Record-Route (or Route); returns 0.
    static int AddRouteInfo(sip_msg* source, sip_msg* target, bool as_route);
    static int MSG_AddLatestRecordRoute(sip_msg* message, const char* text);
    static int MSG_AddLatestRoute(sip_msg* message, const char* text);
    // A new topmost Via "SIP/2.0/UDP address"; the others move one index down.
    static int MSG_AddLatestViaAddr(sip_msg* message, const char* address);
    static int MSG_RemoveLatestRoute(sip_msg* message);
    static uint32_t MSG_GetLatestViaAddr(sip_msg* message, char* buffer, unsigned size = kIEBufferSize);
    // Version, User-Agent, Max-Forwards, Vias, To, From and transport of a response from its
    // request; 1, or 0 when no Via could be copied or To or From is missing.
    static unsigned SetCopyCommonSendIE(sip_msg* request, sip_msg* response, const CKZSIPGroup* group);
    static void SetMessageAllowField(sip_msg* message);
    static void DumpSIPMessage(sip_msg* message);

    // ---- addresses ----
    // IPv4 address (network order) of a dotted address or host name; 0 when unknown.
    static uint32_t GetRealInetAddr(const char* text);
    // Splits a SIP address in place; user, host and port point into text (null when absent).
    // 1 on success, 0 for a null argument or a text that cannot be classified.
    static int GetSIPAddressInfo(char* text, char** user, char** host, char** port);
    static int UnsignedNumberOnlyCheck(const char* text);

    // ---- standard messages: 1 when handed to the stack, else 0 ----
    unsigned SIP_Send1xx(sip_msg* request, uint32_t connection, const char* code, const char* reason);
    unsigned SIP_Send4xx(sip_msg* request, uint32_t connection, const char* code, const char* reason);
    // to_tag may be null or empty; expires below 0 sends no Expires.
    unsigned SIP_SendOK(sip_msg* request, uint32_t connection, bool with_allow, const char* to_tag,
                        int expires);
    unsigned SIP_SendRegOK(sip_msg* request, uint32_t connection, int expires, bool with_allow);
    unsigned SIP_Send407(sip_msg* request, uint32_t connection);
    unsigned SIP_SendACK(sip_msg* response, uint32_t connection);
    // same_direction keeps From and To as in the message; otherwise the parties are swapped.
    unsigned SIP_SendBye(sip_msg* dialog_message, bool same_direction, uint32_t connection,
                         const char* address, uint16_t port);
    unsigned SIP_SendCancel(sip_msg* invite, uint32_t connection, uint32_t dialog);
    // PRACK is not sent by the group.
    uint32_t SIP_SendPRACK(sip_msg* response, uint32_t connection);

private:
    // The table's entry (null when the table is not filled).
    template <class F> static F Entry(F EntryPoints::*member) {
        const EntryPoints* table = GetEntryPoints();
        return table ? table->*member : nullptr;
    }
    static void FillEntryPoints();

    uint32_t StartTransports();
    void SettleConfiguredPublicAddress(const KZ_SIPProtocolConfig& config);
    void LogSTUNServers() const;
    uint32_t DetectWithSTUNServers(const char* local_address, uint16_t local_port, int* selected);
    void MapPublicAddress(const char* stun_server, const char* local_address, uint16_t local_port);
    void StoreNATType(uint32_t result, bool take_flags);
    void LogNATType() const;
    void FallBackToLocalAddress();

    unsigned SendStatus(sip_msg* request, uint32_t connection, const char* code, const char* reason);
    unsigned HandToStack(sip_msg* message, uint32_t connection, const char* address = nullptr,
                         uint16_t port = 0);
    bool FillByeParties(sip_msg* source, sip_msg* bye, bool same_direction);

    void* m_sip_handle = nullptr;
    void* m_event_queue = nullptr;
    unsigned m_library_name = 0;
    char m_public_ip_in_rtp[kAddressTextSize] = {};
    unsigned m_use_nat_addr = 0;
    unsigned m_in_nat = 0;
    uint32_t m_nat_type = 0;
    unsigned m_preserves_ports = 0;
    unsigned m_hairpin = 0;
    char m_stun_servers[kSTUNServerCount][kAddressTextSize] = {};
    char m_real_public_sip_ip[kAddressTextSize] = {};
    uint16_t m_real_public_sip_port = kDefaultSIPPort;
    char m_user_agent[kLongTextSize] = {};
    char m_sip_proxy_name[kLongTextSize] = {};

    static_assert(sizeof(m_public_ip_in_rtp) == 256, "public RTP address holds 255 characters");
    static_assert(sizeof(m_stun_servers) == 6 * 256, "six STUN servers of 255 characters");
    static_assert(sizeof(m_real_public_sip_ip) == 256, "public SIP address holds 255 characters");
    static_assert(sizeof(m_user_agent) == 512, "User-Agent holds 511 characters");
    static_assert(sizeof(m_sip_proxy_name) == 512, "proxy name holds 511 characters");
};

static_assert(sizeof(CKZSIPGroup::SDP_AND_VIA_ADDR::via_address) == 256, "Via address holds 255 characters");
static_assert(sizeof(CKZSIPGroup::SDP_AND_VIA_ADDR::sdp_address) == 256, "SDP address holds 255 characters");

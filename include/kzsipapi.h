/* The flat interface of the KZSIPAPI stack: open a stack, attach an event queue, start the
 * transports, send messages within dialogs and take events. Messages travel as opaque pointers
 * (sip_msg records, declared in sipmsg/sip_msg.h for C++ users). The header compiles as C too:
 * there the event and configuration records are declared here with the same layout. */
#ifndef KZSIPAPI_H
#define KZSIPAPI_H

#include <stddef.h>
#include <stdint.h>

#include "sipstack/KZ_SIPStackStats.h"

#ifdef __cplusplus

#include "sipmsg/KZSIPEvent.h"
#include "sipmsg/kz_sip_defs.h"
#include "sipstack/KZ_SIPProtocolConfig.h"

#define KZSIP_API extern "C" __attribute__((visibility("default")))

enum KZQueueType : int { KZ_QUEUE_POLLED = 0, KZ_QUEUE_THREADED = 1 };

#else /* C */

#define KZSIP_API extern __attribute__((visibility("default")))

struct sip_msg;

typedef struct KZSIPEvent {
    uint32_t event_type;
    void* stack;
    uint64_t reserved;
    void* user_data;
    uint32_t code;
    uint32_t connection_id;
    struct sip_msg* message;
    char raw_text[2048];
    int32_t protocol;
    void* connection;
} KZSIPEvent;

typedef struct KZ_SIPProtocolConfig {
    char local_address[256];
    int32_t sip_port;
    int32_t transport_mask;
} KZ_SIPProtocolConfig;

enum { KZ_SIP_TRANSPORT_UDP = 1, KZ_SIP_TRANSPORT_TCP = 2, KZ_SIP_TRANSPORT_TLS = 4 };

typedef int KZQueueType;
enum { KZ_QUEUE_POLLED = 0, KZ_QUEUE_THREADED = 1 };

#endif

/* Both languages must see the same records (checked for the 64-bit Linux layout). */
#if defined(__x86_64__) || defined(__aarch64__)
#ifdef __cplusplus
#define KZSIPAPI_STATIC_ASSERT static_assert
#else
#define KZSIPAPI_STATIC_ASSERT _Static_assert
#endif
KZSIPAPI_STATIC_ASSERT(sizeof(KZSIPEvent) == 2112 && offsetof(KZSIPEvent, raw_text) == 48 &&
                           offsetof(KZSIPEvent, connection) == 2104,
                       "KZSIPEvent has one layout in C and C++");
KZSIPAPI_STATIC_ASSERT(sizeof(KZ_SIPProtocolConfig) == 264,
                       "KZ_SIPProtocolConfig has one layout in C and C++");
#undef KZSIPAPI_STATIC_ASSERT
#endif

typedef void (*KZ_SIP_EVENT_HANDLER)(KZSIPEvent* event);

/* KZ_QUEUE_WaitOnEvent: no event this time, but received input is still waiting; poll again at
 * once instead of sleeping. */
#define KZ_QUEUE_MORE_WAITING 0xA00007u

KZSIP_API uint32_t KZ_SIP_Open(void** stack);
KZSIP_API uint32_t KZ_SIP_Close(void* stack);
KZSIP_API uint32_t KZ_SIP_SetConfig(void* stack, KZ_SIPProtocolConfig* config);
KZSIP_API uint32_t KZ_SIP_GetConfig(void* stack, KZ_SIPProtocolConfig* config);
KZSIP_API uint32_t KZ_SIP_Start(void* stack);
KZSIP_API uint32_t KZ_SIP_Stop(void* stack);
KZSIP_API uint32_t KZ_SIP_GetConnectionId(void* stack, void** connection_id);
KZSIP_API uint32_t KZ_SIP_SendMessage(void* stack, void* msg, char* host, unsigned short port,
                                      void* connection_id);
/* The stack's counters (received, delivered, discarded, queued, undeliverable, dialogs). */
KZSIP_API uint32_t KZ_SIP_GetStats(void* stack, KZ_SIPStackStats* stats);
KZSIP_API uint32_t KZ_SIP_GetMessage(void* stack, void** msg, char* address, unsigned* size,
                                     unsigned short* port, char* unused_text, int unused_value);

KZSIP_API uint32_t KZ_QUEUE_Create(KZQueueType type, void** queue);
KZSIP_API uint32_t KZ_QUEUE_Destroy(void* queue);
KZSIP_API uint32_t KZ_QUEUE_Attach(void* queue, void* stack, void* user_data);
KZSIP_API uint32_t KZ_QUEUE_Detach(void* queue, void* stack);
KZSIP_API uint32_t KZ_QUEUE_SetEventHandler(void* queue, KZ_SIP_EVENT_HANDLER handler);
KZSIP_API uint32_t KZ_QUEUE_GetEventHandler(void* queue, KZ_SIP_EVENT_HANDLER* handler);
KZSIP_API uint32_t KZ_QUEUE_WaitOnEvent(void* queue, unsigned timeout, KZSIPEvent* event);
KZSIP_API uint32_t KZ_QUEUE_Flush(void* queue);
KZSIP_API uint32_t KZ_QUEUE_InjectEvent(KZSIPEvent* event);

#endif /* KZSIPAPI_H */

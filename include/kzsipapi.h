// The flat interface of the KZSIPAPI stack: open a stack, attach an event queue, start the
// transports, send messages within dialogs and take events. Messages are sip_msg records.
#pragma once

#include "sipmsg/KZSIPEvent.h"
#include "sipmsg/kz_sip_defs.h"
#include "sipmsg/sip_msg.h"
#include "sipstack/KZ_SIPProtocolConfig.h"
#include "sipstack/KZ_SIPStackStats.h"

#include <cstdint>

#define KZSIP_API extern "C" __attribute__((visibility("default")))

enum KZQueueType : int { KZ_QUEUE_POLLED = 0, KZ_QUEUE_THREADED = 1 };

typedef void (*KZ_SIP_EVENT_HANDLER)(KZSIPEvent* event);

// KZ_QUEUE_WaitOnEvent: no event this time, but received input is still waiting; poll again at
// once instead of sleeping.
constexpr uint32_t KZ_QUEUE_MORE_WAITING = 0xA00007;

KZSIP_API uint32_t KZ_SIP_Open(void** stack);
KZSIP_API uint32_t KZ_SIP_Close(void* stack);
KZSIP_API uint32_t KZ_SIP_SetConfig(void* stack, KZ_SIPProtocolConfig* config);
KZSIP_API uint32_t KZ_SIP_GetConfig(void* stack, KZ_SIPProtocolConfig* config);
KZSIP_API uint32_t KZ_SIP_Start(void* stack);
KZSIP_API uint32_t KZ_SIP_Stop(void* stack);
KZSIP_API uint32_t KZ_SIP_GetConnectionId(void* stack, void** connection_id);
KZSIP_API uint32_t KZ_SIP_SendMessage(void* stack, void* msg, char* host, unsigned short port,
                                      void* connection_id);
// The stack's counters (received, delivered, discarded, queued, undeliverable, dialogs).
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

/* Compiled, never run: the public header is usable from C, records and all. */
#include "include/kzsipapi.h"

static uint32_t first_event(void* queue, KZSIPEvent* event) {
    KZ_SIPProtocolConfig config = {{0}, 5060, KZ_SIP_TRANSPORT_UDP};
    (void)config;
    event->message = 0;
    return KZ_QUEUE_WaitOnEvent(queue, 0, event);
}

uint32_t (*kzsipapi_c_check)(void*, KZSIPEvent*) = first_event;

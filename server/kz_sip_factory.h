// The module's class factory: the host obtains every object of the module by class code.
#pragma once

#include "sipmsg/kz_sip_export.h"
#include "sipstack/KZ_SIPStackStats.h"

#include <stdint.h>

enum : unsigned {
    KZ_CLASS_SIP_SERVER = 1,
    KZ_CLASS_SIP_EVENT_HANDLER = 6,
    KZ_CLASS_SIP_BOARD = 258,
    KZ_CLASS_SIP_SPAN = 259,
    KZ_CLASS_SIP_CHANNEL = 260,
    KZ_CLASS_SIP_CALL_CONTROL = 261,
};

// A new object of the class, or null for an unknown code or a failed allocation. The pointer is
// that of the object's host base: CKZServer for the server, CKZEventHandler for the event handler.
extern "C" KZSIPAPI_EXPORT void* KZAPI_Alloc_Class_PRC(unsigned code);
// Deletes an object made by KZAPI_Alloc_Class_PRC with the same code; other codes and null do nothing.
extern "C" KZSIPAPI_EXPORT void KZAPI_Free_Class_PRC(unsigned code, void* object);

// The counters of the server's SIP stack (KZ_SIP_GetStats) for a program that holds only the
// server pointer KZAPI_Alloc_Class_PRC gave for KZ_CLASS_SIP_SERVER. 0 on success; a failure
// code when there is no server or its stack is not open.
extern "C" KZSIPAPI_EXPORT uint32_t KZAPI_Server_GetStackStats(void* server, KZ_SIPStackStats* stats);

// Spans, channels and call controls are made by the call-control library, which builds on the
// server: it registers a maker for each of the three codes when the module is loaded (a static
// registrar object linked whole into the module), so the factory serves them without the server
// linking to it. Returns false for other codes.
using KZClassAllocFn = void* (*)();
using KZClassFreeFn = void (*)(void* object);
bool KZ_RegisterClassMaker(unsigned code, KZClassAllocFn allocate, KZClassFreeFn free);

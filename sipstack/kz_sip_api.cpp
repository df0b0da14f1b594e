// The exported flat interface over sip_group and CSIPProcessThread.
#include "include/kzsipapi.h"

#include "host/KZNetAddr.h"
#include "host/KZStrFunc.h"
#include "sipmsg/kz_sip_result.h"
#include "sipmsg/sip_msg_pool.h"
#include "sipstack/CSIPProcessThread.h"
#include "sipstack/sip_group.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr unsigned kQueueStopTimeoutMs = 200;

sip_group* as_stack(void* p) {
    return static_cast<sip_group*>(p);
}
CSIPProcessThread* as_queue(void* p) {
    return static_cast<CSIPProcessThread*>(p);
}

} // namespace

uint32_t KZ_SIP_Open(void** stack) {
    if (!stack) return KZ_SIP_RESULT_NULL_HANDLE;
    auto* s = new (std::nothrow) sip_group();
    if (!s) return KZ_SIP_RESULT_NO_MEMORY;
    s->LoadSettings();
    *stack = s;
    return 0;
}

uint32_t KZ_SIP_Close(void* stack) {
    delete as_stack(stack);
    return 0;
}

uint32_t KZ_SIP_SetConfig(void* stack, KZ_SIPProtocolConfig* config) {
    if (!stack || !config) return KZ_SIP_RESULT_NULL_HANDLE;
    as_stack(stack)->m_config = *config;
    as_stack(stack)->m_config.local_address[sizeof(config->local_address) - 1] = '\0';
    return 0;
}

uint32_t KZ_SIP_GetConfig(void* stack, KZ_SIPProtocolConfig* config) {
    if (!stack || !config) return KZ_SIP_RESULT_NULL_HANDLE;
    *config = as_stack(stack)->m_config;
    return 0;
}

uint32_t KZ_SIP_Start(void* stack) {
    if (!stack) return KZ_SIP_RESULT_NULL_HANDLE;
    // Each transport that fails to open has logged "Couldn't open SIP ... Server" already.
    return as_stack(stack)->StartTransports() ? KZ_SIP_RESULT_OK : KZ_SIP_RESULT_FAILURE;
}

uint32_t KZ_SIP_Stop(void* stack) {
    if (!stack) return KZ_SIP_RESULT_NULL_HANDLE;
    as_stack(stack)->StopTransports();
    return 0;
}

uint32_t KZ_SIP_GetConnectionId(void* stack, void** connection_id) {
    if (!stack || !connection_id) return KZ_SIP_RESULT_NULL_HANDLE;
    *connection_id = reinterpret_cast<void*>(static_cast<uintptr_t>(as_stack(stack)->NewConnectionId()));
    return 0;
}

uint32_t KZ_SIP_SendMessage(void* stack, void* msg, char* host, unsigned short port, void* connection_id) {
    if (!stack || !msg) return KZ_SIP_RESULT_NULL_HANDLE;
    return as_stack(stack)->SendMessage(static_cast<sip_msg*>(msg), host, port,
                                        static_cast<uint32_t>(reinterpret_cast<uintptr_t>(connection_id)));
}

uint32_t KZ_SIP_GetMessage(void* stack, void** msg, char* address, unsigned* size, unsigned short* port,
                           char*, int) {
    if (!stack || !msg) return KZ_SIP_RESULT_NULL_HANDLE;
    CSIPProcessThread* queue = as_stack(stack)->m_process;
    if (!queue) return KZ_SIP_RESULT_FAILURE;
    std::unique_ptr<sip_msg> copy;
    try {
        copy = sip_msg_pool::Take();
    } catch (const std::bad_alloc&) {
        return KZ_SIP_RESULT_NO_MEMORY;
    }
    const sip_msg& current = queue->CurrentMessage();
    copy->copy_msg_from(&current);
    *msg = copy.release();
    if (address && size && *size) {
        std::string text = KZAPI::KZ_InetNtoa(current.get_from_ip());
        KZAPI::str_cpy(address, text.c_str(), *size);
    }
    if (port) *port = current.get_from_port();
    return 0;
}

uint32_t KZ_QUEUE_Create(KZQueueType type, void** queue) {
    if (!queue) return KZ_SIP_RESULT_NULL_HANDLE;
    auto* q = new (std::nothrow) CSIPProcessThread(type);
    if (!q) return KZ_SIP_RESULT_NO_MEMORY;
    if (type == KZ_QUEUE_THREADED) q->StartThread("kz-sip-queue");
    *queue = q;
    return 0;
}

uint32_t KZ_QUEUE_Destroy(void* queue) {
    CSIPProcessThread* q = as_queue(queue);
    if (!q) return KZ_SIP_RESULT_NULL_HANDLE;
    q->StopThread(kQueueStopTimeoutMs);
    if (sip_group* stack = q->Stack(); stack && stack->m_process == q) stack->m_process = nullptr;
    delete q;
    return 0;
}

uint32_t KZ_QUEUE_Attach(void* queue, void* stack, void* user_data) {
    if (!queue || !stack) return KZ_SIP_RESULT_NULL_HANDLE;
    as_stack(stack)->m_process = as_queue(queue);
    as_queue(queue)->Attach(as_stack(stack), user_data);
    return 0;
}

uint32_t KZ_QUEUE_Detach(void* queue, void* stack) {
    if (!queue) return KZ_SIP_RESULT_NULL_HANDLE;
    as_queue(queue)->Detach();
    if (stack && as_stack(stack)->m_process == as_queue(queue)) as_stack(stack)->m_process = nullptr;
    return 0;
}

uint32_t KZ_QUEUE_SetEventHandler(void* queue, KZ_SIP_EVENT_HANDLER handler) {
    if (!queue) return KZ_SIP_RESULT_NULL_HANDLE;
    as_queue(queue)->SetEventHandler(handler);
    return 0;
}

uint32_t KZ_QUEUE_GetEventHandler(void* queue, KZ_SIP_EVENT_HANDLER* handler) {
    if (!queue || !handler) return KZ_SIP_RESULT_NULL_HANDLE;
    *handler = as_queue(queue)->GetEventHandler();
    return 0;
}

uint32_t KZ_QUEUE_WaitOnEvent(void* queue, unsigned /*timeout*/, KZSIPEvent* event) {
    if (!queue || !event) return KZ_SIP_RESULT_NULL_HANDLE;
    switch (as_queue(queue)->RunPass(event, false)) {
    case CSIPProcessThread::PassOutcome::kEvent:
        return KZ_SIP_RESULT_OK;
    case CSIPProcessThread::PassOutcome::kMoreWaiting:
        return KZ_QUEUE_MORE_WAITING;
    default:
        return KZ_SIP_RESULT_FAILURE;
    }
}

uint32_t KZ_SIP_GetStats(void* stack, KZ_SIPStackStats* stats) {
    if (!stack || !stats) return KZ_SIP_RESULT_NULL_HANDLE;
    as_stack(stack)->GetStats(stats);
    return KZ_SIP_RESULT_OK;
}

uint32_t KZ_QUEUE_Flush(void*) {
    return KZ_SIP_RESULT_FAILURE;
}
uint32_t KZ_QUEUE_InjectEvent(KZSIPEvent*) {
    return KZ_SIP_RESULT_FAILURE;
}

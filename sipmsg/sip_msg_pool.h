// sip_msg_pool: message records handed out and taken back by the stack's message functions. A
// record taken back keeps its elements and their text storage, so the next message parsed,
// built or copied into it needs no allocation. Shared by every thread under a short lock, and
// bounded: records beyond kMaxKept are deleted.
#pragma once

#include "sipmsg/kz_sip_export.h"
#include "sipmsg/sip_msg.h"

#include <cstddef>
#include <memory>

class KZSIPAPI_EXPORT sip_msg_pool {
public:
    static constexpr size_t kMaxKept = 128;

    // An empty record: a kept one when there is one, else a new one.
    static std::unique_ptr<sip_msg> Take();
    // Empties the record (elements, addresses, protocol, connection, raw text) and keeps it.
    static void Give(std::unique_ptr<sip_msg> message);
    static size_t Kept();
};

// CKZEventHandler: the host's base of an event dispatcher. A module derives from it to turn its
// protocol's events into call actions; the base answers every hook with "not handled" (0).
#pragma once

namespace KZAPI {

class CKZEventHandler {
public:
    virtual ~CKZEventHandler() = default;

    virtual unsigned ProcessEvent(void* /*event*/) { return 0; }
    virtual unsigned CreateEventQueue() { return 0; }
    virtual unsigned DestroyEventQueue() { return 0; }
    virtual unsigned OnConnect(void* /*call*/) { return 0; }
    virtual unsigned OnConnAck(void* /*call*/) { return 0; }
    virtual unsigned OnDisconnect(void* /*call*/) { return 0; }
    virtual unsigned OnRelComp(void* /*call*/) { return 0; }
    virtual unsigned OnRelease(void* /*call*/) { return 0; }
    virtual unsigned OnSetup(void* /*call*/) { return 0; }
};

} // namespace KZAPI

// CKZServer: the host's base of a telephony server. It is a host thread (the server loop), holds
// the server lock (recursive: the module re-enters it from its own walks), keeps the channel list
// and knows the machine's local IPv4 addresses.
#pragma once

#include "host/CBaseThread.h"
#include "host/CKZCfgInterface.h"
#include "host/CKZLogInterface.h"
#include "host/CMutex.h"

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

namespace KZAPI {

class CKZChannel;

class CKZServer : public CKZLogInterface, public CKZCfgInterface, public CBaseThread {
public:
    CKZServer();
    ~CKZServer() override;

    // Lifecycle, driven by the host in this order. Each returns 1 on success, 0 on failure.
    virtual unsigned Create();
    virtual unsigned Start(); // starts the server thread
    virtual unsigned Stop();  // stops and joins the server thread
    virtual unsigned Destroy();

    // The local sound device, for a module that drives one (these defaults have none).
    // GetDXSound opens it when `create` and returns it, null when there is none; StartDXAudio and
    // StopDXAudio put a channel's call on it and take it off again (1 done, 0 not).
    virtual void* GetDXSound(bool /*create*/) { return nullptr; }
    virtual unsigned StartDXAudio(CKZChannel* /*channel*/) { return 0; }
    virtual unsigned StopDXAudio(CKZChannel* /*channel*/) { return 0; }
    virtual bool IsDXAudioOpen(CKZChannel* /*channel*/) { return false; }
    virtual unsigned MuteDXAudioMic(bool /*mute*/) { return 0; }
    virtual bool GetDXAudioMicMute() { return false; }
    // A channel's sound-device recording file was opened (open 1) or closed (0).
    virtual void OnDXAudioStatus(int /*channel*/, int /*open*/, const char* /*path*/) {}

    CMutex& GetServerMutex() { return m_server_mutex; }
    // The sound-device lock, separate from the server lock.
    CMutex& GetDXSoundMutex() { return m_dx_mutex; }

    // Channels. The server does not own them: whoever adds a channel removes it before deleting it.
    int GetNumOfChannels() const;
    CKZChannel* GetChannel(int index) const;
    void AddChannel(CKZChannel* channel);
    void RemoveChannel(CKZChannel* channel);
    // The channel whose call control has the reference value crv for the protocol kind.
    CKZChannel* GetChannelByCRV(int kind, uint32_t crv) const;
    // An idle channel of the protocol that accepts calls in the direction (1 in, 2 out), taken in
    // turn: the search starts after the channel it gave last.
    CKZChannel* GetIdleChannel(int protocol, int direction) const;

    // Local IPv4 addresses of the machine's interfaces that are up, loopback last; read once and
    // again after RefreshLocalIPs(). Index past the end gives "".
    static int GetLocalIPCount();
    static const char* GetLocalIP(int index);
    // The first local address that is neither loopback nor link-local; "" when there is none.
    static const char* GetFirstLocalPublicIP();
    static bool IsLocalIP(const char* address);
    static void RefreshLocalIPs();

    // The server of this process (the last one created), or null.
    static CKZServer* GetServerObj();

protected:
    void DoUnblockedLoop() override {}

private:
    mutable CMutex m_server_mutex;
    CMutex m_dx_mutex;
    std::vector<CKZChannel*> m_channels;
    std::unordered_set<const CKZChannel*> m_channel_set; // the same channels, for membership tests
    mutable size_t m_idle_cursor = 0;                    // where the next idle search starts
};

} // namespace KZAPI

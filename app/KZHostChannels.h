// kzhost's SIP channels: spans and channels made by the loaded module's class factory, the
// channels numbered from 0, added to the server and to their span and started; taken down in the
// reverse order and handed back to the factory.
#pragma once

#include "host/CKZServer.h"

#include <string>
#include <vector>

namespace KZAPI {
class CKZChannel;
class CKZSpan;
} // namespace KZAPI

namespace kzapp {

class KZHostChannels {
public:
    static constexpr unsigned kSpanClass = 259;
    static constexpr unsigned kChannelClass = 260;
    static constexpr int kDefaultCount = 32; // "kzhost.channels"

    explicit KZHostChannels(KZAPI::CKZServer& server) : m_server(server) {}
    ~KZHostChannels() { Stop(); }
    KZHostChannels(const KZHostChannels&) = delete;
    KZHostChannels& operator=(const KZHostChannels&) = delete;

    // Makes and starts count channels; "" on success, else why not (nothing is left made).
    std::string Start(int count);
    void Stop();
    int Count() const { return static_cast<int>(m_channels.size()); }

private:
    // The span channels go into; a new one when the last is full or there is none.
    KZAPI::CKZSpan* SpanWithRoom();
    bool AddChannel(int number);

    KZAPI::CKZServer& m_server;
    std::vector<KZAPI::CKZSpan*> m_spans;
    std::vector<KZAPI::CKZChannel*> m_channels;
    std::vector<bool> m_started;
    bool m_running = false;
};

} // namespace kzapp

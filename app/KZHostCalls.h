// The control socket's call commands carried out on kzhost's SIP channels: dial places a call on
// a given or any idle channel, answer and ring answer an offered call, hangup ends a call. A
// command that cannot apply (no such channel, a busy one, no call to act on) is refused and
// changes nothing. The commands take no lock of their own: each call control operation locks
// its call itself.
#pragma once

#include "app/KZControlCommands.h"
#include "host/CKZServer.h"

namespace KZAPI {
class CKZChannel;
class CKZCallControl;
} // namespace KZAPI

namespace kzapp {

class KZHostCalls final : public IKZCallCommands {
public:
    explicit KZHostCalls(KZAPI::CKZServer& server) : m_server(server) {}

    KZCallOutcome Dial(const KZDialRequest& request) override;
    KZCallOutcome Answer(int channel) override;
    KZCallOutcome Ring(int channel) override;
    KZCallOutcome Hangup(int channel, int cause) override;
    KZCallOutcome Bridge(int channel, int with, bool rtp, bool half_duplex) override;
    KZCallOutcome Unbridge(int channel) override;

    // "<sip:kzhost@ADDRESS:PORT>" of this host's SIP listener for the transport.
    static std::string DefaultFrom(KZTransport transport);

private:
    KZAPI::CKZChannel* FindChannel(int number) const;
    // The channel's call control when it has one in the status, else null and why not.
    KZAPI::CKZCallControl* CallIn(int channel, int status, std::string& why) const;

    KZAPI::CKZServer& m_server;
};

} // namespace kzapp

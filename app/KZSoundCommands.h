// The control socket's sound-device commands: put a call on the local speaker and microphone
// (sound-open), take it off again (sound-close), mute the microphone (mute) and list the sound
// cards (devices). A command that cannot apply is refused and changes nothing.
#pragma once

#include "app/KZControlCommands.h"
#include "host/CKZServer.h"

#include <string>
#include <vector>

namespace kzapp {

struct KZSoundDevice {
    int index;
    std::string name;
};

struct KZSoundDeviceLists {
    std::vector<KZSoundDevice> playback;
    std::vector<KZSoundDevice> capture;
};

class IKZSoundCommands {
public:
    virtual ~IKZSoundCommands() = default;
    virtual KZCallOutcome Open(int channel) = 0;
    virtual KZCallOutcome Close(int channel) = 0;
    // accepted: the microphone is now muted (on) or live.
    virtual KZCallOutcome Mute(bool on) = 0;
    virtual KZSoundDeviceLists Devices() = 0;
};

// The commands on kzhost's server and its channels.
class KZHostSound final : public IKZSoundCommands {
public:
    explicit KZHostSound(KZAPI::CKZServer& server) : m_server(server) {}

    KZCallOutcome Open(int channel) override;
    KZCallOutcome Close(int channel) override;
    KZCallOutcome Mute(bool on) override;
    KZSoundDeviceLists Devices() override;

private:
    KZAPI::CKZChannel* FindChannel(int number) const;

    KZAPI::CKZServer& m_server;
};

// The reply to a sound command (KZSoundControl.cpp); null sound refuses them all.
bool is_sound_command(const std::string& name);
KZJson run_sound_command(IKZSoundCommands* sound, const std::string& name, const KZJson& command);

} // namespace kzapp
